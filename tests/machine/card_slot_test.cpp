// The card in its slot as the machine runs it: the ranges the PnP manager lets the driver's
// code touch from start to stop (and where a rebalance moves them), the card's decoding in
// D3, and a card pulled out with its interrupt pin floating.
#include "probe_driver.h"
#include "sim/io_bus.h"
#include "sim/verifier.h"

namespace {

using Rules = std::vector<std::string>;

Rules TakeRules() {
  Rules rules;
  for (auto& violation : sim::verifier::TakeViolations()) rules.push_back(violation.rule);
  return rules;
}

using CardSlotTest = MachinePnpTest;

TEST_F(CardSlotTest, TheDriverHoldsTheCardsRangesFromStartUntilTheStopIsHandled) {
  sim::MachineOptions options;
  options.rebalanceOnRestart = true;
  Boot(options);
  const uint32_t bridge = options.card.bridgeBase;
  probe::TouchPortAt(IRP_MN_START_DEVICE, bridge);
  probe::TouchPortAt(IRP_MN_STOP_DEVICE, bridge);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  ASSERT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(TakeRules(), Rules{});

  // The restart moves the card; a driver that kept the old base touches ports it lost.
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  const uint32_t moved = bridge - sim::kRebalanceShift;
  EXPECT_EQ(Machine().Card().BridgeBase(), moved);
  EXPECT_EQ(probe::Requests().back().translatedDescriptors[0].u.Port.Start.u.LowPart, moved);
  EXPECT_EQ(sim::PortBus().Read(bridge + 0x50, 4), 0xFFFFFFFFu);
  EXPECT_EQ(TakeRules(), Rules{"PortOutsideResources"});

  probe::TouchPortAt(IRP_MN_REMOVE_DEVICE, moved);
  ASSERT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  TakeRules();  // the stop's touch of the old base
  EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("(stopped)"), std::string::npos) << violations[0].message;
}

TEST_F(CardSlotTest, ACardInD3StopsDecodingAndKeepsItsRegisters) {
  Boot();
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  const uint32_t scratch = Machine().Card().BridgeBase() + 0x7C;
  sim::PortBus().Write(scratch, 4, 0x5A5A0001);
  ASSERT_EQ(Machine().SendDevicePower(IRP_MN_SET_POWER, sim::kDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(sim::PortBus().Read(scratch, 4), 0xFFFFFFFFu);
  sim::PortBus().Write(scratch, 4, 0);
  ASSERT_EQ(Machine().SendDevicePower(IRP_MN_SET_POWER, sim::kDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(sim::PortBus().Read(scratch, 4), 0x5A5A0001u);
}

BOOLEAN NTAPI Unclaiming(PKINTERRUPT, PVOID) { return FALSE; }

TEST_F(CardSlotTest, APulledCardsFloatingPinIsTheHardwaresStorm) {
  Boot();
  const auto& irq = Machine().Options().interrupt;
  PKINTERRUPT interrupt = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&interrupt, Unclaiming, nullptr, nullptr, irq.vector, irq.irql,
                               irq.irql, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  Machine().PullCard(/*pinFloats=*/true);
  EXPECT_TRUE(Machine().CardPulled());
  EXPECT_EQ(sim::PortBus().Read(Machine().Card().WindowBase(), 1), 0xFFu);
  auto stats = sim::kernel::GetInterruptStats(irq.vector);
  EXPECT_TRUE(stats.masked && stats.hardwareStorm);
  EXPECT_EQ(TakeRules(), Rules{});
  IoDisconnectInterrupt(interrupt);
}

}  // namespace
