// Forced IRQL checking: the raise hook trims PAGE, the DriverEntry hook drops INIT, and a
// SIGSEGV handler decides what a fault in either section means. Faults anywhere else go to
// the handler that was installed before (the sanitizer's, or the default one).
#include "sim/forced_irql.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <atomic>
#include <cstring>

#include "sim/image_code.h"
#include "sim/verifier.h"

namespace sim::loader {
namespace {

constexpr uint8_t kDispatchLevel = 2;

std::atomic<const MappedImage*> g_image{nullptr};
CodeRange g_page, g_init;
int g_pageProtection = 0, g_initProtection = 0;
std::atomic<bool> g_initDiscarded{false};
struct sigaction g_previous;

void Trim() {
  if (const MappedImage* image = g_image.load()) image->Protect(g_page, PROT_NONE);
}

void EntryBegins() {
  // A new DriverEntry of the same image (a reload) may run its INIT code again.
  if (const MappedImage* image = g_image.load()) {
    g_initDiscarded = false;
    image->Protect(g_init, g_initProtection);
  }
}

void EntryReturned() {
  if (const MappedImage* image = g_image.load()) {
    g_initDiscarded = true;
    image->Protect(g_init, PROT_NONE);
  }
}

uintptr_t FaultingInstruction(void* context) {
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

std::string Touch(const MappedImage& image, uintptr_t address, uintptr_t instruction) {
  std::string what = image.RoutineAt(address);
  if (instruction != address && instruction >= image.Base() &&
      instruction - image.Base() < image.Headers().sizeOfImage)
    what += " (touched by " + image.RoutineAt(instruction) + ")";
  return what;
}

// Reporting allocates, which a signal handler may not do in general; these faults are
// synchronous, raised by the faulting thread's own access inside the emulated kernel's
// process, so the thread is never inside the allocator when one arrives.
void OnFault(int signal, siginfo_t* info, void* context) {
  const MappedImage* image = g_image.load();
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (image != nullptr && g_page.Contains(address)) {
    uint8_t irql = kernel::CurrentThreadIrql();
    if (irql >= kDispatchLevel) {
      verifier::Report("PageFaultAtRaisedIrql",
                       "pageable code " + Touch(*image, address, FaultingInstruction(context)) +
                           " touched at IRQL " + std::to_string(irql) +
                           " while paged out (forced IRQL checking)");
    }
    image->Protect(g_page, g_pageProtection);  // paged back in, for every thread
    return;
  }
  if (image != nullptr && g_init.Contains(address) && g_initDiscarded.load()) {
    verifier::Report("InitCodeAfterEntry",
                     "init code " + Touch(*image, address, FaultingInstruction(context)) +
                         " touched after DriverEntry returned (the section is discarded)");
    image->Protect(g_init, g_initProtection);
    return;
  }
  // Not ours: hand it to the previous handler, or fault again with the default action.
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) return g_previous.sa_sigaction(signal, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    return g_previous.sa_handler(signal);
  }
  ::signal(signal, SIG_DFL);
}

}  // namespace

ForcedIrqlChecking::ForcedIrqlChecking(const MappedImage& image) {
  g_page = image.SectionPages("PAGE");
  g_init = image.SectionPages("INIT");
  g_pageProtection = image.LoadedProtection("PAGE");
  g_initProtection = image.LoadedProtection("INIT");
  g_initDiscarded = false;
  g_image = &image;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &g_previous);
  kernel::RegisterImageCode({g_page.begin, g_page.end, g_init.begin, g_init.end,
                             [&image](uintptr_t a) {
                               return a >= image.Base() && a - image.Base() < image.Headers().sizeOfImage
                                          ? image.RoutineAt(a)
                                          : std::string();
                             }});
  kernel::SetDispatchRaiseHook(Trim);
  kernel::SetDriverEntryHooks(EntryBegins, EntryReturned);
}

ForcedIrqlChecking::~ForcedIrqlChecking() {
  kernel::SetDispatchRaiseHook(nullptr);
  kernel::SetDriverEntryHooks(nullptr, nullptr);
  kernel::UnregisterImageCode();
  sigaction(SIGSEGV, &g_previous, nullptr);
  if (const MappedImage* image = g_image.exchange(nullptr)) {
    image->Protect(g_page, g_pageProtection);
    image->Protect(g_init, g_initProtection);
  }
}

void ForcedIrqlChecking::TrimPage() { Trim(); }

}  // namespace sim::loader
