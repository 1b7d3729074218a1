// The card as the machine sees it: the bridge (with its EEPROM) and the card's I/O window,
// put on an I/O bus at the ports the configuration names. The window drives the bridge's
// local interrupt 1.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>

#include "card/bridge.h"
#include "card/card_window.h"
#include "card/eeprom_93c46.h"
#include "sim/io_bus.h"

namespace sim::card {

struct CardConfig {
  uint32_t bridgeBase = 0xE000;  // 128 bytes
  uint32_t windowBase = 0xE400;  // 64 bytes
  // What the EEPROM holds when no image file gives its words: a new card's image (the PCI
  // identity in the bridge's configuration words, the rest erased).
  EepromImage eepromContents = NewCardEepromImage();
  // Where the EEPROM image lives (see eeprom_93c46.h); none: the part in memory only. A file
  // that does not exist yet leaves the part with eepromContents.
  std::optional<std::filesystem::path> eepromImage;
  uint64_t eepromProgramMicros = Eeprom93C46::kDefaultProgramMicros;
  BridgeInterruptConfig interrupts;
  // Identification ROM, auxiliary byte and signal sources of the acquisition core.
  CardWindowConfig window;
  // Pace the sample clock in real time from the start (see card_window.h); otherwise the
  // clock moves only when stepped.
  bool realTimeClock = false;
};

class Card {
 public:
  explicit Card(const CardConfig& config = {});
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // Claims the bridge's and the window's ranges; claims neither if either is taken. The bus
  // must outlive the attachment (the destructor detaches).
  bool Attach(IoBus& bus);
  void Detach();
  bool Attached() const { return bus_ != nullptr; }

  // Power-up state of every block (the EEPROM's cells are kept); the bridge loads its PCI
  // identity from the EEPROM again.
  void Reset();

  // The PCI identity the bridge loaded from the EEPROM at power-up: what configuration space
  // shows until the next power-up, whatever is written to the EEPROM meanwhile. An erased
  // vendor word (no configuration programmed) leaves the bridge's power-on identity, which
  // this model takes from the build (BuildPciIdentity).
  PciIdentity PciConfiguration() const;

  // What the acquisition core's quantities hold at any tick, without running the card.
  const SignalSources& Sources() const { return window_.Sources(); }

  Bridge& bridge() { return bridge_; }
  CardWindow& window() { return window_; }
  const CardConfig& config() const { return config_; }
  // What attaching the configured image file gave (Missing without a file configured).
  ImageFileResult EepromImageStatus() const { return eepromImageStatus_; }
  // Misuse of every block: what a test expects to stay 0.
  uint64_t MisuseCount() const { return bridge_.MisuseCount() + window_.MisuseCount(); }

 private:
  void LoadPciConfiguration();

  const CardConfig config_;
  Bridge bridge_;
  CardWindow window_;
  ImageFileResult eepromImageStatus_ = ImageFileResult::Missing;
  PciIdentity pciIdentity_;
  mutable std::mutex pciLock_;  // pciIdentity_ (read by the bus driver on its own threads)
  IoBus* bus_ = nullptr;
};

}  // namespace sim::card
