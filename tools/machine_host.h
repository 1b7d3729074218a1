// The machine the tool talks to. On Linux that is the emulated machine, booted in this
// process (tarvik::EmulatedMachine). On Windows it is the real one, and nothing is booted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvik {
class EmulatedMachine;
struct EmulatedMachineOptions;
}

namespace tarvik::tool {

struct MachineHostOptions {
  // The card's sample clock moves only when the tool steps it (deterministic runs), instead
  // of in real time.
  bool virtualClock = false;
  std::optional<std::filesystem::path> eepromImage;
  std::optional<uint8_t> idByte4;  // identification byte 4 (9 on a good board)
  std::vector<std::string> sources;  // QUANTITY=WAVEFORM:PARAMS, as given
  // Run this PE32 image of the driver (tarvik.sys) instead of the linked one (i686 build).
  std::optional<std::filesystem::path> driverImage;
};

#if !defined(_WIN32)
// The emulated machine's options for the tool's.
EmulatedMachineOptions EmulatedOptions(const MachineHostOptions& options);
#endif

// Makes every machine this process boots play the platform named "2000" or "98" (the
// TARVIK_PLATFORM variable). No effect on a real machine.
void SelectPlatform(const std::string& name);

// Prints a summary of the platform rules the emulated machine's verifier saw broken during
// the run (each was printed as it happened) and forgets them; returns how many there were.
// Always 0 on a real machine.
size_t ReportBrokenRules();

class MachineHost {
 public:
  // Boots; throws std::runtime_error naming the step that failed.
  explicit MachineHost(const MachineHostOptions& options);
  ~MachineHost();
  MachineHost(const MachineHost&) = delete;
  MachineHost& operator=(const MachineHost&) = delete;

  bool Emulated() const { return machine_ != nullptr; }
  bool VirtualClock() const { return options_.virtualClock && Emulated(); }
  // Runs up to `ticks` of the card's sample clock (virtual clock only); returns those done.
  uint64_t Step(uint64_t ticks);
  // The card's programmed sample-clock rate (ticks per second; 0 when stopped or unknown).
  double ClockRateHz() const;

  // Image file updates that failed since the boot (0 without an image or on a real machine).
  uint64_t EepromSaveFailures();
  // Whether the card's EEPROM is kept in a file (an emulated card without an image forgets
  // its words when the tool exits).
  bool EepromPersistent() const { return !Emulated() || options_.eepromImage.has_value(); }
  std::string EepromImageName() const {
    return options_.eepromImage ? options_.eepromImage->string() : std::string();
  }

  std::string PnpStateName() const;
  std::string SystemPowerName() const;

 private:
  MachineHostOptions options_;
  std::unique_ptr<EmulatedMachine> machine_;
};

}  // namespace tarvik::tool
