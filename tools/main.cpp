// tarvik: acquisition and diagnostics for the Tarvik analog-input card.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "completion.h"
#include "context.h"
#include "frame_layout.h"
#include "stop_signal.h"
#include "suggest.h"
#include "tarvik/device.h"
#if !defined(_WIN32)
#include "tarvik/emulated_machine.h"
#endif
#include "version.h"

namespace tarvik::tool {

unsigned long ParseNumber(const std::string& text, unsigned long max, const char* what) {
  char* end = nullptr;
  errno = 0;
  unsigned long value = text.empty() || text[0] == '-' ? 0 : std::strtoul(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0' || errno != 0 || value > max) {
    throw CLI::ValidationError(what, fmt::format("'{}' is not a number from 0 to {}", text, max));
  }
  return value;
}

namespace {

constexpr const char* kSourceHelp =
    "QUANTITY=WAVEFORM:PARAMS; QUANTITY is result-a, result-b, word0, word1, word8 or word9; "
    "WAVEFORM:PARAMS is Constant:VALUE, Ramp:START,STEP, Square:OFFSET,AMPLITUDE,PERIOD or "
    "Sine:OFFSET,AMPLITUDE,PERIOD in integers the word can hold (12 bits for the results, 8 for "
    "word9, 16 for the others)";

constexpr const char* kFooter = R"(Exit codes:
  0  success
  1  the device, the driver or a file failed (the driver's reason is printed)
  2  bad command line
  3  the acquisition completed but data was lost (gaps in block sequence numbers or
     frames overwritten in the ring); the file holds what arrived
  4  the driver broke a platform rule (the emulated machine's verifier names each one)

On Linux the tool boots the emulated machine in this process: the driver, and the card with
its sample clock paced in real time (--virtual: stepped by the tool, for repeatable runs).)";

// Every subcommand name and long option of the tool, for suggestions.
void CollectNames(const CLI::App& app, std::vector<std::string>& commands,
                  std::vector<std::string>& options) {
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) options.push_back("--" + name);
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (sub->get_name().find(' ') == std::string::npos && !sub->get_name().empty()) {
      commands.push_back(sub->get_name());
    }
    CollectNames(*sub, commands, options);
  }
}

// After a parse error: "did you mean" for each word the tool did not take that is close to a
// name it knows (a command only where one was expected: no command was found), and for no
// word it took as an option's value.
void SuggestNames(const CLI::App& app) {
  std::vector<std::string> commands, options;
  CollectNames(app, commands, options);
  bool commandFound = !app.get_subcommands().empty();
  for (std::string word : app.remaining()) {
    bool option = word.rfind("--", 0) == 0;
    if (option) word = word.substr(0, word.find('='));
    if (!option && commandFound) continue;
    auto closest = ClosestName(word, option ? options : commands);
    if (closest) {
      fmt::print(stderr, "tarvik: unknown {} '{}'; did you mean '{}'?\n",
                 option ? "option" : "command", word, *closest);
    }
  }
}

#if !defined(_WIN32)
// Every command's help ends with the machine options, which the tool takes before or after
// the command, and the exit codes.
void AddMachineOptionsToHelp(CLI::App& app, const CLI::App& group) {
  std::vector<const CLI::Option*> machineOptions;
  for (const CLI::Option* option : group.get_options()) {
    if (option->get_name() != "--help") machineOptions.push_back(option);
  }
  CLI::Formatter formatter;
  std::string options = formatter.make_group(
      "Emulated machine (these options go before or after the command)", false, machineOptions);
  std::function<void(CLI::App&)> add = [&](CLI::App& command) {
    for (CLI::App* sub : command.get_subcommands([](const CLI::App* s) { return !s->get_name().empty(); })) {
      sub->footer(options + "\n" + kFooter);
      add(*sub);
    }
  };
  add(app);
}
#endif

}  // namespace

}  // namespace tarvik::tool

