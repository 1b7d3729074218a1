// The platform's rules for what a function driver does with the requests the PnP manager
// sends it, checked by the machine after each one.
#pragma once

#include <wdm.h>

#include "sim/machine.h"

namespace sim {

// After AddDevice: it returned at the IRQL it was called at, and a device it added is ready.
void CheckAddDevice(Machine& machine, NTSTATUS status, KIRQL irqlBefore);

// After a PnP request to the stack whose top function device was `fdoBefore` (null: none):
// what must never fail did not, and what must follow removal (or must not follow surprise
// removal) did.
void CheckPnpOutcome(Machine& machine, UCHAR minor, NTSTATUS status, PDEVICE_OBJECT fdoBefore);

// After a successful start: the driver has reported the device's power state
// (PoSetPowerState), which the power manager otherwise never learns.
void CheckPowerReportedAfterStart(Machine& machine);

}  // namespace sim
