// The PnP manager's part for the card's stack: the sequences it sends (enumeration, start,
// stop, removal, surprise removal and the card's unplugging, with their queries and
// cancellations), which of them it would never send in the device's state, and its record of
// that state. The two platforms send different sequences (README, "The two platforms"):
// Windows 2000/XP as its PnP manager does (ReactOS ntoskrnl/io/pnpmgr/devaction.c and
// pnpres.c follow the same order), Windows 98/Me as its configuration manager does through
// NTKERN: no enumeration queries to the bus, capabilities before the start, no surprise
// removal, a stop instead of a removal after a failed start.
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

bool Win98(const Machine& machine) {
  return machine.Options().wdm == kernel::WdmSupport::Wdm10Only;
}

// A sequence not sent: the reason is kept for LastRefusal() and printed.
int32_t Refuse(Machine& machine, const std::string& reason, int32_t status) {
  std::fprintf(stderr, "emulated machine: %s\n", reason.c_str());
  Machine::State& state = MachineAccess::Of(machine);
  std::lock_guard guard(state.pnpLock);
  state.lastRefusal = reason;
  return status;
}

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

// Queries whose answer the bus driver allocates from pool, for the PnP manager to free once it
// has read it (the strings, texts, lists and relations of the "I/O Status Block" sections of
// their reference pages).
bool AnswerIsPool(UCHAR minor) {
  switch (minor) {
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_DEVICE_TEXT:
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
    case IRP_MN_QUERY_BUS_INFORMATION:
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      return true;
  }
  return false;
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
  return Refuse(*this, reason, status);
}


// The capabilities as the PnP manager prepares them (zeroed, Size, Version 1, Address and
// UINumber -1); the bus driver fills in the rest, and the answer is kept.
namespace {

NTSTATUS QueryCapabilities(Machine& machine) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  NTSTATUS status = SendPnpRequest(machine, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  if (NT_SUCCESS(status)) {
    Machine::State& state = MachineAccess::Of(machine);
    std::lock_guard guard(state.pnpLock);
    state.capabilities = caps;
  }
  return status;
}

// A query whose answer, when it is one in pool, the PnP manager frees once it has read it.
NTSTATUS SendQuery(Machine& machine, UCHAR minor,
                   const std::function<void(PIO_STACK_LOCATION)>& fill = nullptr) {
  IO_STATUS_BLOCK result = SendPnpForResult(machine, minor, fill);
  if (NT_SUCCESS(result.Status) && result.Information != 0 && AnswerIsPool(minor)) {
    ExFreePool(reinterpret_cast<PVOID>(result.Information));
  }
  return result.Status;
}

NTSTATUS QueryRelations(Machine& machine, DEVICE_RELATION_TYPE type) {
  return SendQuery(machine, IRP_MN_QUERY_DEVICE_RELATIONS, [type](PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryDeviceRelations.Type = type;
  });
}

// The list the bus driver reported (it reports none; the list is also in
// IoStatus.Information, which starts at 0).
NTSTATUS FilterRequirements(Machine& machine) {
  return SendQuery(machine, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, [](PIO_STACK_LOCATION stack) {
    stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = nullptr;
  });
}

}  // namespace

