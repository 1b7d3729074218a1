// Windows Management Instrumentation requests (IRP_MJ_SYSTEM_CONTROL): the driver provides no
// WMI data of its own, but a lower driver may (the PCI bus driver registers its physical device
// object), and WMI sends every request to the top of the stack; so each one is passed down.
#include "frame/device_extension.h"
#include "frame/frame.h"

/*
 * DispatchSystemControl: passes the WMI request down unchanged under a remove-lock reference,
 * whichever provider it names; once removal has begun it is completed with
 * STATUS_DELETE_PENDING. Without this routine the I/O manager would complete every request
 * with STATUS_INVALID_DEVICE_REQUEST before it reached the driver that registered for it.
 * PASSIVE_LEVEL (WMI sends these requests there).
 */
TARVIK_PAGE_CODE NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  NTSTATUS status = AcquireRemoveLock(&extension->RemoveLock);
  if (!NT_SUCCESS(status)) return CompleteRequestStatus(Irp, status);
  status = PassDown(DeviceObject, Irp);
  ReleaseRemoveLock(&extension->RemoveLock);
  return status;
}
