// Driver objects: load (DriverEntry), the I/O manager's default dispatch, and unload.
#include <mutex>
#include <utility>

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
  // Device objects not yet freed, deleted or not: a device deleted while file objects still
  // refer to it keeps its driver loaded, as on the platform. Guarded by g_driverLock.
  int DevicesAlive = 0;
  bool UnloadPending = false;
  bool EntryFailed = false;  // the devices a failed DriverEntry left are all that keeps it
};

std::mutex g_driverLock;

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
  int regions = CurrentThread().CriticalRegions;
  PDRIVER_OBJECT caller = std::exchange(CurrentThread().RunningDriver, object);
  BeginDriverEntry();
  NTSTATUS status = entry(object, &block->RegistryPathString);
  EndDriverEntry();
  CurrentThread().RunningDriver = caller;
  if (CurrentThread().CriticalRegions != regions) {
    CheckCriticalRegionsLeft(regions, "DriverEntry of " + ToUtf8(name));
  }
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
    {
      std::lock_guard guard(g_driverLock);
      if (block->DevicesAlive > 0) {
        block->EntryFailed = true;  // freed with the last of them
        *driver = nullptr;
        return status;
      }
    }
    delete block;
    *driver = nullptr;
    return status;
  }
  *driver = object;
  return status;
}

namespace {

// The unload itself: the driver's Unload routine, then what it left behind.
void FinishUnload(PDRIVER_OBJECT driver) {
  DriverBlock* block = BlockOf(driver);
  std::string name = ToUtf8(block->Name);
  for (const std::string& request : OutstandingRequests(nullptr, driver, nullptr)) {
    verifier::Report("RequestOutstanding", name + " unloaded while it still holds " + request);
  }
  if (driver->DriverUnload != nullptr) {
    KIRQL irql = CurrentThread().Irql;
    driver->DriverUnload(driver);
    if (CurrentThread().Irql != irql) {
      verifier::Report("IrqlReturn", "DriverUnload of " + name + " returned at another IRQL");
      CurrentThread().Irql = irql;
    }
  }
  // ExQueueWorkItem holds no reference on the driver: a routine still queued or running
  // returns into unloaded code.
  for (const std::string& work : DriverWorkItemsLeft(driver)) {
    verifier::Report("UnloadWithWorkItem", name + " unloaded while " + work);
  }
  ReportPoolLeaks(name);
  FreeLeakedPool();
  ReportAndFreeLeakedMappings(name + " unloaded and");
  delete block;
}

}  // namespace

void NoteDeviceCreated(PDRIVER_OBJECT driver) {
  std::lock_guard guard(g_driverLock);
  BlockOf(driver)->DevicesAlive++;
}

void NoteDeviceFreed(PDRIVER_OBJECT driver) {
  DriverBlock* block = BlockOf(driver);
  bool failed, unload;
  {
    std::lock_guard guard(g_driverLock);
    bool last = --block->DevicesAlive == 0;
    failed = last && block->EntryFailed;
    unload = last && block->UnloadPending;
  }
  if (failed) delete block;
  if (unload) FinishUnload(driver);
}

bool UnloadDriver(PDRIVER_OBJECT driver) {
  DriverBlock* block = BlockOf(driver);
  if (driver->DeviceObject != nullptr) {
    verifier::Report("UnloadWithDevices",
                     ToUtf8(block->Name) + " unloaded while it still has device objects");
    return false;
  }
  {
    // Deleted devices still referenced by file objects: the unload finishes with the last.
    std::lock_guard guard(g_driverLock);
    if (block->DevicesAlive > 0) {
      block->UnloadPending = true;
      return true;
    }
  }
  FinishUnload(driver);
  return true;
}

}  // namespace sim::kernel