// What the PnP manager asks the bus driver about a device it has just found, before any
// driver is loaded for it, in the order of ReactOS's PiInitializeDevNode and
// IopCreateDeviceInstancePath: the device ID, the capabilities, the instance ID, the hardware
// and compatible IDs, the description and location texts, the bus information, the boot
// configuration and the resource requirements. A device whose capabilities cannot be read is
// not set up further (its AddDevice is never called).
NTSTATUS EnumerateDevice(Machine& machine) {
  auto queryId = [&machine](BUS_QUERY_ID_TYPE type) {
    SendQuery(machine, IRP_MN_QUERY_ID,
              [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; });
  };
  auto queryText = [&machine](DEVICE_TEXT_TYPE type) {
    SendQuery(machine, IRP_MN_QUERY_DEVICE_TEXT, [type](PIO_STACK_LOCATION stack) {
      stack->Parameters.QueryDeviceText.DeviceTextType = type;
      stack->Parameters.QueryDeviceText.LocaleId = 0x409;  // en-US
    });
  };
  queryId(BusQueryDeviceID);
  if (NTSTATUS status = QueryCapabilities(machine); !NT_SUCCESS(status)) return status;
  queryId(BusQueryInstanceID);
  queryId(BusQueryHardwareIDs);
  queryId(BusQueryCompatibleIDs);
  queryText(DeviceTextDescription);
  queryText(DeviceTextLocationInformation);
  SendQuery(machine, IRP_MN_QUERY_BUS_INFORMATION);
  SendQuery(machine, IRP_MN_QUERY_RESOURCES);
  SendQuery(machine, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
  return STATUS_SUCCESS;
}

// Windows 2000/XP: the requirements filtered by the stack before the resources are assigned
// ("IRP_MN_FILTER_RESOURCE_REQUIREMENTS": sent when the PnP manager prepares to allocate
// resources; for a restart after a stop it went with the stop). Then the start, and after a
// successful one the capabilities again for the whole stack ("IRP_MN_QUERY_CAPABILITIES": again
// after all the drivers have started the device), the device's PnP state after its first start
// only ("IRP_MN_QUERY_PNP_DEVICE_STATE": not on a start after a stop for rebalancing), its bus
// relations (ReactOS PiStartDeviceFinal, then the enumeration of the started device), and
// the WMI registration of the bus driver's provider.
// Windows 98/Me: the capabilities, then the start; a failed start is followed by a stop without
// a query, not a removal ("Stopping a Device After a Failed Start (Windows 98/Me)").
int32_t Machine::StartDevice() {
  if (int32_t refused = CheckSequence("start", {PnpState::NotStarted, PnpState::Stopped})) {
    return refused;
  }
  bool first;
  {
    std::lock_guard guard(state_->pnpLock);
    first = !state_->everStarted;
  }
  if (Win98(*this)) {
    if (NTSTATUS status = QueryCapabilities(*this); !NT_SUCCESS(status)) return status;
  } else if (DevicePnpState() == PnpState::NotStarted) {
    FilterRequirements(*this);
  }

  MovePortsForRestart();
  MachineOptions assigned = options_;
  assigned.card.bridgeBase = state_->card.BridgeBase();
  assigned.card.windowBase = state_->card.WindowBase();
  PCM_RESOURCE_LIST raw;
  PCM_RESOURCE_LIST translated;
  {
    std::lock_guard guard(state_->pnpLock);
    state_->lists = BuildResourceLists(assigned);
    raw = state_->lists.raw.List();
    translated = state_->lists.translated.List();
    kernel::AssignDeviceResources(state_->bus.Pdo(), KernelView(translated));
  }
  NTSTATUS status = SendPnpRequest(*this, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.StartDevice.AllocatedResources = raw;
    stack->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
  });
  if (NT_SUCCESS(status)) {
    {
      std::lock_guard guard(state_->pnpLock);
      state_->everStarted = true;
    }
    if (!Win98(*this)) {
      io::SetStackStartPending(PdoOf(*this), false);
      QueryCapabilities(*this);
      if (first) SendQuery(*this, IRP_MN_QUERY_PNP_DEVICE_STATE);
      QueryRelations(*this, BusRelations);
      if (first) SendWmiRequest(IRP_MN_REGINFO);
    }
    CheckPowerReportedAfterStart(*this);
    return status;
  }
  bool failed = false;
  {
    std::lock_guard guard(state_->pnpLock);
    failed = state_->startFailed;
  }
  if (!failed) return status;
  if (Win98(*this)) {
    // The driver gives up whatever the failed start left behind; its device stays, stopped.
    SendPnp(IRP_MN_STOP_DEVICE);
    std::lock_guard guard(state_->pnpLock);
    state_->pnp = PnpState::Stopped;
    state_->startFailed = false;
  } else {
    // The driver gives up whatever the failed start left behind, and deletes its device.
    SendPnp(IRP_MN_REMOVE_DEVICE);
  }
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

// On Windows 2000/XP the stack's resource requirements are queried and filtered again between
// a successful query-stop and the stop: the rebalance that stops the device needs them.
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
  if (!Win98(*this)) {
    SendQuery(*this, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    FilterRequirements(*this);
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

// On Windows 2000/XP the removal relations are queried once the removal is agreed, before the
// removal itself ("IRP_MN_QUERY_DEVICE_RELATIONS": before it removes a device's drivers; ReactOS
// IopPrepareDeviceForRemoval).
int32_t Machine::RemoveDevice() {
  if (int32_t refused = CheckSequence("remove", {PnpState::Started, PnpState::NotStarted,
                                                 PnpState::Stopped, PnpState::RemovePending,
                                                 PnpState::SurpriseRemoved})) {
    return refused;
  }
  PnpState state = DevicePnpState();
  if (state == PnpState::Started) {
    NTSTATUS query = SendPnp(IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query)) {
      SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE);
      return query;
    }
  }
  if (!Win98(*this) && (state == PnpState::Started || state == PnpState::RemovePending)) {
    QueryRelations(*this, RemovalRelations);
  }
  return SendPnp(IRP_MN_REMOVE_DEVICE);
}

// Windows 2000/XP only ("IRP_MN_SURPRISE_REMOVAL": on Windows 98/Me the PnP manager does not
// send this IRP). The removal relations first, as for an orderly removal (ReactOS
// IopRemoveDevice), then the surprise removal, then the removal once the handles are closed.
int32_t Machine::SurpriseRemoveDevice() {
  if (Win98(*this)) {
    return Refuse(*this, "surprise removal refused: Windows 98/Me never sends it",
                  kPnpSequenceRefused);
  }
  if (int32_t refused =
          CheckSequence("surprise removal", {PnpState::Started, PnpState::Stopped})) {
    return refused;
  }
  return SurpriseThenRemove();
}

int32_t Machine::SurpriseThenRemove() {
  QueryRelations(*this, RemovalRelations);
  NTSTATUS surprise = SendPnp(IRP_MN_SURPRISE_REMOVAL);
  WaitForLastFileObject();
  NTSTATUS remove = SendPnp(IRP_MN_REMOVE_DEVICE);
  return NT_SUCCESS(surprise) ? remove : surprise;
}

// Windows 98/Me knows a pulled card only by its removal, which comes at once, with the
// device's handles still open and its requests in flight (Oney, chapter 6, Windows 98
// compatibility notes: "Windows 98 never sends an IRP_MN_SURPRISE_REMOVAL request").
// On Windows 2000/XP the surprise removal comes in whatever state the device is in
// ("IRP_MN_SURPRISE_REMOVAL": the device can be in any PnP state), the removal once the last
// handle is closed.
int32_t Machine::UnplugCard(bool pinFloats) {
  // The card leaves its slot first: its ranges read all ones, its pin leaves the line.
  if (!CardPulled()) PullCard(pinFloats);
  return RemoveGoneCard();
}

int32_t Machine::RemoveGoneCard() {
  PnpState state = DevicePnpState();
  if (!DevicePresent() || state == PnpState::Removed) return STATUS_SUCCESS;
  if (Win98(*this)) return SendPnp(IRP_MN_REMOVE_DEVICE);
  if (state != PnpState::SurpriseRemoved) return SurpriseThenRemove();
  WaitForLastFileObject();
  return SendPnp(IRP_MN_REMOVE_DEVICE);
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

IO_STATUS_BLOCK SendPnpForResult(Machine& machine, UCHAR minor,
                                 const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PDEVICE_OBJECT pdo = PdoOf(machine);
  if (pdo == nullptr) {
    IO_STATUS_BLOCK none{};
    none.Status = STATUS_NO_SUCH_DEVICE;
    return none;
  }
  PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
  PDEVICE_OBJECT fdoBefore = FdoOf(machine);
  IO_STATUS_BLOCK result = SendManagerRequestForResult(top, IRP_MJ_PNP, minor, fill);
  if (fdoBefore != nullptr) NotePnpOutcome(MachineAccess::Of(machine), minor, result.Status);
  CheckPnpOutcome(machine, minor, result.Status, fdoBefore);
  return result;
}

NTSTATUS SendPnpRequest(Machine& machine, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& fill) {
  return SendPnpForResult(machine, minor, fill).Status;
}

}  // namespace sim
