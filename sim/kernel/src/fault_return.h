// Returning from the kernel's SIGSEGV handler to the faulting instruction without losing the
// thread's TLS under qemu-user (the i686 build's runner on a 64-bit host).
//
// qemu-i386 keeps one GDT for all guest threads, and every thread's %gs selects the same TLS
// entry in it; sigreturn reloads %gs from that shared entry, so a thread comes back from a
// signal handler with the TLS of whichever thread last wrote the entry (the last one created)
// and glibc then takes it for that other thread (pthread_join fails with EDEADLK, errno and
// thread_local values are someone else's). The handler therefore writes its own TLS base into
// the entry and holds a lock until the thread is back: the saved instruction pointer is sent
// to a trampoline that makes sure the thread has its own TLS (a thread created meanwhile
// writes the entry too), releases the lock and jumps to the faulting instruction. On a real
// kernel the write changes nothing (the entry already has that base).
#pragma once

namespace sim::kernel {

// Called last in the handler with its ucontext_t*; a no-op outside the i686 build.
void ReturnToFaultWithOwnTls(void* context);

}  // namespace sim::kernel
