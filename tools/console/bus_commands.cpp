// The console's bus and card commands: port reads and writes, access traces and the EEPROM
// image.
#include <charconv>
#include <cstdio>

#include "sim/io_bus.h"

#include "session_impl.h"

namespace tarvik::console {

Reply ConsoleSession::Impl::In(const Args& args, unsigned width) {
  auto port = ParsePort(args[0]);
  if (!port) return Reply::Fail("bad port '" + std::string(args[0]) + "'");
  return Reply::Ok(HexValue(sim::PortBus().Read(*port, width), width));
}

Reply ConsoleSession::Impl::Out(const Args& args, unsigned width) {
  auto port = ParsePort(args[0]);
  if (!port) return Reply::Fail("bad port '" + std::string(args[0]) + "'");
  auto value = ParseNumber(args[1]);
  uint64_t limit = width == 4 ? 0xFFFFFFFFull : (1ull << (8 * width)) - 1;
  if (!value || *value > limit) return Reply::Fail("bad value '" + std::string(args[1]) + "'");
  sim::PortBus().Write(*port, width, static_cast<uint32_t>(*value));
  return Reply::Ok();
}

Reply ConsoleSession::Impl::Trace(const Args& args) {
  std::string what = Lower(args[0]);
  if (what == "on" || what == "off") {
    sim::PortBus().SetTracing(what == "on");
    return Reply::Ok();
  }
  if (what != "take") return Reply::Fail("usage: trace on|off|take");
  auto trace = sim::PortBus().TakeTrace();
  std::string values = std::to_string(trace.size());
  static constexpr char kWidthLetter[] = {'?', 'b', 'w', '?', 'l'};
  for (const auto& access : trace) {
    bool read = access.direction == sim::PortAccess::Direction::Read;
    values += read ? " in" : " out";
    values += access.width <= 4 ? kWidthLetter[access.width] : '?';
    values += ":" + HexValue(access.port, 2) + "=" + HexValue(access.value, access.width);
  }
  return Reply::Ok(values);
}

Reply ConsoleSession::Impl::Eeprom(const Args& args) {
  std::string what = Lower(args[0]);
  auto& bridge = machine->Card().bridge();
  if (what == "dump" && args.size() == 1) {
    std::string values;
    char word[8];
    for (uint16_t value : bridge.EepromImageWords()) {
      std::snprintf(word, sizeof word, "%04x", value);
      if (!values.empty()) values += ' ';
      values += word;
    }
    return Reply::Ok(values);
  }
  if (what != "load" || args.size() < 2 || args.size() - 1 > sim::card::kEepromWords) {
    return Reply::Fail("usage: eeprom dump | eeprom load WORD... (1 to 64 words)");
  }
  auto image = bridge.EepromImageWords();
  for (size_t i = 1; i < args.size(); ++i) {
    std::string_view word = args[i];
    if (word.starts_with("0x") || word.starts_with("0X")) word.remove_prefix(2);
    uint64_t value = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
    if (word.empty() || error != std::errc() || end != word.data() + word.size() || value > 0xFFFF) {
      return Reply::Fail("bad word '" + std::string(args[i]) + "'");
    }
    image[i - 1] = static_cast<uint16_t>(value);
  }
  bridge.SetEepromImage(image);
  return Reply::Ok(std::to_string(args.size() - 1));
}

}  // namespace tarvik::console
