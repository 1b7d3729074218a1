// The emulated machine: boots the kernel, the PCI bus with the card's physical device object,
// and the driver under test; plays the PnP manager's and the power manager's part for the
// card's stack.
#include "sim/machine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>

#include "pci_bus.h"
#include "resource_lists.h"
#include "sim/driver_loader.h"
#include "sim/io.h"
#include "sim/io_bus.h"
#include "sim/machine_kernel.h"
#include "sim/verifier.h"

namespace sim {

struct Machine::State {
  explicit State(const card::CardConfig& config) : card(config) {}
  card::Card card;
  PciBus bus;
  kernel::InterruptSourceId cardInterrupt = 0;
  kernel::InterruptSourceId foreignInterrupt = 0;
  std::atomic<bool> foreignLevel{false};
  PDRIVER_OBJECT driver = nullptr;
  bool pdoCreated = false;

  // The PnP manager's record of the device (guarded by pnpLock; never held while sending).
  mutable std::mutex pnpLock;
  PnpState pnp = PnpState::NotStarted;
  PnpState beforeRemoveQuery = PnpState::Started;  // what cancel-remove returns to
  ResourceLists lists;                             // from start to stop or removal
  std::optional<DEVICE_CAPABILITIES> capabilities;
  std::string lastRefusal;

  // The power manager's record of the system (guarded by pnpLock).
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
  POWER_ACTION sleepAction = PowerActionNone;  // the action that left S0, for the resume
};

struct MachineAccess {
  static Machine::State& Of(Machine& machine) { return *machine.state_; }
};

namespace {

// Moves the PnP manager's record of the device by the outcome of a request it sent.
void NotePnpOutcome(Machine::State& state, UCHAR minor, NTSTATUS status) {
  std::lock_guard guard(state.pnpLock);
  bool ok = NT_SUCCESS(status);
  switch (minor) {
    case IRP_MN_START_DEVICE:
      if (ok) {
        state.pnp = PnpState::Started;
      } else if (state.pnp != PnpState::Started) {
        state.lists = {};
      }
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      if (ok && state.pnp == PnpState::Started) state.pnp = PnpState::StopPending;
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (state.pnp == PnpState::StopPending) state.pnp = PnpState::Started;
      break;
    case IRP_MN_STOP_DEVICE:
      if (ok) {
        state.pnp = PnpState::Stopped;
        state.lists = {};
      }
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (ok && state.pnp != PnpState::RemovePending) {
        state.beforeRemoveQuery = state.pnp;
        state.pnp = PnpState::RemovePending;
      }
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (state.pnp == PnpState::RemovePending) state.pnp = state.beforeRemoveQuery;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      state.pnp = PnpState::SurpriseRemoved;
      state.lists = {};
      break;
    case IRP_MN_REMOVE_DEVICE:
      state.pnp = PnpState::Removed;
      state.lists = {};
      break;
    default:
      break;
  }
}

}  // namespace

const char* PnpStateName(PnpState state) {
  switch (state) {
    case PnpState::NotStarted: return "not started";
    case PnpState::Started: return "started";
    case PnpState::StopPending: return "stop pending";
    case PnpState::Stopped: return "stopped";
    case PnpState::RemovePending: return "remove pending";
    case PnpState::SurpriseRemoved: return "surprise-removed";
    case PnpState::Removed: return "removed";
  }
  return "?";
}

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
  kernel::Boot(options_.wdm);
  state_ = std::make_unique<State>(options_.card);
  if (!state_->card.Attach(PortBus())) {
    std::fprintf(stderr, "emulated machine: the card's port ranges overlap\n");
  }
  State* state = state_.get();
  uint32_t vector = options_.interrupt.vector;
  state->cardInterrupt = kernel::AttachInterruptSource(
      vector, [state] { return state->card.bridge().PciInterrupt(); });
  state->foreignInterrupt =
      kernel::AttachInterruptSource(vector, [state] { return state->foreignLevel.load(); });
  state->card.bridge().SetInterruptCallback(
      [source = state->cardInterrupt](bool) { kernel::NotifyInterruptLine(source); });
}

