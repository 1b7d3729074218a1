// Axis ticks a reader can count with: steps of 1, 2 or 5 times a power of ten.
#pragma once

#include <string>
#include <vector>

namespace tarvik::tool {

struct AxisTicks {
  double low = 0, high = 1;    // the axis' ends
  double step = 1;             // between ticks
  std::vector<double> values;  // the multiples of step from low to high
  int decimals = 0;            // digits after the point a label needs
};

// The round step nearest above (high - low) / target.
double RoundStep(double span, int target);

// Ticks inside [low, high] as given (the time axis: it starts at 0 and ends with the run).
AxisTicks TicksWithin(double low, double high, int target = 6);

// An axis fitted around [low, high] with a small margin, its ticks the round values inside; a
// single value gets an axis around it.
AxisTicks FittedTicks(double low, double high, int target = 5);

std::string TickLabel(double value, const AxisTicks& ticks);

}  // namespace tarvik::tool
