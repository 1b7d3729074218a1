// The hardware resources the PnP manager assigns at start: port and memory ranges, the
// card's and the bridge's register windows, and the interrupt.
#pragma once

#include "frame/device_extension.h"

NTSTATUS AssignResources(PDEVICE_OBJECT DeviceObject, PCM_PARTIAL_RESOURCE_LIST Raw,
                         PCM_PARTIAL_RESOURCE_LIST Translated);
void ReleaseResources(PDEVICE_OBJECT DeviceObject);

// Whether the access of Width bytes at Port lies inside one I/O-space port range of the
// device (memory-space ranges hold no ports). PASSIVE_LEVEL.
bool PortAccessAssigned(const DEVICE_EXTENSION* Extension, ULONG_PTR Port, ULONG Width);

// Whether the card's resources are assigned now (see DEVICE_EXTENSION::ResourcesAssigned).
inline bool ResourcesAssigned(const DEVICE_EXTENSION* Extension) {
  return Extension->ResourcesAssigned != FALSE;
}
