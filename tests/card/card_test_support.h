// A card on its own I/O bus, and an EEPROM wire that drives the bridge's control register the
// way a driver does: layered clock pulse, select, shift out/in, then whole instructions.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "card/card.h"
#include "sim/io_bus.h"

namespace card_test {

using namespace sim::card;
using namespace sim::card::bridge_reg;

class EepromWire {
 public:
  EepromWire(sim::IoBus& bus, uint32_t bridgeBase) : bus_(bus), control_(bridgeBase + kControl) {}

  void SetPins(bool cs, bool sk, bool di) {
    uint32_t value = kept_;
    if (cs) value |= kControlEepromSelect;
    if (sk) value |= kControlEepromClock;
    if (di) value |= kControlEepromDataIn;
    di_ = di;
    bus_.Write(control_, 4, value);
  }
  bool DataOut() { return (bus_.Read(control_, 4) & kControlEepromDataOut) != 0; }

  void Select() { SetPins(true, false, false); }
  void Deselect() { SetPins(false, false, false); }
  // DI is set with the clock low, then the clock pulses.
  void ShiftOut(uint32_t bits, unsigned count) {
    for (unsigned i = count; i-- > 0;) {
      bool bit = (bits >> i & 1) != 0;
      SetPins(true, false, bit);
      SetPins(true, true, bit);
      SetPins(true, false, bit);
    }
  }
  uint32_t ShiftIn(unsigned count) {
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
      SetPins(true, true, di_);
      SetPins(true, false, di_);
      value = value << 1 | (DataOut() ? 1u : 0u);
    }
    return value;
  }
  void Command(unsigned opcode, unsigned address) {
    ShiftOut(1u << 8 | opcode << 6 | (address & 0x3F), 9);
  }

  // Leaves the part selected after the dummy bit, for tests that keep clocking.
  void StartRead(unsigned address) {
    Select();
    Command(eeprom_op::kRead, address);
    EXPECT_FALSE(DataOut()) << "dummy bit of READ " << address;
  }
  uint16_t Read(unsigned address) {
    StartRead(address);
    auto value = static_cast<uint16_t>(ShiftIn(16));
    Deselect();
    return value;
  }
  void Extended(unsigned which) {
    Select();
    Command(eeprom_op::kExtended, which << 4);
    Deselect();
  }
  void Ewen() { Extended(eeprom_op::kEwen); }
  void Ewds() { Extended(eeprom_op::kEwds); }
  void Eral() { Extended(eeprom_op::kEral); }
  void Wral(uint16_t data) {
    Select();
    Command(eeprom_op::kExtended, eeprom_op::kWral << 4);
    ShiftOut(data, 16);
    Deselect();
  }
  void Write(unsigned address, uint16_t data) {
    Select();
    Command(eeprom_op::kWrite, address);
    ShiftOut(data, 16);
    Deselect();
  }
  void Erase(unsigned address) {
    Select();
    Command(eeprom_op::kErase, address);
    Deselect();
  }
  // Polls the status; returns the number of polls that saw busy, or -1 on a time-out.
  int WaitReady(int maxPolls = 5000) {
    Select();
    int polls = 0;
    while (!DataOut()) {
      if (++polls > maxPolls) {
        Deselect();
        return -1;
      }
    }
    Deselect();
    return polls;
  }

  uint32_t kept_ = 0;  // other control bits, written back with the pins

 private:
  sim::IoBus& bus_;
  uint32_t control_;
  bool di_ = false;
};

// The model's semantics are tested from a silent bridge (its power-up enables cleared in the
// configuration); the power-up state has a test of its own.
// The part's protocol is tested from an erased part, not from a new card's image.
inline CardConfig SilentBridge() {
  CardConfig config;
  config.interrupts.enabledAtReset = false;
  config.eepromContents.fill(kEepromBlankWord);
  return config;
}

class CardTest : public testing::Test {
 protected:
  explicit CardTest(CardConfig config = SilentBridge())
      : card_(config), wire_(bus_, config.bridgeBase) {
    EXPECT_TRUE(card_.Attach(bus_));
  }
  ~CardTest() override { card_.Detach(); }

  uint32_t ReadBridge(uint32_t offset) { return bus_.Read(card_.config().bridgeBase + offset, 4); }
  void WriteBridge(uint32_t offset, uint32_t value) {
    bus_.Write(card_.config().bridgeBase + offset, 4, value);
  }

  sim::IoBus bus_;
  Card card_;
  EepromWire wire_;
};

}  // namespace card_test
