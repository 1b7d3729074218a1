#include "machine_host.h"

#if defined(_WIN32)

// On Windows the tool talks to the installed driver; no machine is booted.
namespace tarvik {
class EmulatedMachine {};
}  // namespace tarvik

namespace tarvik::tool {

MachineHost::MachineHost(const MachineHostOptions& options) : options_(options) {}
MachineHost::~MachineHost() = default;
uint64_t MachineHost::EepromSaveFailures() { return 0; }
uint64_t MachineHost::Step(uint64_t) { return 0; }
double MachineHost::ClockRateHz() const { return 0; }
std::string MachineHost::PnpStateName() const { return "unknown"; }
std::string MachineHost::SystemPowerName() const { return "unknown"; }
size_t ReportBrokenRules() { return 0; }
void SelectPlatform(const std::string&) {}

}  // namespace tarvik::tool

#else

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cstdio>

#include "sim/machine.h"
#include "tarvik/emulated_machine.h"

namespace tarvik::tool {

EmulatedMachineOptions EmulatedOptions(const MachineHostOptions& options) {
  EmulatedMachineOptions emulated;
  emulated.virtualClock = options.virtualClock;
  emulated.eepromImage = options.eepromImage;
  emulated.idByte4 = options.idByte4;
  emulated.sources = options.sources;
  emulated.driverImage = options.driverImage;
  return emulated;
}

void SelectPlatform(const std::string& name) {
  if (auto platform = sim::ParsePlatform(name)) sim::SetDefaultPlatform(*platform);
}

MachineHost::MachineHost(const MachineHostOptions& options)
    : options_(options), machine_(std::make_unique<EmulatedMachine>(EmulatedOptions(options))) {}

MachineHost::~MachineHost() = default;

uint64_t MachineHost::EepromSaveFailures() { return machine_->EepromSaveFailures(); }

size_t ReportBrokenRules() {
  auto rules = TakeBrokenRules();
  if (rules.empty()) return 0;
  std::fflush(stdout);
  fmt::print(stderr, "tarvik: the driver broke {} platform rule{}: {}\n", rules.size(),
             rules.size() == 1 ? "" : "s", fmt::join(rules, " "));
  return rules.size();
}

uint64_t MachineHost::Step(uint64_t ticks) { return machine_->Step(ticks); }
double MachineHost::ClockRateHz() const { return machine_->ClockRateHz(); }
std::string MachineHost::PnpStateName() const { return machine_->PnpStateName(); }
std::string MachineHost::SystemPowerName() const { return machine_->SystemPowerName(); }

}  // namespace tarvik::tool

#endif
