// Special pool, the verifier's memory option: every allocation on pages of its own between two
// inaccessible guard pages, the rest of its pages filled with a pattern checked when it is
// freed, and freed memory kept inaccessible for a while. Pool, requests (the IRP and its stack
// locations, the I/O manager's system buffer and MDL), device objects with their extensions
// and aliases of the callers' user buffers live there while the option is on
// (sim::kernel::SetSpecialPool).
//
// The pages come from one arena of address space reserved at the first use. A touch of a guard
// page, of freed memory or of anything else in the arena that is not live faults; the kernel's
// page-fault claim (sim/page_faults.h) records it, makes the page accessible so that the
// instruction can go on, and the verifier reports it (SpecialPoolOverrun, SpecialPoolUnderrun,
// SpecialPoolFreedTouched) naming the allocation and the routine that touched it. Paged pool
// and user-buffer aliases are also trimmed at every raise to DISPATCH_LEVEL, as force IRQL
// checking does: a touch at raised IRQL is PageFaultAtRaisedIrql, a touch of a user buffer
// from a system thread (DPC, work item, interrupt) is UserBufferOtherContext.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sim::kernel::special_pool {

// What a region holds, for the reports.
enum class Kind : uint8_t { Pool, Irp, SystemBuffer, Mdl, UserBuffer, Device };

struct Owner {
  Kind kind = Kind::Pool;
  uint32_t tag = 0;               // pool tag
  const void* request = nullptr;  // the IRP the memory belongs to
};

// Pool alternates between the two placements of the platform's special pool: at the end of its
// pages (an overrun faults at once, an underrun is found in the pattern at the free) and at
// their start (the reverse). Requests, device objects and user buffers always go at the end.
enum class Placement { Alternate, End };

// In force for this boot (decided at boot from the setting; see sim::kernel::SetSpecialPool).
bool Enabled();
void ConfigureAtBoot();

namespace detail {
extern std::atomic<uintptr_t> g_arenaBegin, g_arenaEnd;
}
inline bool InArena(const void* p) {
  auto a = reinterpret_cast<uintptr_t>(p);
  return a >= detail::g_arenaBegin.load(std::memory_order_relaxed) &&
         a < detail::g_arenaEnd.load(std::memory_order_relaxed);
}
constexpr uintptr_t kPageSize = 4096;

// `bytes` (non-zero) on pages of their own; with headerBytes (at most a page), that many bytes
// of the kernel's own precede the data's first page and stay accessible until Free (an IRP's
// hidden header: header = page of the data - headerBytes). Null when the arena is full: the
// caller falls back to ordinary memory, as the platform does when special pool runs out.
void* Allocate(size_t bytes, const Owner& owner, bool paged, Placement placement,
               size_t headerBytes = 0);
// Frees the region whose data starts at `data`: checks the pattern beside it
// (SpecialPoolCorruption), makes it inaccessible and keeps it so for a while. False when
// `data` starts no live region.
bool Free(const void* data);
// A request released at its final completion: its data pages become inaccessible now, its
// header page stays until Free.
void Retire(const void* data);

// An alias of a caller's user buffer, for the driver's view of it (Irp->UserBuffer, a
// METHOD_NEITHER input): the caller's bytes copied in, inaccessible until the requesting thread
// touches it. UnmapUserWindow copies back the bytes changed through the alias (when asked)
// and frees it.
void* MapUserWindow(const void* user, size_t length, const void* request);
void UnmapUserWindow(void* window, void* user, bool copyBack);
// An address that is never accessible: Type3InputBuffer of a request that is not
// METHOD_NEITHER. A touch is reported as Type3InputBuffer.
void* Type3Trap(const void* request);

// Trims paged pool and user-buffer aliases (made inaccessible until touched again); called at
// every raise to DISPATCH_LEVEL and before each DPC and work item routine.
void TrimAtRaise();

}  // namespace sim::kernel::special_pool
