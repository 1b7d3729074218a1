// Request routines shared by the whole driver: complete, pass down, forward and wait, and
// the final detach-and-delete.
#include "frame/device_extension.h"
#include "frame/frame.h"

namespace {

/*
 * ForwardAndWaitCompletion: wakes the thread waiting in ForwardAndWait and stops the
 * completion walk, so the request comes back to that thread uncompleted.
 * Up to DISPATCH_LEVEL, called by the I/O manager when the lower drivers complete.
 */
NTSTATUS NTAPI ForwardAndWaitCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

/*
 * CompleteRequest: completes the request with the status and information value, with no
 * priority boost, and returns the status. Up to DISPATCH_LEVEL.
 */
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

/*
 * CompleteRequestStatus: as CompleteRequest, but keeps the information value the lower
 * drivers set. Up to DISPATCH_LEVEL.
 */
NTSTATUS CompleteRequestStatus(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

/*
 * PassDown: hands the request to the lower driver on this driver's own stack location, with
 * no completion routine. The request is no longer ours: the caller must not touch it after.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}

/*
 * ForwardAndWait: sends the request down with a completion routine that stops the walk, and
 * waits until the lower drivers have completed it, whatever IoCallDriver returned. Returns
 * their final status; the request is the caller's again and the caller completes it.
 * PASSIVE_LEVEL; blocks.
 */
TARVIK_PAGE_CODE NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardAndWaitCompletion, &event, TRUE, TRUE, TRUE);
  IoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return Irp->IoStatus.Status;
}

/*
 * DetachAndDeleteDevice: deletes the link AddDevice created, detaches from the lower device
 * and deletes the device object (and with it the extension). PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE void DetachAndDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  if (extension->SymbolicLinkCreated) {
    WCHAR linkNameBuffer[64];
    UNICODE_STRING linkName;
    swprintf(linkNameBuffer, TARVIK_LINK_NAME_FORMAT, TARVIK_BASE_NAME);
    RtlInitUnicodeString(&linkName, linkNameBuffer);
    IoDeleteSymbolicLink(&linkName);
    extension->SymbolicLinkCreated = FALSE;
  }
  if (extension->LowerDeviceObject != nullptr) IoDetachDevice(extension->LowerDeviceObject);
  IoDeleteDevice(DeviceObject);
}
