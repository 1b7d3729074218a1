// tarvik eeprom dump|read|write: the bridge's 64-word configuration EEPROM.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "context.h"
#include "tarvik/device.h"

namespace tarvik::tool {

namespace {

constexpr unsigned kEepromWords = 64;

void PrintWords(uint16_t first, const std::vector<uint16_t>& words, bool json) {
  if (json) {
    fmt::print("{}\n", nlohmann::ordered_json{{"first_word", first}, {"words", words}}.dump());
    return;
  }
  for (size_t i = 0; i < words.size(); ++i) {
    unsigned address = first + static_cast<unsigned>(i);
    // Addresses in decimal, as they are typed; the words in hexadecimal.
    if (i == 0 || address % 8 == 0) {
      if (i != 0) fmt::print("\n");
      fmt::print("{:2}:", address);
    }
    fmt::print(" {:04X}", words[i]);
  }
  if (!words.empty()) fmt::print("\n");
}

struct EepromArguments {
  std::string word;
  std::string count = "1";
  std::vector<std::string> values;
  bool json = false;
};

}  // namespace

void AddEepromCommand(CLI::App& app, Context& context) {
  auto* eeprom = app.add_subcommand(
      "eeprom",
      "Read or write the board's EEPROM (64 16-bit words; word addresses 0..63; with "
      "--eeprom-image the emulated card keeps it in that file)");
  eeprom->require_subcommand(1);
  auto arguments = std::make_shared<EepromArguments>();

  auto* dump = eeprom->add_subcommand(
      "dump", "Print all 64 words, 8 per line after the first one's address (decimal); words in "
              "hexadecimal");
  dump->add_flag("--json", arguments->json, "Print {\"first_word\": 0, \"words\": [...]}");
  dump->callback([&context, arguments] {
    context.Host();
    Device device;
    PrintWords(0, device.ReadEeprom(0, kEepromWords), arguments->json);
  });

  auto* read = eeprom->add_subcommand("read", "Print COUNT words from WORD");
  read->add_option("word", arguments->word, "First word address (0..63)")->required();
  read->add_option("count", arguments->count, "Number of words (default 1)");
  read->add_flag("--json", arguments->json, "Print {\"first_word\": WORD, \"words\": [...]}");
  read->callback([&context, arguments] {
    auto first = ParseNumber(arguments->word, kEepromWords - 1, "word");
    auto count = ParseNumber(arguments->count, kEepromWords - first, "count");
    context.Host();
    Device device;
    PrintWords(static_cast<uint16_t>(first),
               device.ReadEeprom(static_cast<uint16_t>(first), static_cast<uint16_t>(count)),
               arguments->json);
  });

  auto* write = eeprom->add_subcommand("write", "Write VALUE... to consecutive words from WORD");
  write->add_option("word", arguments->word, "First word address (0..63)")->required();
  write->add_option("values", arguments->values, "16-bit values (decimal or 0x...)")->required();
  write->callback([&context, arguments] {
    auto first = ParseNumber(arguments->word, kEepromWords - 1, "word");
    if (first + arguments->values.size() > kEepromWords) {
      throw CLI::ValidationError("values", "the words run past word 63");
    }
    std::vector<uint16_t> words;
    for (const auto& value : arguments->values) {
      words.push_back(static_cast<uint16_t>(ParseNumber(value, 0xFFFF, "value")));
    }
    MachineHost& host = context.Host();
    uint64_t failuresBefore = host.EepromSaveFailures();
    Device device;
    device.WriteEeprom(static_cast<uint16_t>(first), words);
    if (host.EepromSaveFailures() != failuresBefore) {
      throw std::runtime_error(fmt::format(
          "wrote {} word(s) from word {} to the card, but saving the EEPROM image {} failed: "
          "the file does not hold them",
          words.size(), first, host.EepromImageName()));
    }
    fmt::print("wrote {} word(s) from word {}\n", words.size(), first);
    if (!host.EepromPersistent()) {
      fmt::print("note: the emulated card has no --eeprom-image; these words last only for this "
                 "run\n");
    }
  });
}

}  // namespace tarvik::tool
