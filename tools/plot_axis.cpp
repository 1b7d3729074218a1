#include "plot_axis.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace tarvik::tool {

double RoundStep(double span, int target) {
  double raw = span / std::max(1, target);
  if (!(raw > 0) || !std::isfinite(raw)) return 1;
  double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0, 10.0}) {
    // A little slack so that an exact 2 x 10^n is not pushed to 5 by rounding.
    if (factor * power >= raw * (1 - 1e-9)) return factor * power;
  }
  return 10 * power;
}

namespace {

int DecimalsFor(double step) {
  return std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
}

// Multiples of step from first to last (as counts of steps, so that no error accumulates).
std::vector<double> Multiples(double step, double first, double last) {
  std::vector<double> values;
  for (double k = std::ceil(first / step - 1e-9); k * step <= last + step * 1e-9; ++k) {
    values.push_back(k * step == 0 ? 0.0 : k * step);  // no "-0"
  }
  return values;
}

}  // namespace

AxisTicks TicksWithin(double low, double high, int target) {
  AxisTicks ticks;
  if (!(high > low)) high = low + 1;
  ticks.low = low;
  ticks.high = high;
  ticks.step = RoundStep(high - low, target);
  ticks.values = Multiples(ticks.step, low, high);
  ticks.decimals = DecimalsFor(ticks.step);
  return ticks;
}

AxisTicks FittedTicks(double low, double high, int target) {
  if (!std::isfinite(low) || !std::isfinite(high)) low = 0, high = 1;
  if (high < low) std::swap(low, high);
  double margin = (high - low) * 0.04;
  if (high - low <= std::max(std::fabs(low), std::fabs(high)) * 1e-12) {
    margin = std::max(1.0, std::fabs(low) * 1e-3);
  }
  return TicksWithin(low - margin, high + margin, target);
}

std::string TickLabel(double value, const AxisTicks& ticks) {
  if (std::fabs(value) < ticks.step * 1e-6) value = 0;
  return fmt::format("{:.{}f}", value, ticks.decimals);
}

}  // namespace tarvik::tool
