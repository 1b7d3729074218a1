// The interrupt service routine on the card's shared line, and the DPC's event.
#include "driver_test.h"

#include "sim/io_bus.h"
#include "sim/schedule.h"

namespace {

// Another device on the card's line: its routine claims and clears its own interrupt.
BOOLEAN NTAPI ForeignService(PKINTERRUPT, PVOID context) {
  auto* machine = static_cast<sim::Machine*>(context);
  if (!machine->ForeignInterruptLevel()) return FALSE;
  machine->SetForeignInterruptLevel(false);
  return TRUE;
}

class InterruptServiceTest : public DriverTest {
 protected:
  void SetUp() override {
    BootWithDevice();
    AssignCardRanges();
    UCHAR open[16] = {};
    ASSERT_EQ(Control(IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0), STATUS_SUCCESS);
  }
  void TearDown() override {
    Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0);
    DriverTest::TearDown();
  }
  void Start(ULONG frames = 1, SHORT blocks = 4) {
    START_PARAMETERS start = AcquisitionParameters(frames, blocks);
    ASSERT_EQ(Control(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0), STATUS_SUCCESS);
  }
  void Step(uint64_t ticks) { Machine().Card().window().Step(ticks); }
  uint32_t IntCsr() { return Machine().Card().bridge().ReadPort(0x4C, 4); }
  bool LineMasked() { return sim::kernel::GetInterruptStats(Machine().Options().interrupt.vector).masked; }
  NTSTATUS Stop() { return Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0); }
};

TEST_F(InterruptServiceTest, AnotherDevicesInterruptIsLeftToItAfterOneRegisterRead) {
  Start();
  const auto& options = Machine().Options();
  PKINTERRUPT foreign = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&foreign, ForeignService, &Machine(), nullptr,
                               options.interrupt.vector, options.interrupt.irql,
                               options.interrupt.irql, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  sim::PortBus().SetTracing(true);
  Machine().SetForeignInterruptLevel(true);
  EXPECT_FALSE(Machine().ForeignInterruptLevel());  // served by its own routine
  std::vector<sim::PortAccess> trace = sim::PortBus().TakeTrace();
  ASSERT_EQ(trace.size(), 1u);  // the card's routine read the bridge's status once
  EXPECT_EQ(trace[0].port, options.card.bridgeBase + 0x4C);
  EXPECT_EQ(Extension()->FrameIntCount, 0);
  EXPECT_EQ(Extension()->OtherIntCount, 0);
  IoDisconnectInterrupt(foreign);
}

TEST_F(InterruptServiceTest, FrameInterruptsAreCountedAndTheCounterWraps) {
  Start();
  Extension()->FrameIntCount = 65535;
  Step(1);
  EXPECT_EQ(Extension()->FrameIntCount, 0);
  Step(3);
  EXPECT_EQ(Extension()->FrameIntCount, 3);
  EXPECT_EQ(Extension()->OtherIntCount, 0);
}

TEST_F(InterruptServiceTest, LocalInterrupt2AloneIsAcknowledgedButReadsNoFrame) {
  Start();
  sim::card::Bridge& bridge = Machine().Card().bridge();
  bridge.WritePort(0x4C, 4, bridge.ReadPort(0x4C, 4) | 0x08);  // let local interrupt 2 through
  auto framesBefore = Machine().Card().window().GetCounters().acknowledgements;
  bridge.SetLocalInterrupt2Level(true);
  EXPECT_EQ(Extension()->OtherIntCount, 1);
  EXPECT_EQ(Extension()->FrameIntCount, 0);
  EXPECT_EQ(Machine().Card().window().GetCounters().acknowledgements, framesBefore);
  bridge.SetLocalInterrupt2Level(false);
  Step(2);  // the card's own interrupt still comes through
  EXPECT_EQ(Extension()->FrameIntCount, 2);
}

TEST_F(InterruptServiceTest, StartEnablesTheBridgeItFoundDisabled) {
  ASSERT_EQ(IntCsr() & 0x49, 0u);  // the resource assignment silenced it
  Start();
  EXPECT_EQ(IntCsr() & 0x41, 0x41u);
  Step(1);
  EXPECT_EQ(Extension()->FrameIntCount, 1);
}

// The card holds local interrupt 1 until the capture strobes it. Every way of taking its
// interrupt without a strobe must leave the line quiet (the emulated kernel reports a storm
// and masks the line otherwise), and the stop must still complete.
TEST_F(InterruptServiceTest, ABoardTheCaptureNeverTouchesDoesNotStormTheLine) {
  // Identification byte 4 is not 9.
  Extension()->IdBytes[4] = 8;
  Start();
  Step(3);
  EXPECT_EQ(Extension()->FrameIntCount, 1);  // then the card stays silenced
  EXPECT_FALSE(LineMasked());
  EXPECT_EQ(Stop(), STATUS_SUCCESS);
}

TEST_F(InterruptServiceTest, TicksOutsideARunDoNotStormTheLine) {
  // A tick inside a stop, after it cleared Running and before it disabled the bridge: the
  // stop's first port write, the sample clock's, is held while the card ticks. The tick's
  // interrupt is taken on the injector itself: waiting for another processor to take it would
  // let the stop go on first.
  Start();
  Step(1);
  sim::schedule::Inject({sim::schedule::Role::Test, 1, "WRITE_PORT_UCHAR"}, [&] {
    auto delivery = sim::schedule::CurrentInterruptDelivery();
    sim::schedule::SetInterruptDelivery(sim::schedule::InterruptDelivery::Uniprocessor);
    Step(1);
    sim::schedule::SetInterruptDelivery(delivery);
  }, "a tick inside the stop");
  EXPECT_EQ(Stop(), STATUS_SUCCESS);
  sim::schedule::WaitForInjections();
  EXPECT_TRUE(sim::schedule::AllInjectionsFired());
  sim::schedule::DisarmInjections();
  EXPECT_EQ(Extension()->OtherIntCount, 1);
  EXPECT_FALSE(LineMasked());

  // Idle, with that tick still pending on the card: user mode sets the bridge's local
  // interrupt 1 and PCI enables (0x41) by hand, keeping the other bits.
  ULONG request[2] = {Machine().Options().card.bridgeBase + 0x4C, 0};
  ASSERT_EQ(Control(IOCTL_DAQ_PORT_IN_DWORD, request, 4, &request[1], 4), STATUS_SUCCESS);
  request[1] |= 0x41;
  EXPECT_EQ(Control(IOCTL_DAQ_PORT_OUT_DWORD, request, sizeof request, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->OtherIntCount, 2);
  EXPECT_FALSE(LineMasked());
  // A new start acknowledges the stale half-frame and runs normally.
  USHORT frames = Extension()->FrameIntCount;
  Start();
  Step(2);
  EXPECT_EQ(static_cast<USHORT>(Extension()->FrameIntCount - frames), 2);
}

// A stop right after a block completed, with its DPC perhaps still queued, must never let the
// DPC set the event after the stop let go of it (the verifier would report it).
TEST_F(InterruptServiceTest, StopNeverLetsAQueuedDpcSetAReleasedEvent) {
  for (int round = 0; round < 50; ++round) {
    Start();
    Step(4);  // one block of one frame
    ASSERT_EQ(Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    sim::kernel::WaitForDpcsIdle();
    sim::nt::Close(event_);
    event_ = 0;
  }
}

}  // namespace
