// The card's 64-byte I/O window: the acquisition core. A sample clock divided from a 12 MHz
// base clock latches a half-frame at every tick (two conversion results, words 0, 1, 8 and 9,
// the counters) and raises local interrupt 1 until the driver acknowledges it.
//
// Accesses:
// - Offsets 0..15 are byte registers; a read and a write at the same offset are different
//   registers (card_reg below). Offsets 16..63 read 0xFF and ignore writes, and so do writes
//   to 11..15.
// - A 2- or 4-byte access acts as that many byte accesses at consecutive offsets, lowest
//   first; a read assembles the bytes little-endian (offset n in bits 0..7). So a word read
//   at +5 reads +5 before +6, which is not a pair read (see below).
// - Any other width, or an access running past offset 63, is misuse: counted and refused (a
//   read returns all ones, a write changes nothing).
//
// Internal registers, through the index (+0) and data (+2) pair; every one resets to 0:
//   0xAA  clock control: 0x00 stops the sample clock, 0x01 runs it. Any other value is misuse
//         and keeps the old one.
//   0x02  divisor bits 0..7, 0x03 divisor bits 8..15: ticks at 12 MHz / (divisor + 1).
//   any other index: plain 8-bit storage.
// Stopping the clock leaves a pending half-frame pending.
//
// Identification: +1 selects one of 64 ROM bytes (an index above 63 is misuse and keeps the
// old one), +0 reads it. The ROM comes from CardWindowConfig.
//
// Strobes: +8, +9 and +10 each hold the last byte written; a rising strobe is a write with
// bit 0 set after one with bit 0 clear (0x01 after 0x00). +8 takes only 0x00 and 0x01 (other
// bytes are misuse, refused); its rising strobe acknowledges the pending half-frame, which
// drops local interrupt 1. The byte written to +9 is also the multiplexer/range value
// (channel in bits 0..4, range in bits 5..6). Each strobe latch is low at power-up.
//
// A tick, while the clock runs:
// - latches the quantities of tick t from the signal sources (signal_source.h) and the
//   counters: counter 0 = ticks since power-up including this one (t + 1), counters 1..3 =
//   rising strobes on +8, +9, +10, counter 5 = overruns including this tick's. The count
//   registers read the latched values, modulo 256; there is no counter 4.
// - if the previous half-frame is still unacknowledged, is an overrun: counted, its data
//   replaces the old, and the line stays high. Otherwise raises the line.
// Before the first tick every latched value is 0 and no result is latched.
//
// Conversion results, read as pairs: +6 then +5. +6 gives bits 8..11 in its low nibble and a
// tag in its high nibble; +5 gives bits 0..7 and completes the pair, so the next pair read
// returns the next result. Each tick latches result A (conversion 2t) then B (conversion
// 2t + 1). The tag is 0x8 | (conversion & 7): bit 3 says a conversion is latched (it is never
// 0 after the first tick), bits 0..2 are the conversion's sequence number; a reader masks it
// off. Misuse, counted:
// - a pair read with no unread result (a third pair in the same tick, or any before the first
//   tick): it is served from result B (from the zero value, tag 0, before the first tick);
// - +5 without +6 first: it returns bits 0..7 of the current result but does not complete
//   the pair.
//
// Interrupt line: high exactly while a half-frame is pending. The card never holds its lock
// while it tells the sink: the sink may run the interrupt path, which reads and writes these
// registers before it returns, on this thread or on another processor's while this one waits.
// So every thread that moves the line tells the sink itself, and sink calls from two threads
// may overlap: a sink must read the current level (InterruptLine()) under its own lock rather
// than trust the argument, as the card's bridge wiring does. The card only calls the sink on
// a change; at construction its line is low.
//
// Time: virtual. Step(n) runs n ticks one after the other, each tick's interrupt delivered
// before the next; AdvanceNanoseconds() runs the ticks that fall in a stretch of base-clock
// time. The real-time mode only paces the same ticks: a thread of the card's own runs them at
// the programmed rate by steady_clock while the clock runs, catching up in bursts of at most
// kRealTimeBurst ticks; a backlog above kRealTimeMaxBacklog is skipped (counted).
//
// Reset (power-up) restores every register, stops the clock, drops the line and restarts the
// tick count; the model's counters survive it. The real-time mode is not the card's state and
// survives it too.
//
// Thread-safe: one lock for the card's state.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "card/signal_source.h"
#include "card/spin_mutex.h"
#include "sim/io_bus.h"

