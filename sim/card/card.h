// The card as the machine sees it: the bridge (with its EEPROM) and the card's I/O window,
// put on an I/O bus at the ports the configuration names. The window drives the bridge's
// local interrupt 1.
//
// The card in its slot: it decodes its port ranges only while the bus driver has its I/O
// space enabled (not in D1..D3; the blocks keep their state, as a function without soft reset
// in D3 does), and not at all once pulled from the slot. A range nobody decodes reads all ones
// and drops writes. Its PCI interrupt pin follows the bridge's output while it decodes, is low
// while it does not, and once pulled is either low or left floating, which the system board's
// pull-up holds asserted with nothing behind it to clear (Pull's choice).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
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

// The card's PCI interrupt pin as the slot sees it.
enum class Pin : uint8_t { Low, High, Floating };

class Card {
 public:
  explicit Card(const CardConfig& config = {});
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // Claims the bridge's and the window's ranges (while the card decodes them); claims neither
  // if either is taken. The bus must outlive the attachment (the destructor detaches).
  bool Attach(IoBus& bus);
  void Detach();
  bool Attached() const { return bus_ != nullptr; }

  // Where the ranges are: the configuration's bases until MoveTo gives others (the PnP
  // manager's rebalance); false, and nothing moved, when the new ranges are taken.
  uint32_t BridgeBase() const;
  uint32_t WindowBase() const;
  bool MoveTo(uint32_t bridgeBase, uint32_t windowBase);

  // I/O space decoding, as the bus driver's command register switches it (on at power-up).
  void SetDecoding(bool on);
  bool Decoding() const;
  // Pulls the card from its slot, for good: it stops decoding, and its pin floats when
  // `pinFloats`, else is low. Nothing else of it changes (its clock may still be stepped).
  void Pull(bool pinFloats);
  bool Pulled() const { return pulled_.load(std::memory_order_acquire); }

  Pin InterruptPin() const;
  // Called whenever the pin may have changed (bridge output, decoding, pull), without the
  // card's or the bridge's locks held; the callback reads the pin. Null to stop.
  void SetInterruptCallback(std::function<void(Pin)> callback);

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

  // Claims or releases the ranges as the slot state says; called with lock_ held.
  bool UpdateClaims();
  void NotifyPin();

  mutable std::mutex lock_;  // the slot state below and the claims
  IoBus* bus_ = nullptr;
  bool claimed_ = false;
  uint32_t bridgeBase_;
  uint32_t windowBase_;
  std::atomic<bool> decoding_{true};
  std::atomic<bool> pulled_{false};
  std::atomic<bool> pinFloats_{false};
  std::function<void(Pin)> callback_;
};

}  // namespace sim::card
