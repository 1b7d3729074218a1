// The bridge's registers on the bus: interrupt control/status and the PCI output, storage,
// refused accesses; the card's ranges on the bus, in its slot and out of it.
#include <atomic>
#include <thread>
#include <vector>

#include "card_test_support.h"

namespace card_test {
namespace {

constexpr uint32_t kLint1On = kIntCsrLint1Enable | kIntCsrPciEnable;

using BridgeTest = CardTest;

TEST_F(BridgeTest, ResetValuesComeFromTheInterruptConfiguration) {
  EXPECT_EQ(ReadBridge(kIntCsr), kIntCsrLint1ActiveHigh | kIntCsrLint2ActiveHigh);
  EXPECT_EQ(ReadBridge(kControl), kControlEepromDataOut) << "pins low, DO pulled up";
  EXPECT_EQ(ReadBridge(0x00), 0u);

  CardConfig config;
  config.interrupts = {.lint1ActiveHigh = false, .lint2ActiveHigh = true, .lint1Edge = true,
                       .lint2Edge = false};
  sim::IoBus bus;
  Card other(config);
  ASSERT_TRUE(other.Attach(bus));
  // A bridge powers up with every interrupt enable set: the driver must silence it.
  constexpr uint32_t kEnables = kIntCsrLint1Enable | kIntCsrLint2Enable | kIntCsrPciEnable;
  EXPECT_EQ(bus.Read(config.bridgeBase + kIntCsr, 4),
            kIntCsrLint2ActiveHigh | kIntCsrLint1Edge | kEnables);
  bus.Write(config.bridgeBase + kIntCsr, 4, 0xFFFFF000u | kIntCsrLint2Enable);
  bus.Write(config.bridgeBase + 0x7C, 4, 0x12345678);
  other.Reset();
  EXPECT_EQ(bus.Read(config.bridgeBase + kIntCsr, 4),
            kIntCsrLint2ActiveHigh | kIntCsrLint1Edge | kEnables);
  EXPECT_EQ(bus.Read(config.bridgeBase + 0x7C, 4), 0u);
}

TEST_F(BridgeTest, LevelStatusFollowsInputThroughPolarityAndGatesThePciOutput) {
  std::vector<bool> calls;
  card_.bridge().SetInterruptCallback([&](bool asserted) { calls.push_back(asserted); });
  Bridge& bridge = card_.bridge();

  bridge.SetLocalInterrupt1Level(true);
  EXPECT_TRUE(ReadBridge(kIntCsr) & kIntCsrLint1Status);
  EXPECT_FALSE(bridge.PciInterrupt()) << "nothing enabled";
  WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kIntCsrLint1Enable);
  EXPECT_FALSE(bridge.PciInterrupt()) << "PCI enable missing";
  WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kLint1On);
  EXPECT_TRUE(bridge.PciInterrupt());
  bridge.SetLocalInterrupt1Level(false);
  EXPECT_FALSE(bridge.PciInterrupt()) << "level mode drops with the input";
  WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kLint1On | kIntCsrLint1Status);
  EXPECT_FALSE(ReadBridge(kIntCsr) & kIntCsrLint1Status) << "status is read-only";
  EXPECT_FALSE(bridge.PciInterrupt());

  WriteBridge(kIntCsr, kLint1On);  // active low now: the low input is active
  EXPECT_TRUE(ReadBridge(kIntCsr) & kIntCsrLint1Status);
  EXPECT_TRUE(bridge.PciInterrupt());
  WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kIntCsrLint2ActiveHigh | kLint1On);
  EXPECT_FALSE(bridge.PciInterrupt());

  // LINT2 only reaches the output through its own enable.
  bridge.SetLocalInterrupt2Level(true);
  EXPECT_TRUE(ReadBridge(kIntCsr) & kIntCsrLint2Status);
  EXPECT_FALSE(bridge.PciInterrupt());
  WriteBridge(kIntCsr, kIntCsrLint2ActiveHigh | kIntCsrLint2Enable | kIntCsrPciEnable);
  EXPECT_TRUE(bridge.PciInterrupt());
  WriteBridge(kIntCsr, kIntCsrLint2ActiveHigh | kIntCsrLint2Enable | kIntCsrSoftware);
  EXPECT_FALSE(bridge.PciInterrupt()) << "the software bit is not an interrupt source";
  EXPECT_TRUE(ReadBridge(kIntCsr) & kIntCsrSoftware);

  EXPECT_EQ(calls, (std::vector<bool>{true, false, true, false, true, false}));
}

