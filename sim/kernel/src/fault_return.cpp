// See fault_return.h. Async-signal-safe: one syscall, atomics, and the trampoline.
#include "fault_return.h"

#if defined(__i386__)
#include <asm/ldt.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

// Held from the handler's TLS write until the returning thread has its own TLS again.
extern "C" {
__attribute__((visibility("hidden"))) std::atomic<uint32_t> TarvikFaultReturnLock{0};
__attribute__((visibility("hidden"))) uint32_t TarvikFaultReturnAddress = 0;
__attribute__((visibility("hidden"))) uint32_t TarvikFaultReturnBase = 0;
__attribute__((visibility("hidden"))) user_desc TarvikFaultReturnEntry{};
}

// Runs on the faulting thread after sigreturn, with every register as the fault left it. A
// thread created between the handler's write and the sigreturn writes the shared entry too,
// so the trampoline checks the TLS it came back with (glibc's TCB starts with its own
// address) and, while it is not its own, writes the entry again (set_thread_area through
// int $0x80: no C library call, which would use the wrong TLS) and reloads %gs. Then it puts
// the faulting instruction's address in a slot on the stack, releases the lock, restores what
// it used and returns there. Position-independent (the tests are PIE); i386 has no red zone.
asm(R"(
    .text
    .globl TarvikFaultReturnTrampoline
    .hidden TarvikFaultReturnTrampoline
    .type TarvikFaultReturnTrampoline, @function
TarvikFaultReturnTrampoline:
    subl $4, %esp
    pushfl
    pushl %eax
    pushl %ecx
    pushl %ebx
    call 1f
1:  popl %ecx
    addl $_GLOBAL_OFFSET_TABLE_+(.-1b), %ecx
2:  movl %gs:0, %eax
    cmpl TarvikFaultReturnBase@GOTOFF(%ecx), %eax
    je 3f
    leal TarvikFaultReturnEntry@GOTOFF(%ecx), %ebx
    movl $243, %eax
    int $0x80
    movw %gs, %ax
    movw %ax, %gs
    jmp 2b
3:  movl TarvikFaultReturnAddress@GOTOFF(%ecx), %eax
    movl %eax, 16(%esp)
    movl $0, TarvikFaultReturnLock@GOTOFF(%ecx)
    popl %ebx
    popl %ecx
    popl %eax
    popfl
    ret
    .size TarvikFaultReturnTrampoline, .-TarvikFaultReturnTrampoline
)");
extern "C" void TarvikFaultReturnTrampoline();

namespace sim::kernel {

__attribute__((no_sanitize("address", "undefined"))) void ReturnToFaultWithOwnTls(void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  while (TarvikFaultReturnLock.exchange(1, std::memory_order_acquire) != 0) {
  }
  uint16_t selector;
  uintptr_t base;
  asm volatile("mov %%gs, %0" : "=r"(selector));
  asm volatile("mov %%gs:0, %0" : "=r"(base));  // glibc's TCB starts with its own address
  user_desc& entry = TarvikFaultReturnEntry;
  entry = user_desc{};
  entry.entry_number = selector >> 3;
  entry.base_addr = base;
  entry.limit = 0xfffff;
  entry.seg_32bit = 1;
  entry.limit_in_pages = 1;
  entry.useable = 1;
  TarvikFaultReturnBase = static_cast<uint32_t>(base);
  syscall(SYS_set_thread_area, &entry);
  TarvikFaultReturnAddress = static_cast<uint32_t>(uc->uc_mcontext.gregs[REG_EIP]);
  uc->uc_mcontext.gregs[REG_EIP] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(&TarvikFaultReturnTrampoline));
}

}  // namespace sim::kernel

#else

namespace sim::kernel {
void ReturnToFaultWithOwnTls(void*) {}
}  // namespace sim::kernel

#endif
