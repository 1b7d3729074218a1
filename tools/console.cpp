// tarvik console: the bench's line protocol (tools/console/include/tarvik/console_session.h)
// on standard input and output, with transcripts recorded or replayed. The session boots its
// own machines (`boot`), with the card options of the command line and a virtual clock that
// moves only with `step`.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "context.h"

#if defined(_WIN32)

namespace tarvik::tool {

void AddConsoleCommand(CLI::App& app, Context& context) {
  auto* console = app.add_subcommand("console", "The bench's line protocol (emulated machine only)");
  console->callback([&context] {
    fmt::print(stderr, "tarvik: the console drives the emulated machine, which runs on Linux only\n");
    context.exitCode = kExitDeviceError;
  });
}

}  // namespace tarvik::tool

#else

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include "stop_signal.h"
#include "tarvik/console_session.h"
#include "tarvik/emulated_machine.h"
#if defined(TARVIK_HAVE_LIBEDIT)
#include "console_line_editor.h"
#endif

namespace tarvik::tool {
namespace {

struct ConsoleOptions {
  std::string record;
  std::string replay;
};

console::SessionOptions SessionOptionsFrom(const MachineHostOptions& host) {
  console::SessionOptions options;
  ApplyCardOptions(EmulatedOptions(host), options.machine.card);
  options.machine.card.realTimeClock = false;  // the session's clock moves only with `step`
  return options;
}

void Emit(const std::vector<std::string>& lines, std::ofstream* record) {
  for (const auto& line : lines) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    if (record != nullptr) *record << "< " << line << '\n';
  }
  std::fflush(stdout);
  if (record != nullptr) record->flush();
}

// Commands from stdin (a pipe or a file, or a terminal without the line editor) until `quit`
// or its end. While it is idle, completions of asynchronous requests are written as they are
// noticed.
int RunInteractive(console::ConsoleSession& session, std::ofstream* record) {
  std::string pending;
  char buffer[4096];
  bool atEnd = false;
  while (!session.Finished()) {
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos && !session.Finished()) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      auto produced = session.Execute(line);
      if (produced.empty()) continue;
      if (record != nullptr) *record << "> " << line << '\n';
      Emit(produced, record);
    }
    if (session.Finished()) break;
    if (atEnd) {
      if (!pending.empty()) {
        pending += '\n';
        continue;
      }
      break;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready = ::poll(&input, 1, 50);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      Emit(session.PollEvents(), record);
      continue;
    }
    ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
      atEnd = true;
    } else {
      pending.append(buffer, static_cast<size_t>(got));
    }
  }
  return kExitOk;
}

#if defined(TARVIK_HAVE_LIBEDIT)
// The same on a terminal, with a prompt and line editing. Ctrl-C or SIGTERM ends the session
// as `quit` would, with the terminal given back as it was.
int RunOnTerminal(console::ConsoleSession& session, std::ofstream* record) {
  StopOnSignals stop;
  bool atEnd = false;
  LineEditor editor("tarvik> ", [&](const char* line) {
    if (line == nullptr) {
      atEnd = true;
      return false;
    }
    auto produced = session.Execute(line);
    if (!produced.empty()) {
      if (record != nullptr) *record << "> " << line << '\n';
      Emit(produced, record);
    }
    return !session.Finished();
  });
  while (!session.Finished() && !atEnd && StopOnSignals::Caught() == nullptr) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready = ::poll(&input, 1, 50);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      auto events = session.PollEvents();
      if (events.empty()) continue;
      editor.BeginOutput();
      Emit(events, record);
      editor.EndOutput();
      continue;
    }
    if ((input.revents & POLLIN) == 0) break;  // the terminal hung up
    editor.ReadAvailable();
  }
  if (!session.Finished()) std::fputc('\n', stdout);
  return kExitOk;
}
#endif

int RunReplay(console::ConsoleSession& session, const std::string& path) {
  std::ifstream transcript(path);
  if (!transcript) {
    fmt::print(stderr, "tarvik: cannot read transcript {}\n", path);
    return kExitDeviceError;
  }
  auto result = console::Replay(transcript, session);
  for (const auto& mismatch : result.mismatches) fmt::print(stderr, "{}: {}\n", path, mismatch);
  fmt::print("{} commands, {}\n", result.commands,
             result.Matched() ? "every reply matched"
                              : fmt::format("{} mismatches", result.mismatches.size()));
  return result.Matched() ? kExitOk : kExitDeviceError;
}

}  // namespace

void AddConsoleCommand(CLI::App& app, Context& context) {
  auto options = std::make_shared<ConsoleOptions>();
  auto* console = app.add_subcommand(
      "console",
      "The bench's line protocol on standard input/output: boot, PnP and power events, "
      "handles, device-control requests, clock steps, port traces (see docs/console.md)");
  console->add_option("--record", options->record,
                      "Write the session's commands and replies to FILE as a transcript")
      ->type_name("FILE");
  console->add_option("--replay", options->replay,
                      "Run a transcript's commands and check every reply; exit 1 on a difference")
      ->type_name("FILE")
      ->check(CLI::ExistingFile)
      ->excludes("--record");
  console->callback([options, &context] {
    console::ConsoleSession session(SessionOptionsFrom(context.machineOptions));
    if (!options->replay.empty()) {
      context.exitCode = RunReplay(session, options->replay);
      return;
    }
    std::ofstream record;
    if (!options->record.empty()) {
      record.open(options->record, std::ios::trunc);
      if (!record) {
        fmt::print(stderr, "tarvik: cannot write transcript {}\n", options->record);
        context.exitCode = kExitDeviceError;
        return;
      }
    }
    std::ofstream* transcript = record.is_open() ? &record : nullptr;
#if defined(TARVIK_HAVE_LIBEDIT)
    if (::isatty(STDIN_FILENO) != 0 && ::isatty(STDOUT_FILENO) != 0) {
      context.exitCode = RunOnTerminal(session, transcript);
      return;
    }
#endif
    context.exitCode = RunInteractive(session, transcript);
  });
}

}  // namespace tarvik::tool

#endif
