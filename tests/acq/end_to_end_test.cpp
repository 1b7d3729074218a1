// Acquisitions from the card's clock to samples in user mode, through the Win32 calls a
// client makes. Every sample is checked against what the card model produced: word 0 is a
// ramp of the tick, so each frame tells which ticks it was captured from.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "card_resources.h"
#include "sim/machine.h"
#include "sim/schedule.h"
#include "stream_overtake.h"
#include "tarvik_ioctl.h"

namespace {

using Frame = std::array<uint16_t, TARVIK_FRAME_WORDS>;

sim::MachineOptions Options() {
  sim::MachineOptions options;
  options.card.window.sources[sim::card::Quantity::Word0] = sim::card::SignalSource::Ramp(0, 1);
  return options;
}

class AcquisitionTest : public testing::Test {
 protected:
  void SetUp() override {
    machine_.emplace(Options());
    ASSERT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), 0);
    ASSERT_EQ(machine_->AddDevice(), 0);
    test_support::AssignCardResources(*machine_);
    device_ = CreateFileW(L"\\\\.\\Tarvik", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::array<uint8_t, 16> open{};
    ASSERT_TRUE(Control(IOCTL_DAQ_OPEN_BOARD, open.data(), 16, nullptr, 0));
  }
  void TearDown() override {
    Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0);
    CloseHandle(event_);
    CloseHandle(device_);
    test_support::ReleaseCardResources(*machine_);
    EXPECT_EQ(machine_->Card().MisuseCount(), 0u) << "the driver misused the card";
    EXPECT_EQ(machine_->Card().window().GetCounters().overruns, 0u);
    machine_.reset();
  }

  bool Control(DWORD code, const void* input, DWORD inputLength, void* output,
               DWORD outputLength, DWORD* bytes = nullptr) {
    DWORD ignored = 0;
    return DeviceIoControl(device_, code, const_cast<void*>(input), inputLength, output,
                           outputLength, bytes != nullptr ? bytes : &ignored, nullptr) != FALSE;
  }
  uint32_t LastError() {
    uint32_t code = 0xFFFFFFFF;
    Control(IOCTL_DAQ_GET_LAST_ERROR, nullptr, 0, &code, 4);
    return code;
  }
  void Start(uint32_t framesPerBlock, int16_t blockCount, bool continuous, int32_t rate = 10000) {
    START_PARAMETERS start{};
    start.FramesPerBlock = framesPerBlock;
    start.RequestedRate = rate;
    start.EventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event_));
    start.RangeCode = 1;
    start.BlockCount = blockCount;
    start.ChannelCount = 16;
    start.ContinuousFlag = continuous ? 1 : 0;
    ASSERT_TRUE(Control(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0)) << LastError();
    framesPerBlock_ = framesPerBlock;
  }
  // The card's ticks for `frames` frames (after the two calls a start skips).
  void StepFrames(uint64_t frames, bool first = true) {
    machine_->Card().window().Step((first ? 2 : 0) + 2 * frames);
  }
  uint16_t BlockCount() {
    uint16_t count = 0xFFFF;
    EXPECT_TRUE(Control(IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &count, 2));
    return count;
  }
  std::optional<std::vector<uint16_t>> ReadBlock(DWORD code) {
    std::vector<uint16_t> block(1 + TARVIK_FRAME_WORDS * framesPerBlock_);
    DWORD bytes = 0;
    if (!Control(code, nullptr, 0, block.data(), static_cast<DWORD>(block.size() * 2), &bytes)) {
      return std::nullopt;
    }
    return block;
  }

  // Checks one frame against the card model; returns the tick of its second half.
  uint64_t CheckFrame(const uint16_t* frame) {
    uint64_t t1 = frame[0];  // word 0 is a ramp: the tick of the frame's second half
    const auto& sources = machine_->Card().Sources();
    sim::card::TickData first = sources.At(t1 - 1), second = sources.At(t1);
    EXPECT_EQ(frame[1], second.word1);
    EXPECT_EQ(frame[4], first.resultB);
    EXPECT_EQ(frame[5], second.resultB);
    EXPECT_EQ(frame[8], second.word8);
    EXPECT_EQ(frame[9], second.word9);
    for (int zero : {2, 3, 6, 7, 14}) EXPECT_EQ(frame[zero], 0) << "word " << zero;
    EXPECT_EQ(frame[10] & 0xFF, (t1 + 1) & 0xFF);  // counter 0: ticks, this one included
    EXPECT_EQ(frame[15], 0);                      // counter 5: overruns
    return t1;
  }
  // Checks a block's frames: each matches the model, each 2 ticks after the one before.
  uint64_t CheckBlockFrames(const std::vector<uint16_t>& block) {
    uint64_t first = 0, previous = 0;
    for (uint32_t f = 0; f < framesPerBlock_; ++f) {
      const uint16_t* frame = block.data() + 1 + f * TARVIK_FRAME_WORDS;
      uint64_t t1 = CheckFrame(frame);
      if (f == 0) first = t1;
      if (f > 0) {
        EXPECT_EQ(t1, previous + 2) << "frame " << f;
        const uint16_t* before = frame - TARVIK_FRAME_WORDS;
        EXPECT_EQ(uint16_t(frame[10] - before[10]), 2);  // counter 0: two ticks a frame
        EXPECT_EQ(uint16_t(frame[11] - before[11]), 2);  // counter 1: +8 strobes, two a frame
        EXPECT_EQ(uint16_t(frame[12] - before[12]), 1);  // counter 2: +9, once a frame
        EXPECT_EQ(uint16_t(frame[13] - before[13]), 1);  // counter 3: +10, once a frame
      }
      previous = t1;
    }
    return first;
  }

  std::optional<sim::Machine> machine_;
  HANDLE device_ = INVALID_HANDLE_VALUE;
  HANDLE event_ = nullptr;
  uint32_t framesPerBlock_ = 0;
};

