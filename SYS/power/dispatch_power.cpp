// IRP_MJ_POWER: set-power and query-power go through the power machine; the rest is passed
// down.
#include "frame/frame.h"
#include "power/power.h"

/*
 * DispatchPower: under a remove-lock reference, runs set-power and query-power requests
 * through RunPowerMachine with a fresh POWER_CONTEXT, and passes every other power request
 * down. Refusals (removal under way, no pool for the context) complete the request at once;
 * they too call PoStartNextPowerIrp, so that the power manager can send the next power
 * request. PASSIVE_LEVEL (the device object is power-pageable).
 */
TARVIK_PAGE_CODE NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  NTSTATUS status = AcquireRemoveLock(&extension->RemoveLock);
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    return CompleteRequest(Irp, status, 0);
  }
  UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
    auto* context = static_cast<POWER_CONTEXT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_CONTEXT), TARVIK_POOL_TAG));
    if (context == nullptr) {
      PoStartNextPowerIrp(Irp);
      status = CompleteRequestStatus(Irp, STATUS_INSUFFICIENT_RESOURCES);
    } else {
      RtlZeroMemory(context, sizeof(POWER_CONTEXT));
      context->Extension = extension;
      context->Irp = Irp;
      status = RunPowerMachine(context, EvNewRequest);
    }
  } else {
    status = ForwardPowerRequest(extension, Irp);
  }
  ReleaseRemoveLock(&extension->RemoveLock);
  return status;
}

/*
 * ForwardPowerRequest: passes a power request the driver has nothing to do for down, on this
 * driver's own stack location. Never deferred. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS ForwardPowerRequest(DEVICE_EXTENSION* Extension, PIRP Irp) {
  PAGED_CODE();
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Extension->LowerDeviceObject, Irp);
}
