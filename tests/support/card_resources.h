// Until the driver assigns its resources at device start, tests give it the card's resources
// the way that assignment will: the port ranges (bridge first, then the card's window), the
// interrupt line, and the interrupt service routine connected to the card's vector; and, as a
// successful start does, they let the device be opened. Free of platform types, so user-mode
// tests can use it.
#pragma once

#include "sim/machine.h"

namespace test_support {

// Without connectInterrupt only the ranges and the line are recorded (tests that run the
// bridge routines on their own).
void AssignCardResources(sim::Machine& machine, bool connectInterrupt = true);
// Disconnects the interrupt; a device must not be deleted with it connected.
void ReleaseCardResources(sim::Machine& machine);

}  // namespace test_support