TEST_F(AcquisitionTest, BlockModeDeliversEveryFrameInOrderAndSignalsTheEvent) {
  uint64_t t0 = machine_->Card().window().GetStatus().ticks;
  Start(4, 4, false);
  StepFrames(12);  // three blocks
  ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(BlockCount(), 3);
  for (uint16_t sequence = 0; sequence < 3; ++sequence) {
    auto block = ReadBlock(IOCTL_DAQ_READ_OLDEST_BLOCK);
    ASSERT_TRUE(block);
    EXPECT_EQ((*block)[0], sequence);
    // The start skips two ticks; frame f then spans ticks t0 + 2 + 2f and t0 + 3 + 2f.
    EXPECT_EQ(CheckBlockFrames(*block), t0 + 3 + 8 * sequence);
  }
  EXPECT_EQ(BlockCount(), 0);
  EXPECT_FALSE(ReadBlock(IOCTL_DAQ_READ_OLDEST_BLOCK));
  EXPECT_EQ(LastError(), DAQ_ERR_NO_BLOCK);
}

TEST_F(AcquisitionTest, AFullPoolDropsFramesAndTheSequenceNumbersShowTheGap) {
  Start(1, 2, false);
  StepFrames(5);  // frames 0 and 1 fill the pool; 2, 3 and 4 are dropped
  EXPECT_EQ(BlockCount(), 2);
  auto oldest = ReadBlock(IOCTL_DAQ_READ_OLDEST_BLOCK);
  ASSERT_TRUE(oldest);
  EXPECT_EQ((*oldest)[0], 0);
  StepFrames(1, false);  // frame 5 goes into the freed block
  auto second = ReadBlock(IOCTL_DAQ_READ_OLDEST_BLOCK);
  auto third = ReadBlock(IOCTL_DAQ_READ_OLDEST_BLOCK);
  ASSERT_TRUE(second && third);
  EXPECT_EQ((*second)[0], 1);
  EXPECT_EQ((*third)[0], 5);  // 2, 3 and 4 are missing: three frames lost
  EXPECT_EQ(CheckBlockFrames(*third), CheckBlockFrames(*oldest) + 10);
}

TEST_F(AcquisitionTest, NewestBlockReadDropsTheOlderOnes) {
  Start(2, 4, false);
  StepFrames(6);  // three blocks
  auto newest = ReadBlock(IOCTL_DAQ_READ_NEWEST_BLOCK);
  ASSERT_TRUE(newest);
  EXPECT_EQ((*newest)[0], 2);
  CheckBlockFrames(*newest);
  EXPECT_EQ(BlockCount(), 0);
}

