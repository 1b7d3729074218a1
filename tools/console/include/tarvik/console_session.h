// The bench console: a line protocol that drives the emulated machine with the Tarvik driver on
// it. `tarvik console` reads commands from stdin and writes replies to stdout; tests feed
// ConsoleSession directly. This comment is the protocol's reference (docs/console.md repeats
// it with an example session).
//
// LINES
//   One command per line; words separated by blanks. Empty lines and lines starting with '#'
//   are not commands and get no reply. Every command gets exactly one reply line:
//       OK [values]        the command was carried out; values as listed per command
//       FAIL reason        it was not: unknown command, malformed or missing arguments, no
//                          machine booted, unknown handle... The session goes on.
//   A request sent to the driver or the machine that completes with an error status is still
//   "OK status=0x..." (the status is the result); FAIL means nothing (or not all) was done.
//   Asynchronous events come on lines of their own, after the reply of the command during
//   which they were noticed (or whenever the tool polls while idle):
//       EVENT r<N> status=0x........ info=<decimal> out=<hex>
//   when the asynchronous request r<N> completes.
//
// VALUES
//   Numbers: decimal, or hexadecimal with 0x. Output is stable and in lower case: statuses
//   as 0x%08x, port values with as many digits as the access has, buffers as contiguous
//   byte pairs ("0a1b..."), '-' for an empty buffer.
//   Handles are h<N> and requests r<N>, numbered from 1 in the session and never reused.
//   Ports: absolute (0xe404) or relative to a range of the card: bridge+OFFSET (the bridge's
//   128 registers bytes) or card+OFFSET (the card's 64-byte window); OFFSET must lie in it.
//   Control codes: hexadecimal (0x222048) or a name from tarvik_ioctl.h, with or without
//   IOCTL_DAQ_ (GET_LAST_ERROR, IOCTL_DAQ_READ_SERIAL...).
//
// MACHINE
//   boot [wdm10|wdm110]         A fresh machine (the previous one goes away: handles closed,
//                               device removed, driver unloaded), the driver loaded and its
//                               device added, not started. Default: the process's platform
//                               (TARVIK_PLATFORM, or --platform: wdm110 unless 98). Requests the old
//                               machine left pending end with it: their EVENT lines follow.
//                               -> OK entry=0x........ add=0x........ (DriverEntry, AddDevice)
//   start | stop                The PnP manager's sequences as the platform sends them (README,
//                               "The two platforms"): the start with the resource lists;
//                               query-stop and stop.
//                               -> OK status=0x........ pnp=<state>, where state is
//                               not-started, started, stop-pending, stopped, remove-pending,
//                               surprise-removed or removed. A sequence the platform would not
//                               send in this state: FAIL refused: <why> (nothing is sent).
//   remove | surprise | unplug  Query-remove and removal; surprise removal and removal (2000
//                               only); the card pulled (2000: as surprise; 98: the removal at
//                               once, handles open or not). The
//                               removal waits for every handle to be closed, so these run on
//                               their own: -> OK r<N> once the first request has moved the
//                               device's state, and EVENT r<N> status=0x........ pnp=<state>
//                               when the sequence ends: right after the OK when no handle is
//                               open, else after the `close` of the last one. A failed
//                               query-remove ends it at once (pnp=started).
//   power s0|s1|s2|s3|s4|s5     System set-power. -> OK status=0x........
//   step TICKS                  Runs card sample-clock ticks (virtual time; each tick's
//                               interrupt is served before the next). -> OK ticks=<done>
//                               (0 while the card's clock is stopped).
//   foreign_irq [ROUNDS]        Another device on the card's shared line raises it for one
//                               round of service routines (or ROUNDS rounds, at most
//                               1000000) and clears it itself; nobody claiming it through
//                               1000 rounds is an interrupt storm, and the line is masked.
//                               -> OK claimed=<0|1> (1: a routine on the line claimed it)
//   pull [float]                The bench pulls the card from its slot: its ranges read all
//                               ones and drop writes from now on, and its interrupt pin is low
//                               or, with float, left floating (the line then stays asserted
//                               with nothing to clear it: a routine that claims it is at fault,
//                               nobody claiming it is the hardware's storm and masks the line).
//                               The PnP manager learns nothing: `surprise` tells it, before or
//                               after. -> OK pin=low|floating masked=<0|1>
//
// HANDLES AND REQUESTS
//   open                        Opens \\.\Tarvik (an overlapped file object). -> OK h<N>;
//                               FAIL status=0x........ when the create fails.
//   close h<N>                  -> OK status=0x........ (its pending requests complete as
//                               the driver's clean-up completes them: EVENT lines)
//   ioctl h<N> CODE INHEX OUTLEN
//                               A device-control request with INHEX as input ('-': none) and
//                               an output buffer of OUTLEN bytes, waited for. In INHEX,
//                               <e<N>> stands for the handle of event e<N> as four
//                               little-endian bytes (a block-mode START's event).
//                               -> OK status=0x........ info=<decimal> out=<hex>
//                               out is the first min(info, OUTLEN) bytes of the caller's
//                               output buffer (zero-filled before the request; a buffered
//                               request that fails gets nothing copied back).
//                               If it is still pending after the session's wait limit (2 s
//                               by default) it goes on as an asynchronous request:
//                               FAIL pending r<N>, and an EVENT line later.
//   ioctl_async h<N> CODE INHEX OUTLEN
//                               The same without waiting. -> OK r<N>; later
//                               EVENT r<N> status=0x........ info=<decimal> out=<hex>
//                               (right after the OK when it completed at once).
//   wait r<N> [MS]              Waits for an asynchronous request (default 2000 ms).
//                               -> OK (its EVENT line follows) or FAIL timeout.
//                               A request ends only at its completion: a signal of its
//                               event by anything else (the driver's block event named by
//                               a guessed handle) does not end it.
//   event_new                   Creates a synchronization event. -> OK e<N>
//   event_wait e<N> [MS]        Waits for one signal of the event (default 2000 ms).
//                               -> OK or FAIL timeout.
//   cancel h<N>                 CancelIoFile for the handle's requests, waiting for them.
//                               -> OK status=0x........ (their EVENT lines follow)
//   cancel r<N>                 Cancels one request without waiting.
//                               -> OK status=0x........ (0xc0000225 when it had completed)
//   lasterror [h<N>]            IOCTL_DAQ_GET_LAST_ERROR through the handle, or through a
//                               handle opened and closed for it. -> OK <code> <name>
//
// BUS AND CARD
//   inb|inw|inl PORT            A bus access of 1, 2 or 4 bytes from the bench, past the
//                               driver. -> OK 0x.. | 0x.... | 0x........
//   outb|outw|outl PORT VALUE   -> OK (VALUE must fit the width)
//   trace on|off|take           Port-access trace of the bus (every access, the driver's and
//                               the bench's). on/off -> OK; take -> OK <count> <access>...
//                               with each access as inb:0xe404=0x09 or outl:0xe050=0x04000000
//                               (name of the width, absolute port, value); take empties it.
//   eeprom dump                 -> OK <64 words as 4 hex digits each>
//   eeprom load WORD...         Words from address 0 (1 to 64 of them, hex with or without
//                               0x); the others keep their contents. -> OK <count>
//
// SESSION
//   verifier                    Broken platform rules recorded since the last call (taken).
//                               -> OK <count> [rule...]
//   help                        -> OK <command names>
//   quit                        -> OK; the session ends (the machine goes away).
//
// TRANSCRIPTS
//   A transcript is the text of a session: "> command" lines, each followed by the lines it
//   produced as "< reply" ("< OK ...", "< EVENT ..."). Lines starting with '#' and blank lines
//   are comments. Replaying one runs its commands in a fresh session and checks every line
//   produced against the transcript, in order.
#pragma once

