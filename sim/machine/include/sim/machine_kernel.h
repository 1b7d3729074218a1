// Kernel-side view of the emulated machine, for tests that look inside the platform objects.
#pragma once

#include <wdm.h>

#include <functional>

#include "sim/machine.h"

namespace sim {

inline PDRIVER_OBJECT DriverOf(const Machine& machine) {
  return static_cast<PDRIVER_OBJECT>(machine.DriverObject());
}
inline PDEVICE_OBJECT PdoOf(const Machine& machine) {
  return static_cast<PDEVICE_OBJECT>(machine.PhysicalDeviceObject());
}
// The driver's functional device object, or null when it has none attached.
inline PDEVICE_OBJECT FdoOf(const Machine& machine) {
  return static_cast<PDEVICE_OBJECT>(machine.FunctionalDeviceObject());
}

// The resource lists of the last start while they are kept (see Machine::StartDevice).
inline PCM_RESOURCE_LIST RawResourcesOf(const Machine& machine) {
  return static_cast<PCM_RESOURCE_LIST>(machine.RawResources());
}
inline PCM_RESOURCE_LIST TranslatedResourcesOf(const Machine& machine) {
  return static_cast<PCM_RESOURCE_LIST>(machine.TranslatedResources());
}
// The device's capabilities as the last successful query left them, or null.
inline const DEVICE_CAPABILITIES* CapabilitiesOf(const Machine& machine) {
  return static_cast<const DEVICE_CAPABILITIES*>(machine.Capabilities());
}

// Sends a PnP request after letting the caller fill in its stack location's parameters.
NTSTATUS SendPnpRequest(Machine& machine, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& fill);

// Sends a power request (IRP_MJ_POWER, status STATUS_NOT_SUPPORTED) to the top of the card's
// stack as the power manager does, after letting the caller fill in its stack location, and
// waits for its final status.
NTSTATUS SendPowerRequest(Machine& machine, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& fill);

}  // namespace sim
