// What each of a frame's 16 words holds, as the driver assembles a frame from two of the
// card's half-frames (the sample clock ticks twice per frame).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tarvik::tool {

inline constexpr unsigned kChannels = 16;

using FrameWords = std::array<uint16_t, kChannels>;

// What a word is: a value of the card's inputs, a 12-bit conversion result, a word the driver
// leaves 0, or a counter (the driver extends the card's 8-bit counters to 16 bits, so they
// wrap at 65536; the tool's files carry them unwrapped, as 64-bit counts).
enum class WordKind { Value, Result, Zero, Counter };

struct ChannelInfo {
  std::string_view name;
  std::string_view meaning;
  WordKind kind = WordKind::Value;
  unsigned bits = 16;  // significant bits as the driver delivers the word
};

inline constexpr std::array<ChannelInfo, kChannels> kChannelLayout = {{
    {"word0", "16-bit input word 0, second half-frame", WordKind::Value, 16},
    {"word1", "16-bit input word 1, second half-frame", WordKind::Value, 16},
    {"zero2", "always 0", WordKind::Zero, 16},
    {"zero3", "always 0", WordKind::Zero, 16},
    {"result_b_first", "12-bit conversion result B, first half-frame", WordKind::Result, 12},
    {"result_b", "12-bit conversion result B, second half-frame", WordKind::Result, 12},
    {"zero6", "always 0", WordKind::Zero, 16},
    {"zero7", "always 0", WordKind::Zero, 16},
    {"word8", "16-bit input word 8, second half-frame", WordKind::Value, 16},
    {"word9", "8-bit input word 9, second half-frame", WordKind::Value, 8},
    {"ticks", "counter 0: sample-clock ticks", WordKind::Counter, 16},
    {"ack_strobes", "counter 1: acknowledge strobes", WordKind::Counter, 16},
    {"mux_strobes", "counter 2: multiplexer strobes", WordKind::Counter, 16},
    {"b_strobes", "counter 3: strobe B", WordKind::Counter, 16},
    {"counter4", "counter 4: not present on the card, always 0", WordKind::Counter, 16},
    {"overruns", "counter 5: half-frames overwritten before they were read", WordKind::Counter,
     16},
}};

const char* WordKindName(WordKind kind);

}  // namespace tarvik::tool