Machine::~Machine() {
  // As at process exit, handles left open are closed; then the device goes away as at an
  // orderly removal, and the drivers unload.
  kernel::CloseAllHandles();
  if (DevicePresent()) SendPnp(IRP_MN_REMOVE_DEVICE);
  if (state_->driver != nullptr) UnloadDriver();
  state_->bus.Stop();
  state_->card.bridge().SetInterruptCallback(nullptr);
  kernel::DetachInterruptSource(state_->cardInterrupt);
  kernel::DetachInterruptSource(state_->foreignInterrupt);
  state_->card.Detach();
  state_.reset();
  kernel::Shutdown();
}

int32_t Machine::LoadDriver(const DriverImage& image) {
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(image.entry);
  return kernel::LoadDriver(entry, u"\\Driver\\" + image.name, options_.registryPath,
                            &state_->driver);
}

bool Machine::DriverLoaded() const { return state_->driver != nullptr; }

bool Machine::UnloadDriver() {
  if (state_->driver == nullptr) return false;
  if (!kernel::UnloadDriver(state_->driver)) return false;
  state_->driver = nullptr;
  return true;
}

int32_t Machine::AddDevice() {
  if (state_->driver == nullptr || state_->driver->DriverExtension->AddDevice == nullptr) {
    std::fprintf(stderr, "emulated machine: AddDevice without a loaded PnP driver\n");
    return STATUS_NO_SUCH_DEVICE;
  }
  if (!state_->pdoCreated) {
    state_->bus.Start();
    state_->pdoCreated = true;
  }
  KIRQL irql = KeGetCurrentIrql();
  NTSTATUS status = state_->driver->DriverExtension->AddDevice(state_->driver, state_->bus.Pdo());
  if (NT_SUCCESS(status)) {
    std::lock_guard guard(state_->pnpLock);
    state_->pnp = PnpState::NotStarted;
    state_->lists = {};
    state_->capabilities.reset();
  }
  if (KeGetCurrentIrql() != irql) {
    verifier::Report("IrqlReturn", "AddDevice returned at another IRQL");
  }
  PDEVICE_OBJECT fdo = FdoOf(*this);
  if (NT_SUCCESS(status) && fdo != nullptr && (fdo->Flags & DO_DEVICE_INITIALIZING)) {
    verifier::Report("DeviceInitializing",
                     "AddDevice succeeded but left DO_DEVICE_INITIALIZING set on its device");
  }
  return status;
}

bool Machine::DevicePresent() const { return FunctionalDeviceObject() != nullptr; }

int32_t Machine::SendPnp(uint8_t minor) { return SendPnpRequest(*this, minor, nullptr); }

int32_t Machine::CheckSequence(const char* sequence, std::initializer_list<PnpState> allowed) {
  PnpState state = DevicePnpState();
  std::string reason;
  int32_t status = STATUS_SUCCESS;
  if (std::find(allowed.begin(), allowed.end(), state) == allowed.end()) {
    reason = std::string(sequence) + " refused: the PnP manager never sends it to a device " +
             PnpStateName(state);
    status = kPnpSequenceRefused;
  } else if (!DevicePresent()) {
    reason = std::string(sequence) + " refused: no driver's device on the card's stack";
    status = STATUS_NO_SUCH_DEVICE;
  } else {
    return STATUS_SUCCESS;
  }
  std::fprintf(stderr, "emulated machine: %s\n", reason.c_str());
  std::lock_guard guard(state_->pnpLock);
  state_->lastRefusal = reason;
  return status;
}

int32_t Machine::StartDevice() {
  if (int32_t refused = CheckSequence("start", {PnpState::NotStarted, PnpState::Stopped})) {
    return refused;
  }
  // The capabilities as the PnP manager prepares them; the bus driver fills in the rest.
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  NTSTATUS status = SendPnpRequest(*this, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  if (!NT_SUCCESS(status)) return status;

  PCM_RESOURCE_LIST raw;
  PCM_RESOURCE_LIST translated;
  {
    std::lock_guard guard(state_->pnpLock);
    state_->capabilities = caps;
    state_->lists = BuildResourceLists(options_);
    raw = state_->lists.raw.List();
    translated = state_->lists.translated.List();
  }
  return SendPnpRequest(*this, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.StartDevice.AllocatedResources = raw;
    stack->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
  });
}

int32_t Machine::QueryStopDevice() {
  if (int32_t refused = CheckSequence("query-stop", {PnpState::Started})) return refused;
  return SendPnp(IRP_MN_QUERY_STOP_DEVICE);
}

