// The power manager's part for the card's stack: system set-power and query-power requests
// with the action that goes with them, device power requests, and its record of the system's
// state.
#include "machine_state.h"
#include "sim/io.h"
#include "sim/machine_kernel.h"

namespace sim {

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

NTSTATUS SendPowerRequest(Machine& machine, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PDEVICE_OBJECT pdo = PdoOf(machine);
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
  return SendManagerRequest(top, IRP_MJ_POWER, minor, fill);
}

}  // namespace sim
