// Frame capture against a card whose registers a test scripts, and block and ring buffering
// driven capture by capture. Both run at device IRQL, as inside the interrupt service routine.
#include <array>
#include <cstring>

#include "driver_test.h"

#include "acq/acquisition.h"
#include "sim/io_bus.h"
#include "sim/schedule.h"

namespace {

using Access = sim::PortAccess;
using Direction = sim::PortAccess::Direction;
constexpr uint32_t kScripted = 0xF000;
constexpr KIRQL kDeviceIrql = 16;

// Byte registers that read what the test put there.
struct ScriptedCard : sim::PortDevice {
  std::array<uint8_t, 64> registers{};
  uint32_t ReadPort(uint32_t offset, unsigned) override { return registers[offset]; }
  void WritePort(uint32_t, unsigned, uint32_t) override {}
};

class CaptureTest : public DriverTest {
 protected:
  void SetUp() override {
    BootWithDevice();
    ASSERT_TRUE(sim::PortBus().Claim(kScripted, 64, &card_));
    DEVICE_EXTENSION* e = Extension();
    e->BoardPort = kScripted;
    e->IdBytes[4] = 9;
    e->SkipCount = 2;
    e->Decimation = 1;
    sim::PortBus().SetTracing(true);
  }
  void TearDown() override {
    sim::PortBus().Release(&card_);
    DriverTest::TearDown();
  }
  void Capture() {
    KIRQL old;
    KeRaiseIrql(kDeviceIrql, &old);
    CaptureFrame(Extension());
    KeLowerIrql(old);
  }
  std::vector<Access> Trace() { return sim::PortBus().TakeTrace(); }
  static Access R(uint32_t offset, uint32_t value) { return {kScripted + offset, 1, Direction::Read, value}; }
  static Access W(uint32_t offset, uint32_t value) { return {kScripted + offset, 1, Direction::Write, value}; }

  ScriptedCard card_;
};

TEST_F(CaptureTest, SkippedCallsThenPhasesReadTheirRegistersInOrder) {
  Capture();
  EXPECT_EQ(Trace(), (std::vector<Access>{W(8, 0), W(8, 1), W(9, 0), W(9, 1)}));
  Capture();
  EXPECT_EQ(Trace(), (std::vector<Access>{W(8, 0), W(8, 1), W(10, 0), W(10, 1)}));
  card_.registers[6] = 0xA7;  // the high nibble is not data
  card_.registers[5] = 0x3C;
  Capture();  // phase 0
  EXPECT_EQ(Trace(), (std::vector<Access>{R(6, 0xA7), R(5, 0x3C), R(6, 0xA7), R(5, 0x3C),
                                          W(8, 0), W(8, 1), W(9, 0), W(9, 1)}));
  EXPECT_EQ(Extension()->LastFrame[4], 0x073C);
  EXPECT_EQ(Extension()->SamplesReady, 0);
  std::array<uint8_t, 16> values{0, 0x34, 0x12, 0x78, 0x56, 0x3C, 0x07, 1, 2, 3, 4, 5, 0xCD, 0xAB, 0x99};
  std::copy(values.begin(), values.end(), card_.registers.begin());
  Capture();  // phase 1 completes the frame
  EXPECT_EQ(Trace(),
            (std::vector<Access>{R(6, 7), R(5, 0x3C), R(6, 7), R(5, 0x3C), R(2, 0x12), R(1, 0x34),
                                 R(4, 0x56), R(3, 0x78), R(13, 0xAB), R(12, 0xCD), R(14, 0x99),
                                 R(7, 1), R(8, 2), R(9, 3), R(10, 4), R(11, 5), W(8, 0), W(8, 1),
                                 W(10, 0), W(10, 1)}));
  const USHORT* frame = Extension()->FrameBuffer;
  EXPECT_EQ((std::array<USHORT, 16>{frame[0], frame[1], frame[2], frame[3], frame[4], frame[5],
                                    frame[6], frame[7], frame[8], frame[9], frame[10], frame[11],
                                    frame[12], frame[13], frame[14], frame[15]}),
            (std::array<USHORT, 16>{0x1234, 0x5678, 0, 0, 0x073C, 0x073C, 0, 0, 0xABCD, 0x99, 1,
                                    2, 3, 4, 0, 5}));
  EXPECT_EQ(Extension()->SamplesReady, 16);
}

TEST_F(CaptureTest, ABoardThatIsNotGoodIsNeverTouched) {
  Extension()->IdBytes[4] = 8;
  Extension()->LastFrame[0] = 0x5555;
  for (int i = 0; i < 6; ++i) Capture();
  EXPECT_TRUE(Trace().empty());
  EXPECT_EQ(Extension()->LastFrame[0], 0x5555);
  EXPECT_EQ(Extension()->SamplesReady, 0);
}

TEST_F(CaptureTest, CountersExtendAcrossWraps) {
  DEVICE_EXTENSION* e = Extension();
  e->SkipCount = 0;
  e->CounterPrevious[0] = 0xF0;
  e->CounterExtended[0] = 0x03F0;
  e->CounterPrevious[1] = 0xF0;
  e->CounterExtended[1] = 0xFFF0;
  e->CounterPrevious[2] = 0x40;
  e->CounterExtended[2] = 0x0240;
  card_.registers[7] = 0x05;
  card_.registers[8] = 0x05;
  card_.registers[9] = 0x40;  // stands still
  Capture();
  Capture();
  EXPECT_EQ(e->CounterExtended[0], 0x0405u);
  EXPECT_EQ(e->CounterExtended[1], 0x0005u);  // wraps from 0xFFxx to 0x00xx
  EXPECT_EQ(e->CounterExtended[2], 0x0240u);
  EXPECT_EQ(e->FrameBuffer[14], 0);  // counter 4 has no register
}

TEST_F(CaptureTest, DecimationCountsCallsIncludingTheSkippedOnes) {
  // Frames that pass, per completed frames, from a start: D 1 or 2 every frame, odd D every
  // D-th frame, even D every (D/2)-th.
  for (auto [decimation, every] : {std::pair{1, 1}, {2, 1}, {3, 3}, {4, 2}, {31, 31}, {10000, 5000}}) {
    DEVICE_EXTENSION* e = Extension();
    e->Decimation = decimation;
    e->DecimationCount = 0;
    e->SkipCount = 2;
    e->CapturePhase = 0;
    int passed = 0;
    const int frames = 2 * every * 3;
    for (int call = 0; call < 2 + 2 * frames; ++call) {
      Capture();
      passed += e->SamplesReady == 16;
    }
    EXPECT_EQ(passed, frames / every) << "decimation " << decimation;
    Trace();
  }
}

// Buffering fed capture by capture: the capture itself is inert (identification byte 4 is not
// 9), and each capture's samples are put into FrameBuffer by the test.
class BufferingTest : public DriverTest {
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
  void Start(ULONG frames, SHORT blocks, bool continuous) {
    START_PARAMETERS start = AcquisitionParameters(frames, blocks, continuous);
    ASSERT_EQ(Control(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0), STATUS_SUCCESS);
    Extension()->IdBytes[4] = 0;
  }
  // One capture delivering `samples` samples, each the capture number times 100 plus its index.
  void Deliver(LONG samples = 16) {
    DEVICE_EXTENSION* e = Extension();
    for (int i = 0; i < 16; ++i) e->FrameBuffer[i] = static_cast<USHORT>(captures_ * 100 + i);
    e->SamplesReady = samples;
    captures_++;
    KIRQL old;
    KeRaiseIrql(kDeviceIrql, &old);
    if (e->BufferMode == 1) BufferBlockFrame(e); else BufferStreamFrame(e);
    KeLowerIrql(old);
  }
  USHORT BlockWord(int block, int word) { return BlockTable(Extension())[block][word]; }
  USHORT Ring(int sample) { return BlockTable(Extension())[0][1 + sample]; }

