// Device objects: creation with an extension, attachment into stacks, detach and delete.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "kernel_internal.h"
#include "sim/io.h"
#include "sim/kernel.h"
#include "special_pool.h"

namespace sim::kernel {
namespace {

constexpr CSHORT kIoTypeDevice = 3;

std::mutex g_deviceLock;  // guards the attachment links and the set of live devices
std::set<PDEVICE_OBJECT> g_devices;
bool g_failNextAttach = false;

size_t ExtensionOffset() { return (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15}; }

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

// The device object with its extension, zeroed. In special pool while it is on: once the
// device is deleted and unreferenced its pages stay inaccessible for a while, so a late touch
// (a remove lock in the extension released after IoDeleteDevice) faults in every build, as
// under the platform's verifier, not only where AddressSanitizer runs.
PDEVICE_OBJECT AllocateDeviceMemory(size_t bytes) {
  if (special_pool::Enabled()) {
    if (void* p = special_pool::Allocate(bytes, {special_pool::Kind::Device, 0, nullptr}, false,
                                         special_pool::Placement::End)) {
      std::memset(p, 0, bytes);
      return static_cast<PDEVICE_OBJECT>(p);
    }
  }
  return static_cast<PDEVICE_OBJECT>(std::calloc(1, bytes));
}

void ReleaseDeviceMemory(PDEVICE_OBJECT device) {
  delete device->DeviceObjectExtension;
  if (special_pool::InArena(device)) {
    special_pool::Free(device);
  } else {
    std::free(device);
  }
}

void DestroyDevice(PDEVICE_OBJECT device) {
  PDRIVER_OBJECT driver = device->DriverObject;
  ReleaseDeviceMemory(device);
  NoteDeviceFreed(driver);
}

}  // namespace

void FailNextAttach() {
  std::lock_guard guard(g_deviceLock);
  g_failNextAttach = true;
}

void FreeDeviceObjectMemory(PDEVICE_OBJECT device) {
  {
    std::lock_guard guard(g_deviceLock);
    g_devices.erase(device);
  }
  // The device object and its extension: the driver's locks in it are gone with it.
  ForgetLocksWithin(device, reinterpret_cast<char*>(device) + ExtensionOffset() +
                                (device->Size - sizeof(DEVICE_OBJECT)));
  DestroyDevice(device);
}

bool ReferenceDevice(PDEVICE_OBJECT device) {
  std::lock_guard guard(g_deviceLock);
  if (device->DeviceObjectExtension->DeletePending) return false;
  device->ReferenceCount++;
  return true;
}

}  // namespace sim::kernel

LONG sim::io::OpenFileObjectCount(PDEVICE_OBJECT device) {
  std::lock_guard guard(sim::kernel::g_deviceLock);
  return device->ReferenceCount;
}

