// The bench console's session: a table of commands over one emulated machine at a time, the
// handles and asynchronous requests opened through it, and the events of their completion.
// The protocol is described in tarvik/console_session.h.
#include "tarvik/console_session.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <map>
#include <optional>
#include <span>
#include <thread>

#include "sim/io_bus.h"
#include "sim/kernel.h"
#include "sim/nt_api.h"
#include "sim/verifier.h"
#include "tarvik_ioctl.h"

namespace tarvik::console {
namespace {

constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusPending = 0x103;
constexpr uint32_t kMaxOutputLength = 1u << 20;
constexpr std::u16string_view kDevicePath = u"\\??\\Tarvik";

using Args = std::vector<std::string_view>;

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

// One reply: "OK ..." or "FAIL ...".
struct Reply {
  std::string line;
  static Reply Ok(std::string values = {}) { return {values.empty() ? "OK" : "OK " + values}; }
  static Reply Fail(std::string reason) { return {"FAIL " + reason}; }
};

// A request whose buffers and status block must stay put until it completes. Its status block
// starts at STATUS_PENDING and is written only by the completion; its event alone proves
// nothing, since the driver may signal any event a request names (a START's block event).
struct Request {
  uint32_t id = 0;
  uint32_t handleTag = 0;
  sim::nt::Handle file = 0;
  sim::nt::Handle event = 0;
  sim::nt::IoStatus iosb{};
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;

  bool Completed() const { return __atomic_load_n(&iosb.status, __ATOMIC_ACQUIRE) != kStatusPending; }
};

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

}  // namespace

struct ConsoleSession::Impl {
  using Handler = Reply (Impl::*)(const Args&);
  struct Command {
    const char* name;
    size_t minArgs;
    size_t maxArgs;
    bool needsMachine;
    Handler handler;
    const char* usage;
  };
  static const Command kCommands[];
  static std::span<const Command> Table();

  explicit Impl(SessionOptions options) : options(std::move(options)) {}
  ~Impl() { Shutdown(); }

  SessionOptions options;
  std::optional<sim::Machine> machine;
  sim::kernel::InterruptSourceId foreignSource = 0;
  std::atomic<int> foreignShots{0};
  std::map<uint32_t, sim::nt::Handle> handles;                // h<N>
  std::map<uint32_t, std::unique_ptr<Request>> outstanding;   // r<N>
  std::map<uint32_t, sim::nt::Handle> events;                 // e<N>
  uint32_t nextEvent = 1;
  uint32_t nextHandle = 1;
  uint32_t nextRequest = 1;
  bool finished = false;
  std::vector<std::string> deferred;
  struct RemovalJob {
    uint32_t id = 0;
    std::thread thread;
    std::atomic<bool> done{false};
    int32_t status = 0;
  };
  std::unique_ptr<RemovalJob> removal;  // events noticed while a command ran, before its reply

