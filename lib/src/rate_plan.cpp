#include "tarvik/rate_plan.h"

#include <cmath>

namespace tarvik {

namespace {

constexpr int64_t kBaseClockHz = 12'000'000;
constexpr int32_t kMinimumClockRate = 10000;

}  // namespace

std::optional<RatePlan> PlanDriverRate(int32_t rate) {
  if (rate > kFastestDriverRate || rate < kSlowestDriverRate) return std::nullopt;
  RatePlan plan;
  plan.driverRate = rate;
  int64_t r = rate == 0 ? 1 : rate;
  if (r >= kMinimumClockRate) {
    plan.clockRate = static_cast<int32_t>(r);
    plan.decimation = 1;
  } else if (r < 0) {
    plan.clockRate = kMinimumClockRate;
    plan.decimation = -r * 10000;
  } else {
    plan.decimation = (r + kMinimumClockRate - 1) / r;
    plan.clockRate = static_cast<int32_t>(plan.decimation * r);
  }
  int64_t divisor = kBaseClockHz / plan.clockRate;
  plan.divisor = static_cast<uint32_t>(divisor < 2 ? 2 : divisor);
  plan.clockHz = static_cast<double>(kBaseClockHz) / plan.divisor;

  // Call i (from 0) completes a frame when it is odd and at least 3 (two skipped calls, then
  // two halves per frame), and passes it on when i % D == D - 1.
  int64_t d = plan.decimation;
  if (d == 1) {
    plan.ticksPerFrame = 2;
    plan.firstFrameTicks = 4;
  } else if (d % 2 == 0) {
    plan.ticksPerFrame = static_cast<uint64_t>(d);
    plan.firstFrameTicks = d == 2 ? 4 : static_cast<uint64_t>(d);
  } else {
    // D - 1 is even: only every other passing call is odd.
    plan.ticksPerFrame = static_cast<uint64_t>(2 * d);
    plan.firstFrameTicks = static_cast<uint64_t>(2 * d);
  }
  plan.frameRate = plan.clockHz / static_cast<double>(plan.ticksPerFrame);
  return plan;
}

FrameRateChoice PlanFrameRate(double framesPerSecond) {
  FrameRateChoice choice;
  // From the fastest rate down, so that an exact match takes the least decimation.
  for (int64_t rate = kFastestDriverRate; rate >= kSlowestDriverRate; --rate) {
    if (rate == 0) continue;  // the driver takes it as 1
    auto plan = PlanDriverRate(static_cast<int32_t>(rate));
    if (std::fabs(plan->frameRate - framesPerSecond) <= framesPerSecond * 1e-6) {
      choice.exact = choice.nearest = plan;
      return choice;
    }
    if (plan->frameRate < framesPerSecond) {
      if (!choice.below || plan->frameRate > choice.below->frameRate) choice.below = plan;
    } else if (!choice.above || plan->frameRate < choice.above->frameRate) {
      choice.above = plan;
    }
  }
  // A tie goes to the faster rate.
  choice.nearest = choice.below;
  if (choice.above && (!choice.below || std::fabs(choice.above->frameRate - framesPerSecond) <=
                                            std::fabs(choice.below->frameRate - framesPerSecond))) {
    choice.nearest = choice.above;
  }
  return choice;
}

}  // namespace tarvik