int32_t Machine::CancelStopDevice() {
  if (int32_t refused = CheckSequence("cancel-stop", {PnpState::StopPending, PnpState::Started})) {
    return refused;
  }
  return SendPnp(IRP_MN_CANCEL_STOP_DEVICE);
}

int32_t Machine::StopDevice() {
  if (int32_t refused = CheckSequence("stop", {PnpState::Started, PnpState::StopPending})) {
    return refused;
  }
  if (DevicePnpState() == PnpState::Started) {
    NTSTATUS query = SendPnp(IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query)) {
      SendPnp(IRP_MN_CANCEL_STOP_DEVICE);
      return query;
    }
  }
  return SendPnp(IRP_MN_STOP_DEVICE);
}

int32_t Machine::QueryRemoveDevice() {
  if (int32_t refused = CheckSequence("query-remove", {PnpState::Started})) return refused;
  return SendPnp(IRP_MN_QUERY_REMOVE_DEVICE);
}

int32_t Machine::CancelRemoveDevice() {
  if (int32_t refused =
          CheckSequence("cancel-remove", {PnpState::RemovePending, PnpState::Started})) {
    return refused;
  }
  return SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE);
}

int32_t Machine::RemoveDevice() {
  if (int32_t refused = CheckSequence("remove", {PnpState::Started, PnpState::NotStarted,
                                                 PnpState::Stopped, PnpState::RemovePending,
                                                 PnpState::SurpriseRemoved})) {
    return refused;
  }
  if (DevicePnpState() == PnpState::Started) {
    NTSTATUS query = SendPnp(IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query)) {
      SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE);
      return query;
    }
  }
  return SendPnp(IRP_MN_REMOVE_DEVICE);
}

int32_t Machine::SurpriseRemoveDevice() {
  if (int32_t refused =
          CheckSequence("surprise removal", {PnpState::Started, PnpState::Stopped})) {
    return refused;
  }
  NTSTATUS surprise = SendPnp(IRP_MN_SURPRISE_REMOVAL);
  NTSTATUS remove = SendPnp(IRP_MN_REMOVE_DEVICE);
  return NT_SUCCESS(surprise) ? remove : surprise;
}

PnpState Machine::DevicePnpState() const {
  std::lock_guard guard(state_->pnpLock);
  return state_->pnp;
}

std::string Machine::LastRefusal() const {
  std::lock_guard guard(state_->pnpLock);
  return state_->lastRefusal;
}

void* Machine::RawResources() const {
  std::lock_guard guard(state_->pnpLock);
  return state_->lists.raw.List();
}

void* Machine::TranslatedResources() const {
  std::lock_guard guard(state_->pnpLock);
  return state_->lists.translated.List();
}

const void* Machine::Capabilities() const {
  std::lock_guard guard(state_->pnpLock);
  return state_->capabilities ? &*state_->capabilities : nullptr;
}

void Machine::SetBusPnpAnswer(uint8_t minor, BusAnswer answer) {
  state_->bus.SetPnpAnswer(minor, answer);
}

std::vector<BusPnpRecord> Machine::BusPnpRequests() const { return state_->bus.PnpRequests(); }

void Machine::SetBusPowerAnswer(uint8_t minor, int type, BusAnswer answer) {
  state_->bus.SetPowerAnswer(minor, type, answer);
}

std::vector<BusPowerRecord> Machine::BusPowerRequests() const {
  return state_->bus.PowerRequests();
}

namespace {

POWER_ACTION ActionFor(SYSTEM_POWER_STATE target, POWER_ACTION sleepAction) {
  switch (target) {
    case PowerSystemWorking: return sleepAction;
    case PowerSystemHibernate: return PowerActionHibernate;
    case PowerSystemShutdown: return PowerActionShutdownOff;
    default: return PowerActionSleep;
  }
}

bool ValidSystemState(int state) {
  return state >= PowerSystemWorking && state <= PowerSystemShutdown;
}

}  // namespace

