#include "plot_columns.h"

#include <algorithm>
#include <stdexcept>

namespace tarvik::tool {

std::vector<PlotWord> SignalPlotWords() {
  std::vector<PlotWord> words;
  for (unsigned index : {0u, 1u, 4u, 5u, 8u, 9u}) {
    words.push_back({index, std::string(kChannelLayout[index].name), "counts", 1, 0});
  }
  return words;
}

PlotColumns::PlotColumns(std::vector<PlotWord> words, size_t columns)
    : words_(std::move(words)), columns_(columns) {
  if (columns == 0) throw std::invalid_argument("a plot needs at least one column");
  for (const auto& word : words_) {
    if (word.index >= kChannels) {
      throw std::invalid_argument("word " + std::to_string(word.index) + " is not in a frame");
    }
    counters_.emplace_back();
    if (kChannelLayout[word.index].kind == WordKind::Counter) counters_.back().emplace();
  }
  for (auto& column : columns_) column.words.resize(words_.size());
}

void PlotColumns::Add(std::span<const FrameWords> frames) {
  for (const auto& frame : frames) {
    FitPosition(position_);
    Column& column = columns_[position_ / framesPerColumn_];
    for (size_t w = 0; w < words_.size(); ++w) {
      const PlotWord& word = words_[w];
      uint16_t raw = frame[word.index];
      double count = counters_[w] ? static_cast<double>(counters_[w]->Next(raw)) : raw;
      double value = count * word.scale + word.offset;
      Range& range = column.words[w];
      if (column.frames == 0) {
        range = {value, value};
      } else {
        range.low = std::min(range.low, value);
        range.high = std::max(range.high, value);
      }
    }
    ++column.frames;
    ++position_;
    ++frames_;
  }
}

void PlotColumns::Skip(uint64_t lostFrames) {
  if (lostFrames == 0) return;
  FitPosition(position_);
  if (!gaps_.empty() && gaps_.back().position / framesPerColumn_ == position_ / framesPerColumn_) {
    gaps_.back().frames += lostFrames;
  } else {
    gaps_.push_back({position_, lostFrames});
  }
  position_ += lostFrames;
  lost_ += lostFrames;
  FitPosition(position_);
}

void PlotColumns::FitPosition(uint64_t position) {
  while (position / framesPerColumn_ >= columns_.size()) MergePairs();
}

void PlotColumns::MergePairs() {
  for (size_t i = 0; i < columns_.size(); ++i) {
    Column merged;
    merged.words.resize(words_.size());
    for (size_t from = 2 * i; from < std::min(2 * i + 2, columns_.size()); ++from) {
      const Column& part = columns_[from];
      if (part.frames == 0) continue;
      for (size_t w = 0; w < words_.size(); ++w) {
        Range& range = merged.words[w];
        if (merged.frames == 0) {
          range = part.words[w];
        } else {
          range.low = std::min(range.low, part.words[w].low);
          range.high = std::max(range.high, part.words[w].high);
        }
      }
      merged.frames += part.frames;
    }
    columns_[i] = std::move(merged);  // 2i >= i: the sources are not yet overwritten
  }
  framesPerColumn_ *= 2;
  // Gaps that now share a column become one.
  std::vector<PlotGap> gaps;
  for (const auto& gap : gaps_) {
    if (!gaps.empty() && gaps.back().position / framesPerColumn_ == gap.position / framesPerColumn_) {
      gaps.back().frames += gap.frames;
    } else {
      gaps.push_back(gap);
    }
  }
  gaps_ = std::move(gaps);
}

}  // namespace tarvik::tool
