// --source QUANTITY=WAVEFORM:PARAMETERS for the emulated card's signal sources, e.g.
// "word0=Ramp:0,1", "result-a=Sine:2048,1800,64", "word9=Constant:7",
// "result-b=Square:2048,1000,32". Parameters by waveform:
//   Constant:VALUE   Ramp:START,STEP   Square:OFFSET,AMPLITUDE,PERIOD   Sine:OFFSET,AMPLITUDE,PERIOD
// Numbers may be decimal or 0x-prefixed hexadecimal; waveform names ignore case.
#pragma once

#include <string>

#include "card/signal_source.h"

namespace tarvik::tool {

struct SourceSetting {
  sim::card::Quantity quantity = sim::card::Quantity::ResultA;
  sim::card::SignalSource source;
};

// Throws std::invalid_argument with a message that names what is wrong.
SourceSetting ParseSourceSetting(const std::string& text);

inline constexpr const char* kSourceSettingHelp =
    "QUANTITY=WAVEFORM:PARAMS; QUANTITY is result-a, result-b, word0, word1, word8 or word9; "
    "WAVEFORM:PARAMS is Constant:VALUE, Ramp:START,STEP, Square:OFFSET,AMPLITUDE,PERIOD or "
    "Sine:OFFSET,AMPLITUDE,PERIOD";

}  // namespace tarvik::tool
