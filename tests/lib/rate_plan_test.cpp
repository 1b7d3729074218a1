// What a rate becomes on the card, and the nearest rates a frame rate the card cannot run
// offers. The end-to-end tests check the same plans against the frames the emulated card delivers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarvik/rate_plan.h"

namespace tarvik {
namespace {

TEST(RatePlanTest, DriverRatesBecomeClockDecimationAndFrameRate) {
  struct Case {
    int32_t rate;
    int32_t clockRate;
    int64_t decimation;
    double clockHz;
    uint64_t ticksPerFrame, firstFrameTicks;
    double frameRate;
  };
  for (const Case& c : std::vector<Case>{
           {100000, 100000, 1, 100000, 2, 4, 50000},
           {10000, 10000, 1, 10000, 2, 4, 5000},
           // Just below 10000 the clock doubles and every other half-frame call passes:
           // the frame rate jumps up (the driver's mapping is not monotonic here).
           {9999, 19998, 2, 20000, 2, 4, 10000},
           {4000, 12000, 3, 12000, 6, 6, 2000},  // odd decimation: every other pass is a frame
           {1000, 10000, 10, 10000, 10, 10, 1000},
           {1, 10000, 10000, 10000, 10000, 10000, 1},
           {0, 10000, 10000, 10000, 10000, 10000, 1},
           {-4, 10000, 40000, 10000, 40000, 40000, 0.25},
           {70000, 70000, 1, 12e6 / 171, 2, 4, 6e6 / 171},  // the divisor rounds down
       }) {
    auto plan = PlanDriverRate(c.rate);
    ASSERT_TRUE(plan) << c.rate;
    EXPECT_EQ(plan->clockRate, c.clockRate) << c.rate;
    EXPECT_EQ(plan->decimation, c.decimation) << c.rate;
    EXPECT_DOUBLE_EQ(plan->clockHz, c.clockHz) << c.rate;
    EXPECT_EQ(plan->ticksPerFrame, c.ticksPerFrame) << c.rate;
    EXPECT_EQ(plan->firstFrameTicks, c.firstFrameTicks) << c.rate;
    EXPECT_DOUBLE_EQ(plan->frameRate, c.frameRate) << c.rate;
  }
  EXPECT_FALSE(PlanDriverRate(100001));  // the driver would clamp it
  EXPECT_FALSE(PlanDriverRate(kSlowestDriverRate - 1));
  EXPECT_TRUE(PlanDriverRate(kSlowestDriverRate));
}

TEST(RatePlanTest, FrameRatesAreMatchedExactlyOrRefusedWithTheNearest) {
  for (double hz : {50000.0, 1000.0, 2000.0, 1.0, 0.5}) {
    auto choice = PlanFrameRate(hz);
    ASSERT_TRUE(choice.exact) << hz;
    EXPECT_DOUBLE_EQ(choice.exact->frameRate, hz);
  }
  EXPECT_EQ(PlanFrameRate(50000).exact->driverRate, 100000);

  auto tooFast = PlanFrameRate(60000);
  EXPECT_FALSE(tooFast.exact);
  EXPECT_FALSE(tooFast.above);
  EXPECT_DOUBLE_EQ(tooFast.below->frameRate, 50000);

  auto between = PlanFrameRate(0.3);  // between one frame in 4 s and one in 3 s
  EXPECT_FALSE(between.exact);
  EXPECT_DOUBLE_EQ(between.below->frameRate, 0.25);
  EXPECT_DOUBLE_EQ(between.above->frameRate, 1.0 / 3);
  EXPECT_DOUBLE_EQ(between.nearest->frameRate, 1.0 / 3);  // 0.033 away, 0.25 is 0.05 away
}

}  // namespace
}  // namespace tarvik
