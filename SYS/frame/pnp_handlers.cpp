// Start, stop and the queries and cancellations around stop and removal.
#include "frame/frame.h"
#include "frame/pnp_state.h"
#include "hw/resources.h"
#include "ioctl/notify.h"

namespace {

// The partial resource list of a list's first full descriptor, or null.
PCM_PARTIAL_RESOURCE_LIST FirstPartialList(PCM_RESOURCE_LIST List) {
  return List != nullptr ? &List->List[0].PartialResourceList : nullptr;
}

}  // namespace

/*
 * HandleStartDevice: lets the lower drivers start first, then assigns the resources they were
 * given. Started only when both succeed; a successful start also lets notification waits in
 * again (a stop had shut them out). Completes the request with the outcome. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (!NT_SUCCESS(status)) return CompleteRequestStatus(Irp, status);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  status = AssignResources(DeviceObject,
                           FirstPartialList(stack->Parameters.StartDevice.AllocatedResources),
                           FirstPartialList(stack->Parameters.StartDevice.AllocatedResourcesTranslated));
  if (NT_SUCCESS(status)) {
    SetPnpState(extension, StateStarted);
    InterlockedExchange(&extension->PendingRejectStatus, 0);
  }
  return CompleteRequestStatus(Irp, status);
}

/*
 * HandleQueryStop: never refused; a started device becomes stop-pending. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  if (extension->PnpState == StateStarted) SetPnpState(extension, StateStopPending);
  return PassDown(DeviceObject, Irp);
}

/*
 * HandleCancelStop: a stop-pending device is started again once the lower drivers agree;
 * in any other state the request is only passed down. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  if (extension->PnpState != StateStopPending) return PassDown(DeviceObject, Irp);
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) SetPnpState(extension, StateStarted);
  return CompleteRequestStatus(Irp, status);
}

/*
 * HandleStopDevice: gives the resources up (a stop that no query-stop announced also shuts
 * notification waits out with STATUS_DELETE_PENDING first). PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  if (extension->PnpState != StateStopPending) RejectAndCancelPending(extension, STATUS_DELETE_PENDING);
  ReleaseResources(DeviceObject);
  SetPnpState(extension, StateStopped);
  return PassDown(DeviceObject, Irp);
}

/*
 * HandleQueryRemove: in Win98Mode a started device with open handles refuses removal
 * (STATUS_DEVICE_BUSY), since handles hold no remove-lock reference there. Otherwise the
 * device becomes remove-pending, remembering the state it leaves. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  if (extension->PnpState == StateStarted && Win98Mode && DeviceObject->ReferenceCount != 0) {
    return CompleteRequestStatus(Irp, STATUS_DEVICE_BUSY);
  }
  EnterRemovePending(extension);
  return PassDown(DeviceObject, Irp);
}

/*
 * HandleCancelRemove: a remove-pending device returns to the state query-remove saved, once
 * the lower drivers agree; in any other state the request is only passed down. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  if (extension->PnpState != StateRemovePending) return PassDown(DeviceObject, Irp);
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) RestorePreviousPnpState(extension);
  return CompleteRequestStatus(Irp, status);
}

/*
 * HandleSurpriseRemoval: the card is gone: waits are shut out and cancelled, the resources
 * given up. The device object stays until the removal that follows. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  RejectAndCancelPending(extension, STATUS_DELETE_PENDING);
  SetPnpState(extension, StateSurpriseRemoved);
  ReleaseResources(DeviceObject);
  return PassDown(DeviceObject, Irp);
}
