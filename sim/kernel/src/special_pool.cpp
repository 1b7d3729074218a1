// Special pool: the arena, its regions and guard pages, the claim on faults in it and their
// reports. See special_pool.h.
#include "special_pool.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kernel_internal.h"
#include "sim/kernel.h"
#include "sim/page_faults.h"

namespace sim::kernel {
namespace special_pool {

namespace detail {
std::atomic<uintptr_t> g_arenaBegin{0}, g_arenaEnd{0};
}

namespace {

using detail::g_arenaBegin;
using detail::g_arenaEnd;

#if __SIZEOF_POINTER__ == 8
constexpr size_t kArenaBytes = size_t{1} << 30;
constexpr size_t kAlignment = 16;  // the platform's pool alignment on 64-bit
#else
constexpr size_t kArenaBytes = size_t{256} << 20;
constexpr size_t kAlignment = 8;  // and on x86
#endif
constexpr size_t kArenaPages = kArenaBytes / kPageSize;
// Freed regions stay inaccessible until they add up to this much; then the oldest go back.
constexpr size_t kQuarantinePages = kArenaPages / 2;
constexpr unsigned char kPattern = 0xCD;    // the rest of an allocation's pages
constexpr unsigned char kFreshPool = 0xA5;  // fresh pool is not zeroed on the platform

// What a page is, for the fault claim (which may not take locks).
enum PageState : uint8_t {
  kInaccessible = 0,  // free, a guard page, or freed: a touch is a fault to report
  kLive,              // accessible; a fault there is not the special pool's
  kLivePaged,         // paged pool, trimmed at raises: paged back in when touched
  kWindow,            // a user buffer's alias, trimmed at raises: checked for its context
  kTrap,              // Type3InputBuffer of a request that has none
};

std::atomic<uint8_t>* g_pages = nullptr;  // one state per arena page

struct Region {
  uintptr_t begin = 0, end = 0;            // with the guard pages
  uintptr_t pagesBegin = 0, pagesEnd = 0;  // the accessible pages (with a header page)
  uintptr_t dataBegin = 0, dataEnd = 0;    // the caller's bytes
  Owner owner;
  bool paged = false;
  bool window = false;
  bool trap = false;
  bool retired = false;  // the data pages are inaccessible (a released request)
  bool freed = false;
  void* user = nullptr;                                  // a window's user buffer
  std::shared_ptr<std::vector<unsigned char>> original;  // and what it held when mapped
};

std::mutex g_lock;                      // everything below
std::map<uintptr_t, Region> g_regions;  // by begin
std::set<uintptr_t> g_trimmable;        // live paged regions and user-buffer aliases
std::set<uintptr_t> g_traps;            // live Type3InputBuffer traps
std::map<size_t, size_t> g_freeRuns;    // first page -> pages
size_t g_cursor = 0;                    // next-fit: the search starts here
std::deque<uintptr_t> g_quarantine;     // freed regions, oldest first
size_t g_quarantinedPages = 0;
uint64_t g_placements = 0;
std::atomic<bool> g_pagedResident{false}, g_windowsResident{false};

int g_setting = -1;  // SetSpecialPool: -1 unset (the environment decides), 0 off, 1 on
std::atomic<bool> g_enabled{false};

std::string Bytes(size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

size_t PageIndex(uintptr_t a) {
  return (a - g_arenaBegin.load(std::memory_order_relaxed)) / kPageSize;
}
uintptr_t PageAddress(size_t index) { return g_arenaBegin.load() + index * kPageSize; }

void SetStates(uintptr_t begin, uintptr_t end, PageState state) {
  for (uintptr_t a = begin; a < end; a += kPageSize)
    g_pages[PageIndex(a)].store(state, std::memory_order_release);
}

void Protect(uintptr_t begin, uintptr_t end, int prot) {
  if (begin < end && mprotect(reinterpret_cast<void*>(begin), end - begin, prot) != 0) {
    std::perror("emulated kernel: special pool: mprotect");
    std::abort();
  }
}

// --- The arena's free runs ----------------------------------------------------------------

void AddFreeRun(size_t first, size_t pages) {
  auto next = g_freeRuns.lower_bound(first);
  if (next != g_freeRuns.end() && first + pages == next->first) {
    pages += next->second;
    next = g_freeRuns.erase(next);
  }
  if (next != g_freeRuns.begin()) {
    auto previous = std::prev(next);
    if (previous->first + previous->second == first) {
      previous->second += pages;
      return;
    }
  }
  g_freeRuns.emplace(first, pages);
}

// Next fit, so that freed pages are taken again as late as possible.
bool TakeRun(size_t pages, size_t* first) {
  auto take = [&](std::map<size_t, size_t>::iterator it, size_t at) {
    size_t runFirst = it->first, runPages = it->second;
    g_freeRuns.erase(it);
    if (at > runFirst) g_freeRuns.emplace(runFirst, at - runFirst);
    if (at + pages < runFirst + runPages)
      g_freeRuns.emplace(at + pages, runFirst + runPages - at - pages);
    *first = at;
    g_cursor = at + pages;
    return true;
  };
  // The run holding the cursor, then those after it, then from the start.
  auto it = g_freeRuns.upper_bound(g_cursor);
  if (it != g_freeRuns.begin()) {
    auto holding = std::prev(it);
    if (holding->first + holding->second >= g_cursor + pages && holding->first <= g_cursor)
      return take(holding, g_cursor);
  }
  for (auto i = it; i != g_freeRuns.end(); ++i) {
    if (i->second >= pages) return take(i, i->first);
  }
  for (auto i = g_freeRuns.begin(); i != it; ++i) {
    if (i->second >= pages) return take(i, i->first);
  }
  return false;
}

void Recycle() {
  while (g_quarantinedPages > kQuarantinePages && !g_quarantine.empty()) {
    auto it = g_regions.find(g_quarantine.front());
    g_quarantine.pop_front();
    if (it == g_regions.end()) continue;
    size_t pages = (it->second.end - it->second.begin) / kPageSize;
    g_quarantinedPages -= pages;
    AddFreeRun(PageIndex(it->second.begin), pages);
    g_regions.erase(it);
  }
}

bool ReserveArena() {
  if (g_arenaBegin.load() != 0) return true;
  void* arena =
      mmap(nullptr, kArenaBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (arena == MAP_FAILED) return false;
  g_pages = new std::atomic<uint8_t>[kArenaPages]();
  g_freeRuns.emplace(0, kArenaPages);
  auto begin = reinterpret_cast<uintptr_t>(arena);
  g_arenaEnd.store(begin + kArenaBytes);
  g_arenaBegin.store(begin);
  return true;
}

// Frees a region's pages into the quarantine: inaccessible, their contents dropped.
void Quarantine(Region& region) {
  g_trimmable.erase(region.begin);
  g_traps.erase(region.begin);
  SetStates(region.begin, region.end, kInaccessible);
  Protect(region.begin, region.end, PROT_NONE);
  madvise(reinterpret_cast<void*>(region.pagesBegin), region.pagesEnd - region.pagesBegin,
          MADV_DONTNEED);
  region.freed = true;
  g_quarantine.push_back(region.begin);
  g_quarantinedPages += (region.end - region.begin) / kPageSize;
  Recycle();
}

Region* LiveRegionAt(const void* data) {
  auto a = reinterpret_cast<uintptr_t>(data);
  auto it = g_regions.upper_bound(a);
  if (it == g_regions.begin()) return nullptr;
  Region& region = std::prev(it)->second;
  return !region.freed && region.dataBegin == a ? &region : nullptr;
}

std::string Describe(const Region& region) {
  char text[160];
  size_t size = region.dataEnd - region.dataBegin;
  switch (region.owner.kind) {
    case Kind::Pool: {
      char tag[5] = {};
      for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((region.owner.tag >> (8 * i)) & 0xFF);
        tag[i] = c >= 0x20 && c < 0x7F ? c : '?';
      }
      std::snprintf(text, sizeof text, "the %zu-byte %s allocation tagged \"%s\" at %p", size,
                    region.paged ? "paged pool" : "pool", tag,
                    reinterpret_cast<void*>(region.dataBegin));
      break;
    }
    case Kind::Irp:
      std::snprintf(text, sizeof text, "IRP %p (%zu bytes with its stack locations)",
                    reinterpret_cast<void*>(region.dataBegin), size);
      break;
    case Kind::SystemBuffer:
      std::snprintf(text, sizeof text, "the %zu-byte system buffer of IRP %p", size,
                    region.owner.request);
      break;
    case Kind::Mdl:
      std::snprintf(text, sizeof text, "the MDL of IRP %p", region.owner.request);
      break;
    case Kind::UserBuffer:
      std::snprintf(text, sizeof text, "the %zu-byte user buffer of IRP %p", size,
                    region.owner.request);
      break;
    case Kind::Device:
      std::snprintf(text, sizeof text, "device object %p (%zu bytes with its extension)",
                    reinterpret_cast<void*>(region.dataBegin), size);
      break;
  }
  return text;
}

// Bytes beside the data on its pages that no longer hold the pattern.
void CheckPattern(const Region& region) {
  uintptr_t firstDataPage =
      region.pagesBegin + (region.dataBegin - region.pagesBegin) / kPageSize * kPageSize;
  auto changed = [](uintptr_t begin, uintptr_t end) {
    for (uintptr_t a = begin; a < end; ++a) {
      if (*reinterpret_cast<const unsigned char*>(a) != kPattern) return a;
    }
    return uintptr_t{0};
  };
  uintptr_t before = changed(firstDataPage, region.dataBegin);
  uintptr_t after = changed(region.dataEnd, region.pagesEnd);
  if (before == 0 && after == 0) return;
  std::string where = before != 0 ? Bytes(region.dataBegin - before) + " before its start"
                                  : Bytes(after - region.dataEnd + 1) + " past its end";
  verifier::Report("SpecialPoolCorruption", Describe(region) +
                                                " was freed with memory beside it written, " +
                                                where + " (special pool's pattern on its page)");
}

// --- Faults -------------------------------------------------------------------------------

struct Fault {
  uintptr_t address;
  uintptr_t instruction;
  uintptr_t stack[24];
  int stackWords;
  uintptr_t frameReturn;  // the faulting routine's return address by its frame pointer
  uint8_t irql;
  uint8_t state;
  bool systemThread;
};
RecordedFaults<Fault> g_faults;
std::atomic<bool> g_trapTouched{false};

__attribute__((no_sanitize("address", "undefined", "thread"))) void Record(uintptr_t address,
                                                                           uint8_t state,
                                                                           void* context) {
  g_faults.Record([&](Fault& f) {
    f.address = address;
    f.instruction = FaultingInstruction(context);
    f.stackWords = FaultingStackWords(context, f.stack, 24);
    f.frameReturn = FaultingFrameReturn(context);
    f.irql = CurrentThread().Irql;
    f.state = state;
    auto role = sim::schedule::CurrentRole();
    f.systemThread = role != sim::schedule::Role::Test && role != sim::schedule::Role::Injector;
  });
}

__attribute__((no_sanitize("address", "undefined", "thread"))) bool Claim(uintptr_t address,
                                                                          void* context) {
  if (address < g_arenaBegin.load(std::memory_order_relaxed) ||
      address >= g_arenaEnd.load(std::memory_order_relaxed))
    return false;
  uintptr_t page = address & ~(kPageSize - 1);
  uint8_t state = g_pages[PageIndex(address)].load(std::memory_order_acquire);
  switch (state) {
    case kLive:
      return false;  // accessible: not a fault of ours
    case kLivePaged:
      if (CurrentThread().Irql >= DISPATCH_LEVEL) Record(address, state, context);
      g_pagedResident = true;
      break;
    case kWindow: {
      auto role = sim::schedule::CurrentRole();
      bool system = role != sim::schedule::Role::Test && role != sim::schedule::Role::Injector;
      if (system || CurrentThread().Irql >= DISPATCH_LEVEL) Record(address, state, context);
      g_windowsResident = true;
      break;
    }
    case kTrap:
      Record(address, state, context);
      g_trapTouched = true;
      break;
    default:
      Record(address, state, context);
      break;
  }
  // The instruction goes on: a guard or freed page now reads what it holds, paged memory and
  // user buffers are paged in for every thread until the next raise trims them.
  mprotect(reinterpret_cast<void*>(page), kPageSize, PROT_READ | PROT_WRITE);
  return true;
}

// The routine that touched: the faulting one, and when that is a library routine (memcpy,
// memset) or an interlocked operation (the platform's are intrinsics), its caller: for an
// interlocked operation (built with a frame pointer) by its frame, for a library routine
// (which may have none) the first return address among the words at the top of the stack.
std::string Toucher(const Fault& f) {
  std::string name = RoutineAt(reinterpret_cast<const void*>(f.instruction));
  if (IsProgramRoutine(reinterpret_cast<const void*>(f.instruction))) {
    if (!name.starts_with("Interlocked")) return name;
    if (f.frameReturn > 4096 && IsProgramRoutine(reinterpret_cast<const void*>(f.frameReturn - 1)))
      return name + " called from " +
             RoutineAt(CallSite(reinterpret_cast<const void*>(f.frameReturn)));
  }
  for (int i = 0; i < f.stackWords; ++i) {
    if (f.stack[i] <= 4096 || !IsProgramRoutine(reinterpret_cast<const void*>(f.stack[i] - 1)))
      continue;
    std::string caller = RoutineAt(CallSite(reinterpret_cast<const void*>(f.stack[i])));
    if (!caller.starts_with("Interlocked")) return name + " called from " + caller;
    // A library routine under an interlocked operation (ThreadSanitizer's atomics): the next
    // return address up the stack is the operation's, into the routine that called it.
    for (int j = i + 1; j < f.stackWords; ++j) {
      if (f.stack[j] <= 4096 || !IsProgramRoutine(reinterpret_cast<const void*>(f.stack[j] - 1)))
        continue;
      std::string outer = RoutineAt(CallSite(reinterpret_cast<const void*>(f.stack[j])));
      if (!outer.starts_with("Interlocked")) return caller + " called from " + outer;
    }
    return name + " called from " + caller;
  }
  return name;
}

void ReportFault(const Fault& f) {
  std::string what;
  std::string rule = "SpecialPoolFreedTouched";
  {
    std::lock_guard guard(g_lock);
    auto it = g_regions.upper_bound(f.address);
    const Region* region = nullptr;
    if (it != g_regions.begin() && f.address < std::prev(it)->second.end)
      region = &std::prev(it)->second;
    if (region == nullptr) {
      what = "special pool at " + sim::kernel::Describe(reinterpret_cast<void*>(f.address)) +
             ", which holds no allocation (freed long ago, or never allocated)";
    } else if (f.state == kTrap) {
      rule = "Type3InputBuffer";
      what = "Parameters.DeviceIoControl.Type3InputBuffer of IRP " +
             sim::kernel::Describe(region->owner.request) +
             ", which is not METHOD_NEITHER (the I/O manager gives it no such buffer)";
    } else if (f.state == kLivePaged || (f.state == kWindow && !f.systemThread)) {
      rule = "PageFaultAtRaisedIrql";
      what = Describe(*region) + ", pageable, while paged out at IRQL " + std::to_string(f.irql) +
             " (trimmed at the raise, as force IRQL checking does)";
    } else if (f.state == kWindow) {
      rule = "UserBufferOtherContext";
      what = Describe(*region) + " from a system thread (" +
             std::string(f.irql >= DISPATCH_LEVEL ? "raised, " : "") +
             "not the context of the process that made the request)";
    } else if (region->freed || region->retired) {
      what = Describe(*region) + (region->owner.kind == Kind::Pool     ? ", freed"
                                  : region->owner.kind == Kind::Device ? ", deleted and unreferenced"
                                                                       : ", released at its final completion");
    } else if (f.address < region->dataBegin) {
      rule = "SpecialPoolUnderrun";
      what = Bytes(region->dataBegin - f.address) + " before the start of " + Describe(*region) +
             " (its guard page)";
    } else {
      rule = "SpecialPoolOverrun";
      what = Bytes(f.address - region->dataEnd + 1) + " past the end of " + Describe(*region) +
             " (its guard page)";
    }
  }
  verifier::Report(rule, Toucher(f) + " touched " + what);
}

void Flush() {
  if (size_t lost = g_faults.Drain(ReportFault)) {
    verifier::Report("SpecialPoolFreedTouched",
                     std::to_string(lost) + " more faults in special pool, not described");
  }
  if (g_trapTouched.exchange(false)) {
    // Traps stay traps: the pages the claim opened close again.
    std::lock_guard guard(g_lock);
    for (uintptr_t begin : g_traps) {
      const Region& region = g_regions.at(begin);
      Protect(region.pagesBegin, region.pagesEnd, PROT_NONE);
    }
  }
}

}  // namespace

bool Enabled() { return g_enabled.load(std::memory_order_relaxed); }

void ConfigureAtBoot() {
  bool on = g_setting == 1;
  if (g_setting < 0) {
    const char* pool = std::getenv("TARVIK_SPECIAL_POOL");
    const char* image = std::getenv("TARVIK_DRIVER_IMAGE");
    on = pool != nullptr ? std::strcmp(pool, "0") != 0 && *pool != 0
                         : image != nullptr && *image != 0;
  }
  if (on) {
    std::lock_guard guard(g_lock);
    if (!ReserveArena()) {
      std::fprintf(stderr, "emulated kernel: no address space for special pool; it stays off\n");
      on = false;
    }
  }
  if (on) AddFaultClaim(Claim, Flush);
  g_enabled = on;
}

void* Allocate(size_t bytes, const Owner& owner, bool paged, Placement placement,
               size_t headerBytes) {
  size_t rounded = (bytes + kAlignment - 1) & ~(kAlignment - 1);
  size_t dataPages = (rounded + kPageSize - 1) / kPageSize;
  size_t headerPages = headerBytes != 0 ? 1 : 0;
  std::lock_guard guard(g_lock);
  if (g_arenaBegin.load() == 0) return nullptr;
  size_t first;
  if (!TakeRun(dataPages + headerPages + 2, &first)) return nullptr;
  Region region;
  region.begin = PageAddress(first);
  region.pagesBegin = region.begin + kPageSize;
  region.pagesEnd = region.pagesBegin + (headerPages + dataPages) * kPageSize;
  region.end = region.pagesEnd + kPageSize;
  bool atEnd = placement == Placement::End || (g_placements++ & 1) == 0;
  region.dataBegin =
      atEnd ? region.pagesEnd - rounded : region.pagesBegin + headerPages * kPageSize;
  region.dataEnd = region.dataBegin + bytes;
  region.owner = owner;
  region.paged = paged;
  Protect(region.begin, region.end, PROT_NONE);  // a stray touch may have opened one of them
  Protect(region.pagesBegin, region.pagesEnd, PROT_READ | PROT_WRITE);
  std::memset(reinterpret_cast<void*>(region.pagesBegin), kPattern,
              region.pagesEnd - region.pagesBegin);
  std::memset(reinterpret_cast<void*>(region.dataBegin), kFreshPool, bytes);
  SetStates(region.pagesBegin, region.pagesEnd, paged ? kLivePaged : kLive);
  if (paged) {
    g_pagedResident = true;
    g_trimmable.insert(region.begin);
  }
  g_regions[region.begin] = region;
  return reinterpret_cast<void*>(region.dataBegin);
}

bool Free(const void* data) {
  std::unique_lock guard(g_lock);
  Region* region = LiveRegionAt(data);
  if (region == nullptr) return false;
  if (!region->retired && !region->window && !region->trap) {
    if (region->paged) Protect(region->pagesBegin, region->pagesEnd, PROT_READ | PROT_WRITE);
    Region copy = *region;
    guard.unlock();  // the report may not be made under the lock (a flush takes it)
    CheckPattern(copy);
    guard.lock();
    region = LiveRegionAt(data);
    if (region == nullptr) return true;
  }
  Quarantine(*region);
  return true;
}

void Retire(const void* data) {
  std::unique_lock guard(g_lock);
  Region* region = LiveRegionAt(data);
  if (region == nullptr || region->retired) return;
  Region copy = *region;
  guard.unlock();
  CheckPattern(copy);
  guard.lock();
  region = LiveRegionAt(data);
  if (region == nullptr) return;
  uintptr_t firstDataPage =
      region->pagesBegin + (region->dataBegin - region->pagesBegin) / kPageSize * kPageSize;
  SetStates(firstDataPage, region->pagesEnd, kInaccessible);
  Protect(firstDataPage, region->pagesEnd, PROT_NONE);
  region->retired = true;
}

void* MapUserWindow(const void* user, size_t length, const void* request) {
  void* window = Allocate(length, {Kind::UserBuffer, 0, request}, false, Placement::End);
  if (window == nullptr) return nullptr;
  std::memcpy(window, user, length);
  std::lock_guard guard(g_lock);
  Region* region = LiveRegionAt(window);
  region->window = true;
  region->user = const_cast<void*>(user);
  auto* bytes = static_cast<const unsigned char*>(user);
  region->original = std::make_shared<std::vector<unsigned char>>(bytes, bytes + length);
  g_trimmable.insert(region->begin);
  SetStates(region->pagesBegin, region->pagesEnd, kWindow);
  Protect(region->pagesBegin, region->pagesEnd, PROT_NONE);
  return window;
}

void UnmapUserWindow(void* window, void* user, bool copyBack) {
  std::lock_guard guard(g_lock);
  Region* region = LiveRegionAt(window);
  if (region == nullptr) return;
  if (copyBack) {
    // Only the bytes the driver changed through the alias: it may have written others of the
    // same buffer through an MDL meanwhile.
    Protect(region->pagesBegin, region->pagesEnd, PROT_READ | PROT_WRITE);
    const auto* now = static_cast<const unsigned char*>(window);
    auto* out = static_cast<unsigned char*>(user);
    const std::vector<unsigned char>& before = *region->original;
    for (size_t i = 0; i < before.size(); ++i) {
      if (now[i] != before[i]) out[i] = now[i];
    }
  }
  Quarantine(*region);
}

void* Type3Trap(const void* request) {
  void* trap = Allocate(1, {Kind::UserBuffer, 0, request}, false, Placement::End);
  if (trap == nullptr) return nullptr;
  std::lock_guard guard(g_lock);
  Region* region = LiveRegionAt(trap);
  region->trap = true;
  g_traps.insert(region->begin);
  SetStates(region->pagesBegin, region->pagesEnd, kTrap);
  Protect(region->pagesBegin, region->pagesEnd, PROT_NONE);
  return trap;
}

void TrimAtRaise() {
  bool paged = g_pagedResident.load(std::memory_order_relaxed);
  bool windows = g_windowsResident.load(std::memory_order_relaxed);
  if (!paged && !windows) return;
  std::lock_guard guard(g_lock);
  g_pagedResident = false;
  g_windowsResident = false;
  for (uintptr_t begin : g_trimmable) {
    const Region& region = g_regions.at(begin);
    if ((paged && region.paged) || (windows && region.window))
      Protect(region.pagesBegin, region.pagesEnd, PROT_NONE);
  }
}

}  // namespace special_pool

void SetSpecialPool(bool on) { special_pool::g_setting = on ? 1 : 0; }

}  // namespace sim::kernel