TEST_F(BridgeTest, EdgeLatchHoldsUntilClearedAndWaitsForTheNextEdge) {
  Bridge& bridge = card_.bridge();
  WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kIntCsrLint1Edge | kLint1On);
  bridge.SetLocalInterrupt1Level(true);
  bridge.SetLocalInterrupt1Level(false);
  EXPECT_TRUE(ReadBridge(kIntCsr) & kIntCsrLint1Status) << "the pulse is latched";
  EXPECT_TRUE(bridge.PciInterrupt());

  bridge.SetLocalInterrupt1Level(true);
  uint32_t ack = kIntCsrLint1ActiveHigh | kIntCsrLint1Edge | kLint1On | kIntCsrLint1EdgeClearW1C;
  WriteBridge(kIntCsr, ack);
  EXPECT_EQ(ReadBridge(kIntCsr) & (kIntCsrLint1Status | kIntCsrLint1EdgeClearW1C), 0u)
      << "cleared, the clear bit reads 0, a line still high is no new edge";
  EXPECT_FALSE(bridge.PciInterrupt());
  bridge.SetLocalInterrupt1Level(false);
  bridge.SetLocalInterrupt1Level(true);
  EXPECT_TRUE(bridge.PciInterrupt());

  WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kIntCsrLint1Edge | kLint1On |
                           kIntCsrLint2EdgeClearW1C);
  EXPECT_TRUE(bridge.PciInterrupt()) << "the other input's clear leaves LINT1 latched";
  bridge.SetLocalInterrupt1Level(false);
  WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kLint1On);
  EXPECT_FALSE(bridge.PciInterrupt()) << "level mode follows the low input";
  WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kIntCsrLint1Edge | kLint1On);
  EXPECT_FALSE(bridge.PciInterrupt()) << "level mode dropped the old latch";
}

TEST_F(BridgeTest, CallbackMayAcknowledgeThroughTheBusWithoutDeadlock) {
  Bridge& bridge = card_.bridge();
  uint32_t edgeOn = kIntCsrLint1ActiveHigh | kIntCsrLint1Edge | kLint1On;
  WriteBridge(kIntCsr, edgeOn);
  std::vector<bool> calls;
  bridge.SetInterruptCallback([&](bool asserted) {
    calls.push_back(asserted);
    if (asserted && (ReadBridge(kIntCsr) & kIntCsrLint1Status)) {
      WriteBridge(kIntCsr, edgeOn | kIntCsrLint1EdgeClearW1C);
    }
  });
  bridge.SetLocalInterrupt1Level(true);
  EXPECT_EQ(calls, (std::vector<bool>{true, false}));
  EXPECT_FALSE(bridge.PciInterrupt());
}

// Inputs changing on several threads: calls never overlap and the last one carries the level
// the output ends at.
TEST_F(BridgeTest, CallbacksFromRacingInputsEndAtTheFinalLevel) {
  Bridge& bridge = card_.bridge();
  WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kIntCsrLint2ActiveHigh | kLint1On |
                           kIntCsrLint2Enable);
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> last{false};
  bridge.SetInterruptCallback([&](bool asserted) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    last = asserted;
    ReadBridge(kIntCsr);
    inside.fetch_sub(1);
  });
  auto toggle = [&](void (Bridge::*set)(bool), bool finalLevel) {
    for (int i = 0; i < 2000; ++i) (bridge.*set)(i % 2 == 0);
    (bridge.*set)(finalLevel);
  };
  std::thread one(toggle, &Bridge::SetLocalInterrupt1Level, false);
  std::thread two(toggle, &Bridge::SetLocalInterrupt2Level, true);
  one.join();
  two.join();
  EXPECT_FALSE(overlapped);
  EXPECT_TRUE(bridge.PciInterrupt());
  EXPECT_TRUE(last);
}

TEST_F(BridgeTest, ControlRegisterKeepsOtherBitsAndDataOutIsReadOnly) {
  WriteBridge(kControl, 0x00ABCDEFu | kControlEepromDataOut | 0x80000000u);
  EXPECT_EQ(ReadBridge(kControl), 0x80ABCDEFu | kControlEepromDataOut);
  WriteBridge(kControl, 0);
  EXPECT_EQ(ReadBridge(kControl), kControlEepromDataOut) << "DO comes from the part only";
  WriteBridge(0x40, 0xCAFEF00D);
  EXPECT_EQ(ReadBridge(0x40), 0xCAFEF00Du);
}