  int captures_ = 0;
};

TEST_F(BufferingTest, ABlockPerCaptureFillsThePoolThenCountsTheDroppedOnes) {
  Start(1, 2, false);
  DEVICE_EXTENSION* e = Extension();
  Deliver();
  EXPECT_EQ(BlockWord(0, 0), 0);
  EXPECT_EQ(BlockWord(0, 1), 0);
  EXPECT_EQ(sim::nt::WaitForSingleObject(event_, 5000), STATUS_SUCCESS);  // the DPC set it
  Deliver();
  EXPECT_EQ(BlockWord(1, 0), 1);
  EXPECT_EQ(e->WriteIndex, 0);
  EXPECT_EQ(e->FullCount, 1);
  Deliver();
  Deliver();
  EXPECT_EQ(e->BlockSequence, 4);
  EXPECT_EQ(BlockWord(0, 16), 15);  // the oldest block stays intact
  std::vector<UCHAR> out(34);
  ASSERT_EQ(Control(IOCTL_DAQ_READ_OLDEST_BLOCK, nullptr, 0, out.data(), 34), STATUS_SUCCESS);
  Deliver();
  EXPECT_EQ(BlockWord(0, 0), 4);
  EXPECT_EQ(BlockWord(0, 1), 400);
  Deliver(0);  // a capture without samples changes nothing
  EXPECT_EQ(e->BlockSequence, 5);
  EXPECT_EQ(e->FillCount, 0u);
}

TEST_F(BufferingTest, BlocksOfSeveralFramesFillCaptureByCapture) {
  Start(3, 2, false);
  DEVICE_EXTENSION* e = Extension();
  std::vector<ULONG> fill;
  for (int i = 0; i < 4; ++i) {
    Deliver();
    fill.push_back(e->FillCount);
  }
  EXPECT_EQ(fill, (std::vector<ULONG>{16, 32, 0, 16}));
  EXPECT_EQ(BlockWord(1, 0), 1);
  EXPECT_EQ(BlockWord(1, 1), 300);
}

TEST_F(BufferingTest, AChannelCountOfFiveMakesBlocksStartAtFrameBoundaries) {
  Start(2, 3, false);  // 32 samples a block
  DEVICE_EXTENSION* e = Extension();
  e->ChannelCount = 5;  // as the device command may set it during a run
  std::vector<SHORT> phases;
  for (int i = 0; i < 5; ++i) {
    Deliver();
    phases.push_back(e->ChannelPhase);
  }
  EXPECT_EQ(phases, (std::vector<SHORT>{1, 2, 3, 4, 0}));
  // Block 0 took captures 0 and 1. Block 1 began with capture 2 at phase 2: its first three
  // samples finish a frame and are skipped, and its number is 2 (one for the completed
  // block, one for the break).
  EXPECT_EQ(BlockWord(0, 0), 0);
  EXPECT_EQ(BlockWord(1, 0), 2);
  EXPECT_EQ(BlockWord(1, 1), 203);
  EXPECT_EQ(BlockWord(2, 0), 3);
  EXPECT_EQ(e->FillCount, 13u);
}

TEST_F(BufferingTest, TheRingOverwritesItsOldestAndKeepsASnapshot) {
  Start(2, 1, true);  // a ring of 32 samples
  DEVICE_EXTENSION* e = Extension();
  for (int i = 0; i < 3; ++i) Deliver();
  EXPECT_EQ(e->FillCount, 16u);
  EXPECT_EQ(e->BlockSequence, 1);
  EXPECT_EQ(e->SnapshotPosition, 16u);
  EXPECT_EQ(e->SnapshotPhase, 0);
  EXPECT_EQ(Ring(0), 200);  // the third capture
  std::vector<USHORT> out(35);
  ASSERT_EQ(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, out.data(), 70), STATUS_SUCCESS);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 100);   // ring samples 16..31 (capture 1), then 0..15 (capture 2)
  EXPECT_EQ(out[17], 200);
  ULONG newest = 0;
  std::memcpy(&newest, out.data() + 33, 4);
  EXPECT_EQ(newest, 0u);

  // A ring of three frames read whole after four captures: 32 samples before the wrap point,
  // 16 after it.
  Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0);
  Start(3, 1, true);
  captures_ = 0;
  for (int i = 0; i < 4; ++i) Deliver();
  out.assign(51, 0);
  ASSERT_EQ(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, out.data(), 102), STATUS_SUCCESS);
  EXPECT_EQ(out[0], 1);
  for (int k = 0; k < 48; ++k) EXPECT_EQ(out[1 + k], (1 + k / 16) * 100 + k % 16) << k;
  std::memcpy(&newest, out.data() + 49, 4);
  EXPECT_EQ(newest, 0u);
}

