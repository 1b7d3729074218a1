// Power manager entry points used by function drivers.
#include "kernel_internal.h"

// Records the device state the driver reports on its device object; returns the one it
// reported before (D0 for a new device).
extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                             POWER_STATE State) {
  sim::kernel::CheckIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  POWER_STATE previous;
  if (Type == SystemPowerState) {
    previous.SystemState = PowerSystemWorking;
    return previous;
  }
  auto* extension = DeviceObject->DeviceObjectExtension;
  previous.DeviceState = extension->ReportedPowerState;
  extension->ReportedPowerState = State.DeviceState;
  return previous;
}