TEST_F(AcquisitionTest, ContinuousModeSnapshotsTheNewestWholeFrames) {
  Start(4, 5, true);  // a ring of four frames; the block count is ignored
  StepFrames(6);      // the ring wraps once
  std::vector<uint16_t> out(67);  // the whole ring: 2 + 128 + 4 bytes
  DWORD bytes = 0;
  ASSERT_TRUE(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, out.data(), 134, &bytes));
  EXPECT_EQ(out[0], 1);  // one wrap
  uint64_t previous = 0;
  for (int f = 0; f < 4; ++f) {
    uint64_t t1 = CheckFrame(out.data() + 1 + 16 * f);
    if (f > 0) {
      EXPECT_EQ(t1, previous + 2);
    }
    previous = t1;
  }
  uint32_t newestIndex = 0;
  std::memcpy(&newestIndex, out.data() + 65, 4);
  EXPECT_EQ(newestIndex, 1u);  // frame 5 sits at ring index 1

  std::vector<uint16_t> one(19);  // 38 bytes: the newest frame only
  ASSERT_TRUE(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, one.data(), 38, &bytes));
  EXPECT_EQ(CheckFrame(one.data() + 1), previous);
  std::vector<uint8_t> odd(135);  // one byte past the whole ring's layout
  EXPECT_FALSE(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, odd.data(), 135, &bytes));
  EXPECT_EQ(LastError(), DAQ_ERR_BUFFER_SIZE);
}

// A whole-ring read leaves the writer no room beyond the oldest frame, which the read copies
// with its snapshot under the interrupt's lock: two frames captured while it copies the rest
// outside the lock overwrite samples not yet copied. The read notices at its check after the
// copy and copies again from a new snapshot (never copying the ring at device IRQL); a card
// that overtakes it at every attempt fails the read, which the caller repeats.
TEST_F(AcquisitionTest, AWholeRingReadOvertakenByTheCardCopiesAgainOrFails) {
  Start(4, 5, true);
  StepFrames(6);
  // Two frames land before the check of each of the first n attempts.
  auto readOvertaken = [&](int attempts, std::vector<uint16_t>& out) {
    test_support::OvertakeStreamCopies(attempts, [this] { StepFrames(2, false); });
    DWORD bytes = 0;
    bool read = Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, out.data(), 134, &bytes);
    sim::schedule::WaitForInjections();
    EXPECT_TRUE(sim::schedule::AllInjectionsFired());
    return read;
  };
  std::vector<uint16_t> out(67);
  ASSERT_TRUE(readOvertaken(7, out));
  uint64_t previous = 0;
  for (int f = 0; f < 4; ++f) {
    uint64_t t1 = CheckFrame(out.data() + 1 + 16 * f);
    if (f > 0) {
      EXPECT_EQ(t1, previous + 2) << "frame " << f;
    }
    previous = t1;
  }
  std::vector<uint16_t> now(19);  // the newest frame, read undisturbed: the same
  DWORD bytes = 0;
  ASSERT_TRUE(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, now.data(), 38, &bytes));
  EXPECT_EQ(CheckFrame(now.data() + 1), previous);
  EXPECT_FALSE(readOvertaken(8, out));
  EXPECT_EQ(LastError(), DAQ_ERR_STREAM_OVERRUN);
}

// A reader on one thread while interrupts arrive on another: every block it gets is whole and
// matches the model, sequence numbers only grow, and no frame comes twice.
TEST_F(AcquisitionTest, AConcurrentReaderGetsWholeBlocksWhileInterruptsArrive) {
  Start(2, 3, false);
  std::atomic<bool> done{false};
  std::thread interrupts([this, &done] {
    machine_->Card().window().Step(2);
    for (int i = 0; i < 400; ++i) {
      machine_->Card().window().Step(2);
      if (i % 8 == 0) std::this_thread::yield();
    }
    done = true;
  });
  int blocks = 0;
  int previousSequence = -1;
  uint64_t previousTick = 0;
  for (;;) {
    bool finished = done;
    WaitForSingleObject(event_, 5);
    while (auto block = ReadBlock(IOCTL_DAQ_READ_OLDEST_BLOCK)) {
      EXPECT_GT(int((*block)[0]), previousSequence);
      previousSequence = (*block)[0];
      uint64_t first = CheckBlockFrames(*block);
      EXPECT_GT(first, previousTick);
      previousTick = first;
      ++blocks;
    }
    if (finished) break;
  }
  interrupts.join();
  EXPECT_GT(blocks, 0);
}

}  // namespace
