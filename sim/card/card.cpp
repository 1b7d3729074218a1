// The card wrapper: owns the blocks and puts them on the bus.
#include "card/card.h"

#include <cstdio>

namespace sim::card {

namespace {

BridgeConfig MakeBridgeConfig(const CardConfig& config) {
  BridgeConfig bridge;
  bridge.interrupts = config.interrupts;
  bridge.eepromProgramMicros = config.eepromProgramMicros;
  return bridge;
}

}  // namespace

Card::Card(const CardConfig& config)
    : config_(config), bridge_(MakeBridgeConfig(config)), window_(config.window) {
  // The bridge reads the card's line under its own lock: overlapping calls leave the last level.
  window_.SetInterruptSink(
      [this](bool) { bridge_.FollowLocalInterrupt1([this] { return window_.InterruptLine(); }); });
  bridge_.SetEepromImage(config_.eepromContents);  // no file attached yet: nothing is saved
  if (config_.eepromImage) {
    eepromImageStatus_ = bridge_.AttachEepromFile(*config_.eepromImage);
    if (eepromImageStatus_ == ImageFileResult::BadSize ||
        eepromImageStatus_ == ImageFileResult::IoError) {
      std::fprintf(stderr, "card: EEPROM image %s refused; the part is not saved\n",
                   config_.eepromImage->c_str());
    }
  }
  LoadPciConfiguration();
  if (config_.realTimeClock) window_.StartRealTime();
}

Card::~Card() {
  // The pacing thread reaches the bridge: it ends before the blocks go.
  window_.StopRealTime();
  Detach();
}

bool Card::Attach(IoBus& bus) {
  Detach();
  if (!bus.Claim(config_.bridgeBase, bridge_reg::kRangeLength, &bridge_)) return false;
  if (!bus.Claim(config_.windowBase, card_reg::kRangeLength, &window_)) {
    bus.Release(&bridge_);
    return false;
  }
  bus_ = &bus;
  return true;
}

void Card::Detach() {
  if (bus_ == nullptr) return;
  bus_->Release(&bridge_);
  bus_->Release(&window_);
  bus_ = nullptr;
}

void Card::LoadPciConfiguration() {
  PciIdentity loaded = PciIdentityOf(bridge_.EepromImageWords());
  std::lock_guard guard(pciLock_);
  pciIdentity_ = loaded.vendorId == kEepromBlankWord ? BuildPciIdentity() : loaded;
}

PciIdentity Card::PciConfiguration() const {
  std::lock_guard guard(pciLock_);
  return pciIdentity_;
}

void Card::Reset() {
  LoadPciConfiguration();
  bridge_.Reset();
  window_.Reset();
}

}  // namespace sim::card
