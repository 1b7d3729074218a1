// The plot's data, decimated as frames arrive: for each selected word, the smallest and the
// largest value of every pixel column over the whole run. Memory does not grow with the run:
// when frames no longer fit, neighbouring columns merge in pairs and each covers twice as many
// frames. Positions count every frame the card produced, those lost included, so a gap keeps
// its place on the time axis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame_layout.h"
#include "word_selection.h"

namespace tarvik::tool {

// A word to plot: its place in the frame, its name and the unit of value = raw * scale + offset.
struct PlotWord {
  unsigned index = 0;
  std::string name;
  std::string unit = "counts";
  double scale = 1;
  double offset = 0;
};

// The words that carry the card's signals (the 16-bit and 8-bit input words and the 12-bit
// conversion results), raw; zero words and counters are left out.
std::vector<PlotWord> SignalPlotWords();

// Frames lost before `position` (the number of frames the card had produced by then).
struct PlotGap {
  uint64_t position = 0;
  uint64_t frames = 0;
};

class PlotColumns {
 public:
  static constexpr size_t kDefaultColumns = 860;

  // Throws std::invalid_argument on a word index outside the frame or no columns.
  explicit PlotColumns(std::vector<PlotWord> words, size_t columns = kDefaultColumns);

  void Add(std::span<const FrameWords> frames);
  // Frames the card produced that never arrived, here, between what was added so far and
  // what comes next.
  void Skip(uint64_t lostFrames);

  struct Range {
    double low = 0, high = 0;
  };
  struct Column {
    uint64_t frames = 0;         // that arrived in the column; 0: nothing to draw
    std::vector<Range> words;    // one per word, valid when frames > 0
  };

  const std::vector<PlotWord>& Words() const { return words_; }
  const std::vector<Column>& Columns() const { return columns_; }
  const std::vector<PlotGap>& Gaps() const { return gaps_; }
  uint64_t FramesPerColumn() const { return framesPerColumn_; }
  uint64_t Position() const { return position_; }  // frames produced, lost ones included
  uint64_t Frames() const { return frames_; }       // frames that arrived
  uint64_t LostFrames() const { return lost_; }

 private:
  void FitPosition(uint64_t position);
  void MergePairs();

  std::vector<PlotWord> words_;
  // Counters are drawn as the files hold them: unwrapped into counts that keep counting.
  std::vector<std::optional<CounterUnwrap>> counters_;
  std::vector<Column> columns_;
  std::vector<PlotGap> gaps_;  // at most one per column: those in one column merge
  uint64_t framesPerColumn_ = 1;
  uint64_t position_ = 0;
  uint64_t frames_ = 0;
  uint64_t lost_ = 0;
};

}  // namespace tarvik::tool
