// The kernel's SIGSEGV handler: hands each fault to the registered claims (see
// sim/page_faults.h), returns to the faulting instruction when one took it, and passes any
// other fault on to the handler that was installed before.
#include "sim/page_faults.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fault_return.h"
#include "sim/verifier.h"

namespace sim::kernel {
namespace {

constexpr int kClaimSlots = 4;
std::atomic<FaultClaim> g_claims[kClaimSlots];
std::atomic<FaultFlush> g_flushes[kClaimSlots];
std::mutex g_installLock;
bool g_installed = false;
struct sigaction g_previous;

__attribute__((no_sanitize("address", "undefined", "thread"))) void OnFault(int signal,
                                                                            siginfo_t* info,
                                                                            void* context) {
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (auto& slot : g_claims) {
    FaultClaim claim = slot.load(std::memory_order_acquire);
    if (claim != nullptr && claim(address, context)) {
      ReturnToFaultWithOwnTls(context);
      return;
    }
  }
  // Not ours: hand it to the previous handler, or fault again with the default action.
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) return g_previous.sa_sigaction(signal, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    return g_previous.sa_handler(signal);
  }
  ::signal(signal, SIG_DFL);
}

void FlushAll() {
  for (auto& slot : g_flushes) {
    if (FaultFlush flush = slot.load(std::memory_order_acquire)) flush();
  }
}

}  // namespace

void AddFaultClaim(FaultClaim claim, FaultFlush flush) {
  std::lock_guard guard(g_installLock);
  int free = -1;
  for (int i = 0; i < kClaimSlots; ++i) {
    if (g_claims[i].load() == claim) {
      g_flushes[i] = flush;
      return;
    }
    if (free < 0 && g_claims[i].load() == nullptr) free = i;
  }
  if (free < 0) {
    std::fprintf(stderr, "emulated kernel: no slot left for a page-fault claim\n");
    std::abort();
  }
  g_flushes[free] = flush;
  g_claims[free].store(claim, std::memory_order_release);
  if (!g_installed) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previous);
    verifier::SetDeferredReporter(FlushAll);
    g_installed = true;
  }
}

void RemoveFaultClaim(FaultClaim claim) {
  std::lock_guard guard(g_installLock);
  for (int i = 0; i < kClaimSlots; ++i) {
    if (g_claims[i].load() != claim) continue;
    if (FaultFlush flush = g_flushes[i].load()) flush();  // what it saw is reported first
    g_claims[i] = nullptr;
    g_flushes[i] = nullptr;
  }
}

__attribute__((no_sanitize("address", "undefined", "thread"))) uintptr_t FaultingInstruction(
    void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
#if defined(__i386__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#else
  (void)uc;
  return 0;
#endif
}

__attribute__((no_sanitize("address", "undefined", "thread"))) int FaultingStackWords(
    void* context, uintptr_t* words, int count) {
  auto* uc = static_cast<ucontext_t*>(context);
#if defined(__i386__)
  auto* sp = reinterpret_cast<const uintptr_t*>(uc->uc_mcontext.gregs[REG_ESP]);
#elif defined(__x86_64__)
  auto* sp = reinterpret_cast<const uintptr_t*>(uc->uc_mcontext.gregs[REG_RSP]);
#else
  const uintptr_t* sp = nullptr;
  (void)uc;
#endif
  if (sp == nullptr) return 0;
  for (int i = 0; i < count; ++i) words[i] = sp[i];
  return count;
}

}  // namespace sim::kernel
