// Which of a frame's words go into a file and in what order (--words), their scaling into
// units (--scale), and the conversion of each frame into the values a file holds: the words
// selected, counters unwrapped into monotonic 64-bit counts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame_layout.h"

namespace tarvik::tool {

// value * factor + offset, in unit.
struct WordScale {
  double factor = 1;
  double offset = 0;
  std::string unit;
};

struct WordSelection {
  std::vector<unsigned> words = AllWords();  // indices into the frame, in file order
  std::map<unsigned, WordScale> scales;      // by frame index
  bool timeColumn = false;                   // a time in seconds before the words

  static std::vector<unsigned> AllWords();
  // Whether the values need 64 bits (an unwrapped counter is selected).
  bool Wide() const;
  const WordScale* ScaleOf(unsigned word) const;
};

// The frame index of a word's name; nullopt for an unknown name.
std::optional<unsigned> WordIndex(std::string_view name);
// "a,b,c": names in file order. Throws std::invalid_argument naming an unknown or repeated word.
std::vector<unsigned> ParseWordList(std::string_view text);
// "WORD=FACTOR[,OFFSET[,UNIT]]". Throws std::invalid_argument saying what is wrong.
std::pair<unsigned, WordScale> ParseScale(std::string_view text);

// A 16-bit counter made monotonic: each reading adds its distance from the one before, modulo
// 65536, so a counter that wraps keeps counting. Exact while fewer than 65536 counts pass
// between two readings.
class CounterUnwrap {
 public:
  uint64_t Next(uint16_t reading);

 private:
  bool started_ = false;
  uint16_t last_ = 0;
  uint64_t value_ = 0;
};

// Frames into rows of the selected words, in order; counters unwrapped across calls.
class FrameRows {
 public:
  explicit FrameRows(std::vector<unsigned> words);
  size_t Columns() const { return words_.size(); }
  // Appends one value per selected word.
  void Append(const FrameWords& frame, std::vector<uint64_t>& out);

 private:
  std::vector<unsigned> words_;
  std::array<CounterUnwrap, kChannels> counters_{};
};

}  // namespace tarvik::tool
