// I/O manager services for the emulated machine's own request originators (the PnP manager,
// the power manager, the file-handle calls): send a request down a stack and wait for it.
#pragma once

#include <wdm.h>

namespace sim::io {

// Sends a request to the device (normally the top of a stack) from PASSIVE_LEVEL and waits
// until its completion has run past the top stack location; returns the final status block.
// The request must come from IoAllocateIrp with the next stack location filled in. It is
// released at its final completion, as the platform's I/O manager frees the requests it
// builds: the caller must not touch it afterwards.
IO_STATUS_BLOCK CallAndWait(PDEVICE_OBJECT device, PIRP irp);

// As CallAndWait, but for requests whose Information must not exceed an output length
// (buffered and out-direct device control).
IO_STATUS_BLOCK CallAndWaitChecked(PDEVICE_OBJECT device, PIRP irp, ULONG outputLength);

// IoAllocateIrp for a request the manager builds itself: the low-resource mode never fails it.
PIRP AllocateManagerIrp(CCHAR stackSize);

// The top of the stack that the device belongs to.
PDEVICE_OBJECT GetAttachedDevice(PDEVICE_OBJECT device);

// File objects open on the device (each holds a reference on it until its close).
LONG OpenFileObjectCount(PDEVICE_OBJECT device);
// Waits, with no deadlock limit, until no file object is open on the device. A wait that does
// not end at once blocks the caller as a kernel wait does, so an injected action that waits
// here lets the thread it holds go on.
void WaitForNoOpenFileObjects(PDEVICE_OBJECT device);

// Marks every device of the stack above and including the PDO as not yet started, or clears
// the mark (the platform's DOE_START_PENDING): while it is set, and while the named device has
// DO_DEVICE_INITIALIZING set, opens fail with STATUS_NO_SUCH_DEVICE.
void SetStackStartPending(PDEVICE_OBJECT pdo, bool pending);

// The device state its driver last reported with PoSetPowerState; PowerDeviceUnspecified
// until it reports one.
DEVICE_POWER_STATE ReportedPowerState(PDEVICE_OBJECT device);

}  // namespace sim::io
