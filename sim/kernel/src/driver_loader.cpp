// Driver objects: load (DriverEntry), the I/O manager's default dispatch, and unload.
#include "kernel_internal.h"
#include "sim/driver_loader.h"

namespace sim::kernel {
namespace {

constexpr CSHORT kIoTypeDriver = 4;

struct DriverBlock {
  DRIVER_OBJECT Object{};
  DRIVER_EXTENSION Extension{};
  std::u16string Name;
  std::u16string RegistryPath;  // kept without a terminating NUL, as the caller must not need one
  UNICODE_STRING RegistryPathString{};
};

// What a driver gets for every request it has no routine for.
NTSTATUS NTAPI IopInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

DriverBlock* BlockOf(PDRIVER_OBJECT driver) { return reinterpret_cast<DriverBlock*>(driver); }

void SetString(UNICODE_STRING* s, std::u16string& text) {
  s->Buffer = reinterpret_cast<PWSTR>(text.data());
  s->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  s->MaximumLength = s->Length;
}

}  // namespace

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view name,
                    std::u16string_view registryPath, PDRIVER_OBJECT* driver) {
  auto* block = new DriverBlock();
  block->Name = name;
  block->RegistryPath = registryPath;
  PDRIVER_OBJECT object = &block->Object;
  object->Type = kIoTypeDriver;
  object->Size = sizeof(DRIVER_OBJECT);
  object->DriverExtension = &block->Extension;
  block->Extension.DriverObject = object;
  SetString(&object->DriverName, block->Name);
  SetString(&block->RegistryPathString, block->RegistryPath);
  object->DriverInit = entry;
  for (auto& routine : object->MajorFunction) routine = IopInvalidDeviceRequest;

  KIRQL irql = CurrentThread().Irql;
  BeginDriverEntry();
  NTSTATUS status = entry(object, &block->RegistryPathString);
  EndDriverEntry();
  if (NT_SUCCESS(status)) CheckRegisteredRoutines(object, ToUtf8(name));
  if (CurrentThread().Irql != irql) {
    verifier::Report("IrqlReturn", "DriverEntry of " + ToUtf8(name) + " returned at IRQL " +
                                       std::to_string(CurrentThread().Irql));
    CurrentThread().Irql = irql;
  }
  if (!NT_SUCCESS(status)) {
    if (object->DeviceObject != nullptr) {
      verifier::Report("DriverEntryFailedWithDevices",
                       "DriverEntry of " + ToUtf8(name) + " failed but left device objects");
    }
    delete block;
    *driver = nullptr;
    return status;
  }
  *driver = object;
  return status;
}

bool UnloadDriver(PDRIVER_OBJECT driver) {
  DriverBlock* block = BlockOf(driver);
  std::string name = ToUtf8(block->Name);
  if (driver->DeviceObject != nullptr) {
    verifier::Report("UnloadWithDevices", name + " unloaded while it still has device objects");
    return false;
  }
  if (driver->DriverUnload != nullptr) {
    KIRQL irql = CurrentThread().Irql;
    driver->DriverUnload(driver);
    if (CurrentThread().Irql != irql) {
      verifier::Report("IrqlReturn", "DriverUnload of " + name + " returned at another IRQL");
      CurrentThread().Irql = irql;
    }
  }
  ReportPoolLeaks(name);
  FreeLeakedPool();
  ReportAndFreeLeakedMappings(name + " unloaded and");
  delete block;
  return true;
}

}  // namespace sim::kernel
