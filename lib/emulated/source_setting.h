// Signal-source settings of the emulated card, QUANTITY=WAVEFORM:PARAMETERS, e.g.
// "word0=Ramp:0,1", "result-a=Sine:2048,1800,64", "word9=Constant:7",
// "result-b=Square:2048,1000,32". Parameters by waveform:
//   Constant:VALUE   Ramp:START,STEP   Square:OFFSET,AMPLITUDE,PERIOD   Sine:OFFSET,AMPLITUDE,PERIOD
// Integers, decimal or 0x-prefixed hexadecimal; waveform names ignore case. The values a
// waveform takes (a constant, a ramp's start, a square's or sine's extremes) must fit the
// quantity's bits (12 for the results, 8 for word9, 16 for the others); a ramp wraps by design.
#pragma once

#include <string>

#include "card/signal_source.h"

namespace tarvik::emulated {

struct SourceSetting {
  sim::card::Quantity quantity = sim::card::Quantity::ResultA;
  sim::card::SignalSource source;
};

// Throws std::invalid_argument with a message that names what is wrong.
SourceSetting ParseSourceSetting(const std::string& text);

}  // namespace tarvik::emulated