// A capture that does not end at the ring's end is split at it: the rest goes to the start and
// the wrap is counted once.
TEST_F(BufferingTest, ACaptureStraddlingTheRingsEndContinuesAtItsStart) {
  Start(1, 1, true);  // a ring of 16 samples
  DEVICE_EXTENSION* e = Extension();
  Deliver(10);
  Deliver(10);
  EXPECT_EQ(e->BlockSequence, 1);
  EXPECT_EQ(e->FillCount, 4u);
  for (int k = 0; k < 16; ++k) {
    int expected = k < 4 ? 106 + k : k < 10 ? k : 100 + k - 10;  // second, first, second
    EXPECT_EQ(Ring(k), expected) << k;
  }
}

// With five channels a capture leaves a partial frame in the ring, and the stream read's frames
// end before it. The writer must not reach the oldest sample copied: the room it has is the
// ring less the copy and less the partial frame. A capture landing while the read copies, by
// more than that room, makes the read copy again from a new snapshot, whose samples are then
// exactly the ring's. (The oldest frame is copied with the snapshot, so the writer may also
// overwrite that one.)
TEST_F(BufferingTest, AStreamReadCopiesAgainWhenACaptureTakesMoreThanTheRoomLeft) {
  Start(2, 1, true);  // a ring of 32 samples
  DEVICE_EXTENSION* e = Extension();
  e->ChannelCount = 5;
  Deliver(16);
  Deliver(16);  // position 0, phase 2: the newest whole frame ends at 30
  // 25 samples: room 32 - 25 - 2 = 5, and 5 more for the oldest frame, before the writer
  // reaches the samples copied outside the lock; it advances by 12.
  sim::schedule::Inject({sim::schedule::Role::Test, 2, "KeSynchronizeExecution"},
                        [this] { Deliver(12); }, "a capture during the copy");
  std::vector<USHORT> out(31);
  ASSERT_EQ(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, out.data(), 56), STATUS_SUCCESS);
  sim::schedule::WaitForInjections();
  ASSERT_TRUE(sim::schedule::AllInjectionsFired());
  ULONG end = (e->SnapshotPosition + 32 - e->SnapshotPhase) % 32;
  if (end == 0) end = 32;
  for (int k = 0; k < 25; ++k) EXPECT_EQ(out[1 + k], Ring((end + 32 - 25 + k) % 32)) << k;
  ULONG newest = 0;
  std::memcpy(&newest, out.data() + 26, 4);
  EXPECT_EQ(newest, end / 5 - 1);
}

}  // namespace
