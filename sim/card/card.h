// The card as the machine sees it: the bridge (with its EEPROM) and the card's I/O window,
// put on an I/O bus at the ports the configuration names. The window drives the bridge's
// local interrupt 1.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "card/bridge.h"
#include "card/card_window.h"
#include "card/eeprom_93c46.h"
#include "sim/io_bus.h"

namespace sim::card {

struct CardConfig {
  uint32_t bridgeBase = 0xE000;  // 128 bytes
  uint32_t windowBase = 0xE400;  // 64 bytes
  // Where the EEPROM image lives (see eeprom_93c46.h); none: a blank part in memory only.
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

  // Power-up state of every block (the EEPROM's cells are kept).
  void Reset();

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
  const CardConfig config_;
  Bridge bridge_;
  CardWindow window_;
  ImageFileResult eepromImageStatus_ = ImageFileResult::Missing;
  IoBus* bus_ = nullptr;
};

}  // namespace sim::card
