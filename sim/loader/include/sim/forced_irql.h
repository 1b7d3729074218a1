// Forced IRQL checking on a loaded driver image, done with page protection as the platform's
// verifier does it:
//   - once DriverEntry has returned, INIT is made inaccessible: running or reading it later
//     faults and is reported (InitCodeAfterEntry) naming the routine it hit;
//   - whenever a thread raises to DISPATCH_LEVEL or above, every section whose name starts
//     with PAGE is trimmed (made inaccessible); a touch of one at PASSIVE or APC level pages it
//     back in and goes on, a touch at DISPATCH_LEVEL or above is reported
//     (PageFaultAtRaisedIrql) naming the routine. Paged pool is trimmed at the same raises by
//     the kernel's special pool (sim/kernel.h).
// As on the platform, a section paged back in is paged in for every thread: a touch at
// PASSIVE_LEVEL by one thread can hide a raised touch by another until the next raise trims it
// again. The verifier's check catches what the schedule exposes, not every possible fault.
//
// After a report the section is made accessible so the run goes on and the test sees the
// violation. One image is checked at a time.
#pragma once

#include "sim/image_loader.h"

namespace sim::loader {

class ForcedIrqlChecking {
 public:
  // Claims the image's faults (sim/page_faults.h), sets the kernel's raise and DriverEntry
  // hooks for the image, and registers its PAGE and INIT code with the section rules.
  explicit ForcedIrqlChecking(const MappedImage& image);
  ~ForcedIrqlChecking();
  ForcedIrqlChecking(const ForcedIrqlChecking&) = delete;
  ForcedIrqlChecking& operator=(const ForcedIrqlChecking&) = delete;

  // Trims the PAGE* sections now, as a raise does; what tests use to provoke a fault.
  static void TrimPage();

 private:
  const MappedImage* image_;
};

}  // namespace sim::loader
