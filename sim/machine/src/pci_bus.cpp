// The PCI bus driver: answers PnP requests on the card's physical device object as told.
#include "pci_bus.h"

#include "sim/driver_loader.h"
#include "sim/verifier.h"

namespace sim {
namespace {

struct PdoExtension {
  PciBus* Bus;
};

NTSTATUS NTAPI PciDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  (void)DriverObject;
  (void)RegistryPath;
  return STATUS_SUCCESS;
}

// The card's capabilities: D0 when working, D3 in every sleeping state.
void FillCapabilities(PDEVICE_CAPABILITIES caps) {
  caps->Address = 0x00040000;  // device 4, function 0
  caps->UINumber = 4;
  caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
    caps->DeviceState[s] = PowerDeviceD3;
  }
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
  caps->SurpriseRemovalOK = FALSE;
}

}  // namespace

PciBus::PciBus() = default;

PciBus::~PciBus() { JoinCompletions(); }

void PciBus::Start() {
  kernel::LoadDriver(PciDriverEntry, u"\\Driver\\PCI", u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\PCI", &driver_);
  driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\NTPNP_PCI0004");
  IoCreateDevice(driver_, sizeof(PdoExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_);
  static_cast<PdoExtension*>(pdo_->DeviceExtension)->Bus = this;
  pdo_->Flags |= DO_POWER_PAGABLE;
  pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
}

void PciBus::Stop() {
  JoinCompletions();
  if (pdo_ != nullptr) {
    IoDeleteDevice(pdo_);
    pdo_ = nullptr;
  }
  if (driver_ != nullptr) {
    kernel::UnloadDriver(driver_);
    driver_ = nullptr;
  }
}

void PciBus::SetPnpAnswer(uint8_t minor, BusAnswer answer) {
  std::lock_guard guard(lock_);
  answers_[minor] = answer;
}

std::vector<BusPnpRecord> PciBus::PnpRequests() const {
  std::lock_guard guard(lock_);
  return requests_;
}

void PciBus::JoinCompletions() {
  std::vector<std::thread> pending;
  {
    std::lock_guard guard(lock_);
    pending.swap(completions_);
  }
  for (auto& thread : pending) thread.join();
}

NTSTATUS NTAPI PciBus::DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return static_cast<PdoExtension*>(DeviceObject->DeviceExtension)->Bus->HandlePnp(Irp);
}

NTSTATUS PciBus::HandlePnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  BusAnswer answer;
  {
    std::lock_guard guard(lock_);
    requests_.push_back({stack->MinorFunction, irp->IoStatus.Status});
    if (auto it = answers_.find(stack->MinorFunction); it != answers_.end()) answer = it->second;
  }
  NTSTATUS status = answer.kind == BusAnswer::Kind::Succeed ? STATUS_SUCCESS : answer.status;
  if (answer.kind != BusAnswer::Kind::CompleteLater) {
    Complete(irp, status);
    return status;
  }
  // Completion from another thread, at DISPATCH_LEVEL as from a DPC. What the request returns
  // (the capabilities) is filled in only then.
  IoMarkIrpPending(irp);
  std::lock_guard guard(lock_);
  completions_.emplace_back([irp, status, delay = answer.delay] {
    std::this_thread::sleep_for(delay);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(irp, status);
    KeLowerIrql(old);
  });
  return STATUS_PENDING;
}

void PciBus::Complete(PIRP irp, NTSTATUS status) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES &&
      stack->Parameters.DeviceCapabilities.Capabilities != nullptr) {
    FillCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace sim