int32_t Machine::SetSystemPower(int target) {
  if (!ValidSystemState(target)) return STATUS_INVALID_PARAMETER;
  if (PdoOf(*this) == nullptr) return STATUS_NO_SUCH_DEVICE;
  auto state = static_cast<SYSTEM_POWER_STATE>(target);
  POWER_ACTION action;
  {
    std::lock_guard guard(state_->pnpLock);
    action = ActionFor(state, state_->systemPower == PowerSystemWorking ? PowerActionNone
                                                                        : state_->sleepAction);
  }
  NTSTATUS status = SendPowerRequest(*this, IRP_MN_SET_POWER, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
    stack->Parameters.Power.ShutdownType = action;
  });
  {
    std::lock_guard guard(state_->pnpLock);
    state_->systemPower = state;
    state_->sleepAction = state == PowerSystemWorking ? PowerActionNone : action;
  }
  return status;
}

int32_t Machine::QuerySystemPower(int target) {
  if (!ValidSystemState(target)) return STATUS_INVALID_PARAMETER;
  auto state = static_cast<SYSTEM_POWER_STATE>(target);
  POWER_ACTION action;
  {
    std::lock_guard guard(state_->pnpLock);
    action = ActionFor(state, state_->systemPower == PowerSystemWorking ? PowerActionNone
                                                                        : state_->sleepAction);
  }
  return SendPowerRequest(*this, IRP_MN_QUERY_POWER, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
    stack->Parameters.Power.ShutdownType = action;
  });
}

int32_t Machine::SendDevicePower(uint8_t minor, int deviceState) {
  if (deviceState < PowerDeviceD0 || deviceState > PowerDeviceD3) return STATUS_INVALID_PARAMETER;
  return SendPowerRequest(*this, minor, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(deviceState);
    stack->Parameters.Power.ShutdownType = PowerActionNone;
  });
}

int Machine::CurrentSystemPower() const {
  std::lock_guard guard(state_->pnpLock);
  return state_->systemPower;
}

card::Card& Machine::Card() { return state_->card; }

void Machine::SetForeignInterruptLevel(bool asserted) {
  state_->foreignLevel = asserted;
  if (asserted) kernel::NotifyInterruptLine(state_->foreignInterrupt);
}

bool Machine::ForeignInterruptLevel() const { return state_->foreignLevel; }

void* Machine::DriverObject() const { return state_->driver; }

void* Machine::PhysicalDeviceObject() const { return state_->bus.Pdo(); }

void* Machine::FunctionalDeviceObject() const {
  PDEVICE_OBJECT pdo = state_->bus.Pdo();
  if (pdo == nullptr) return nullptr;
  PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
  return top == pdo ? nullptr : top;
}

NTSTATUS SendPowerRequest(Machine& machine, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PDEVICE_OBJECT pdo = PdoOf(machine);
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
  PIRP irp = io::AllocateManagerIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // power requests start out unsupported too
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minor;
  if (fill) fill(stack);
  NTSTATUS status = io::CallAndWait(top, irp).Status;
  return status;
}

NTSTATUS SendPnpRequest(Machine& machine, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PDEVICE_OBJECT pdo = PdoOf(machine);
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
  PDEVICE_OBJECT fdoBefore = FdoOf(machine);
  PIRP irp = io::AllocateManagerIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // PnP requests start out unsupported
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = minor;
  if (fill) fill(stack);
  NTSTATUS status = io::CallAndWait(top, irp).Status;
  if (fdoBefore != nullptr) NotePnpOutcome(MachineAccess::Of(machine), minor, status);

  // Requests a function driver must never fail, and what must follow them.
  bool mustSucceed = minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
                     minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE;
  if (mustSucceed && !NT_SUCCESS(status) && fdoBefore != nullptr) {
    char text[96];
    std::snprintf(text, sizeof text, "PnP minor 0x%02X failed with 0x%08X", minor,
                  static_cast<unsigned>(status));
    verifier::Report("PnpRemove", text);
  }
  if (fdoBefore != nullptr && minor == IRP_MN_REMOVE_DEVICE && FdoOf(machine) != nullptr) {
    verifier::Report("PnpRemove", "after IRP_MN_REMOVE_DEVICE the driver's device is still attached");
  }
  if (fdoBefore != nullptr && minor == IRP_MN_SURPRISE_REMOVAL && FdoOf(machine) != fdoBefore) {
    verifier::Report("PnpSurpriseRemove", "the driver detached or deleted its device during surprise removal");
  }
  return status;
}

}  // namespace sim
