// Plug and Play routing: one handler per minor code, under a remove-lock reference.
#include "frame/device_extension.h"
#include "frame/frame.h"

// Minor codes the driver has nothing to do for pass the request down.
PNP_HANDLER* const PnpMinorHandlers[PNP_HANDLER_COUNT] = {
    HandleStartDevice,       // 0x00 IRP_MN_START_DEVICE
    HandleQueryRemove,       // 0x01 IRP_MN_QUERY_REMOVE_DEVICE
    HandleRemoveDevice,  // 0x02 IRP_MN_REMOVE_DEVICE
    HandleCancelRemove,      // 0x03 IRP_MN_CANCEL_REMOVE_DEVICE
    HandleStopDevice,        // 0x04 IRP_MN_STOP_DEVICE
    HandleQueryStop,         // 0x05 IRP_MN_QUERY_STOP_DEVICE
    HandleCancelStop,        // 0x06 IRP_MN_CANCEL_STOP_DEVICE
    PassDown,            // 0x07 IRP_MN_QUERY_DEVICE_RELATIONS
    PassDown,            // 0x08 IRP_MN_QUERY_INTERFACE
    HandleQueryCapabilities,  // 0x09 IRP_MN_QUERY_CAPABILITIES
    PassDown,            // 0x0A IRP_MN_QUERY_RESOURCES
    PassDown,            // 0x0B IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    PassDown,            // 0x0C IRP_MN_QUERY_DEVICE_TEXT
    PassDown,            // 0x0D IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    PassDown,            // 0x0E (no minor function defined)
    PassDown,            // 0x0F IRP_MN_READ_CONFIG
    PassDown,            // 0x10 IRP_MN_WRITE_CONFIG
    PassDown,            // 0x11 IRP_MN_EJECT
    PassDown,            // 0x12 IRP_MN_SET_LOCK
    PassDown,            // 0x13 IRP_MN_QUERY_ID
    PassDown,            // 0x14 IRP_MN_QUERY_PNP_DEVICE_STATE
    PassDown,            // 0x15 IRP_MN_QUERY_BUS_INFORMATION
    PassDown,            // 0x16 IRP_MN_DEVICE_USAGE_NOTIFICATION
    HandleSurpriseRemoval,   // 0x17 IRP_MN_SURPRISE_REMOVAL
};

/*
 * DispatchPnp: takes a remove-lock reference (refusing with STATUS_DELETE_PENDING once removal
 * has begun), routes the request to its minor-code handler, or passes codes 0x18 and above
 * down, and gives the reference back afterwards. The removal handler gives its reference back
 * itself, and the device is gone when it returns. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  NTSTATUS status = AcquireRemoveLock(&extension->RemoveLock);
  if (!NT_SUCCESS(status)) return CompleteRequestStatus(Irp, status);

  UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (minor >= PNP_HANDLER_COUNT) {
    status = PassDown(DeviceObject, Irp);
    ReleaseRemoveLock(&extension->RemoveLock);
    return status;
  }
  status = PnpMinorHandlers[minor](DeviceObject, Irp);
  if (minor != IRP_MN_REMOVE_DEVICE) ReleaseRemoveLock(&extension->RemoveLock);
  return status;
}
