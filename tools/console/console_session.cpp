// The bench console's session: a table of commands over one emulated machine at a time, the
// handles and asynchronous requests opened through it, and the events of their completion.
// The protocol is described in tarvik/console_session.h; the command families live in
// machine_commands.cpp, request_commands.cpp and bus_commands.cpp.
#include <chrono>

#include "session_impl.h"
#include "sim/verifier.h"

namespace tarvik::console {

// The machine goes first: closing its handles completes the requests still pending, which
// write into the buffers kept here; their events are reported after the command's reply.
void ConsoleSession::Impl::Shutdown() {
  if (foreignSource != 0) sim::kernel::DetachInterruptSource(foreignSource);
  foreignSource = 0;
  for (auto& [tag, file] : handles) sim::nt::Close(file);
  handles.clear();
  for (auto& [tag, event] : events) sim::nt::Close(event);
  events.clear();
  FinishRemoval();
  std::vector<std::string> lines = Events();
  machine.reset();
  for (auto& event : Events()) lines.push_back(std::move(event));
  for (auto& event : lines) deferred.push_back(std::move(event));
}

std::vector<std::string> ConsoleSession::Impl::Events() {
  std::vector<std::string> lines;
  if (removal && removal->done) {
    FinishRemoval();
    lines.push_back("EVENT r" + std::to_string(removal->id) + " status=" +
                    Status(removal->status) + " pnp=" +
                    (machine ? PnpName(machine->DevicePnpState()) : "removed"));
    removal.reset();
  }
  for (auto it = outstanding.begin(); it != outstanding.end();) {
    Request& request = *it->second;
    if (machine && !(sim::nt::WaitForSingleObject(request.event, 0) == kStatusSuccess &&
                     request.Completed())) {
      ++it;
      continue;
    }
    lines.push_back("EVENT r" + std::to_string(request.id) + " " + CompletionValues(request));
    if (machine) sim::nt::Close(request.event);
    it = outstanding.erase(it);
  }
  return lines;
}

Reply ConsoleSession::Impl::Execute(const Args& words) {
  std::string name = Lower(words[0]);
  const Command* command = nullptr;
  for (const Command& entry : Table()) {
    if (name == entry.name) command = &entry;
  }
  if (command == nullptr) return Reply::Fail("unknown command '" + std::string(words[0]) + "'");
  Args args(words.begin() + 1, words.end());
  if (args.size() < command->minArgs || args.size() > command->maxArgs) {
    return Reply::Fail(std::string("usage: ") + command->usage);
  }
  if (command->needsMachine && !machine) return Reply::Fail("no machine (boot first)");
  return (this->*command->handler)(args);
}

std::optional<sim::nt::Handle> ConsoleSession::Impl::FindHandle(std::string_view word, uint32_t* tag) {
  auto number = ParseTagged(word, 'h');
  if (!number) return std::nullopt;
  auto it = handles.find(*number);
  if (it == handles.end()) return std::nullopt;
  if (tag != nullptr) *tag = *number;
  return it->second;
}

Request* ConsoleSession::Impl::FindRequest(std::string_view word) {
  auto number = ParseTagged(word, 'r');
  if (!number) return nullptr;
  auto it = outstanding.find(*number);
  return it == outstanding.end() ? nullptr : it->second.get();
}

// bridge+OFFSET, card+OFFSET or an absolute port.
std::optional<uint32_t> ConsoleSession::Impl::ParsePort(std::string_view word) {
  size_t plus = word.find('+');
  if (plus == std::string_view::npos) {
    auto port = ParseNumber(word);
    if (!port || *port > 0xFFFF) return std::nullopt;
    return static_cast<uint32_t>(*port);
  }
  std::string range = Lower(word.substr(0, plus));
  auto offset = ParseNumber(word.substr(plus + 1));
  if (!offset) return std::nullopt;
  // Where the ranges are now: a restart may have moved them.
  auto& card = machine->Card();
  if (range == "bridge" && *offset < sim::card::bridge_reg::kRangeLength) {
    return card.BridgeBase() + static_cast<uint32_t>(*offset);
  }
  if (range == "card" && *offset < sim::card::card_reg::kRangeLength) {
    return card.WindowBase() + static_cast<uint32_t>(*offset);
  }
  return std::nullopt;
}

Reply ConsoleSession::Impl::Verifier(const Args&) {
  auto violations = sim::verifier::TakeViolations();
  std::string values = std::to_string(violations.size());
  for (const auto& violation : violations) values += " " + violation.rule;
  return Reply::Ok(values);
}

Reply ConsoleSession::Impl::Help(const Args&) {
  std::string names;
  for (const Command& command : Table()) {
    if (!names.empty()) names += ' ';
    names += command.name;
  }
  return Reply::Ok(names);
}

// name, arguments (least, most), needs a machine, handler, usage
const ConsoleSession::Impl::Command ConsoleSession::Impl::kCommands[] = {
    {"boot", 0, 1, false, &Impl::Boot, "boot [wdm10|wdm110]"},
    {"start", 0, 0, true, &Impl::Start, "start"},
    {"stop", 0, 0, true, &Impl::Stop, "stop"},
    {"remove", 0, 0, true, &Impl::Remove, "remove"},
    {"surprise", 0, 0, true, &Impl::Surprise, "surprise"},
    {"unplug", 0, 0, true, &Impl::Unplug, "unplug"},
    {"power", 1, 1, true, &Impl::Power, "power s0|s1|s2|s3|s4|s5"},
    {"step", 1, 1, true, &Impl::Step, "step TICKS"},
    {"foreign_irq", 0, 1, true, &Impl::ForeignIrq, "foreign_irq [ROUNDS]"},
    {"pull", 0, 1, true, &Impl::Pull, "pull [float]"},
    {"open", 0, 0, true, &Impl::Open, "open"},
    {"close", 1, 1, true, &Impl::CloseHandle, "close h<N>"},
    {"ioctl", 4, 4, true, &Impl::Ioctl, "ioctl h<N> CODE INHEX OUTLEN"},
    {"ioctl_async", 4, 4, true, &Impl::IoctlAsync, "ioctl_async h<N> CODE INHEX OUTLEN"},
    {"wait", 1, 2, true, &Impl::Wait, "wait r<N> [MS]"},
    {"event_new", 0, 0, true, &Impl::EventNew, "event_new"},
    {"event_wait", 1, 2, true, &Impl::EventWait, "event_wait e<N> [MS]"},
    {"cancel", 1, 1, true, &Impl::Cancel, "cancel h<N>|r<N>"},
    {"lasterror", 0, 1, true, &Impl::LastError, "lasterror [h<N>]"},
    {"inb", 1, 1, true, &Impl::Inb, "inb PORT"},
    {"inw", 1, 1, true, &Impl::Inw, "inw PORT"},
    {"inl", 1, 1, true, &Impl::Inl, "inl PORT"},
    {"outb", 2, 2, true, &Impl::Outb, "outb PORT VALUE"},
    {"outw", 2, 2, true, &Impl::Outw, "outw PORT VALUE"},
    {"outl", 2, 2, true, &Impl::Outl, "outl PORT VALUE"},
    {"trace", 1, 1, true, &Impl::Trace, "trace on|off|take"},
    {"eeprom", 1, 1 + sim::card::kEepromWords, true, &Impl::Eeprom,
     "eeprom dump | eeprom load WORD..."},
    {"verifier", 0, 0, false, &Impl::Verifier, "verifier"},
    {"help", 0, 0, false, &Impl::Help, "help"},
    {"quit", 0, 0, false, &Impl::Quit, "quit"},
};

std::span<const ConsoleSession::Impl::Command> ConsoleSession::Impl::Table() { return kCommands; }

ConsoleSession::ConsoleSession(SessionOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

ConsoleSession::~ConsoleSession() = default;

std::vector<std::string> ConsoleSession::Execute(std::string_view line) {
  Args words;
  size_t at = 0;
  while (at < line.size()) {
    size_t start = line.find_first_not_of(" \t\r\n", at);
    if (start == std::string_view::npos) break;
    size_t end = line.find_first_of(" \t\r\n", start);
    if (end == std::string_view::npos) end = line.size();
    words.push_back(line.substr(start, end - start));
    at = end;
  }
  if (words.empty() || words[0].starts_with('#')) return {};
  std::vector<std::string> lines;
  if (impl_->finished) {
    lines.push_back("FAIL the session has ended");
    return lines;
  }
  lines.push_back(impl_->Execute(words).line);
  if (impl_->finished) impl_->Shutdown();
  for (auto& event : impl_->deferred) lines.push_back(std::move(event));
  impl_->deferred.clear();
  for (auto& event : impl_->Events()) lines.push_back(std::move(event));
  return lines;
}

std::vector<std::string> ConsoleSession::PollEvents() { return impl_->Events(); }

bool ConsoleSession::Finished() const { return impl_->finished; }

std::vector<std::string> ConsoleSession::CommandNames() {
  std::vector<std::string> names;
  for (const auto& command : Impl::Table()) names.emplace_back(command.name);
  return names;
}

}  // namespace tarvik::console
