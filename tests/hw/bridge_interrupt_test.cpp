// Claiming, enabling and disabling the bridge's interrupt, bit for bit, against the bridge
// model. The routines run at device IRQL, as the interrupt service routine runs them.
#include "driver_test.h"

#include "hw/bridge_interrupt.h"
#include "sim/io_bus.h"

namespace {

using Access = sim::PortAccess;
using Direction = sim::PortAccess::Direction;
constexpr KIRQL kDeviceIrql = 7;

class BridgeInterruptTest : public DriverTest {
 protected:
  // The routines run on register values each test sets up, from a bridge whose power-up
  // enables are cleared.
  void Boot(sim::card::BridgeInterruptConfig interrupts = {.enabledAtReset = false}) {
    machine_.emplace(sim::MachineOptions{.card = {.interrupts = interrupts}});
    ASSERT_EQ(Machine().LoadDriver(sim::TarvikDriverImage()), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    AssignCardRanges(false);  // the routines run here on their own, not from the ISR
  }
  uint32_t IntCsrPort() { return Machine().Options().card.bridgeBase + 0x4C; }
  uint32_t ReadIntCsr() { return Machine().Card().bridge().ReadPort(0x4C, 4); }
  void WriteIntCsr(uint32_t value) { Machine().Card().bridge().WritePort(0x4C, 4, value); }

  // Runs a bridge routine at device IRQL with the trace on; returns its result.
  BOOLEAN Run(KSYNCHRONIZE_ROUTINE* routine) {
    sim::PortBus().SetTracing(true);
    sim::PortBus().ClearTrace();
    KIRQL old;
    KeRaiseIrql(kDeviceIrql, &old);
    BOOLEAN result = routine(Extension());
    KeLowerIrql(old);
    trace_ = sim::PortBus().TakeTrace();
    sim::PortBus().SetTracing(false);
    return result;
  }
  Access Read(uint32_t value) { return {IntCsrPort(), 4, Direction::Read, value}; }
  Access Write(uint32_t value) { return {IntCsrPort(), 4, Direction::Write, value}; }

  std::vector<Access> trace_;
};

TEST_F(BridgeInterruptTest, ForeignInterruptsAreNotClaimedAndNothingIsWritten) {
  Boot();
  // PCI interrupt disabled: one read, nothing claimed, even with local interrupt 1 active.
  Machine().Card().bridge().SetLocalInterrupt1Level(true);
  uint32_t before = ReadIntCsr();
  EXPECT_FALSE(Run(ClaimBridgeInterrupt));
  EXPECT_EQ(trace_, (std::vector<Access>{Read(before)}));
  // Enabled but neither local interrupt active: another device on the shared line.
  Machine().Card().bridge().SetLocalInterrupt1Level(false);
  WriteIntCsr(0x53);  // enables and active-high polarities
  EXPECT_FALSE(Run(ClaimBridgeInterrupt));
  EXPECT_EQ(trace_, (std::vector<Access>{Read(0x53)}));
  // Local interrupt 2 active but not enabled cannot drive the line: not ours either.
  Machine().Card().bridge().SetLocalInterrupt2Level(true);
  ASSERT_EQ(ReadIntCsr(), 0x73u);
  EXPECT_FALSE(Run(ClaimBridgeInterrupt));
  EXPECT_EQ(trace_, (std::vector<Access>{Read(0x73)}));
  Machine().Card().bridge().SetLocalInterrupt2Level(false);
  // Without the card's ranges the register is not even read.
  Extension()->BoardPort = 0;
  EXPECT_FALSE(Run(ClaimBridgeInterrupt));
  EXPECT_TRUE(trace_.empty());
}

TEST_F(BridgeInterruptTest, LevelInterruptIsSilencedAndEnableRestoresIt) {
  Boot();
  Run(EnableBridgeInterrupt);
  Machine().Card().bridge().SetLocalInterrupt1Level(true);
  ASSERT_TRUE(Machine().Card().bridge().PciInterrupt());
  const uint32_t v = 0x43 | 0x04 | 0x10;  // enables, active-high polarities, LINT1 active
  ASSERT_EQ(ReadIntCsr(), v);
  EXPECT_TRUE(Run(ClaimBridgeInterrupt));
  const uint32_t w = v & ~0x40u;
  EXPECT_EQ(trace_, (std::vector<Access>{Read(v), Write(w), Read(w), Write(w & ~0x01u)}));
  EXPECT_EQ(Extension()->IntSource, 1u);
  EXPECT_FALSE(Machine().Card().bridge().PciInterrupt());

  Run(EnableBridgeInterrupt);
  EXPECT_EQ(trace_, (std::vector<Access>{Read(w & ~0x01u), Write(w | 0x41)}));
}

TEST_F(BridgeInterruptTest, EdgeInterruptIsAcknowledgedWithItsEdgeClear) {
  Boot({.lint1Edge = true, .enabledAtReset = false});
  Run(EnableBridgeInterrupt);
  Machine().Card().bridge().SetLocalInterrupt1Level(true);
  const uint32_t v = 0x100 | 0x43 | 0x04 | 0x10;
  ASSERT_EQ(ReadIntCsr(), v);
  EXPECT_TRUE(Run(ClaimBridgeInterrupt));
  const uint32_t w = v & ~0x40u;
  EXPECT_EQ(trace_, (std::vector<Access>{Read(v), Write(w), Read(w), Write(w | 0x400)}));
  EXPECT_EQ(ReadIntCsr() & 0x05, 0x01u);  // latch cleared, enable left as read
}

TEST_F(BridgeInterruptTest, BothLocalInterruptsAreAcknowledgedFromOneRead) {
  Boot();
  WriteIntCsr(0x5B);  // both local enables, both active high, and the PCI enable
  Machine().Card().bridge().SetLocalInterrupt1Level(true);
  Machine().Card().bridge().SetLocalInterrupt2Level(true);
  const uint32_t v = ReadIntCsr();
  ASSERT_EQ(v & 0x24, 0x24u);
  EXPECT_TRUE(Run(ClaimBridgeInterrupt));
  const uint32_t w = v & ~0x40u;
  EXPECT_EQ(trace_,
            (std::vector<Access>{Read(v), Write(w), Read(w), Write(w & ~0x01u), Write(w & ~0x09u)}));
  EXPECT_EQ(Extension()->IntSource, 3u);
  // Local interrupt 2, level-triggered, stays silenced: enabling never sets its bit again.
  Run(EnableBridgeInterrupt);
  EXPECT_EQ(ReadIntCsr() & 0x08, 0u);
}

TEST_F(BridgeInterruptTest, DisableClearsEveryEnableAndKeepsTheRest) {
  Boot({.lint1Edge = true, .lint2Edge = true, .enabledAtReset = false});
  WriteIntCsr(0xFFFF00CB);
  const uint32_t v = ReadIntCsr();
  Run(DisableBridgeInterrupt);
  EXPECT_EQ(trace_, (std::vector<Access>{Read(v), Write(v & 0xFFFFFFB6)}));
  Machine().Card().bridge().SetLocalInterrupt1Level(true);
  EXPECT_FALSE(Run(ClaimBridgeInterrupt));  // nothing on the line is claimed any more
}

// The bridge powers up with every interrupt enable set; the start silences it before the
// interrupt is connected.
TEST_F(BridgeInterruptTest, TheStartSilencesABridgeThatPowersUpEnabled) {
  machine_.emplace();
  ASSERT_EQ(Machine().LoadDriver(sim::TarvikDriverImage()), STATUS_SUCCESS);
  ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  constexpr uint32_t kEnables = 0x49;  // LINT1, LINT2 and PCI interrupt enables
  EXPECT_EQ(ReadIntCsr() & kEnables, kEnables);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(ReadIntCsr() & kEnables, 0u);
}

}  // namespace
