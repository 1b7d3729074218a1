// The card's signal sources: waveforms as pure functions of the tick.
#include "card/signal_source.h"

#include <cmath>
#include <numbers>

namespace sim::card {

SignalSource SignalSource::Constant(int64_t value) {
  return {.waveform = Waveform::Constant, .offset = value};
}

SignalSource SignalSource::Ramp(int64_t start, int64_t step) {
  return {.waveform = Waveform::Ramp, .offset = start, .step = step};
}

SignalSource SignalSource::Square(int64_t offset, int64_t amplitude, uint64_t period) {
  return {.waveform = Waveform::Square, .offset = offset, .amplitude = amplitude,
          .period = period};
}

SignalSource SignalSource::Sine(int64_t offset, int64_t amplitude, uint64_t period) {
  return {.waveform = Waveform::Sine, .offset = offset, .amplitude = amplitude, .period = period};
}

uint32_t SignalSource::Value(uint64_t tick, unsigned bits) const {
  uint64_t span = period == 0 ? 1 : period;
  uint64_t phase = tick % span;
  // Unsigned arithmetic wraps where int64_t would overflow; the mask below keeps the width.
  uint64_t value = static_cast<uint64_t>(offset);
  switch (waveform) {
    case Waveform::Constant:
      break;
    case Waveform::Ramp:
      value += static_cast<uint64_t>(step) * tick;
      break;
    case Waveform::Square:
      if (phase * 2 < span) {
        value += static_cast<uint64_t>(amplitude);
      } else {
        value -= static_cast<uint64_t>(amplitude);
      }
      break;
    case Waveform::Sine: {
      double angle = 2.0 * std::numbers::pi * static_cast<double>(phase) /
                     static_cast<double>(span);
      value += static_cast<uint64_t>(std::llround(static_cast<double>(amplitude) *
                                                  std::sin(angle)));
      break;
    }
  }
  uint64_t mask = bits >= 32 ? 0xFFFFFFFFu : (uint64_t{1} << bits) - 1;
  return static_cast<uint32_t>(value & mask);
}

SignalSources::SignalSources() {
  (*this)[Quantity::ResultA] = SignalSource::Sine(2048, 1800, 64);
  (*this)[Quantity::ResultB] = SignalSource::Ramp(0, 37);
  (*this)[Quantity::Word0] = SignalSource::Square(0x8000, 0x1234, 16);
  (*this)[Quantity::Word1] = SignalSource::Ramp(0x1000, 0x0101);
  (*this)[Quantity::Word8] = SignalSource::Sine(0x8000, 30000, 100);
  (*this)[Quantity::Word9] = SignalSource::Ramp(0xC0, 5);
}

uint32_t SignalSources::Value(Quantity quantity, uint64_t tick) const {
  return (*this)[quantity].Value(tick, QuantityBits(quantity));
}

TickData SignalSources::At(uint64_t tick) const {
  TickData data;
  data.resultA = static_cast<uint16_t>(Value(Quantity::ResultA, tick));
  data.resultB = static_cast<uint16_t>(Value(Quantity::ResultB, tick));
  data.word0 = static_cast<uint16_t>(Value(Quantity::Word0, tick));
  data.word1 = static_cast<uint16_t>(Value(Quantity::Word1, tick));
  data.word8 = static_cast<uint16_t>(Value(Quantity::Word8, tick));
  data.word9 = static_cast<uint8_t>(Value(Quantity::Word9, tick));
  return data;
}

}  // namespace sim::card
