// The card's deterministic signal sources: what every quantity of a half-frame holds at tick t
// (t counts sample-clock ticks since power-up, from 0). They are pure functions of t, so a
// test computes every value the driver should deliver without running the card.
//
// Waveforms, before wrapping to the quantity's width (two's complement: -1 in 12 bits is
// 0xFFF):
//   Constant  offset
//   Ramp      offset + step * t
//   Square    offset + amplitude for the first half of every period (t mod period < period/2,
//             rounded up), offset - amplitude for the rest
//   Sine      offset + round(amplitude * sin(2 pi (t mod period) / period))
// A period of 0 is taken as 1.
//
// Defaults, distinct at every tick of interest so that a word delivered in the wrong place
// shows:
//   result A  Sine(2048, 1800, 64)        12 bits
//   result B  Ramp(0, 37)                 12 bits
//   word 0    Square(0x8000, 0x1234, 16)  16 bits
//   word 1    Ramp(0x1000, 0x0101)        16 bits
//   word 8    Sine(0x8000, 30000, 100)    16 bits
//   word 9    Ramp(0xC0, 5)                8 bits
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sim::card {

enum class Quantity : uint8_t { ResultA, ResultB, Word0, Word1, Word8, Word9 };
constexpr size_t kQuantityCount = 6;

constexpr unsigned QuantityBits(Quantity quantity) {
  switch (quantity) {
    case Quantity::ResultA:
    case Quantity::ResultB:
      return 12;
    case Quantity::Word9:
      return 8;
    default:
      return 16;
  }
}

enum class Waveform : uint8_t { Constant, Ramp, Square, Sine };

struct SignalSource {
  Waveform waveform = Waveform::Constant;
  int64_t offset = 0;
  int64_t amplitude = 0;  // Square, Sine
  int64_t step = 0;       // Ramp
  uint64_t period = 1;    // Square, Sine: ticks

  static SignalSource Constant(int64_t value);
  static SignalSource Ramp(int64_t start, int64_t step);
  static SignalSource Square(int64_t offset, int64_t amplitude, uint64_t period);
  static SignalSource Sine(int64_t offset, int64_t amplitude, uint64_t period);

  // The value at tick t, wrapped to `bits` (1..32).
  uint32_t Value(uint64_t tick, unsigned bits) const;
};

// One tick's quantities.
struct TickData {
  uint16_t resultA = 0;
  uint16_t resultB = 0;
  uint16_t word0 = 0;
  uint16_t word1 = 0;
  uint16_t word8 = 0;
  uint8_t word9 = 0;

  bool operator==(const TickData&) const = default;
};

class SignalSources {
 public:
  SignalSources();  // the defaults above

  SignalSource& operator[](Quantity quantity) { return sources_[Index(quantity)]; }
  const SignalSource& operator[](Quantity quantity) const { return sources_[Index(quantity)]; }

  uint32_t Value(Quantity quantity, uint64_t tick) const;
  TickData At(uint64_t tick) const;

 private:
  static size_t Index(Quantity quantity) { return static_cast<size_t>(quantity); }

  std::array<SignalSource, kQuantityCount> sources_;
};

}  // namespace sim::card
