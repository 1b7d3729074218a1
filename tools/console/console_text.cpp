// The console's words: numbers and hex bytes as the protocol writes and reads them, and the
// control codes by name.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "session_impl.h"
#include "tarvik_ioctl.h"

namespace tarvik::console {

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string Status(int32_t status) { return Hex32(static_cast<uint32_t>(status)); }

std::string HexValue(uint32_t value, unsigned width) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", static_cast<int>(2 * width), value);
  return text;
}

std::string HexBytes(const uint8_t* data, size_t length) {
  if (length == 0) return "-";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (size_t i = 0; i < length; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0xF];
  }
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Decimal, or hexadecimal after 0x; the whole word must be the number.
std::optional<uint64_t> ParseNumber(std::string_view word) {
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    word.remove_prefix(2);
    base = 16;
  }
  if (word.empty()) return std::nullopt;
  uint64_t value = 0;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view word) {
  std::vector<uint8_t> bytes;
  if (word == "-") return bytes;
  if (word.size() % 2 != 0) return std::nullopt;
  for (size_t i = 0; i < word.size(); i += 2) {
    uint8_t byte = 0;
    auto [end, error] = std::from_chars(word.data() + i, word.data() + i + 2, byte, 16);
    if (error != std::errc() || end != word.data() + i + 2) return std::nullopt;
    bytes.push_back(byte);
  }
  return bytes;
}

// h<N> or r<N>.
std::optional<uint32_t> ParseTagged(std::string_view word, char tag) {
  if (word.size() < 2 || word[0] != tag) return std::nullopt;
  auto number = ParseNumber(word.substr(1));
  if (!number || *number == 0 || *number > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*number);
}

namespace {

struct NamedCode {
  const char* name;
  uint32_t code;
};
constexpr NamedCode kControlCodes[] = {
    {"WAIT_EVENT", IOCTL_DAQ_WAIT_EVENT},
    {"SET_EVENT", IOCTL_DAQ_SET_EVENT},
    {"OPEN_BOARD", IOCTL_DAQ_OPEN_BOARD},
    {"GET_BLOCK_COUNT", IOCTL_DAQ_GET_BLOCK_COUNT},
    {"START", IOCTL_DAQ_START},
    {"STOP", IOCTL_DAQ_STOP},
    {"READ_OLDEST_BLOCK", IOCTL_DAQ_READ_OLDEST_BLOCK},
    {"READ_NEWEST_BLOCK", IOCTL_DAQ_READ_NEWEST_BLOCK},
    {"READ_STREAM", IOCTL_DAQ_READ_STREAM},
    {"COMMAND", IOCTL_DAQ_COMMAND},
    {"PORT_IN_BYTE", IOCTL_DAQ_PORT_IN_BYTE},
    {"PORT_IN_WORD", IOCTL_DAQ_PORT_IN_WORD},
    {"PORT_IN_DWORD", IOCTL_DAQ_PORT_IN_DWORD},
    {"PORT_OUT_BYTE", IOCTL_DAQ_PORT_OUT_BYTE},
    {"PORT_OUT_WORD", IOCTL_DAQ_PORT_OUT_WORD},
    {"PORT_OUT_DWORD", IOCTL_DAQ_PORT_OUT_DWORD},
    {"GET_LAST_ERROR", IOCTL_DAQ_GET_LAST_ERROR},
    {"READ_SERIAL", IOCTL_DAQ_READ_SERIAL},
};

}  // namespace

std::optional<uint32_t> ParseControlCode(std::string_view word) {
  if (auto number = ParseNumber(word)) {
    if (*number > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(*number);
  }
  std::string name(word);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name.starts_with("IOCTL_DAQ_")) name.erase(0, 10);
  for (const auto& entry : kControlCodes) {
    if (name == entry.name) return entry.code;
  }
  return std::nullopt;
}

std::string CompletionValues(const Request& request) {
  size_t shown = std::min<size_t>(request.iosb.information, request.output.size());
  return "status=" + Status(request.iosb.status) +
         " info=" + std::to_string(request.iosb.information) +
         " out=" + HexBytes(request.output.data(), shown);
}

std::string PnpName(sim::PnpState state) {
  std::string name = sim::PnpStateName(state);
  std::replace(name.begin(), name.end(), ' ', '-');
  return name;
}

}  // namespace tarvik::console
