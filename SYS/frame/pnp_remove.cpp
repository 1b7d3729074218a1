// Removal of the device.
#include "frame/frame.h"
#include "frame/pnp_state.h"
#include "hw/interrupt.h"
#include "hw/resources.h"
#include "ioctl/notify.h"

/*
 * HandleRemoveDevice: shuts notification waits out and cancels them, gives the resources up,
 * passes the removal down, then gives back this request's reference and the lock's own and
 * waits until every other holder (outside Win98Mode, every open handle) has let go, and until
 * no block DPC is still running on another processor; only then are the block pool freed and
 * the device object and its link deleted. Returns what the lower driver returned;
 * DispatchPnp releases nothing more for this request. PASSIVE_LEVEL; blocks.
 */
TARVIK_PAGE_CODE NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  RejectAndCancelPending(extension, STATUS_DELETE_PENDING);
  ReleaseResources(DeviceObject);
  SetPnpState(extension, StateRemoved);
  NTSTATUS status = PassDown(DeviceObject, Irp);
  ReleaseRemoveLockAndWait(&extension->RemoveLock);
  // The pool of the last start would otherwise outlive the device.
  if (extension->BlockPool != nullptr) {
    ExFreePool(extension->BlockPool);
    extension->BlockPool = nullptr;
  }
  // The interrupt is disconnected, so no DPC is queued any more; one another processor took
  // off the queue may still be running.
  WaitForRunningDpcs(extension);
  DetachAndDeleteDevice(DeviceObject);
  return status;
}
