// The machine's private record, shared by its parts: the machine itself (machine.cpp), the PnP
// manager (pnp_manager.cpp), the power manager (power_manager.cpp) and their rules.
#pragma once

#include <wdm.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "pci_bus.h"
#include "resource_lists.h"
#include "sim/machine.h"

namespace sim {

struct Machine::State {
  explicit State(const card::CardConfig& config)
      : card(config), bus([this] { return card.PciConfiguration(); }) {}
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
  bool startFailed = false;  // the start failed: the removal (98/Me: a stop) follows at once
  bool everStarted = false;  // a start has succeeded since the device was added
  std::string lastRefusal;

  // The power manager's record of the system (guarded by pnpLock).
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
  POWER_ACTION sleepAction = PowerActionNone;  // the action that left S0, for the resume
};

struct MachineAccess {
  static Machine::State& Of(Machine& machine) { return *machine.state_; }
};

// A PnP or power request as the managers build it (status STATUS_NOT_SUPPORTED, the next
// location filled by `fill`), sent to the top of the device's stack; returns its final status.
// The request is gone afterwards (released at its completion).
NTSTATUS SendManagerRequest(PDEVICE_OBJECT top, UCHAR major, UCHAR minor,
                            const std::function<void(PIO_STACK_LOCATION)>& fill);
IO_STATUS_BLOCK SendManagerRequestForResult(PDEVICE_OBJECT top, UCHAR major, UCHAR minor,
                                            const std::function<void(PIO_STACK_LOCATION)>& fill);
// SendPnpRequest with the whole status block of the answer.
IO_STATUS_BLOCK SendPnpForResult(Machine& machine, UCHAR minor,
                                 const std::function<void(PIO_STACK_LOCATION)>& fill);
// Windows 2000/XP: what the PnP manager asks the bus driver about a device it has found, before
// AddDevice (pnp_manager.cpp). A failure means the device gets no driver.
NTSTATUS EnumerateDevice(Machine& machine);

}  // namespace sim
