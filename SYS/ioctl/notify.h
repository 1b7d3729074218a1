// The rendezvous: one parked IOCTL_DAQ_WAIT_EVENT request that IOCTL_DAQ_SET_EVENT completes
// with a 32-bit value, and the ways a parked wait is cancelled.
#pragma once

#include "frame/device_extension.h"

NTSTATUS PendNotifyRequest(DEVICE_EXTENSION* Extension, PIRP Irp, PIRP* Slot);
PIRP TakeNotifyRequest(DEVICE_EXTENSION* Extension, PIRP* Slot);
void RejectAndCancelPending(DEVICE_EXTENSION* Extension, NTSTATUS Status);
void CancelPendingRequests(DEVICE_EXTENSION* Extension, PFILE_OBJECT FileObject);
DRIVER_DISPATCH DispatchCleanup;
DRIVER_CANCEL NotifyCancelRoutine;
IO_COMPLETION_ROUTINE NotifyCompletionRoutine;
