// Forced IRQL checking: the raise hook trims every PAGE* section, the DriverEntry hook drops
// INIT, and a claim on the kernel's page faults (sim/page_faults.h) decides what a fault in
// either means. Paged pool is trimmed at the same raises by the kernel's special pool.
#include "sim/forced_irql.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>

#include "sim/image_code.h"
#include "sim/page_faults.h"
#include "sim/verifier.h"

namespace sim::loader {
namespace {

constexpr uint8_t kDispatchLevel = 2;

std::atomic<const MappedImage*> g_image{nullptr};
// The image's pageable sections (every section whose name starts with PAGE) and their
// protection as loaded; INIT's too. Read by the fault claim, so a fixed table.
struct Pageable {
  CodeRange pages;
  int protection = 0;
};
constexpr size_t kPageableSlots = 8;
Pageable g_pageable[kPageableSlots];
size_t g_pageableCount = 0;
CodeRange g_init;
int g_initProtection = 0;
std::atomic<bool> g_initDiscarded{false};
// Some pageable section is paged in: the next raise trims them all (a raise with everything
// trimmed already costs no system call).
std::atomic<bool> g_pageResident{true};

void Trim() {
  const MappedImage* image = g_image.load();
  if (image == nullptr || !g_pageResident.exchange(false)) return;
  for (size_t i = 0; i < g_pageableCount; ++i) image->Protect(g_pageable[i].pages, PROT_NONE);
}

void PageAllIn(const MappedImage& image) {
  for (size_t i = 0; i < g_pageableCount; ++i) {
    image.Protect(g_pageable[i].pages, g_pageable[i].protection);
  }
  g_pageResident = true;
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
kernel::RecordedFaults<Fault> g_faults;

__attribute__((no_sanitize("address", "undefined", "thread"))) void Record(bool init, uint8_t irql,
                                                                           uintptr_t address,
                                                                           void* context) {
  g_faults.Record([&](Fault& f) { f = {init, irql, address, kernel::FaultingInstruction(context)}; });
}

__attribute__((no_sanitize("address", "undefined", "thread"))) bool ClaimImageFault(
    uintptr_t address, void* context) {
  const MappedImage* image = g_image.load();
  if (image == nullptr) return false;
  for (size_t i = 0; i < g_pageableCount; ++i) {
    if (!g_pageable[i].pages.Contains(address)) continue;
    uint8_t irql = kernel::CurrentThreadIrql();
    if (irql >= kDispatchLevel) Record(false, irql, address, context);
    image->Protect(g_pageable[i].pages, g_pageable[i].protection);  // paged back in, for every thread
    g_pageResident = true;
    return true;
  }
  if (g_init.Contains(address) && g_initDiscarded.load()) {
    Record(true, 0, address, context);
    image->Protect(g_init, g_initProtection);
    return true;
  }
  return false;
}

void FlushFaults() {
  const MappedImage* image = g_image.load();
  size_t lost = g_faults.Drain([image](const Fault& f) {
    if (image == nullptr) return;
    if (f.init) {
      verifier::Report("InitCodeAfterEntry", "init code " + Touch(*image, f.address, f.instruction) +
                                                 " touched after DriverEntry returned (the section is discarded)");
    } else {
      verifier::Report("PageFaultAtRaisedIrql",
                       "pageable code " + Touch(*image, f.address, f.instruction) + " touched at IRQL " +
                           std::to_string(f.irql) + " while paged out (forced IRQL checking)");
    }
  });
  if (lost != 0) {
    verifier::Report("PageFaultAtRaisedIrql",
                     std::to_string(lost) + " more faults in the image's PAGE or INIT code, not described");
  }
}

}  // namespace

// A newer image takes the checks over from an older one still mapped (the tool keeps each
// machine's image to the end of the process), whose sections are given back their protection
// first.
ForcedIrqlChecking::ForcedIrqlChecking(const MappedImage& image) {
  FlushFaults();  // what the older image did is reported against it
  if (const MappedImage* older = g_image.exchange(nullptr)) {
    PageAllIn(*older);
    older->Protect(g_init, g_initProtection);
  }
  g_pageableCount = 0;
  for (const PeSection& section : image.Headers().sections) {
    if (section.name.rfind("PAGE", 0) != 0 || g_pageableCount == kPageableSlots) continue;
    g_pageable[g_pageableCount++] = {image.SectionPages(section.name), ProtectionOf(section)};
  }
  g_pageResident = true;
  g_init = image.SectionPages("INIT");
  g_initProtection = image.LoadedProtection("INIT");
  g_initDiscarded = false;
  g_image = &image;
  image_ = &image;
  kernel::AddFaultClaim(ClaimImageFault, FlushFaults);
  // The section rules know PAGE code by its section; the other PAGE* sections hold data.
  CodeRange page = image.SectionPages("PAGE");
  kernel::RegisterImageCode({page.begin, page.end, g_init.begin, g_init.end,
                             [&image](uintptr_t a) {
                               return a >= image.Base() && a - image.Base() < image.Headers().sizeOfImage
                                          ? image.RoutineAt(a)
                                          : std::string();
                             }});
  kernel::SetDispatchRaiseHook(Trim);
  kernel::SetDriverEntryHooks(EntryBegins, EntryReturned);
}

ForcedIrqlChecking::~ForcedIrqlChecking() {
  const MappedImage* mine = image_;
  if (g_image.compare_exchange_strong(mine, nullptr)) {
    FlushFaults();
    kernel::SetDispatchRaiseHook(nullptr);
    kernel::SetDriverEntryHooks(nullptr, nullptr);
    kernel::UnregisterImageCode();
    PageAllIn(*image_);
    image_->Protect(g_init, g_initProtection);
  }
}

void ForcedIrqlChecking::TrimPage() { Trim(); }

}  // namespace sim::loader
