// Forced IRQL checking: the raise hook trims PAGE, the DriverEntry hook drops INIT, and a
// SIGSEGV handler decides what a fault in either section means. Faults anywhere else go to
// the handler that was installed before (the sanitizer's, or the default one).
#include "sim/forced_irql.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "fault_return.h"
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

// A fault seen by the handler, reported later (FlushFaults): the handler may not allocate,
// and runs on whatever stack the faulting thread had.
struct Fault {
  bool init;  // INIT after DriverEntry; otherwise PAGE at raised IRQL
  uint8_t irql;
  uintptr_t address;
  uintptr_t instruction;
};
constexpr size_t kFaultSlots = 64;
Fault g_faults[kFaultSlots];
std::atomic<bool> g_faultReady[kFaultSlots];
std::atomic<size_t> g_faultsSeen{0};
std::atomic<size_t> g_faultsLost{0};

__attribute__((no_sanitize("address", "undefined"))) void Record(bool init, uint8_t irql,
                                                                 uintptr_t address, void* context) {
  size_t slot = g_faultsSeen.fetch_add(1);
  if (slot >= kFaultSlots || g_faultReady[slot].load()) {
    g_faultsLost.fetch_add(1);
    return;
  }
  g_faults[slot] = {init, irql, address, FaultingInstruction(context)};
  g_faultReady[slot].store(true, std::memory_order_release);
}

__attribute__((no_sanitize("address", "undefined"))) void OnFault(int signal, siginfo_t* info,
                                                                  void* context) {
  const MappedImage* image = g_image.load();
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (image != nullptr && g_page.Contains(address)) {
    uint8_t irql = kernel::CurrentThreadIrql();
    if (irql >= kDispatchLevel) Record(false, irql, address, context);
    image->Protect(g_page, g_pageProtection);  // paged back in, for every thread
    ReturnToFaultWithOwnTls(context);
    return;
  }
  if (image != nullptr && g_init.Contains(address) && g_initDiscarded.load()) {
    Record(true, 0, address, context);
    image->Protect(g_init, g_initProtection);
    ReturnToFaultWithOwnTls(context);
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

void FlushFaults() {
  const MappedImage* image = g_image.load();
  size_t seen = std::min(g_faultsSeen.load(), kFaultSlots);
  for (size_t slot = 0; slot < seen && image != nullptr; ++slot) {
    if (!g_faultReady[slot].load(std::memory_order_acquire)) continue;
    Fault f = g_faults[slot];
    g_faultReady[slot].store(false);
    if (f.init) {
      verifier::Report("InitCodeAfterEntry", "init code " + Touch(*image, f.address, f.instruction) +
                                                 " touched after DriverEntry returned (the section is discarded)");
    } else {
      verifier::Report("PageFaultAtRaisedIrql",
                       "pageable code " + Touch(*image, f.address, f.instruction) + " touched at IRQL " +
                           std::to_string(f.irql) + " while paged out (forced IRQL checking)");
    }
  }
  // Every slot taken is reported: start over once all recorded faults are out.
  bool pending = false;
  for (size_t slot = 0; slot < kFaultSlots; ++slot) pending = pending || g_faultReady[slot].load();
  if (!pending && seen > 0) g_faultsSeen = 0;
  if (size_t lost = g_faultsLost.exchange(0)) {
    verifier::Report("PageFaultAtRaisedIrql", std::to_string(lost) +
                                                  " more faults in the image's PAGE or INIT code, not described");
  }
}

}  // namespace

// Checkers alive; the fault handler is installed by the first and removed by the last. A newer
// image takes the checks over from an older one still mapped (the tool keeps each machine's
// image to the end of the process), whose sections are given back their protection first.
int g_checkers = 0;

ForcedIrqlChecking::ForcedIrqlChecking(const MappedImage& image) {
  FlushFaults();  // what the older image did is reported against it
  if (const MappedImage* older = g_image.exchange(nullptr)) {
    older->Protect(g_page, g_pageProtection);
    older->Protect(g_init, g_initProtection);
  }
  g_page = image.SectionPages("PAGE");
  g_init = image.SectionPages("INIT");
  g_pageProtection = image.LoadedProtection("PAGE");
  g_initProtection = image.LoadedProtection("INIT");
  g_initDiscarded = false;
  g_image = &image;
  image_ = &image;
  if (g_checkers++ == 0) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previous);
  }
  kernel::RegisterImageCode({g_page.begin, g_page.end, g_init.begin, g_init.end,
                             [&image](uintptr_t a) {
                               return a >= image.Base() && a - image.Base() < image.Headers().sizeOfImage
                                          ? image.RoutineAt(a)
                                          : std::string();
                             }});
  verifier::SetDeferredReporter(FlushFaults);
  kernel::SetDispatchRaiseHook(Trim);
  kernel::SetDriverEntryHooks(EntryBegins, EntryReturned);
}

ForcedIrqlChecking::~ForcedIrqlChecking() {
  const MappedImage* mine = image_;
  if (g_image.compare_exchange_strong(mine, nullptr)) {
    FlushFaults();
    verifier::SetDeferredReporter(nullptr);
    kernel::SetDispatchRaiseHook(nullptr);
    kernel::SetDriverEntryHooks(nullptr, nullptr);
    kernel::UnregisterImageCode();
    image_->Protect(g_page, g_pageProtection);
    image_->Protect(g_init, g_initProtection);
  }
  if (--g_checkers == 0) sigaction(SIGSEGV, &g_previous, nullptr);
}

void ForcedIrqlChecking::TrimPage() { Trim(); }

}  // namespace sim::loader