namespace sim::card {

namespace card_reg {
constexpr uint32_t kRangeLength = 0x40;
constexpr uint32_t kRegisterCount = 16;  // byte registers at 0..15

// Writes.
constexpr uint32_t kWriteIndex = 0;         // internal register index
constexpr uint32_t kWriteIdentIndex = 1;    // identification ROM byte that +0 reads
constexpr uint32_t kWriteData = 2;          // data for the internal register selected
constexpr uint32_t kWriteControl = 3;       // stored
constexpr uint32_t kWriteStoredFirst = 4;   // +4..+7 stored
constexpr uint32_t kWriteStoredLast = 7;
constexpr uint32_t kWriteStrobeAck = 8;     // rising strobe acknowledges the half-frame
constexpr uint32_t kWriteStrobeA = 9;       // also the multiplexer/range value
constexpr uint32_t kWriteStrobeB = 10;

// Reads.
constexpr uint32_t kReadIdent = 0;
constexpr uint32_t kReadWord0Low = 1;
constexpr uint32_t kReadWord0High = 2;
constexpr uint32_t kReadWord1Low = 3;
constexpr uint32_t kReadWord1High = 4;
constexpr uint32_t kReadResultLow = 5;      // bits 0..7; completes the pair
constexpr uint32_t kReadResultHigh = 6;     // bits 8..11, tag in the high nibble
constexpr uint32_t kReadCounter0 = 7;       // ticks
constexpr uint32_t kReadCounter1 = 8;       // rising strobes on +8
constexpr uint32_t kReadCounter2 = 9;       // rising strobes on +9
constexpr uint32_t kReadCounter3 = 10;      // rising strobes on +10
constexpr uint32_t kReadCounter5 = 11;      // overruns
constexpr uint32_t kReadWord8Low = 12;
constexpr uint32_t kReadWord8High = 13;
constexpr uint32_t kReadWord9 = 14;
constexpr uint32_t kReadAux = 15;

constexpr uint8_t kResultHighMask = 0x0F;
constexpr unsigned kResultTagShift = 4;
constexpr uint8_t kResultTagLatched = 0x8;
constexpr uint8_t kResultTagSequenceMask = 0x7;

constexpr uint8_t kStrobeBit = 0x01;

constexpr uint8_t kMuxChannelMask = 0x1F;
constexpr uint8_t kMuxRangeMask = 0x60;
constexpr unsigned kMuxRangeShift = 5;

// Internal registers.
constexpr uint8_t kIntClockControl = 0xAA;
constexpr uint8_t kClockStop = 0x00;
constexpr uint8_t kClockRun = 0x01;
constexpr uint8_t kIntDivisorLow = 0x02;
constexpr uint8_t kIntDivisorHigh = 0x03;

constexpr uint32_t kBaseClockHz = 12'000'000;
constexpr uint32_t kIdentLength = 64;
}  // namespace card_reg

using IdentificationRom = std::array<uint8_t, card_reg::kIdentLength>;

// Bytes 0..4 {0x54, 0x56, 0x4B, 0x01, 0x09} (byte 4 is 9 on a good board), then byte i holds
// 0x80 | i.
IdentificationRom DefaultIdentificationRom();

struct CardWindowConfig {
  IdentificationRom identification = DefaultIdentificationRom();
  uint8_t auxiliary = 0xA5;  // what +15 reads
  SignalSources sources;
};

class CardWindow final : public PortDevice {
 public:
  static constexpr uint64_t kRealTimeBurst = 256;
  static constexpr std::chrono::milliseconds kRealTimeMaxBacklog{250};

  // The model's record: kept across Reset.
  struct Counters {
    uint64_t reads = 0;             // accepted bus accesses
    uint64_t writes = 0;
    uint64_t ticks = 0;
    uint64_t interrupts = 0;        // ticks that raised the line
    uint64_t overruns = 0;          // ticks that found the line still high
    uint64_t acknowledgements = 0;  // rising strobes on +8 that dropped the line
    uint64_t strobesAck = 0;        // rising strobes on +8, +9, +10
    uint64_t strobesA = 0;
    uint64_t strobesB = 0;
    // Misuse.
    uint64_t refused = 0;           // bad width, or past the end of the window
    uint64_t badClockControl = 0;   // 0xAA given other than 0x00/0x01
    uint64_t badIdentIndex = 0;     // above 63
    uint64_t badAckStrobe = 0;      // +8 given other than 0x00/0x01
    uint64_t extraPairReads = 0;    // a pair read with no unread result
    uint64_t unpairedLowReads = 0;  // +5 without +6 first
    // Real-time pacing.
    uint64_t lagBursts = 0;         // wake-ups that found more than a burst due
    uint64_t skippedTicks = 0;      // dropped from a backlog above kRealTimeMaxBacklog
  };

