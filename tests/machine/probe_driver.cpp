// The probe function driver (see probe_driver.h).
#include "probe_driver.h"

#include <cstddef>

#include <map>
#include <mutex>

namespace probe {
namespace {

struct ProbeExtension {
  PDEVICE_OBJECT Lower;
};

std::mutex lock;
std::vector<Received> received;
std::map<UCHAR, NTSTATUS> failures;
bool deleteAtSurpriseRemoval = false;
bool leaveInitializing = false;
bool reportPower = true;
bool completeWmi = false;
std::map<UCHAR, ULONG> touches;

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> DescriptorsOf(PCM_RESOURCE_LIST list) {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> out;
  if (list == nullptr || list->Count == 0) return out;
  // Addressed from the start of the one-element array the platform declares, which runs on
  // past its end: indexing it in place would let the compiler assume a single descriptor.
  PCM_PARTIAL_RESOURCE_LIST partial = &list->List[0].PartialResourceList;
  auto* first = reinterpret_cast<const CM_PARTIAL_RESOURCE_DESCRIPTOR*>(
      reinterpret_cast<const char*>(partial) + offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors));
  for (ULONG i = 0; i < partial->Count; ++i) out.push_back(first[i]);
  return out;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* extension = static_cast<ProbeExtension*>(DeviceObject->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  Received record;
  record.minor = stack->MinorFunction;
  if (record.minor == IRP_MN_START_DEVICE) {
    record.raw = stack->Parameters.StartDevice.AllocatedResources;
    record.translated = stack->Parameters.StartDevice.AllocatedResourcesTranslated;
    record.rawDescriptors = DescriptorsOf(record.raw);
    record.translatedDescriptors = DescriptorsOf(record.translated);
  }
  if (record.minor == IRP_MN_QUERY_CAPABILITIES &&
      stack->Parameters.DeviceCapabilities.Capabilities != nullptr) {
    record.capabilities = *stack->Parameters.DeviceCapabilities.Capabilities;
  }
  std::optional<NTSTATUS> failure;
  std::optional<ULONG> touch;
  {
    std::lock_guard guard(lock);
    received.push_back(std::move(record));
    if (auto it = failures.find(stack->MinorFunction); it != failures.end()) failure = it->second;
    if (auto it = touches.find(stack->MinorFunction); it != touches.end()) touch = it->second;
  }
  if (touch) READ_PORT_ULONG(reinterpret_cast<PULONG>(ULONG_PTR{*touch}));
  if (failure) {
    Irp->IoStatus.Status = *failure;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return *failure;
  }
  UCHAR minor = stack->MinorFunction;
  PDEVICE_OBJECT lower = extension->Lower;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(lower, Irp);
  bool deleteNow = minor == IRP_MN_SURPRISE_REMOVAL && [] {
    std::lock_guard guard(lock);
    return deleteAtSurpriseRemoval;
  }();
  if (minor == IRP_MN_REMOVE_DEVICE || deleteNow) {
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
  }
  return status;
}

// WMI requests are passed down, as every driver must; or completed, as a driver must not.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  bool complete;
  {
    std::lock_guard guard(lock);
    complete = completeWmi;
  }
  if (complete) {
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(static_cast<ProbeExtension*>(DeviceObject->DeviceExtension)->Lower, Irp);
}

// Power requests go down to the bus untouched.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(static_cast<ProbeExtension*>(DeviceObject->DeviceExtension)->Lower, Irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ProbeExtension), nullptr,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* extension = static_cast<ProbeExtension*>(fdo->DeviceExtension);
  extension->Lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
  std::lock_guard guard(lock);
  if (reportPower) {
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(fdo, DevicePowerState, d0);
  }
  if (!leaveInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  (void)RegistryPath;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

}  // namespace

sim::DriverImage Image() { return {u"Probe", reinterpret_cast<void*>(&Entry)}; }

void Reset() {
  std::lock_guard guard(lock);
  received.clear();
  failures.clear();
  deleteAtSurpriseRemoval = false;
  leaveInitializing = false;
  reportPower = true;
  completeWmi = false;
  touches.clear();
}

std::vector<Received> Requests() {
  std::lock_guard guard(lock);
  return received;
}

std::vector<UCHAR> Minors() {
  std::vector<UCHAR> minors;
  for (const auto& request : Requests()) minors.push_back(request.minor);
  return minors;
}

void Fail(UCHAR minor, NTSTATUS status) {
  std::lock_guard guard(lock);
  failures[minor] = status;
}

}  // namespace probe

namespace probe {

void DeleteAtSurpriseRemoval() {
  std::lock_guard guard(lock);
  deleteAtSurpriseRemoval = true;
}

void LeaveInitializing() {
  std::lock_guard guard(lock);
  leaveInitializing = true;
}

void NeverReportPower() {
  std::lock_guard guard(lock);
  reportPower = false;
}

void CompleteWmiRequests() {
  std::lock_guard guard(lock);
  completeWmi = true;
}

void TouchPortAt(UCHAR minor, ULONG port) {
  std::lock_guard guard(lock);
  touches[minor] = port;
}

}  // namespace probe
