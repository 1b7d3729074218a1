// The machine the tool talks to. On Linux that is the emulated machine, booted in this
// process: the kernel, the card on its I/O bus and the driver, loaded, added and started as
// the platform's PnP manager would. On Windows it is the real one, and nothing is booted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include "source_setting.h"
#endif

namespace sim {
class Machine;
namespace card {
struct CardConfig;
}
}  // namespace sim

namespace tarvik::tool {

struct MachineHostOptions {
  // The card's sample clock moves only when the tool steps it (deterministic runs), instead
  // of in real time.
  bool virtualClock = false;
  std::optional<std::filesystem::path> eepromImage;
  std::optional<uint8_t> idByte4;  // identification byte 4 (9 on a good board)
#if !defined(_WIN32)
  std::vector<SourceSetting> sources;
#endif
  std::vector<std::string> sourceTexts;  // the sources as given, for the files' descriptions
  // Run this PE32 image of the driver (tarvik.sys) instead of the linked one (i686 build).
  std::optional<std::filesystem::path> driverImage;
};

// The file a path names once its symbolic links are followed (the path itself when it is
// none), so that replacing the file keeps the link.
std::filesystem::path FollowLinks(const std::filesystem::path& path);

// Puts the card options of the command line (EEPROM image, identification byte, signal
// sources, real-time or virtual clock) into the emulated card's configuration, and makes the
// machine boot the driver image when one is given.
void ApplyCardOptions(const MachineHostOptions& options, sim::card::CardConfig& card);

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

  // The emulated machine, or null on a real one.
  sim::Machine* Machine() { return machine_.get(); }
  std::string PnpStateName() const;
  std::string SystemPowerName() const;

 private:
  class ImageLock;

  MachineHostOptions options_;
  // Held from before the image is loaded until the machine is gone, so that runs sharing an
  // image file take turns and none overwrites another's words.
  std::unique_ptr<ImageLock> imageLock_;
  std::unique_ptr<sim::Machine> machine_;
};

}  // namespace tarvik::tool
