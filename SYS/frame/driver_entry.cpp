// Driver entry and unload, and the driver-wide state they own.
#include "frame/frame.h"
#include "hw/interrupt.h"
#include "ioctl/control.h"
#include "ioctl/notify.h"
#include "power/power.h"

BOOLEAN Win98Mode;
UNICODE_STRING RegistryPathCopy;

/*
 * DriverEntry: refuses to load without WDM 1.0, notes whether WDM 1.10 is missing (the 98/Me
 * family, which changes create, close, query-remove and power handling), keeps a NUL-terminated
 * copy of the registry path and fills in the dispatch table. A path whose copy (its length
 * plus the NUL) would not fit a UNICODE_STRING's 16-bit length is refused
 * (STATUS_INVALID_PARAMETER) before anything is allocated.
 * PASSIVE_LEVEL, called once by the system; discarded after initialisation.
 */
extern "C" TARVIK_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                      PUNICODE_STRING RegistryPath) {
  if (!IoIsWdmVersionAvailable(1, 0)) return STATUS_UNSUCCESSFUL;
  Win98Mode = !IoIsWdmVersionAvailable(1, 0x10);

  constexpr ULONG LONGEST_STRING_BYTES = 0xFFFF;  // a UNICODE_STRING length is 16 bits
  if (RegistryPath->Length + sizeof(WCHAR) > LONGEST_STRING_BYTES) {
    return STATUS_INVALID_PARAMETER;
  }
  USHORT copyBytes = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));
  RegistryPathCopy.Buffer =
      static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, copyBytes, TARVIK_POOL_TAG));
  if (RegistryPathCopy.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RegistryPathCopy.Length = 0;
  RegistryPathCopy.MaximumLength = copyBytes;
  RtlCopyUnicodeString(&RegistryPathCopy, RegistryPath);

  DriverObject->DriverUnload = DriverUnload;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  return STATUS_SUCCESS;
}

/*
 * DriverUnload: frees the registry-path copy. Device objects are gone by now; the removal
 * handler deletes them. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);
  RtlFreeUnicodeString(&RegistryPathCopy);
}
