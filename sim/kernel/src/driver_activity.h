// Which device's driver code a thread is running, and the checks made on that code's port
// accesses and interrupt-lock holds (device_resources.cpp, device_irql_time.cpp).
//
// Every place the kernel calls driver code for a device opens a DriverActivity on its stack:
// dispatch and completion routines (irp.cpp), cancel routines (cancel.cpp), service and
// synchronize routines (interrupts.cpp), DPCs and work items (attributed to the activity that
// queued them). Activities nest; the innermost one is the thread's. A thread with none (a test
// body, the bench) runs no driver code, and its port accesses are not checked.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/device_resources.h"

namespace sim::kernel {

struct IrpSnapshot;

// What a device stack holds at one moment; replaced, never changed, by each assignment and
// revocation (old ones are kept until the next boot, so a reader never sees one freed).
struct Assignment {
  DeviceResources resources;
  std::string state;  // "assigned", or why it holds nothing ("stopped", "removed"...)
};

// A device stack's record. Devices without one own nothing.
struct ResourceOwner {
  const void* pdo = nullptr;
  std::atomic<const Assignment*> current{nullptr};
};

class DriverActivity {
 public:
  // role names the kind of routine ("dispatch routine"), routine its address, device the
  // device object it runs for; irp (dispatch) or request (completion) names the request.
  DriverActivity(const void* device, const char* role, const void* routine,
                 const IrpSnapshot* irp = nullptr, const void* request = nullptr);
  // An activity whose owner is already known (an interrupt's, resolved when it connected).
  DriverActivity(ResourceOwner* owner, const void* device, const char* role,
                 const void* routine);
  ~DriverActivity();
  DriverActivity(const DriverActivity&) = delete;
  DriverActivity& operator=(const DriverActivity&) = delete;

  // The owner of the device's stack (a shared "never assigned" record for a device the PnP
  // manager never gave resources).
  ResourceOwner* Owner();
  const void* Device() const { return device_; }
  // "the dispatch routine X of device D for IRP_MJ_..."
  std::string Describe() const;

  // A port access by this code: within a range its stack holds, or a violation naming the
  // access, the routine that made it (from its return address) and this activity.
  void CheckPort(uint32_t port, unsigned width, const char* service, const void* returnAddress) {
    const Assignment* held = Owner()->current.load(std::memory_order_acquire);
    for (const PortRange& range : held->resources.ports) {
      if (port >= range.base && port - range.base < range.length &&
          width <= range.length - (port - range.base)) {
        return;
      }
    }
    ReportPort(*held, port, width, service, returnAddress);
  }

 private:
  [[gnu::noinline]] void ReportPort(const Assignment& held, uint32_t port, unsigned width,
                                    const char* service, const void* returnAddress);
  [[gnu::noinline]] ResourceOwner* Resolve();

  const void* device_;
  const char* role_;
  const void* routine_;
  const IrpSnapshot* irp_;
  const void* request_;
  ResourceOwner* owner_;
  DriverActivity* previous_;
};

// The calling thread's innermost activity, or null.
extern thread_local constinit DriverActivity* t_activity;

// Code that is no driver's runs here (a routine a test connected, delivered in a thread that
// was running driver code), until the end of the scope.
class OutsideDriverCode {
 public:
  OutsideDriverCode() : previous_(t_activity) { t_activity = nullptr; }
  ~OutsideDriverCode() { t_activity = previous_; }
  OutsideDriverCode(const OutsideDriverCode&) = delete;
  OutsideDriverCode& operator=(const OutsideDriverCode&) = delete;

 private:
  DriverActivity* previous_;
};

// The owner of the calling thread's device, or null when no driver code runs here.
ResourceOwner* CurrentOwner();
// The device (as DriverActivity::Device) of the calling thread's activity, or null.
const void* CurrentActivityDevice();

// Against the owner's current interrupt resources: empty when one of them allows this
// connection, otherwise what is wrong.
std::string CheckConnectAgainstResources(const ResourceOwner& owner, uint32_t vector,
                                         uint8_t irql, uint64_t affinity, bool latched,
                                         bool shared);

// The cost of one interrupt-lock hold so far (see device_resources.h); counting is on only
// inside a MeasuredHold on this thread.
struct HoldCost {
  uint64_t ports = 0;
  uint64_t bytes = 0;
  uint64_t Nanos() const { return ports * kPortAccessNanos + bytes * kMemoryByteNanos; }
};
extern thread_local constinit HoldCost* t_holdCost;

// Measures one hold: an ISR's call or a synchronize routine. The destructor reports a hold
// over the bound (InterruptLockHeldTooLong), naming the role and routine.
class MeasuredHold {
 public:
  MeasuredHold(const char* role, const void* routine);
  ~MeasuredHold();
  MeasuredHold(const MeasuredHold&) = delete;
  MeasuredHold& operator=(const MeasuredHold&) = delete;

 private:
  HoldCost cost_;
  HoldCost* previous_;
  const char* role_;
  const void* routine_;
};

// The HAL's port routines call this for every access.
inline void NotePortAccess(uint32_t port, unsigned width, const char* service,
                           const void* returnAddress) {
  if (HoldCost* cost = t_holdCost) ++cost->ports;
  if (DriverActivity* activity = t_activity) {
    activity->CheckPort(port, width, service, returnAddress);
  }
}

void ResetDeviceResources();

}  // namespace sim::kernel