TEST_F(BridgeTest, AccessesOtherThanAlignedDwordsAreCountedAndRefused) {
  uint32_t base = card_.config().bridgeBase;
  EXPECT_EQ(bus_.Read(base + kIntCsr, 1), 0xFFu);
  EXPECT_EQ(bus_.Read(base + kIntCsr, 2), 0xFFFFu);
  bus_.Write(base + kIntCsr, 1, kLint1On);
  bus_.Write(base + kIntCsr + 2, 4, 0xFFFFFFFFu);
  EXPECT_EQ(bus_.Read(base + 0x7E, 4), 0xFFFFFFFFu);
  EXPECT_EQ(ReadBridge(kIntCsr), kIntCsrLint1ActiveHigh | kIntCsrLint2ActiveHigh);
  auto counters = card_.bridge().GetCounters();
  EXPECT_EQ(counters.badWidth, 3u);
  EXPECT_EQ(counters.misaligned, 2u);
  EXPECT_EQ(counters.accesses, 6u);

  uint32_t window = card_.config().windowBase;
  EXPECT_EQ(bus_.Read(window + 0x10, 1), 0xFFu);
  EXPECT_EQ(bus_.Read(window + 0x3C, 4), 0xFFFFFFFFu);
  bus_.Write(window + 4, 2, 0x1234);
  EXPECT_EQ(card_.window().MisuseCount(), 0u);
  bus_.Read(window + 0x3E, 4);  // runs past the window
  EXPECT_EQ(card_.window().MisuseCount(), 1u);
  EXPECT_EQ(card_.MisuseCount(), 6u);
}

TEST_F(BridgeTest, CardClaimsItsRangesOnlyWhileAttached) {
  EXPECT_EQ(bus_.Read(card_.config().bridgeBase - 4, 4), 0xFFFFFFFFu) << "unclaimed";
  EXPECT_EQ(bus_.Read(card_.config().windowBase + 0x40, 1), 0xFFu) << "unclaimed";

  CardConfig overlapping;
  overlapping.windowBase = card_.config().bridgeBase + 0x40;
  overlapping.bridgeBase = 0xD000;
  Card other(overlapping);
  EXPECT_FALSE(other.Attach(bus_));
  EXPECT_FALSE(other.Attached());
  EXPECT_EQ(bus_.Read(0xD000, 4), 0xFFFFFFFFu) << "a failed attach claims nothing";

  card_.Detach();
  EXPECT_EQ(ReadBridge(0x00), 0xFFFFFFFFu);
  ASSERT_TRUE(other.Attach(bus_)) << "ranges released";
  EXPECT_EQ(bus_.Read(0xD000 + kControl, 4), kControlEepromDataOut);
}

// Decoding off (a device in D3) and a pulled card: all ones, writes dropped, the pin low or
// floating; decoding back keeps every register; a pulled card never comes back.
TEST_F(BridgeTest, ACardThatStopsDecodingReadsAllOnesAndItsPinFollowsTheSlot) {
  std::vector<Pin> pins;
  card_.SetInterruptCallback([&pins, this](Pin) { pins.push_back(card_.InterruptPin()); });
  WriteBridge(0x7C, 0x12345678);
  WriteBridge(kIntCsr, kLint1On | kIntCsrLint1ActiveHigh);
  card_.bridge().SetLocalInterrupt1Level(true);
  EXPECT_EQ(card_.InterruptPin(), Pin::High);

  card_.SetDecoding(false);
  EXPECT_EQ(card_.InterruptPin(), Pin::Low);
  EXPECT_EQ(ReadBridge(0x7C), 0xFFFFFFFFu);
  WriteBridge(0x7C, 0);  // dropped
  card_.SetDecoding(true);
  EXPECT_EQ(ReadBridge(0x7C), 0x12345678u);
  EXPECT_EQ(pins, (std::vector<Pin>{Pin::High, Pin::Low, Pin::High}));

  ASSERT_TRUE(card_.MoveTo(0xC000, 0xC400));
  EXPECT_EQ(bus_.Read(0xC000 + 0x7C, 4), 0x12345678u);
  EXPECT_EQ(bus_.Read(card_.config().bridgeBase + 0x7C, 4), 0xFFFFFFFFu);

  card_.Pull(/*pinFloats=*/true);
  card_.SetDecoding(true);
  EXPECT_TRUE(card_.Pulled());
  EXPECT_EQ(card_.InterruptPin(), Pin::Floating);
  EXPECT_EQ(bus_.Read(0xC000 + 0x7C, 4), 0xFFFFFFFFu);
  EXPECT_EQ(bus_.Read(0xC400, 1), 0xFFu);
  EXPECT_EQ(pins.back(), Pin::Floating);
  card_.SetInterruptCallback(nullptr);
}

}  // namespace
}  // namespace card_test