  // The card's registers as a test sees them.
  struct Status {
    bool clockRunning = false;
    uint16_t divisor = 0;
    double rateHz = 0;
    bool interruptPending = false;
    uint64_t ticks = 0;  // since power-up: the t of the next tick
    uint8_t index = 0;
    uint8_t identIndex = 0;
    uint8_t control = 0;
    uint8_t mux = 0;
    std::array<uint8_t, 4> stored{};  // +4..+7
  };

  explicit CardWindow(const CardWindowConfig& config = {});
  ~CardWindow() override;
  CardWindow(const CardWindow&) = delete;
  CardWindow& operator=(const CardWindow&) = delete;

  void Reset();

  uint32_t ReadPort(uint32_t offset, unsigned width) override;
  void WritePort(uint32_t offset, unsigned width, uint32_t value) override;

  // Where the card drives local interrupt 1 (true: high). The new sink hears about changes
  // from the current level on; the card sets it once, before the clock runs.
  void SetInterruptSink(std::function<void(bool high)> sink);
  // The line's current level.
  bool InterruptLine() const;

  // Runs up to n ticks while the clock runs; returns the ticks done.
  uint64_t Step(uint64_t ticks);
  // Lets base-clock time pass (while the clock runs); returns the ticks done.
  uint64_t AdvanceNanoseconds(uint64_t nanoseconds);

  void StartRealTime();
  // Joins the thread; called from the interrupt path on that thread, only asks it to end.
  void StopRealTime();
  bool RealTime() const;

  const SignalSources& Sources() const { return config_.sources; }
  static double RateHz(uint16_t divisor) {
    return static_cast<double>(card_reg::kBaseClockHz) / (divisor + 1.0);
  }
  static uint8_t ConversionTag(uint64_t conversion) {
    return card_reg::kResultTagLatched | (conversion & card_reg::kResultTagSequenceMask);
  }

  Status GetStatus() const;
  uint8_t InternalRegister(uint8_t index) const;
  Counters GetCounters() const;
  uint64_t MisuseCount() const;

 private:
  // What a tick latches.
  struct HalfFrame {
    std::array<uint16_t, 2> results{};  // A, B: 12 bits
    std::array<uint8_t, 2> tags{};
    uint16_t word0 = 0;
    uint16_t word1 = 0;
    uint16_t word8 = 0;
    uint8_t word9 = 0;
    std::array<uint8_t, 5> counts{};    // counters 0, 1, 2, 3, 5
  };

  struct State {
    std::array<uint8_t, 256> internal{};
    uint8_t index = 0;
    uint8_t identIndex = 0;
    uint8_t control = 0;
    std::array<uint8_t, 4> stored{};
    uint8_t mux = 0;
    std::array<bool, 3> strobeHigh{};      // +8, +9, +10
    std::array<uint64_t, 3> strobeCounts{};
    uint64_t ticks = 0;
    uint64_t overruns = 0;
    bool pending = false;                  // a half-frame waits for its acknowledgement
    HalfFrame frame;
    unsigned pairIndex = 2;                // next result of the pair reads; 2: none left
    bool highRead = false;                 // +6 read, +5 not yet
    uint64_t phase = 0;                    // base-clock time since the last tick, cycles x 1000
    uint64_t clockGeneration = 0;          // changes with every write to the clock's registers
  };

  bool Accept(uint32_t offset, unsigned width);
  uint8_t ReadByte(uint32_t offset);
  void WriteByte(uint32_t offset, uint8_t value);
  void WriteInternal(uint8_t index, uint8_t value);
  bool Strobe(unsigned which, uint8_t value);
  uint8_t ReadResult(bool high);
  bool ClockRunning() const;
  uint16_t Divisor() const;
  bool Tick();
  void ResetLocked();
  bool Line() const { return state_.pending; }
  void DeliverLine(std::unique_lock<SpinMutex>& guard);
  void RealTimeLoop();

  const CardWindowConfig config_;
  mutable SpinMutex lock_;
  State state_;
  Counters counters_;
  std::function<void(bool)> sink_;
  bool reported_ = false;              // the level the sink last heard
  std::condition_variable_any clockChanged_;
  std::thread realTime_;
  bool realTimeStop_ = false;
};

}  // namespace sim::card
