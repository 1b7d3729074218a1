// The interrupt object and what the delivery of one interrupt does with it: the service
// routines' calls (interrupt_dispatch.cpp) and the count of rounds that makes a storm. The
// lines, vectors and the interrupt processor are in interrupts.cpp.
#pragma once

#include <wdm.h>

#include <optional>
#include <string>
#include <vector>

#include "driver_activity.h"
#include "sim/kernel.h"

struct _KINTERRUPT {
  PKSERVICE_ROUTINE ServiceRoutine;
  PVOID ServiceContext;
  KSPIN_LOCK OwnLock;
  PKSPIN_LOCK Lock;  // the caller's spin lock, or OwnLock
  ULONG Vector;
  KIRQL Irql;
  KIRQL SynchronizeIrql;
  KINTERRUPT_MODE Mode;
  BOOLEAN Shared;
  // The device whose driver connected it (its code runs the routine), and that device's
  // resource record; null when connected outside driver code (a test body).
  const void* Device;
  sim::kernel::ResourceOwner* Owner;
};

namespace sim::kernel {

using Chain = std::vector<PKINTERRUPT>;

// Rounds in a row with a level still asserted and nothing claimed, or with the level never
// dropping although routines claim it: a storm.
inline constexpr int kStormRounds = 1000;
inline constexpr int kStuckRounds = 100000;

// One interrupt: the routines in connection order, each at its SynchronizeIrql holding its
// lock, as its device's driver code, the hold measured. Level-sensitive: until one claims it.
// Latched and shared: whole passes until one in which nobody claims. Returns the first routine
// that claimed, or null.
PKINTERRUPT RunServiceRoutines(const Chain& chain, bool latched);

// Rounds in a row that make a storm, and whose doing it is.
struct StormWatch {
  int rounds = 0;
  int unclaimed = 0;          // unclaimed rounds in a row
  int unclaimedFloating = 0;  // of those, rounds in which only floating inputs held the line
  int claimedFloating = 0;    // claimed rounds in a row in which only floating inputs held it

  // Counts a round of a level-sensitive vector in its stats; returns the violation's message
  // when the vector must be masked (empty for a storm that is the hardware's doing), or
  // nothing while rounds may go on.
  std::optional<std::string> Count(uint32_t vector, LineLevel line, PKINTERRUPT claimer,
                                   InterruptStats& stats);
};

}  // namespace sim::kernel
