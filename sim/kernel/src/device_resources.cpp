// The resources each device stack holds, as the PnP manager assigned them, and the checks of
// driver code against them: port accesses (PortOutsideResources) and interrupt connections
// (InterruptConnectParameters). See sim/device_resources.h and driver_activity.h.
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "driver_activity.h"
#include "kernel_internal.h"

namespace sim::kernel {

thread_local constinit DriverActivity* t_activity = nullptr;

namespace {

std::mutex g_lock;
// Every device of an assigned stack leads to its stack's owner.
std::map<const void*, std::unique_ptr<ResourceOwner>> g_owners;  // by physical device object
std::map<const void*, ResourceOwner*> g_byDevice;
std::vector<std::unique_ptr<Assignment>> g_assignments;  // every one made since boot

// What a device holds that the PnP manager never gave anything: nothing.
const Assignment kNeverAssigned{{}, "never given resources (not started)"};
ResourceOwner g_unassigned{nullptr, &kNeverAssigned};

const Assignment* Keep(DeviceResources resources, std::string state) {
  g_assignments.push_back(
      std::make_unique<Assignment>(Assignment{std::move(resources), std::move(state)}));
  return g_assignments.back().get();
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string DescribeRanges(const std::vector<PortRange>& ports) {
  std::string text;
  for (const PortRange& range : ports) {
    if (!text.empty()) text += ", ";
    text += Hex(range.base) + "-" + Hex(uint64_t{range.base} + range.length - 1);
  }
  return text;
}

// The owner of another stack whose current ranges hold the port, or null. Called with g_lock.
const ResourceOwner* OtherHolder(const ResourceOwner* self, uint32_t port) {
  for (const auto& [pdo, owner] : g_owners) {
    if (owner.get() == self) continue;
    for (const PortRange& range : owner->current.load()->resources.ports) {
      if (port >= range.base && port - range.base < range.length) return owner.get();
    }
  }
  return nullptr;
}

}  // namespace

DriverActivity::DriverActivity(const void* device, const char* role, const void* routine,
                               const IrpSnapshot* irp, const void* request)
    : device_(device), role_(role), routine_(routine), irp_(irp), request_(request),
      owner_(nullptr), previous_(t_activity) {
  t_activity = this;
}

DriverActivity::DriverActivity(ResourceOwner* owner, const void* device, const char* role,
                               const void* routine)
    : device_(device), role_(role), routine_(routine), irp_(nullptr), request_(nullptr),
      owner_(owner), previous_(t_activity) {
  t_activity = this;
}

DriverActivity::~DriverActivity() { t_activity = previous_; }

ResourceOwner* DriverActivity::Owner() { return owner_ != nullptr ? owner_ : Resolve(); }

ResourceOwner* DriverActivity::Resolve() {
  std::lock_guard guard(g_lock);
  auto it = g_byDevice.find(device_);
  owner_ = it != g_byDevice.end() ? it->second : &g_unassigned;
  return owner_;
}

std::string DriverActivity::Describe() const {
  std::string text = std::string("the ") + role_;
  if (routine_ != nullptr) text += " " + RoutineAt(routine_);
  text += " of device " + sim::kernel::Describe(device_);
  if (irp_ != nullptr) text += " for " + irp_->Text();
  if (request_ != nullptr) text += " for request " + sim::kernel::Describe(request_);
  return text;
}

void DriverActivity::ReportPort(const Assignment& held, uint32_t port, unsigned width,
                                const char* service, const void* returnAddress) {
  std::string where;
  {
    std::lock_guard guard(g_lock);
    if (const ResourceOwner* other = OtherHolder(owner_, port)) {
      where = "; the port belongs to the stack of device " + sim::kernel::Describe(other->pdo);
    }
  }
  std::string holds = held.resources.ports.empty()
                          ? "its device holds no port range (" + held.state + ")"
                          : "its device holds " + DescribeRanges(held.resources.ports);
  std::string by = returnAddress != nullptr ? " by " + RoutineAt(CallSite(returnAddress)) : "";
  verifier::Report("PortOutsideResources",
                   std::string(service) + " of port " + Hex(port) + " (" + std::to_string(width) +
                       " bytes)" + by + ", in " + Describe() + ", but " + holds + where);
}

ResourceOwner* CurrentOwner() {
  DriverActivity* activity = t_activity;
  return activity != nullptr ? activity->Owner() : nullptr;
}

const void* CurrentActivityDevice() {
  DriverActivity* activity = t_activity;
  return activity != nullptr ? activity->Device() : nullptr;
}

std::string CheckConnectAgainstResources(const ResourceOwner& owner, uint32_t vector,
                                         uint8_t irql, uint64_t affinity, bool latched,
                                         bool shared) {
  const Assignment* held = owner.current.load(std::memory_order_acquire);
  if (held->resources.interrupts.empty()) {
    return "its device holds no interrupt (" + held->state + ")";
  }
  std::string why;
  for (const InterruptResource& r : held->resources.interrupts) {
    if (r.vector != vector) {
      why = "vector " + Hex(vector) + " is not the assigned " + Hex(r.vector);
    } else if (r.irql != irql) {
      why = "IRQL " + std::to_string(irql) + " is not the assigned " + std::to_string(r.irql);
    } else if ((affinity & ~r.affinity) != 0) {
      why = "affinity " + Hex(affinity) + " names processors outside the assigned " +
            Hex(r.affinity);
    } else if (r.latched != latched) {
      why = std::string(latched ? "Latched" : "LevelSensitive") + " for a " +
            (r.latched ? "latched" : "level-sensitive") + " interrupt";
    } else if (shared && !r.shared) {
      why = "shared, but the interrupt was assigned device-exclusive";
    } else {
      return {};
    }
  }
  return why;
}

void AssignDeviceResources(const void* pdo, const DeviceResources& resources) {
  std::lock_guard guard(g_lock);
  auto& owner = g_owners[pdo];
  if (!owner) {
    owner = std::make_unique<ResourceOwner>();
    owner->pdo = pdo;
  }
  owner->current.store(Keep(resources, "assigned"), std::memory_order_release);
  // The stack as it stands now: START comes after every AddDevice.
  for (auto device = static_cast<PDEVICE_OBJECT>(const_cast<void*>(pdo)); device != nullptr;
       device = device->AttachedDevice) {
    g_byDevice[device] = owner.get();
  }
}

void RevokeDeviceResources(const void* pdo, const std::string& why) {
  std::lock_guard guard(g_lock);
  auto it = g_owners.find(pdo);
  if (it == g_owners.end()) return;
  it->second->current.store(Keep({}, why), std::memory_order_release);
}

void RunAsDriverOf(const void* device, const std::function<void()>& body) {
  DriverActivity activity(device, "driver code", nullptr);
  body();
}

void ResetDeviceResources() {
  std::lock_guard guard(g_lock);
  g_owners.clear();
  g_byDevice.clear();
  g_assignments.clear();
}

}  // namespace sim::kernel
