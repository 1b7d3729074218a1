// What each of a frame's 16 words holds, as the driver assembles a frame from two of the
// card's half-frames (the sample clock ticks twice per frame).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tarvik::tool {

inline constexpr unsigned kChannels = 16;

using FrameWords = std::array<uint16_t, kChannels>;

struct ChannelInfo {
  std::string_view name;
  std::string_view meaning;
};

inline constexpr std::array<ChannelInfo, kChannels> kChannelLayout = {{
    {"word0", "16-bit input word 0, second half-frame"},
    {"word1", "16-bit input word 1, second half-frame"},
    {"zero2", "always 0"},
    {"zero3", "always 0"},
    {"result_b_first", "12-bit conversion result B, first half-frame"},
    {"result_b", "12-bit conversion result B, second half-frame"},
    {"zero6", "always 0"},
    {"zero7", "always 0"},
    {"word8", "16-bit input word 8, second half-frame"},
    {"word9", "8-bit input word 9, second half-frame"},
    {"ticks", "counter 0: sample-clock ticks, extended to 16 bits"},
    {"ack_strobes", "counter 1: acknowledge strobes, extended to 16 bits"},
    {"mux_strobes", "counter 2: multiplexer strobes, extended to 16 bits"},
    {"b_strobes", "counter 3: strobe B, extended to 16 bits"},
    {"counter4", "counter 4: not present on the card, always 0"},
    {"overruns", "counter 5: half-frames overwritten before they were read"},
}};

}  // namespace tarvik::tool
