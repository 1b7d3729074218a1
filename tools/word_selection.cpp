#include "word_selection.h"

#include <cmath>
#include <cstdlib>
#include <numeric>
#include <stdexcept>

namespace tarvik::tool {

const char* WordKindName(WordKind kind) {
  switch (kind) {
    case WordKind::Value: return "value";
    case WordKind::Result: return "conversion result";
    case WordKind::Zero: return "zero";
    case WordKind::Counter: return "counter";
  }
  return "?";
}

std::vector<unsigned> WordSelection::AllWords() {
  std::vector<unsigned> all(kChannels);
  std::iota(all.begin(), all.end(), 0u);
  return all;
}

bool WordSelection::Wide() const {
  for (unsigned word : words) {
    if (kChannelLayout[word].kind == WordKind::Counter) return true;
  }
  return false;
}

const WordScale* WordSelection::ScaleOf(unsigned word) const {
  auto found = scales.find(word);
  return found == scales.end() ? nullptr : &found->second;
}

std::optional<unsigned> WordIndex(std::string_view name) {
  for (unsigned c = 0; c < kChannels; ++c) {
    if (kChannelLayout[c].name == name) return c;
  }
  return std::nullopt;
}

namespace {

std::string KnownNames() {
  std::string names;
  for (const auto& channel : kChannelLayout) {
    names += (names.empty() ? "" : ", ") + std::string(channel.name);
  }
  return names;
}

unsigned NamedWord(std::string_view name) {
  auto index = WordIndex(name);
  if (!index) {
    throw std::invalid_argument("unknown word '" + std::string(name) + "' (the words: " +
                                KnownNames() + ")");
  }
  return *index;
}

// A finite number, the whole of the text.
double Number(const std::string& text, const char* what) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value)) {
    throw std::invalid_argument(std::string(what) + " '" + text + "' is not a finite number");
  }
  return value;
}

}  // namespace

std::vector<unsigned> ParseWordList(std::string_view text) {
  std::vector<unsigned> words;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    unsigned word = NamedWord(text.substr(start, comma - start));
    for (unsigned earlier : words) {
      if (earlier == word) {
        throw std::invalid_argument("word '" + std::string(kChannelLayout[word].name) +
                                    "' given twice");
      }
    }
    words.push_back(word);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return words;
}

std::pair<unsigned, WordScale> ParseScale(std::string_view text) {
  size_t equals = text.find('=');
  if (equals == std::string_view::npos) {
    throw std::invalid_argument("'" + std::string(text) + "' is not WORD=FACTOR[,OFFSET[,UNIT]]");
  }
  unsigned word = NamedWord(text.substr(0, equals));
  std::string rest(text.substr(equals + 1));
  WordScale scale;
  size_t comma = rest.find(',');
  scale.factor = Number(rest.substr(0, comma), "factor");
  if (comma != std::string::npos) {
    std::string tail = rest.substr(comma + 1);
    size_t second = tail.find(',');
    scale.offset = Number(tail.substr(0, second), "offset");
    if (second != std::string::npos) scale.unit = tail.substr(second + 1);
  }
  // One unit, printable, without the CSV's or the JSON's separators in it.
  for (unsigned char c : scale.unit) {
    if (c == ',' || c == '"' || c < 0x20 || c == 0x7F) {
      throw std::invalid_argument("the unit '" + scale.unit + "' in '" + std::string(text) +
                                  "' holds a comma, a quote or a control character; "
                                  "WORD=FACTOR[,OFFSET[,UNIT]] takes one unit");
    }
  }
  // Every value the word can take must scale to a finite number (a counter's count to 2^53,
  // where doubles stop counting exactly).
  const ChannelInfo& info = kChannelLayout[word];
  double largest = info.kind == WordKind::Counter ? 0x1p53 : std::ldexp(1.0, static_cast<int>(info.bits)) - 1;
  if (!std::isfinite(largest * scale.factor + scale.offset)) {
    throw std::invalid_argument("'" + std::string(text) + "' scales " + std::string(info.name) +
                                " past the largest number a file can hold");
  }
  return {word, scale};
}

uint64_t CounterUnwrap::Next(uint16_t reading) {
  if (!started_) {
    started_ = true;
    value_ = reading;
  } else {
    value_ += static_cast<uint16_t>(reading - last_);
  }
  last_ = reading;
  return value_;
}

FrameRows::FrameRows(std::vector<unsigned> words) : words_(std::move(words)) {}

void FrameRows::Append(const FrameWords& frame, std::vector<uint64_t>& out) {
  for (unsigned word : words_) {
    out.push_back(kChannelLayout[word].kind == WordKind::Counter ? counters_[word].Next(frame[word])
                                                                 : frame[word]);
  }
}

}  // namespace tarvik::tool
