// Create and close: outside the 98/Me family every open handle holds a remove-lock reference
// from create to close, so removal waits for the last handle.
#include "frame/device_extension.h"
#include "frame/frame.h"

/*
 * DispatchCreate: takes the new handle's remove-lock reference (not in Win98Mode) and
 * completes the create with its status; a create during removal fails with
 * STATUS_DELETE_PENDING and holds nothing. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  NTSTATUS status = STATUS_SUCCESS;
  if (!Win98Mode) status = AcquireRemoveLock(&ExtensionOf(DeviceObject)->RemoveLock);
  return CompleteRequest(Irp, status, 0);
}

/*
 * DispatchClose: gives back the reference that create took for this handle (not in
 * Win98Mode). Never fails and takes no reference of its own. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  if (!Win98Mode) ReleaseRemoveLock(&ExtensionOf(DeviceObject)->RemoveLock);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