#include <chrono>
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"

namespace tarvik::console {

struct SessionOptions {
  // What `boot` builds (its WDM argument overrides `wdm`).
  sim::MachineOptions machine;
  // How long `ioctl` waits before the request goes on asynchronously, and `wait`'s default.
  std::chrono::milliseconds waitLimit{2000};
};

class ConsoleSession {
 public:
  explicit ConsoleSession(SessionOptions options = {});
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // Runs one line: its reply, then the EVENT lines of requests that completed meanwhile.
  // Nothing for an empty or comment line.
  std::vector<std::string> Execute(std::string_view line);
  // EVENT lines of requests completed since the last call (for a tool that is idle).
  std::vector<std::string> PollEvents();
  // True after `quit`.
  bool Finished() const;

  // The command names, in the table's order.
  static std::vector<std::string> CommandNames();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Writes one command and what it produced in the transcript format.
void RecordExchange(std::ostream& transcript, std::string_view command,
                    const std::vector<std::string>& produced);

struct ReplayResult {
  size_t commands = 0;
  // "line N: expected '...', got '...'" for each difference; empty when the replay matched.
  std::vector<std::string> mismatches;
  bool Matched() const { return mismatches.empty(); }
};

// Runs the transcript's commands in the session and compares what they produce.
ReplayResult Replay(std::istream& transcript, ConsoleSession& session);

}  // namespace tarvik::console
