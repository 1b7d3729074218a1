// The PnP manager's part for the card's stack: the sequences it sends (start, stop, removal,
// surprise removal, and their queries and cancellations), which of them it would never send
// in the device's state, and its record of that state.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "machine_state.h"
#include "machine_rules.h"
#include "sim/io.h"
#include "sim/device_resources.h"
#include "sim/machine_kernel.h"

namespace sim {

namespace {

// The device's lists are gone: the kernel no longer lets its driver's code touch the ranges.
// Called with pnpLock held.
void DropLists(Machine::State& state, const char* why) {
  state.lists = {};
  kernel::RevokeDeviceResources(state.bus.Pdo(), why);
}

// Moves the PnP manager's record of the device by the outcome of a request it sent.
void NotePnpOutcome(Machine::State& state, UCHAR minor, NTSTATUS status) {
  std::lock_guard guard(state.pnpLock);
  bool ok = NT_SUCCESS(status);
  switch (minor) {
    case IRP_MN_START_DEVICE:
      if (ok) {
        state.pnp = PnpState::Started;
      } else if (state.pnp != PnpState::Started) {
        DropLists(state, "its start failed");
        state.startFailed = true;
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
        DropLists(state, "stopped");
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
      DropLists(state, "surprise-removed");
      break;
    case IRP_MN_REMOVE_DEVICE:
      state.pnp = PnpState::Removed;
      DropLists(state, "removed");
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

  MovePortsForRestart();
  MachineOptions assigned = options_;
  assigned.card.bridgeBase = state_->card.BridgeBase();
  assigned.card.windowBase = state_->card.WindowBase();
  PCM_RESOURCE_LIST raw;
  PCM_RESOURCE_LIST translated;
  {
    std::lock_guard guard(state_->pnpLock);
    state_->capabilities = caps;
    state_->lists = BuildResourceLists(assigned);
    raw = state_->lists.raw.List();
    translated = state_->lists.translated.List();
    kernel::AssignDeviceResources(state_->bus.Pdo(), KernelView(translated));
  }
  status = SendPnpRequest(*this, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.StartDevice.AllocatedResources = raw;
    stack->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
  });
  if (NT_SUCCESS(status)) {
    CheckPowerReportedAfterStart(*this);
    return status;
  }
  bool failed = false;
  {
    std::lock_guard guard(state_->pnpLock);
    failed = state_->startFailed;
  }
  // The platform removes a device whose start failed, without a query: the driver gives up
  // whatever the failed start left behind, and deletes its device.
  if (failed) SendPnp(IRP_MN_REMOVE_DEVICE);
  return status;
}

// A restart on a machine that rebalances: the card's ranges move (see MachineOptions).
void Machine::MovePortsForRestart() {
  if (!options_.rebalanceOnRestart || DevicePnpState() != PnpState::Stopped) return;
  card::Card& card = state_->card;
  bool moved = card.BridgeBase() != options_.card.bridgeBase;
  uint32_t shift = moved ? 0 : kRebalanceShift;
  if (!card.MoveTo(options_.card.bridgeBase - shift, options_.card.windowBase - shift)) {
    std::fprintf(stderr, "emulated machine: the card's rebalanced port ranges are taken\n");
  }
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
  WaitForLastFileObject();
  NTSTATUS remove = SendPnp(IRP_MN_REMOVE_DEVICE);
  return NT_SUCCESS(surprise) ? remove : surprise;
}

// Until no file object is open on the driver's device: its handles closed and the requests
// that held the file objects completed. That is up to the program holding them, so there is
// no deadlock limit (a user at the console may take minutes).
void Machine::WaitForLastFileObject() {
  PDEVICE_OBJECT fdo = FdoOf(*this);
  if (fdo == nullptr) return;
  io::WaitForNoOpenFileObjects(fdo);
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

NTSTATUS SendPnpRequest(Machine& machine, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PDEVICE_OBJECT pdo = PdoOf(machine);
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
  PDEVICE_OBJECT fdoBefore = FdoOf(machine);
  NTSTATUS status = SendManagerRequest(top, IRP_MJ_PNP, minor, fill);
  if (fdoBefore != nullptr) NotePnpOutcome(MachineAccess::Of(machine), minor, status);
  CheckPnpOutcome(machine, minor, status, fdoBefore);
  return status;
}

}  // namespace sim
