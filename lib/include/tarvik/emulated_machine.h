// The emulated machine in this process (Linux only; target tarvik::emulated): the emulated
// kernel, the card on its I/O bus and the driver, loaded, added and started as the platform's
// PnP manager starts it. While one lives, tarvik::Device opens its device as it would open
// the card's on Windows. One machine exists at a time; the object shuts it down (the device
// removed, the driver unloaded) when it goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {
class Machine;
struct MachineOptions;
namespace card {
struct CardConfig;
}
}  // namespace sim

namespace tarvik {

struct EmulatedMachineOptions {
  // The card's sample clock moves only when Step runs it (repeatable runs), instead of in
  // real time.
  bool virtualClock = false;
  // The card's EEPROM kept in this 128-byte file (created on the first write; a symbolic
  // link is followed and kept). Runs that share a file take turns.
  std::optional<std::filesystem::path> eepromImage;
  std::optional<uint8_t> idByte4;  // identification byte 4 (9 on a good board)
  // The card's signal sources, "QUANTITY=WAVEFORM:PARAMS" (see CheckSourceSetting).
  std::vector<std::string> sources;
  // Boot this PE32 image of the driver (tarvik.sys) instead of the linked one (32-bit only).
  std::optional<std::filesystem::path> driverImage;
};

// Throws std::invalid_argument saying what is wrong with a signal-source setting:
// QUANTITY=WAVEFORM:PARAMS, QUANTITY one of result-a, result-b, word0, word1, word8, word9;
// WAVEFORM:PARAMS one of Constant:VALUE, Ramp:START,STEP, Square:OFFSET,AMPLITUDE,PERIOD,
// Sine:OFFSET,AMPLITUDE,PERIOD, in integers (decimal or 0x...) whose values the word can hold.
void CheckSourceSetting(const std::string& text);

class EmulatedMachine {
 public:
  // Boots; throws std::invalid_argument for bad options, std::runtime_error naming the step
  // that failed (and std::logic_error while another machine lives).
  explicit EmulatedMachine(const EmulatedMachineOptions& options = {});
  ~EmulatedMachine();
  EmulatedMachine(const EmulatedMachine&) = delete;
  EmulatedMachine& operator=(const EmulatedMachine&) = delete;

  const EmulatedMachineOptions& Options() const { return options_; }
  bool VirtualClock() const { return options_.virtualClock; }
  // Runs up to `ticks` of the card's sample clock (virtual clock only); returns those run.
  uint64_t Step(uint64_t ticks);
  // The card's programmed sample-clock rate (ticks per second; 0 while stopped).
  double ClockRateHz() const;
  // EEPROM image updates that failed since the boot (0 without an image).
  uint64_t EepromSaveFailures() const;
  std::string PnpStateName() const;
  std::string SystemPowerName() const;

  // The machine itself, for code that drives its PnP, power or card directly.
  sim::Machine& Machine() { return *machine_; }

 private:
  class ImageLock;
  void Boot(const sim::MachineOptions& machineOptions);

  EmulatedMachineOptions options_;
  // Held from before the image is loaded until the machine is gone, so that runs sharing an
  // image file take turns and none overwrites another's words.
  std::unique_ptr<ImageLock> imageLock_;
  std::unique_ptr<sim::Machine> machine_;
};

// The card options (EEPROM image, identification byte, signal sources, real-time or virtual
// clock) put into an emulated card's configuration, and the driver image chosen, for code
// that builds its own machine (the bench console). Throws std::invalid_argument.
void ApplyCardOptions(const EmulatedMachineOptions& options, sim::card::CardConfig& card);

// The platform rules the emulated machine's verifier saw broken since the last call (each
// was printed as it happened), by name; forgets them.
std::vector<std::string> TakeBrokenRules();

}  // namespace tarvik
