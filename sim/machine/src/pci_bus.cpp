// The PCI bus driver: answers PnP and power requests on the card's physical device object as
// told.
#include "pci_bus.h"

#include <string>
#include <utility>

#include "pci_ids.h"
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

constexpr ULONG kCardDevice = 4;
constexpr ULONG kCardFunction = 0;

// The card's capabilities: D0 when working, D3 in every sleeping state.
void FillCapabilities(PDEVICE_CAPABILITIES caps) {
  caps->Address = kCardDevice << 16 | kCardFunction;
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

PciBus::PciBus(std::function<card::PciIdentity()> identity) : identity_(std::move(identity)) {}

PciBus::~PciBus() { JoinCompletions(); }

void PciBus::Start() {
  kernel::LoadDriver(PciDriverEntry, u"\\Driver\\PCI", u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\PCI", &driver_);
  driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
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

void PciBus::SetPowerAnswer(uint8_t minor, int type, BusAnswer answer) {
  std::lock_guard guard(lock_);
  powerAnswers_[{minor, type}] = answer;
}

std::vector<BusPowerRecord> PciBus::PowerRequests() const {
  std::lock_guard guard(lock_);
  return powerRequests_;
}

std::vector<uint8_t> PciBus::WmiRequests() const {
  std::lock_guard guard(lock_);
  return wmiRequests_;
}

void PciBus::SetDecodeSwitch(std::function<void(bool)> decode) {
  std::lock_guard guard(lock_);
  decode_ = std::move(decode);
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

NTSTATUS NTAPI PciBus::DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return static_cast<PdoExtension*>(DeviceObject->DeviceExtension)->Bus->HandlePower(Irp);
}

// WMI requests: the bus driver registered its physical device object as a WMI provider with
// no data blocks, so the requests naming it succeed with nothing returned; others keep their
// status.
NTSTATUS NTAPI PciBus::DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PciBus* bus = static_cast<PdoExtension*>(DeviceObject->DeviceExtension)->Bus;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  {
    std::lock_guard guard(bus->lock_);
    bus->wmiRequests_.push_back(stack->MinorFunction);
  }
  if (stack->Parameters.WMI.ProviderId == reinterpret_cast<ULONG_PTR>(DeviceObject)) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
  }
  NTSTATUS status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// The minor codes this bus driver handles succeed unless told otherwise; any other it
// completes with the status it arrived with, as the platform's bus drivers do, so that a
// function driver cannot rely on a lower driver to turn STATUS_NOT_SUPPORTED into success.
NTSTATUS PciBus::HandlePnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UCHAR minor = stack->MinorFunction;
  bool handled = minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_QUERY_CAPABILITIES ||
                 minor == IRP_MN_SURPRISE_REMOVAL ||
                 (minor == IRP_MN_QUERY_ID && PciReportsIdType(stack->Parameters.QueryId.IdType));
  BusAnswer answer;
  bool told = false;
  {
    std::lock_guard guard(lock_);
    requests_.push_back({minor, irp->IoStatus.Status, received_++});
    if (auto it = answers_.find(minor); it != answers_.end()) {
      answer = it->second;
      told = true;
    }
  }
  NTSTATUS status;
  if (answer.kind != BusAnswer::Kind::Succeed) {
    status = answer.status;
  } else {
    status = handled || told ? STATUS_SUCCESS : irp->IoStatus.Status;
  }
  return Answer(irp, status, answer, [this](PIRP done, NTSTATUS final) { return Complete(done, final); });
}

// Set-power and query-power succeed unless told otherwise; the bus has nothing to do for the
// other minor codes (the card cannot wake the system) and leaves their status as it is. On the
// WDM 1.0 platform nothing defers power requests to PASSIVE_LEVEL for the bus driver, which
// may only be called there: a request arriving higher is the caller's fault.
NTSTATUS PciBus::HandlePower(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  KIRQL irql = KeGetCurrentIrql();
  UCHAR minor = stack->MinorFunction;
  bool setOrQuery = minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
  BusPowerRecord record;
  record.minor = minor;
  if (setOrQuery) {
    record.type = stack->Parameters.Power.Type;
    record.state = stack->Parameters.Power.Type == SystemPowerState
                       ? static_cast<int>(stack->Parameters.Power.State.SystemState)
                       : static_cast<int>(stack->Parameters.Power.State.DeviceState);
    record.shutdownType = stack->Parameters.Power.ShutdownType;
  }
  record.statusOnArrival = irp->IoStatus.Status;
  record.irql = irql;
  BusAnswer answer;
  bool told = false;
  {
    std::lock_guard guard(lock_);
    record.order = received_++;
    powerRequests_.push_back(record);
    if (auto it = powerAnswers_.find({minor, record.type}); it != powerAnswers_.end()) {
      answer = it->second;
      told = true;
    }
  }
  if (kernel::CurrentWdmSupport() == kernel::WdmSupport::Wdm10Only && irql != PASSIVE_LEVEL) {
    verifier::Report("PowerIrqlWin98", "power request (minor " + std::to_string(minor) +
                                           ") reached the PCI bus driver at IRQL " +
                                           std::to_string(irql) +
                                           "; on this platform only PASSIVE_LEVEL is allowed");
  }
  NTSTATUS status;
  if (answer.kind != BusAnswer::Kind::Succeed) {
    status = answer.status;
  } else {
    status = setOrQuery || told ? STATUS_SUCCESS : irp->IoStatus.Status;
  }
  // The bus is the last to see a device leave D0 and the first to see it return: the card's
  // I/O decoding goes off here on the way down and on here on the way up, and the card keeps
  // its state across (no soft reset).
  if (minor == IRP_MN_SET_POWER && record.type == DevicePowerState && NT_SUCCESS(status)) {
    std::function<void(bool)> decode;
    {
      std::lock_guard guard(lock_);
      decode = decode_;
    }
    if (decode) decode(record.state == PowerDeviceD0);
  }
  return Answer(irp, status, answer, CompletePower);
}

NTSTATUS PciBus::Answer(PIRP irp, NTSTATUS status, const BusAnswer& answer,
                        std::function<NTSTATUS(PIRP, NTSTATUS)> complete) {
  if (answer.kind != BusAnswer::Kind::CompleteLater) return complete(irp, status);
  // Completion from another thread, at DISPATCH_LEVEL as from a DPC, or at PASSIVE_LEVEL on
  // the WDM 1.0 platform (see BusAnswer). What the request returns (the capabilities) is
  // filled in only then.
  IoMarkIrpPending(irp);
  bool raise = answer.raised || kernel::CurrentWdmSupport() != kernel::WdmSupport::Wdm10Only;
  std::lock_guard guard(lock_);
  completions_.emplace_back([irp, status, complete = std::move(complete), raise,
                             delay = answer.delay] {
    std::this_thread::sleep_for(delay);
    KIRQL old = PASSIVE_LEVEL;
    if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
    complete(irp, status);
    if (raise) KeLowerIrql(old);
  });
  return STATUS_PENDING;
}

NTSTATUS PciBus::CompletePower(PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PciBus::Complete(PIRP irp, NTSTATUS status) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES &&
      stack->Parameters.DeviceCapabilities.Capabilities != nullptr) {
    FillCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
  }
  if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_QUERY_ID) {
    BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
    auto strings = PciIdStrings(type, identity_(), kCardDevice << 3 | kCardFunction);
    if (!strings.empty()) {
      PWCHAR buffer = PciIdBuffer(type, strings);
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
      if (buffer == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace sim
