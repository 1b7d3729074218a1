// What a requested rate becomes on the card. The driver turns the rate it is given into a
// sample-clock rate and a decimation (one capture call in D passes its samples on); the card
// runs the clock at 12 MHz over an integer divisor; a frame takes two capture calls, and the
// first two calls after a start only pulse the strobes. The frame rate follows from all three.
#pragma once

#include <cstdint>
#include <optional>

namespace tarvik {

inline constexpr int32_t kFastestDriverRate = 100000;
// Below this a negative rate's decimation (10000 per unit) no longer fits the driver's 32 bits.
inline constexpr int32_t kSlowestDriverRate = -(0x7FFFFFFF / 10000);

struct RatePlan {
  int32_t driverRate = 0;      // the rate given to the driver
  int32_t clockRate = 0;       // the sample-clock rate the driver programs
  int64_t decimation = 1;      // one capture call in this many passes its samples on
  uint32_t divisor = 0;        // base-clock cycles per tick
  double clockHz = 0;          // the card's tick rate
  uint64_t ticksPerFrame = 0;  // ticks from one delivered frame to the next
  uint64_t firstFrameTicks = 0;  // ticks from the start to the first delivered frame
  double frameRate = 0;        // frames per second delivered
};

// The plan for a driver rate; nullopt for rates the driver clamps or refuses (above
// kFastestDriverRate, below kSlowestDriverRate).
std::optional<RatePlan> PlanDriverRate(int32_t rate);

// The driver rate that delivers `framesPerSecond` (to one part in a million), or the nearest
// frame rates the card can run on either side.
struct FrameRateChoice {
  std::optional<RatePlan> exact;
  std::optional<RatePlan> below, above;
  std::optional<RatePlan> nearest;  // the exact one, or the closer of below and above
};
FrameRateChoice PlanFrameRate(double framesPerSecond);

}  // namespace tarvik
