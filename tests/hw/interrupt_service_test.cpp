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
  // Another device on the card's line, served by ForeignService; disconnect it when done.
  PKINTERRUPT ConnectForeign() {
    const auto& options = Machine().Options();
    PKINTERRUPT foreign = nullptr;
    EXPECT_EQ(IoConnectInterrupt(&foreign, ForeignService, &Machine(), nullptr,
                                 options.interrupt.vector, options.interrupt.irql,
                                 options.interrupt.irql, LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    return foreign;
  }
};

TEST_F(InterruptServiceTest, AnotherDevicesInterruptIsLeftToItAfterOneRegisterRead) {
  Start();
  const auto& options = Machine().Options();
  PKINTERRUPT foreign = ConnectForeign();
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

// A card pulled from its slot (or one that stopped decoding) reads all ones. An all-ones status
// would look like every enable and every local interrupt set: it is never taken as the card's
// interrupt, so another device on the shared line keeps its own; and nothing the driver reads
// from such a card (identification, EEPROM ready, the serial number) is believed.
TEST_F(InterruptServiceTest, AGoneCardReadsAllOnesAndIsNeitherClaimedNorBelieved) {
  Start();
  PKINTERRUPT foreign = ConnectForeign();
  Machine().Card().Detach();
  Machine().SetForeignInterruptLevel(true);
  EXPECT_FALSE(Machine().ForeignInterruptLevel());  // served by its own routine
  EXPECT_FALSE(LineMasked());
  EXPECT_EQ(Extension()->OtherIntCount, 0);
  IoDisconnectInterrupt(foreign);
  ASSERT_EQ(Stop(), STATUS_SUCCESS);

  USHORT idBefore = Extension()->IdBytes[4];
  UCHAR open[16] = {};
  EXPECT_EQ(Control(IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_HARDWARE);
  EXPECT_EQ(Extension()->IdBytes[4], idBefore);
  ULONG serial = 0;
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_HARDWARE);  // not an erased serial number
  uint8_t write[4] = {120, 1, 0x34, 0x12};       // one word: data out reads 1, never "ready"
  EXPECT_EQ(Control(IOCTL_DAQ_COMMAND, write, sizeof write, nullptr, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_HARDWARE);
  ASSERT_TRUE(Machine().Card().Attach(sim::PortBus()));
}

// A caller's write to the interrupt control register during a run: the bits the interrupt
// handling owns (enables, polarities, edge selects, edge clears) stay the driver's, the rest
// is written. Written as given, 0x41 makes local interrupt 1 active-low: the card's idle line
// then reads as an interrupt nothing acknowledges, and the shared line storms.
TEST_F(InterruptServiceTest, ACallersWriteToTheInterruptControlKeepsTheDriversBits) {
  Start();
  Step(3);
  uint32_t owned = 0xF5B;  // enables, polarities, edge selects and clears; not the status
  uint32_t before = IntCsr();
  ULONG request[2] = {Machine().Options().card.bridgeBase + 0x4C, 0x00010041};
  EXPECT_EQ(Control(IOCTL_DAQ_PORT_OUT_DWORD, request, sizeof request, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(IntCsr() & owned, before & owned);
  EXPECT_EQ(IntCsr() & 0x00010080, 0x00010000u);  // the caller's own bits as written
  USHORT frames = Extension()->FrameIntCount;
  Step(4);
  EXPECT_FALSE(LineMasked());
  EXPECT_EQ(static_cast<USHORT>(Extension()->FrameIntCount - frames), 4);
}

// An input that cannot drive the line (its local enable clear, or the PCI interrupt disabled)
// may still show active: the card holds local interrupt 1 until it is strobed. Neither makes
// another device's interrupt on the shared line this card's.
TEST_F(InterruptServiceTest, AnActiveInputThatCannotDriveTheLineClaimsNothing) {
  Start();
  sim::card::Bridge& bridge = Machine().Card().bridge();
  for (uint32_t clear : {0x01u, 0x40u}) {  // local interrupt 1 enable, PCI interrupt enable
    SCOPED_TRACE(clear);
    bridge.WritePort(0x4C, 4, (bridge.ReadPort(0x4C, 4) | 0x41) & ~clear);
    Step(1);
    ASSERT_NE(IntCsr() & 0x04, 0u);  // local interrupt 1 active
    PKINTERRUPT foreign = ConnectForeign();
    USHORT other = Extension()->OtherIntCount, frames = Extension()->FrameIntCount;
    Machine().SetForeignInterruptLevel(true);
    EXPECT_FALSE(Machine().ForeignInterruptLevel());  // served by its own routine
    EXPECT_FALSE(LineMasked());
    EXPECT_EQ(Extension()->OtherIntCount, other);
    EXPECT_EQ(Extension()->FrameIntCount, frames);
    IoDisconnectInterrupt(foreign);
  }
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

  // Idle, with that tick still pending on the card: user mode tries to set the bridge's local
  // interrupt 1 and PCI enables (0x41) by hand. The enables are the driver's: they stay off,
  // and the pending tick raises nothing.
  ULONG request[2] = {Machine().Options().card.bridgeBase + 0x4C, 0};
  ASSERT_EQ(Control(IOCTL_DAQ_PORT_IN_DWORD, request, 4, &request[1], 4), STATUS_SUCCESS);
  ULONG before = request[1];
  request[1] |= 0x41;
  EXPECT_EQ(Control(IOCTL_DAQ_PORT_OUT_DWORD, request, sizeof request, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Machine().Card().bridge().ReadPort(0x4C, 4) & 0x41, before & 0x41);
  EXPECT_EQ(Extension()->OtherIntCount, 1);
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
