// The card wrapper: owns the blocks and puts them on the bus.
#include "card/card.h"

#include <cstdio>
#include <utility>

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
    : config_(config), bridge_(MakeBridgeConfig(config)), window_(config.window),
      bridgeBase_(config.bridgeBase), windowBase_(config.windowBase) {
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
  bridge_.SetInterruptCallback(nullptr);
  Detach();
}

bool Card::UpdateClaims() {
  bool want = bus_ != nullptr && decoding_.load() && !pulled_.load();
  if (want == claimed_) return true;
  if (!want) {
    bus_->Release(&bridge_);
    bus_->Release(&window_);
    claimed_ = false;
    return true;
  }
  if (!bus_->Claim(bridgeBase_, bridge_reg::kRangeLength, &bridge_)) return false;
  if (!bus_->Claim(windowBase_, card_reg::kRangeLength, &window_)) {
    bus_->Release(&bridge_);
    return false;
  }
  claimed_ = true;
  return true;
}

bool Card::Attach(IoBus& bus) {
  Detach();
  std::lock_guard guard(lock_);
  bus_ = &bus;
  if (UpdateClaims()) return true;
  bus_ = nullptr;
  return false;
}

void Card::Detach() {
  std::lock_guard guard(lock_);
  if (bus_ == nullptr) return;
  if (claimed_) {
    bus_->Release(&bridge_);
    bus_->Release(&window_);
    claimed_ = false;
  }
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

uint32_t Card::BridgeBase() const {
  std::lock_guard guard(lock_);
  return bridgeBase_;
}

uint32_t Card::WindowBase() const {
  std::lock_guard guard(lock_);
  return windowBase_;
}

bool Card::MoveTo(uint32_t bridgeBase, uint32_t windowBase) {
  std::lock_guard guard(lock_);
  bool wasClaimed = claimed_;
  if (wasClaimed) {
    bus_->Release(&bridge_);
    bus_->Release(&window_);
    claimed_ = false;
  }
  uint32_t oldBridge = std::exchange(bridgeBase_, bridgeBase);
  uint32_t oldWindow = std::exchange(windowBase_, windowBase);
  if (UpdateClaims()) return true;
  bridgeBase_ = oldBridge;
  windowBase_ = oldWindow;
  UpdateClaims();
  return false;
}

void Card::SetDecoding(bool on) {
  {
    std::lock_guard guard(lock_);
    decoding_ = on;
    UpdateClaims();
  }
  NotifyPin();
}

bool Card::Decoding() const { return decoding_.load() && !pulled_.load(); }

void Card::Pull(bool pinFloats) {
  {
    std::lock_guard guard(lock_);
    pinFloats_ = pinFloats;
    pulled_.store(true, std::memory_order_release);
    UpdateClaims();
  }
  NotifyPin();
}

Pin Card::InterruptPin() const {
  if (pulled_.load(std::memory_order_acquire)) return pinFloats_.load() ? Pin::Floating : Pin::Low;
  if (!decoding_.load(std::memory_order_relaxed)) return Pin::Low;
  return bridge_.PciInterrupt() ? Pin::High : Pin::Low;
}

void Card::SetInterruptCallback(std::function<void(Pin)> callback) {
  {
    std::lock_guard guard(lock_);
    callback_ = callback;
  }
  if (!callback) {
    bridge_.SetInterruptCallback(nullptr);
    return;
  }
  bridge_.SetInterruptCallback(
      [this, callback = std::move(callback)](bool) { callback(InterruptPin()); });
}

void Card::NotifyPin() {
  std::function<void(Pin)> callback;
  {
    std::lock_guard guard(lock_);
    callback = callback_;
  }
  if (callback) callback(InterruptPin());
}

void Card::Reset() {
  LoadPciConfiguration();
  bridge_.Reset();
  window_.Reset();
}

}  // namespace sim::card
