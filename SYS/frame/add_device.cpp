// AddDevice: creation of the functional device object and its user-visible link.
#include "frame/device_extension.h"
#include "frame/frame.h"
#include "hw/interrupt.h"

namespace {

// Room for "\DosDevices\Tarvik" and a NUL, with margin.
constexpr int NAME_BUFFER_CHARS = 64;

}  // namespace

/*
 * AddDevice: creates \Device\Tarvik with a zero-filled DEVICE_EXTENSION, links
 * \DosDevices\Tarvik to it, attaches it on top of the physical device object and records
 * power states D0 and Working.
 *
 * A failed link does not stop the set-up; the device is torn down at the end and the link's
 * status returned. A failed attach returns STATUS_DEVICE_REMOVED. Either way no device object
 * and no link of ours is left behind, so the card can be added again.
 * PASSIVE_LEVEL, called by the PnP manager once per card.
 */
TARVIK_PAGE_CODE NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject,
                                          PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  WCHAR deviceNameBuffer[NAME_BUFFER_CHARS];
  UNICODE_STRING deviceName;
  swprintf(deviceNameBuffer, TARVIK_DEVICE_NAME_FORMAT, TARVIK_BASE_NAME);
  RtlInitUnicodeString(&deviceName, deviceNameBuffer);

  PDEVICE_OBJECT deviceObject = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName,
                                   FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                                   &deviceObject);
  if (!NT_SUCCESS(status)) return status;

  WCHAR linkNameBuffer[NAME_BUFFER_CHARS];
  UNICODE_STRING linkName;
  swprintf(linkNameBuffer, TARVIK_LINK_NAME_FORMAT, TARVIK_BASE_NAME);
  RtlInitUnicodeString(&linkName, linkNameBuffer);
  status = IoCreateSymbolicLink(&linkName, &deviceName);

  DEVICE_EXTENSION* extension = ExtensionOf(deviceObject);
  RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
  extension->SymbolicLinkCreated = NT_SUCCESS(status);
  extension->DeviceObject = deviceObject;
  extension->Pdo = PhysicalDeviceObject;
  InitializeRemoveLock(&extension->RemoveLock);
  extension->PnpState = StateStopped;

  extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
  if (extension->LowerDeviceObject == nullptr) {
    status = STATUS_DEVICE_REMOVED;
  } else {
    deviceObject->Flags |= DO_POWER_PAGABLE;
    extension->SystemPower = PowerSystemWorking;
    extension->DevicePower = PowerDeviceD0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(deviceObject, DevicePowerState, state);
    InitializeListHead(&extension->PendingList);
    KeInitializeSpinLock(&extension->PendingLock);
    KeInitializeMutex(&extension->AcquisitionLock, 0);
    KeInitializeSpinLock(&extension->EventLock);
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  if (!NT_SUCCESS(status)) {
    DetachAndDeleteDevice(deviceObject);  // nothing touches the device after this
    return status;
  }
  KeInitializeDpc(&deviceObject->Dpc, InterruptDpc, deviceObject);
  return status;
}
