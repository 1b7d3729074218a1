#include "source_setting.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace tarvik::emulated {

namespace {

using sim::card::Quantity;
using sim::card::SignalSource;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int64_t Number(const std::string& text, const std::string& whole) {
  if (text.empty()) throw std::invalid_argument("empty number in source '" + whole + "'");
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0' || errno != 0) {
    throw std::invalid_argument("'" + text + "' is not an integer (source '" + whole +
                                "'; parameters are integers, decimal or 0x...)");
  }
  return value;
}

// A value the waveform takes must be one the quantity's bits hold.
void CheckFits(int64_t value, Quantity quantity, const char* what, const std::string& whole) {
  int64_t top = (int64_t{1} << sim::card::QuantityBits(quantity)) - 1;
  if (value < 0 || value > top) {
    throw std::invalid_argument(std::string(what) + " " + std::to_string(value) + " does not fit " +
                                std::to_string(sim::card::QuantityBits(quantity)) +
                                " bits (0 to " + std::to_string(top) + ") in source '" + whole +
                                "'");
  }
}

}  // namespace

SourceSetting ParseSourceSetting(const std::string& text) {
  size_t equals = text.find('=');
  size_t colon = text.find(':', equals == std::string::npos ? 0 : equals);
  if (equals == std::string::npos || colon == std::string::npos) {
    throw std::invalid_argument("source '" + text + "' is not QUANTITY=WAVEFORM:PARAMS");
  }
  std::string quantity = Lower(text.substr(0, equals));
  std::string waveform = Lower(text.substr(equals + 1, colon - equals - 1));
  std::vector<int64_t> numbers;
  std::string rest = text.substr(colon + 1);
  size_t start = 0;
  while (true) {
    size_t comma = rest.find(',', start);
    numbers.push_back(Number(rest.substr(start, comma - start), text));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }

  SourceSetting setting;
  if (quantity == "result-a") setting.quantity = Quantity::ResultA;
  else if (quantity == "result-b") setting.quantity = Quantity::ResultB;
  else if (quantity == "word0") setting.quantity = Quantity::Word0;
  else if (quantity == "word1") setting.quantity = Quantity::Word1;
  else if (quantity == "word8") setting.quantity = Quantity::Word8;
  else if (quantity == "word9") setting.quantity = Quantity::Word9;
  else throw std::invalid_argument("unknown quantity '" + quantity + "' in source '" + text + "'");

  auto expect = [&](size_t count) {
    if (numbers.size() != count) {
      throw std::invalid_argument(waveform + " takes " + std::to_string(count) +
                                  " parameter(s) (source '" + text + "')");
    }
  };
  if (waveform == "constant") {
    expect(1);
    CheckFits(numbers[0], setting.quantity, "the value", text);
    setting.source = SignalSource::Constant(numbers[0]);
  } else if (waveform == "ramp") {
    expect(2);
    CheckFits(numbers[0], setting.quantity, "the start", text);
    setting.source = SignalSource::Ramp(numbers[0], numbers[1]);
  } else if (waveform == "square" || waveform == "sine") {
    expect(3);
    if (numbers[2] <= 0) throw std::invalid_argument("the period must be positive ('" + text + "')");
    // Checked part by part first, so that the extremes cannot overflow.
    CheckFits(numbers[0], setting.quantity, "the offset", text);
    int64_t top = (int64_t{1} << sim::card::QuantityBits(setting.quantity)) - 1;
    if (numbers[1] < -top || numbers[1] > top) {
      throw std::invalid_argument("the amplitude " + std::to_string(numbers[1]) +
                                  " swings past what the word holds ('" + text + "')");
    }
    int64_t swing = numbers[1] < 0 ? -numbers[1] : numbers[1];
    CheckFits(numbers[0] - swing, setting.quantity, "the low value", text);
    CheckFits(numbers[0] + swing, setting.quantity, "the high value", text);
    uint64_t period = static_cast<uint64_t>(numbers[2]);
    setting.source = waveform == "square" ? SignalSource::Square(numbers[0], numbers[1], period)
                                       : SignalSource::Sine(numbers[0], numbers[1], period);
  } else {
    throw std::invalid_argument("unknown waveform '" + waveform + "' in source '" + text + "'");
  }
  return setting;
}

}  // namespace tarvik::emulated
