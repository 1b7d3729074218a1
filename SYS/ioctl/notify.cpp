// Event-notification requests. A parked wait belongs to whoever exchanges its cancel routine
// from set to null: the signal, the driver's own cancellation, or the I/O manager's. All the
// driver's exchanges happen under PendingLock, which is never held while a request completes
// (NotifyCompletionRoutine takes it) and never taken under the cancel spin lock.
#include "ioctl/notify.h"

namespace {

// The slot that holds a parked wait, kept in the request's driver context (pointer-width on
// every build).
inline PIRP* SlotOf(PIRP Irp) { return static_cast<PIRP*>(Irp->Tail.Overlay.DriverContext[0]); }

inline PLIST_ENTRY ListEntryOf(PIRP Irp) { return &Irp->Tail.Overlay.ListEntry; }

}  // namespace

/*
 * PendNotifyRequest: parks a wait request in the slot, unless one is parked already
 * (STATUS_UNSUCCESSFUL), waits are being refused (PendingRejectStatus, read once), or the
 * request was cancelled before its cancel routine could be installed (STATUS_CANCELLED). A
 * parked request is marked pending, remembers its slot, and has one more stack location made
 * current, naming this device and the request's file object with NotifyCompletionRoutine
 * under it, so that every completion, by whichever path, empties the slot first. That
 * location is written in full before the cancel routine is installed: from then on the I/O
 * manager may cancel on another processor, and it calls the routine with the device object
 * of whichever location is current (both name this device). Returns STATUS_PENDING when
 * parked. PASSIVE_LEVEL (DISPATCH_LEVEL under the lock).
 */
TARVIK_RESIDENT_CODE NTSTATUS PendNotifyRequest(DEVICE_EXTENSION* Extension, PIRP Irp, PIRP* Slot) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->PendingLock, &irql);
  NTSTATUS status;
  NTSTATUS rejectStatus = InterlockedCompareExchange(&Extension->PendingRejectStatus, 0, 0);
  if (*Slot != nullptr) {
    status = STATUS_UNSUCCESSFUL;
  } else if (rejectStatus != 0) {
    status = rejectStatus;
  } else {
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION below = IoGetNextIrpStackLocation(Irp);
    below->DeviceObject = Extension->DeviceObject;
    below->FileObject = own->FileObject;
    IoSetCompletionRoutine(Irp, NotifyCompletionRoutine, Extension, TRUE, TRUE, TRUE);
    Irp->Tail.Overlay.DriverContext[0] = Slot;
    IoSetCancelRoutine(Irp, NotifyCancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
      // Not parked: the dispatcher completes it from its own location, which the completion
      // starts from, so the location prepared below is never visited.
      status = STATUS_CANCELLED;
    } else {
      // Parked, also when the I/O manager has just taken the cancel routine: it will call it,
      // and the routine must find the request on the list (it waits for PendingLock).
      IoMarkIrpPending(Irp);
      IoSetNextIrpStackLocation(Irp);
      *Slot = Irp;
      InsertTailList(&Extension->PendingList, ListEntryOf(Irp));
      status = STATUS_PENDING;
    }
  }
  KeReleaseSpinLock(&Extension->PendingLock, irql);
  return status;
}

/*
 * TakeNotifyRequest: takes the parked wait out of the slot for the caller to complete; null
 * when none is parked or when the I/O manager's cancellation owns it. PASSIVE_LEVEL.
 */
TARVIK_RESIDENT_CODE PIRP TakeNotifyRequest(DEVICE_EXTENSION* Extension, PIRP* Slot) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->PendingLock, &irql);
  auto* candidate = static_cast<PIRP>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(Slot), nullptr));
  PIRP taken = nullptr;
  if (candidate != nullptr && IoSetCancelRoutine(candidate, nullptr) != nullptr) {
    RemoveEntryList(ListEntryOf(candidate));
    taken = candidate;
  }
  KeReleaseSpinLock(&Extension->PendingLock, irql);
  return taken;
}

/*
 * CancelPendingRequests: completes with STATUS_CANCELLED every parked wait (of the file object,
 * when one is given) that the I/O manager's cancellation does not already own. The requests
 * are collected under the lock and completed after it is released. PASSIVE_LEVEL.
 */
TARVIK_RESIDENT_CODE void CancelPendingRequests(DEVICE_EXTENSION* Extension,
                                               PFILE_OBJECT FileObject) {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KIRQL irql;
  KeAcquireSpinLock(&Extension->PendingLock, &irql);
  for (PLIST_ENTRY entry = Extension->PendingList.Flink; entry != &Extension->PendingList;) {
    PLIST_ENTRY next = entry->Flink;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if ((FileObject == nullptr || IoGetCurrentIrpStackLocation(irp)->FileObject == FileObject) &&
        IoSetCancelRoutine(irp, nullptr) != nullptr) {
      RemoveEntryList(entry);
      InsertTailList(&cancelled, entry);
    }
    entry = next;
  }
  KeReleaseSpinLock(&Extension->PendingLock, irql);
  while (!IsListEmpty(&cancelled)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

/*
 * RejectAndCancelPending: from now on new waits are refused with Status; the parked ones are
 * cancelled (with STATUS_CANCELLED, whatever Status is). PASSIVE_LEVEL.
 */
void RejectAndCancelPending(DEVICE_EXTENSION* Extension, NTSTATUS Status) {
  InterlockedExchange(&Extension->PendingRejectStatus, Status);
  CancelPendingRequests(Extension, nullptr);
}

/*
 * DispatchCleanup: the last handle of a file object is going: its parked waits are cancelled.
 * Takes no remove-lock reference (outside Win98Mode the handle still holds one) and leaves
 * PendingRejectStatus alone. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  CancelPendingRequests(extension, IoGetCurrentIrpStackLocation(Irp)->FileObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

/*
 * NotifyCancelRoutine: the I/O manager cancels a parked wait. Called with the cancel spin lock
 * held; it is released first (staying at DISPATCH_LEVEL) so that PendingLock is never taken
 * under it, and PendingLock's release returns to the canceller's IRQL. The slot is emptied by
 * NotifyCompletionRoutine during the completion.
 */
void NTAPI NotifyCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KIRQL cancelIrql = Irp->CancelIrql;
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  KeAcquireSpinLockAtDpcLevel(&extension->PendingLock);
  RemoveEntryList(ListEntryOf(Irp));
  KeReleaseSpinLock(&extension->PendingLock, cancelIrql);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/*
 * NotifyCompletionRoutine: runs first in every completion of a parked wait and empties the
 * slot if it still names the request. The pending mark sits in the driver's own location,
 * which the completion reaches next. Up to DISPATCH_LEVEL.
 */
NTSTATUS NTAPI NotifyCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto* extension = static_cast<DEVICE_EXTENSION*>(Context);
  KIRQL irql;
  KeAcquireSpinLock(&extension->PendingLock, &irql);
  PIRP* slot = SlotOf(Irp);
  if (*slot == Irp) *slot = nullptr;
  KeReleaseSpinLock(&extension->PendingLock, irql);
  return STATUS_SUCCESS;
}
