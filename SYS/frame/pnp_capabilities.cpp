// The device capabilities, recorded for power handling.
#include "frame/device_extension.h"
#include "frame/frame.h"

/*
 * HandleQueryCapabilities: lets the bus driver fill in the capabilities record, then keeps a
 * copy of the whole record in DeviceCaps (its DeviceState map steers power handling). The
 * driver changes no capability. A record older than version 1 is only passed down.
 * PASSIVE_LEVEL; blocks while the lower drivers work.
 */
TARVIK_PAGE_CODE NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_CAPABILITIES capabilities =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  if (capabilities->Version < 1) return PassDown(DeviceObject, Irp);
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) ExtensionOf(DeviceObject)->DeviceCaps = *capabilities;
  return CompleteRequestStatus(Irp, status);
}