  // The machine goes first: closing its handles completes the requests still pending, which
  // write into the buffers kept here; their events are reported after the command's reply.
  void Shutdown() {
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

  std::vector<std::string> Events() {
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

  Reply Execute(const Args& words) {
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

  // --- lookups ------------------------------------------------------------------------------

  std::optional<sim::nt::Handle> FindHandle(std::string_view word, uint32_t* tag = nullptr) {
    auto number = ParseTagged(word, 'h');
    if (!number) return std::nullopt;
    auto it = handles.find(*number);
    if (it == handles.end()) return std::nullopt;
    if (tag != nullptr) *tag = *number;
    return it->second;
  }

  Request* FindRequest(std::string_view word) {
    auto number = ParseTagged(word, 'r');
    if (!number) return nullptr;
    auto it = outstanding.find(*number);
    return it == outstanding.end() ? nullptr : it->second.get();
  }

  // bridge+OFFSET, card+OFFSET or an absolute port.
  std::optional<uint32_t> ParsePort(std::string_view word) {
    size_t plus = word.find('+');
    if (plus == std::string_view::npos) {
      auto port = ParseNumber(word);
      if (!port || *port > 0xFFFF) return std::nullopt;
      return static_cast<uint32_t>(*port);
    }
    std::string range = Lower(word.substr(0, plus));
    auto offset = ParseNumber(word.substr(plus + 1));
    if (!offset) return std::nullopt;
    auto& card = machine->Card();
    if (range == "bridge" && *offset < sim::card::bridge_reg::kRangeLength) {
      return card.BridgeBase() + static_cast<uint32_t>(*offset);
    }
    if (range == "card" && *offset < sim::card::card_reg::kRangeLength) {
      return card.WindowBase() + static_cast<uint32_t>(*offset);
    }
    return std::nullopt;
  }

  // --- machine ------------------------------------------------------------------------------

  Reply Boot(const Args& args) {
    sim::MachineOptions machineOptions = options.machine;
    if (!args.empty()) {
      std::string wdm = Lower(args[0]);
      if (wdm == "wdm10") {
        machineOptions.wdm = sim::kernel::WdmSupport::Wdm10Only;
      } else if (wdm == "wdm110") {
        machineOptions.wdm = sim::kernel::WdmSupport::Wdm110;
      } else {
        return Reply::Fail("usage: boot [wdm10|wdm110]");
      }
    }
    Shutdown();
    machine.emplace(machineOptions);
    foreignSource = sim::kernel::AttachInterruptSource(
        machineOptions.interrupt.vector, [this] {
          int shots = foreignShots.load();
          while (shots > 0 && !foreignShots.compare_exchange_weak(shots, shots - 1)) {
          }
          return shots > 0;
        });
    int32_t entry = machine->LoadDriver(sim::TarvikDriverImage());
    if (entry < 0) return Reply::Fail("driver entry status=" + Status(entry));
    int32_t add = machine->AddDevice();
    if (add < 0) return Reply::Fail("add device status=" + Status(add));
    return Reply::Ok("entry=" + Status(entry) + " add=" + Status(add));
  }

  Reply Pnp(int32_t status) {
    if (status == sim::kPnpSequenceRefused && !machine->LastRefusal().empty()) {
      Reply reply = Reply::Fail("refused: " + machine->LastRefusal());
      return reply;
    }
    return Reply::Ok("status=" + Status(status) + " pnp=" + PnpName(machine->DevicePnpState()));
  }
  Reply Start(const Args&) { return Pnp(machine->StartDevice()); }
  Reply Stop(const Args&) { return Pnp(machine->StopDevice()); }
  // A removal waits for every handle to be closed (the driver's remove lock), so `remove` and
  // `surprise` run on a thread of their own and their end is an event. The reply comes once
  // the sequence has moved the device's state (or ended); the session waits for the end here,
  // and at `close` of the last handle, when no handle of its own holds it back.
  // `unplug` likewise: on 98/Me its removal comes at once, handles open or not.
  enum class RemovalKind { Orderly, Surprise, Unplug };
  int32_t RunRemoval(RemovalKind kind) {
    switch (kind) {
      case RemovalKind::Orderly: return machine->RemoveDevice();
      case RemovalKind::Surprise: return machine->SurpriseRemoveDevice();
      case RemovalKind::Unplug: return machine->UnplugCard();
    }
    return 0;
  }
  Reply Removal(RemovalKind kind) {
    auto state = machine->DevicePnpState();
    bool win98 = machine->Options().wdm == sim::kernel::WdmSupport::Wdm10Only;
    bool allowed = kind == RemovalKind::Surprise
                       ? !win98 && (state == sim::PnpState::Started || state == sim::PnpState::Stopped)
                       : state != sim::PnpState::Removed;
    if (!allowed) return Pnp(RunRemoval(kind));
    if (removal) return Reply::Fail("a removal is already under way");
    removal = std::make_unique<RemovalJob>();
    removal->id = nextRequest++;
    removal->thread = std::thread([this, kind, job = removal.get()] {
      job->status = RunRemoval(kind);
      job->done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + options.waitLimit;
    while (!removal->done && machine->DevicePnpState() == state &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // On 98/Me a pulled card's removal waits for nothing: it has ended already.
    if (handles.empty() || (kind == RemovalKind::Unplug && win98)) FinishRemoval();
    return Reply::Ok("r" + std::to_string(removal->id));
  }
  Reply Remove(const Args&) { return Removal(RemovalKind::Orderly); }
  Reply Surprise(const Args&) { return Removal(RemovalKind::Surprise); }
  Reply Unplug(const Args&) { return Removal(RemovalKind::Unplug); }

  void FinishRemoval() {
    if (removal && removal->thread.joinable()) removal->thread.join();
  }

  Reply Power(const Args& args) {
    std::string state = Lower(args[0]);
    if (state.size() != 2 || state[0] != 's' || state[1] < '0' || state[1] > '5') {
      return Reply::Fail("usage: power s0|s1|s2|s3|s4|s5");
    }
    int target = sim::kSystemWorking + (state[1] - '0');
    return Reply::Ok("status=" + Status(machine->SetSystemPower(target)));
  }

  Reply Step(const Args& args) {
    auto ticks = ParseNumber(args[0]);
    if (!ticks) return Reply::Fail("usage: step TICKS");
    return Reply::Ok("ticks=" + std::to_string(machine->Card().window().Step(*ticks)));
  }

  Reply ForeignIrq(const Args& args) {
    auto rounds = args.empty() ? std::optional<uint64_t>(1) : ParseNumber(args[0]);
    if (!rounds || *rounds == 0 || *rounds > 1000000) return Reply::Fail("usage: foreign_irq [ROUNDS]");
    uint32_t vector = machine->Options().interrupt.vector;
    auto before = sim::kernel::GetInterruptStats(vector);
    if (before.masked) return Reply::Fail("the line is masked");
    foreignShots.fetch_add(static_cast<int>(*rounds));
    sim::kernel::NotifyInterruptLine(foreignSource);
    auto after = sim::kernel::GetInterruptStats(vector);
    return Reply::Ok("claimed=" + std::to_string(after.claimed - before.claimed));
  }

  Reply Pull(const Args& args) {
    bool floats = !args.empty();
    if (floats && Lower(args[0]) != "float") return Reply::Fail("usage: pull [float]");
    if (machine->CardPulled()) return Reply::Fail("the card is out already");
    machine->PullCard(floats);
    auto stats = sim::kernel::GetInterruptStats(machine->Options().interrupt.vector);
    return Reply::Ok(std::string("pin=") + (floats ? "floating" : "low") +
                     " masked=" + (stats.masked ? "1" : "0"));
  }

  // --- handles and requests -----------------------------------------------------------------

  Reply Open(const Args&) {
    sim::nt::Handle file = 0;
    int32_t status = sim::nt::CreateFile(kDevicePath, false, &file);
    if (status < 0) return Reply::Fail("status=" + Status(status));
    uint32_t tag = nextHandle++;
    handles[tag] = file;
    return Reply::Ok("h" + std::to_string(tag));
  }

  Reply CloseHandle(const Args& args) {
    uint32_t tag = 0;
    auto file = FindHandle(args[0], &tag);
    if (!file) return Reply::Fail("unknown handle '" + std::string(args[0]) + "'");
    handles.erase(tag);
    int32_t status = sim::nt::Close(*file);
    if (handles.empty()) FinishRemoval();
    return Reply::Ok("status=" + Status(status));
  }

  // Parses "h<N> CODE INHEX OUTLEN" and sends the request; null with `error` set on failure.
  std::unique_ptr<Request> Send(const Args& args, std::string* error) {
    uint32_t tag = 0;
    auto file = FindHandle(args[0], &tag);
    if (!file) {
      *error = "unknown handle '" + std::string(args[0]) + "'";
      return nullptr;
    }
    auto code = ParseControlCode(args[1]);
    auto input = ParseInput(args[2]);
    auto outputLength = ParseNumber(args[3]);
    if (!code || !input || !outputLength) {
      *error = "usage: ioctl h<N> CODE INHEX OUTLEN";
      return nullptr;
    }
    if (*outputLength > kMaxOutputLength) {
      *error = "output length above " + std::to_string(kMaxOutputLength);
      return nullptr;
    }
    auto request = std::make_unique<Request>();
    request->handleTag = tag;
    request->file = *file;
    request->input = std::move(*input);
    request->output.assign(*outputLength, 0);
    request->iosb.status = kStatusPending;
    int32_t status = sim::nt::CreateEvent(true, false, &request->event);
    if (status < 0) {
      *error = "event status=" + Status(status);
      return nullptr;
    }
    status = sim::nt::DeviceIoControlFile(
        request->file, request->event, &request->iosb, *code,
        request->input.empty() ? nullptr : request->input.data(),
        static_cast<uint32_t>(request->input.size()),
        request->output.empty() ? nullptr : request->output.data(),
        static_cast<uint32_t>(request->output.size()));
    if (status != kStatusPending) {
      // Completed at once; a failure the I/O manager found before the driver leaves the
      // status block untouched.
      if (status < 0 && request->iosb.status != status) {
        request->iosb.status = status;
        request->iosb.information = 0;
      }
      sim::nt::SetEvent(request->event);
    }
    return request;
  }

  Reply Ioctl(const Args& args) {
    std::string error;
    auto request = Send(args, &error);
    if (!request) return Reply::Fail(error);
    if (!WaitForCompletion(*request, options.waitLimit.count())) {
      uint32_t id = request->id = nextRequest++;
      outstanding[id] = std::move(request);
      return Reply::Fail("pending r" + std::to_string(id));
    }
    sim::nt::Close(request->event);
    return Reply::Ok(CompletionValues(*request));
  }

  Reply IoctlAsync(const Args& args) {
    std::string error;
    auto request = Send(args, &error);
    if (!request) return Reply::Fail(error);
    uint32_t id = request->id = nextRequest++;
    outstanding[id] = std::move(request);
    return Reply::Ok("r" + std::to_string(id));
  }

  Reply Wait(const Args& args) {
    Request* request = FindRequest(args[0]);
    if (request == nullptr) return Reply::Fail("unknown request '" + std::string(args[0]) + "'");
    int64_t limit = options.waitLimit.count();
    if (args.size() > 1) {
      auto ms = ParseNumber(args[1]);
      if (!ms || *ms > INT32_MAX) return Reply::Fail("usage: wait r<N> [MS]");
      limit = static_cast<int64_t>(*ms);
    }
    if (!WaitForCompletion(*request, limit)) return Reply::Fail("timeout");
    return Reply::Ok();
  }

  // Waits until the request's completion has written its status block; a signal of its event
  // by anyone else does not end it.
  static bool WaitForCompletion(const Request& request, int64_t limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      int64_t slice = std::max<int64_t>(0, left.count());
      if (sim::nt::WaitForSingleObject(request.event, slice) == kStatusSuccess &&
          request.Completed()) {
        return true;
      }
      if (left.count() <= 0) return false;
      if (!request.Completed()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // INHEX, where "<e<N>>" stands for the handle of the console's event e<N> as four
  // little-endian bytes (a START's block event): on 98/Me the ring-0 handle OpenVxDHandle
  // makes of it, as a program there must pass.
  std::optional<std::vector<uint8_t>> ParseInput(std::string_view text) {
    std::string hex;
    while (!text.empty()) {
      size_t open = text.find('<');
      hex += text.substr(0, open);
      if (open == std::string_view::npos) break;
      size_t close = text.find('>', open);
      if (close == std::string_view::npos) return std::nullopt;
      auto tag = ParseTagged(text.substr(open + 1, close - open - 1), 'e');
      auto it = tag ? events.find(*tag) : events.end();
      if (it == events.end()) return std::nullopt;
      char bytes[9];
      uint32_t v = it->second;
      if (sim::kernel::CurrentWdmSupport() == sim::kernel::WdmSupport::Wdm10Only &&
          sim::nt::OpenVxDHandle(it->second, &v) < 0) {
        return std::nullopt;
      }
      std::snprintf(bytes, sizeof bytes, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF,
                    (v >> 16) & 0xFF, v >> 24);
      hex += bytes;
      text.remove_prefix(close + 1);
    }
    return ParseHexBytes(hex);
  }

  // An event of the console's own (synchronization: each wait takes one signal), for a
  // block-mode START to name as "<e<N>>" in its input.
  Reply EventNew(const Args&) {
    sim::nt::Handle event = 0;
    int32_t status = sim::nt::CreateEvent(false, false, &event);
    if (status < 0) return Reply::Fail("status=" + Status(status));
    uint32_t tag = nextEvent++;
    events[tag] = event;
    return Reply::Ok("e" + std::to_string(tag));
  }

  Reply EventWait(const Args& args) {
    auto tag = ParseTagged(args[0], 'e');
    auto it = tag ? events.find(*tag) : events.end();
    if (it == events.end()) return Reply::Fail("unknown event '" + std::string(args[0]) + "'");
    int64_t limit = options.waitLimit.count();
    if (args.size() > 1) {
      auto ms = ParseNumber(args[1]);
      if (!ms || *ms > INT32_MAX) return Reply::Fail("usage: event_wait e<N> [MS]");
      limit = static_cast<int64_t>(*ms);
    }
    if (sim::nt::WaitForSingleObject(it->second, limit) != kStatusSuccess) {
      return Reply::Fail("timeout");
    }
    return Reply::Ok();
  }

  Reply Cancel(const Args& args) {
    if (auto file = FindHandle(args[0])) {
      return Reply::Ok("status=" + Status(sim::nt::CancelIoFile(*file, false, nullptr)));
    }
    if (Request* request = FindRequest(args[0])) {
      if (handles.count(request->handleTag) == 0) return Reply::Fail("its handle is closed");
      return Reply::Ok("status=" + Status(sim::nt::CancelIoFile(request->file, true, &request->iosb)));
    }
    return Reply::Fail("unknown handle or request '" + std::string(args[0]) + "'");
  }

  Reply LastError(const Args& args) {
    sim::nt::Handle file = 0;
    bool temporary = args.empty();
    if (temporary) {
      int32_t status = sim::nt::CreateFile(kDevicePath, false, &file);
      if (status < 0) return Reply::Fail("open status=" + Status(status));
    } else {
      auto found = FindHandle(args[0]);
      if (!found) return Reply::Fail("unknown handle '" + std::string(args[0]) + "'");
      file = *found;
    }
    uint32_t code = 0;
    sim::nt::Handle event = 0;
    sim::nt::CreateEvent(true, false, &event);
    sim::nt::IoStatus iosb{};
    int32_t status = sim::nt::DeviceIoControlFile(file, event, &iosb, IOCTL_DAQ_GET_LAST_ERROR,
                                                  nullptr, 0, &code, sizeof code);
    if (status == kStatusPending) {
      sim::nt::WaitForSingleObject(event, -1);
      status = iosb.status;
    }
    sim::nt::Close(event);
    if (temporary) sim::nt::Close(file);
    if (status < 0) return Reply::Fail("status=" + Status(status));
    const char* name = DaqLastErrorName(code);
    return Reply::Ok(std::to_string(code) + " " + (name != nullptr ? name : "unknown"));
  }

  // --- bus and card -------------------------------------------------------------------------

  Reply In(const Args& args, unsigned width) {
    auto port = ParsePort(args[0]);
    if (!port) return Reply::Fail("bad port '" + std::string(args[0]) + "'");
    return Reply::Ok(HexValue(sim::PortBus().Read(*port, width), width));
  }
  Reply Out(const Args& args, unsigned width) {
    auto port = ParsePort(args[0]);
    if (!port) return Reply::Fail("bad port '" + std::string(args[0]) + "'");
    auto value = ParseNumber(args[1]);
    uint64_t limit = width == 4 ? 0xFFFFFFFFull : (1ull << (8 * width)) - 1;
    if (!value || *value > limit) return Reply::Fail("bad value '" + std::string(args[1]) + "'");
    sim::PortBus().Write(*port, width, static_cast<uint32_t>(*value));
    return Reply::Ok();
  }
  Reply Inb(const Args& args) { return In(args, 1); }
  Reply Inw(const Args& args) { return In(args, 2); }
  Reply Inl(const Args& args) { return In(args, 4); }
  Reply Outb(const Args& args) { return Out(args, 1); }
  Reply Outw(const Args& args) { return Out(args, 2); }
  Reply Outl(const Args& args) { return Out(args, 4); }

  Reply Trace(const Args& args) {
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

  Reply Eeprom(const Args& args) {
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

  // --- session ------------------------------------------------------------------------------

  Reply Verifier(const Args&) {
    auto violations = sim::verifier::TakeViolations();
    std::string values = std::to_string(violations.size());
    for (const auto& violation : violations) values += " " + violation.rule;
    return Reply::Ok(values);
  }

  Reply Help(const Args&) {
    std::string names;
    for (const Command& command : Table()) {
      if (!names.empty()) names += ' ';
      names += command.name;
    }
    return Reply::Ok(names);
  }

  Reply Quit(const Args&) {
    finished = true;
    return Reply::Ok();
  }
};

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