void sim::io::WaitForNoOpenFileObjects(PDEVICE_OBJECT device) {
  if (OpenFileObjectCount(device) == 0) return;
  sim::kernel::NoteBlocking();
  while (OpenFileObjectCount(device) > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

namespace sim::kernel {

void DereferenceDevice(PDEVICE_OBJECT device) {
  bool freeNow;
  {
    std::lock_guard guard(g_deviceLock);
    freeNow = --device->ReferenceCount == 0 && device->DeviceObjectExtension->DeletePending;
  }
  if (freeNow) FreeDeviceObjectMemory(device);
}

void ResetDevices() {
  std::lock_guard guard(g_deviceLock);
  g_devices.clear();
  g_failNextAttach = false;
}

void ReportAndFreeLeftoverDevices() {
  std::set<PDEVICE_OBJECT> left;
  {
    std::lock_guard guard(g_deviceLock);
    left.swap(g_devices);
  }
  for (PDEVICE_OBJECT device : left) {
    verifier::Report("DeviceLeak", "device object " + Describe(device) + " (" +
                                       ToUtf8(device->DeviceObjectExtension->Name) +
                                       ") still exists when the kernel stops");
    DestroyDevice(device);
  }
}

}  // namespace sim::kernel

namespace sim::io {

PDEVICE_OBJECT GetAttachedDevice(PDEVICE_OBJECT device) {
  std::lock_guard guard(sim::kernel::g_deviceLock);
  return sim::kernel::TopOf(device);
}

}  // namespace sim::io

using namespace sim::kernel;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
  EnterService("IoCreateDevice");
  *DeviceObject = nullptr;
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice")) return STATUS_INVALID_PARAMETER;
  size_t bytes = ExtensionOffset() + DeviceExtensionSize;
  PDEVICE_OBJECT device = AllocateDeviceMemory(bytes);
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  device->DeviceObjectExtension = new _SIM_DEVOBJ_EXTENSION();
  device->DeviceObjectExtension->DeviceObject = device;
  if (DeviceName != nullptr) {
    std::u16string name = ToU16(DeviceName);
    NTSTATUS status = InsertDeviceName(name, device);
    if (!NT_SUCCESS(status)) {
      ReleaseDeviceMemory(device);
      return status;
    }
    device->DeviceObjectExtension->Name = name;
    device->Flags |= DO_DEVICE_HAS_NAME;
  }
  device->Type = kIoTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags |= DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension =
      DeviceExtensionSize != 0 ? reinterpret_cast<char*>(device) + ExtensionOffset() : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  {
    std::lock_guard guard(g_deviceLock);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    g_devices.insert(device);
  }
  NoteDeviceCreated(DriverObject);
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  EnterService("IoDeleteDevice");
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
  auto* extension = DeviceObject->DeviceObjectExtension;
  std::string who = "IoDeleteDevice of " + Describe(DeviceObject);
  if (extension->DeletePending) {
    verifier::Report("DeleteDeviceTwice", who + ", already deleted");
    return;
  }
  if (DeviceObject->AttachedDevice != nullptr) {
    verifier::Report("DeleteAttachedDevice", who + " while device " +
                                                 Describe(DeviceObject->AttachedDevice) +
                                                 " is still attached on top of it");
  }
  if (extension->AttachedTo != nullptr) {
    verifier::Report("DeleteDeviceStillAttached",
                     who + " while it is still attached to " + Describe(extension->AttachedTo));
  }
  if (InterruptConnectedWithin(DeviceObject, reinterpret_cast<char*>(DeviceObject) +
                                                 ExtensionOffset() + DeviceObject->Size)) {
    verifier::Report("DeleteDeviceInterruptConnected",
                     who + " while an interrupt whose context lies in its extension is connected");
  }
  if (IsDpcQueued(&DeviceObject->Dpc)) {
    verifier::Report("DeleteDeviceDpcQueued", who + " with its DPC still queued");
    KeRemoveQueueDpc(&DeviceObject->Dpc);
  }
  for (const std::string& request : OutstandingRequests(DeviceObject, nullptr, nullptr)) {
    verifier::Report("RequestOutstanding", who + " while it still holds " + request);
  }
  if (!extension->Name.empty()) RemoveDeviceName(extension->Name);
  bool freeNow;
  {
    std::lock_guard guard(g_deviceLock);
    for (PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
      if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
        break;
      }
    }
    extension->DeletePending = true;
    freeNow = DeviceObject->ReferenceCount == 0;
  }
  // With file objects still open on it, the device lives on until the last one is closed.
  if (freeNow) FreeDeviceObjectMemory(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
  EnterService("IoAttachDeviceToDeviceStack");
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
  std::lock_guard guard(g_deviceLock);
  PDEVICE_OBJECT top = TopOf(TargetDevice);
  if (g_failNextAttach || top->DeviceObjectExtension->DeletePending) {
    g_failNextAttach = false;
    return nullptr;
  }
  top->AttachedDevice = SourceDevice;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement) {
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  }
  return top;
}

extern "C" void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  EnterService("IoDetachDevice");
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
  std::lock_guard guard(g_deviceLock);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) {
    verifier::Report("DetachNotAttached",
                     "IoDetachDevice of " + Describe(TargetDevice) + ", which has nothing attached");
    return;
  }
  above->DeviceObjectExtension->AttachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}