int main(int argc, char** argv) {
  using namespace tarvik::tool;
  RouteStopSignals();
  CLI::App app{"tarvik: acquisition and diagnostics for the Tarvik analog-input card", "tarvik"};
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("tarvik ") + kToolVersion);
  app.require_subcommand(1);
  app.fallthrough();  // the machine's options may follow the subcommand

  Context context;
#if !defined(_WIN32)
  // On Windows the tool talks to the installed driver: there is no emulated machine to set up.
  MachineHostOptions& machine = context.machineOptions;
  auto* group = app.add_option_group("Emulated machine", "The card on the emulated machine (Linux)");
  group->add_flag("--virtual", machine.virtualClock,
                  "Step the card's sample clock from the tool instead of in real time");
  group->add_option_function<std::string>(
          "--eeprom-image",
          [&machine](const std::string& path) { machine.eepromImage = path; },
          "The card's EEPROM lives in this 128-byte file (created on the first write)")
      ->type_name("FILE");
  group->add_option_function<std::string>(
          "--driver-image",
          [&machine](const std::string& path) { machine.driverImage = path; },
          "Boot this PE32 image of the driver (tarvik.sys) under forced IRQL checking instead "
          "of the linked driver (32-bit build only)")
      ->type_name("FILE");
  group->add_option_function<std::string>(
          "--platform", [](const std::string& name) { SelectPlatform(name); },
          "The platform the emulated machine plays: 2000 (Windows 2000/XP, the default) or 98 "
          "(Windows 98/Me); the variable TARVIK_PLATFORM does the same")
      ->check(CLI::IsMember({"2000", "98"}))
      ->type_name("NAME");
  group->add_option_function<unsigned>(
          "--id-byte4", [&machine](unsigned value) { machine.idByte4 = static_cast<uint8_t>(value); },
          "Identification byte 4 of the card (9 on a good board; the driver captures nothing "
          "from any other)")
      ->check(CLI::Range(0u, 255u))
      ->type_name("N");
  group->add_option_function<std::vector<std::string>>(
          "--source",
          [&machine](const std::vector<std::string>& settings) {
            machine.sources.insert(machine.sources.end(), settings.begin(), settings.end());
          },
          std::string("A signal source of the card: ") + kSourceHelp)
      ->check([](const std::string& text) {
        try {
          tarvik::CheckSourceSetting(text);
        } catch (const std::invalid_argument& error) {
          return std::string(error.what());
        }
        return std::string();
      })
      ->type_name("SOURCE")
      ->take_all();
#endif

  AddAcquireCommand(app, context);
  AddInfoCommand(app, context);
  AddSerialCommand(app, context);
  AddEepromCommand(app, context);
  AddPortsCommand(app, context);
  AddConsoleCommand(app, context);
#if !defined(_WIN32)
  AddMachineOptionsToHelp(app, *group);
#endif

  // Hidden: the build writes the shell completion with it.
  app.add_flag_callback(
         "--bash-completion",
         [&app] {
           std::vector<std::string> words;
           for (const auto& channel : kChannelLayout) words.emplace_back(channel.name);
           fmt::print("{}", BashCompletionScript(app, {{"--words", words}}));
           throw CLI::Success();
         },
         "Print a bash completion script for the tool")
      ->group("");

  int code = kExitOk;
  try {
    app.parse(argc, argv);
    code = context.exitCode;
  } catch (const CLI::ParseError& error) {
    code = app.exit(error) == 0 ? kExitOk : kExitUsage;
    if (code != kExitOk) SuggestNames(app);
  } catch (const tarvik::Error& error) {
    std::fflush(stdout);
    fmt::print(stderr, "tarvik: {}\n", error.what());
    code = kExitDeviceError;
  } catch (const std::exception& error) {
    std::fflush(stdout);
    fmt::print(stderr, "tarvik: {}\n", error.what());
    code = kExitDeviceError;
  }
  // The machine goes first: its removal and unload run the verifier's last checks.
  context.host.reset();
  return ReportBrokenRules() > 0 ? kExitRuleBroken : code;
}
