// AcquisitionLock: the one lock of every request that drives the card, and of resource
// assignment and release (see DEVICE_EXTENSION::AcquisitionLock). PASSIVE_LEVEL.
#pragma once

#include "frame/device_extension.h"

inline void LockAcquisition(DEVICE_EXTENSION* Extension) {
  KeWaitForSingleObject(&Extension->AcquisitionLock, Executive, KernelMode, FALSE, nullptr);
}
inline void UnlockAcquisition(DEVICE_EXTENSION* Extension) {
  KeReleaseMutex(&Extension->AcquisitionLock, FALSE);
}

// The port bases a request drives, read once with AcquisitionLock held: both zero while the
// resources are not assigned (never started, stopped, removed), whatever the fields keep for
// the record. Under the lock they stay as read until it is given back.
struct CARD_PORTS {
  ULONG_PTR Board;   // the card's 64-byte window, 0 when it has none
  ULONG_PTR Bridge;  // the bridge's registers
};
inline CARD_PORTS AssignedPorts(const DEVICE_EXTENSION* Extension) {
  if (!Extension->ResourcesAssigned) return {0, 0};
  return {Extension->BoardPort, Extension->BridgePort};
}
