// The bench console's session: its state and its command handlers, shared by the files that
// hold them (console_session.cpp: the session, its command table and lookups;
// machine_commands.cpp, request_commands.cpp, bus_commands.cpp: the command families) and the
// replies' words (console_text.cpp). The protocol is described in tarvik/console_session.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/kernel.h"
#include "sim/machine.h"
#include "sim/nt_api.h"
#include "tarvik/console_session.h"

namespace tarvik::console {

inline constexpr int32_t kStatusSuccess = 0;
inline constexpr int32_t kStatusPending = 0x103;
inline constexpr uint32_t kMaxOutputLength = 1u << 20;
inline constexpr std::u16string_view kDevicePath = u"\\??\\Tarvik";

using Args = std::vector<std::string_view>;

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

  bool Completed() const {
    return __atomic_load_n(&iosb.status, __ATOMIC_ACQUIRE) != kStatusPending;
  }
};

// Words of the replies, and of the commands' arguments (console_text.cpp).
std::string Hex32(uint32_t value);
std::string Status(int32_t status);
std::string HexValue(uint32_t value, unsigned width);
std::string HexBytes(const uint8_t* data, size_t length);  // "-" for none
std::string Lower(std::string_view text);
// Decimal, or hexadecimal after 0x; the whole word must be the number.
std::optional<uint64_t> ParseNumber(std::string_view word);
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view word);  // "-": none
// h<N> or r<N>.
std::optional<uint32_t> ParseTagged(std::string_view word, char tag);
// A number, or a control code's name with or without IOCTL_DAQ_.
std::optional<uint32_t> ParseControlCode(std::string_view word);
// "status=... info=... out=..." of a completed request.
std::string CompletionValues(const Request& request);
// The device's PnP state as one word ("surprise-removed").
std::string PnpName(sim::PnpState state);

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
  void Shutdown();
  std::vector<std::string> Events();
  Reply Execute(const Args& words);

  // --- lookups -------------------------------------------------------------------------------

  std::optional<sim::nt::Handle> FindHandle(std::string_view word, uint32_t* tag = nullptr);
  Request* FindRequest(std::string_view word);

  // bridge+OFFSET, card+OFFSET or an absolute port.
  std::optional<uint32_t> ParsePort(std::string_view word);

  // --- machine (machine_commands.cpp) --------------------------------------------------------

  Reply Boot(const Args& args);
  Reply Pnp(int32_t status);
  Reply Start(const Args&) { return Pnp(machine->StartDevice()); }
  Reply Stop(const Args&) { return Pnp(machine->StopDevice()); }

  // A removal waits for every handle to be closed (the driver's remove lock), so `remove` and
  // `surprise` run on a thread of their own and their end is an event. The reply comes once
  // the sequence has moved the device's state (or ended); the session waits for the end here,
  // and at `close` of the last handle, when no handle of its own holds it back.
  // `unplug` likewise: on 98/Me its removal comes at once, handles open or not.
  enum class RemovalKind { Orderly, Surprise, Unplug };
  int32_t RunRemoval(RemovalKind kind);
  Reply Removal(RemovalKind kind);
  Reply Remove(const Args&) { return Removal(RemovalKind::Orderly); }
  Reply Surprise(const Args&) { return Removal(RemovalKind::Surprise); }
  Reply Unplug(const Args&) { return Removal(RemovalKind::Unplug); }
  void FinishRemoval();
  Reply Power(const Args& args);
  Reply Step(const Args& args);
  Reply ForeignIrq(const Args& args);
  Reply Pull(const Args& args);

  // --- handles and requests (request_commands.cpp) -------------------------------------------

  Reply Open(const Args&);
  Reply CloseHandle(const Args& args);

  // Parses "h<N> CODE INHEX OUTLEN" and sends the request; null with `error` set on failure.
  std::unique_ptr<Request> Send(const Args& args, std::string* error);
  Reply Ioctl(const Args& args);
  Reply IoctlAsync(const Args& args);
  Reply Wait(const Args& args);

  // Waits until the request's completion has written its status block; a signal of its event
  // by anyone else does not end it.
  static bool WaitForCompletion(const Request& request, int64_t limitMs);

  // INHEX, where "<e<N>>" stands for the handle of the console's event e<N> as four
  // little-endian bytes (a START's block event): on 98/Me the ring-0 handle OpenVxDHandle
  // makes of it, as a program there must pass.
  std::optional<std::vector<uint8_t>> ParseInput(std::string_view text);

  // An event of the console's own (synchronization: each wait takes one signal), for a
  // block-mode START to name as "<e<N>>" in its input.
  Reply EventNew(const Args&);
  Reply EventWait(const Args& args);
  Reply Cancel(const Args& args);
  Reply LastError(const Args& args);

  // --- bus and card (bus_commands.cpp) -------------------------------------------------------

  Reply In(const Args& args, unsigned width);
  Reply Out(const Args& args, unsigned width);
  Reply Inb(const Args& args) { return In(args, 1); }
  Reply Inw(const Args& args) { return In(args, 2); }
  Reply Inl(const Args& args) { return In(args, 4); }
  Reply Outb(const Args& args) { return Out(args, 1); }
  Reply Outw(const Args& args) { return Out(args, 2); }
  Reply Outl(const Args& args) { return Out(args, 4); }
  Reply Trace(const Args& args);
  Reply Eeprom(const Args& args);

  // --- session -------------------------------------------------------------------------------

  Reply Verifier(const Args&);
  Reply Help(const Args&);
  Reply Quit(const Args&) {
    finished = true;
    return Reply::Ok();
  }
};

}  // namespace tarvik::console
