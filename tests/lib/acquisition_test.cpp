// The library's own emulated machine and its acquisition reader: every frame arrives once, in
// order, and every frame the driver drops is counted where it was dropped. Word 0 is a ramp
// of the tick, so a frame says which ticks it came from (two per frame).
#include <gtest/gtest.h>

#include <stdexcept>

#include "tarvik/acquisition.h"
#include "tarvik/emulated_machine.h"

namespace {

using tarvik::Acquisition;
using tarvik::AcquisitionMode;
using tarvik::AcquisitionOptions;
using tarvik::Device;
using tarvik::EmulatedMachine;
using tarvik::EmulatedMachineOptions;

EmulatedMachineOptions RampOnVirtualClock() {
  EmulatedMachineOptions options;
  options.virtualClock = true;
  options.sources = {"word0=Ramp:0,1"};
  return options;
}

Acquisition::ClockStep StepsOf(EmulatedMachine& machine) {
  return [&machine](uint64_t ticks) { return machine.Step(ticks); };
}

TEST(EmulatedMachineTest, BootsTheCardItsOptionsDescribeOneAtATime) {
  EmulatedMachineOptions options = RampOnVirtualClock();
  options.idByte4 = 7;
  {
    EmulatedMachine machine(options);
    EXPECT_EQ(machine.PnpStateName(), "started");
    Device device;
    EXPECT_EQ(device.ReadIdentification(5)[4], 7);
    EXPECT_THROW(EmulatedMachine second, std::logic_error);
  }
  options.sources = {"word9=Constant:300"};
  EXPECT_THROW(EmulatedMachine refused(options), std::invalid_argument);
  // Neither the refusal nor the first machine keeps the next one from booting.
  EmulatedMachine again;
  Device device;
  EXPECT_EQ(device.ReadIdentification(5)[4], 9);
}

TEST(AcquisitionTest, BlocksArriveInOrderAndAFullPoolsDropsAreCountedWhereTheyHappened) {
  EmulatedMachine machine(RampOnVirtualClock());
  Device device;
  device.OpenBoard();
  AcquisitionOptions options;
  options.start.framesPerBlock = 4;
  options.start.blockCount = 2;
  Acquisition acquisition(device, options, StepsOf(machine));

  acquisition.Advance(4, {});  // one block
  auto first = acquisition.Poll();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].sequence, 0);
  EXPECT_EQ(first[0].lostFrames, 0u);
  EXPECT_EQ(first[0].frames[0][0], 3);  // the first frame ends at tick 3
  EXPECT_EQ(first[0].frames[3][0], 9);

  acquisition.Advance(16, {});  // four blocks into a pool of two: the last two find it full
  auto kept = acquisition.Poll();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].sequence, 2);
  EXPECT_EQ(kept[0].lostFrames + kept[1].lostFrames, 0u);
  acquisition.Advance(4, {});  // the next block shows the gap
  auto next = acquisition.Poll();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].sequence, 5);
  EXPECT_EQ(next[0].lostFrames, 8u);
  EXPECT_EQ(acquisition.LostBlocks(), 2u);
  EXPECT_EQ(acquisition.LostFrames(), 8u);
  EXPECT_EQ(next[0].frames[0][0], 3 + 2 * 20);  // frame 20: the lost ones' ticks skipped
  EXPECT_EQ(acquisition.ReceivedFrames(), 16u);
  EXPECT_TRUE(acquisition.Poll().empty());
  acquisition.Stop();
  EXPECT_FALSE(device.AcquisitionRunning());
}

TEST(AcquisitionTest, TheRingHandsOverEachFrameOnceAndCountsTheOverwrittenOnes) {
  EmulatedMachine machine(RampOnVirtualClock());
  Device device;
  device.OpenBoard();
  AcquisitionOptions options;
  options.mode = AcquisitionMode::Continuous;
  options.start.framesPerBlock = 8;
  Acquisition acquisition(device, options, StepsOf(machine));

  acquisition.Advance(5, {});
  auto first = acquisition.Poll();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(first[0].frames.size(), 5u);
  EXPECT_EQ(first[0].frames[4][0], 11);
  EXPECT_TRUE(acquisition.Poll().empty());  // nothing new

  acquisition.Advance(20, {});  // more than the ring holds
  auto next = acquisition.Poll();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].lostFrames, 12u);
  ASSERT_EQ(next[0].frames.size(), 8u);
  EXPECT_EQ(next[0].frames[0][0], 11 + 2 * 13);  // the oldest still in the ring
  EXPECT_EQ(acquisition.LostFrames(), 12u);
  EXPECT_EQ(acquisition.ReceivedFrames(), 13u);
}

}  // namespace
