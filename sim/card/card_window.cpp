// The card's acquisition core: registers of the I/O window, the sample clock and its
// half-frames, local interrupt 1, and the real-time pacing thread.
#include "card/card_window.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace sim::card {

using namespace card_reg;

namespace {

constexpr unsigned kStrobeAckIndex = 0;
constexpr unsigned kStrobeAIndex = 1;
constexpr unsigned kStrobeBIndex = 2;

// Base-clock time in thousandths of a cycle: 12 MHz is 12 cycles per microsecond, so one
// nanosecond is 12 of these units.
constexpr uint64_t kMilliCyclesPerNanosecond = kBaseClockHz / 1'000'000;

// The real-time pacing runs the ticks due in batches of about this long of card time.
constexpr std::chrono::microseconds kRealTimeQuantum{1000};

}  // namespace

IdentificationRom DefaultIdentificationRom() {
  IdentificationRom rom{};
  for (uint32_t i = 0; i < kIdentLength; ++i) rom[i] = static_cast<uint8_t>(0x80 | i);
  const uint8_t head[] = {0x54, 0x56, 0x4B, 0x01, 0x09};
  std::copy(std::begin(head), std::end(head), rom.begin());
  return rom;
}

CardWindow::CardWindow(const CardWindowConfig& config) : config_(config) { ResetLocked(); }

CardWindow::~CardWindow() { StopRealTime(); }

void CardWindow::Reset() {
  std::unique_lock guard(lock_);
  ResetLocked();
  DeliverLine(guard);
}

void CardWindow::ResetLocked() {
  uint64_t generation = state_.clockGeneration;
  state_ = State{};
  state_.clockGeneration = generation + 1;
  clockChanged_.notify_all();
}

bool CardWindow::ClockRunning() const { return state_.internal[kIntClockControl] == kClockRun; }

uint16_t CardWindow::Divisor() const {
  return static_cast<uint16_t>(state_.internal[kIntDivisorHigh] << 8 |
                               state_.internal[kIntDivisorLow]);
}

bool CardWindow::Accept(uint32_t offset, unsigned width) {
  if ((width != 1 && width != 2 && width != 4) || offset >= kRangeLength ||
      offset + width > kRangeLength) {
    ++counters_.refused;
    std::fprintf(stderr, "card: refused %u-byte access at 0x%02X\n", width, offset);
    return false;
  }
  return true;
}

uint32_t CardWindow::ReadPort(uint32_t offset, unsigned width) {
  std::lock_guard guard(lock_);
  if (!Accept(offset, width)) return 0xFFFFFFFFu;
  ++counters_.reads;
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= uint32_t{ReadByte(offset + i)} << (8 * i);
  return value;
}

void CardWindow::WritePort(uint32_t offset, unsigned width, uint32_t value) {
  std::unique_lock guard(lock_);
  if (!Accept(offset, width)) return;
  ++counters_.writes;
  for (unsigned i = 0; i < width; ++i) {
    WriteByte(offset + i, static_cast<uint8_t>(value >> (8 * i)));
  }
  DeliverLine(guard);
}

uint8_t CardWindow::ReadByte(uint32_t offset) {
  const HalfFrame& frame = state_.frame;
  switch (offset) {
    case kReadIdent:
      return config_.identification[state_.identIndex];
    case kReadWord0Low:
      return static_cast<uint8_t>(frame.word0);
    case kReadWord0High:
      return static_cast<uint8_t>(frame.word0 >> 8);
    case kReadWord1Low:
      return static_cast<uint8_t>(frame.word1);
    case kReadWord1High:
      return static_cast<uint8_t>(frame.word1 >> 8);
    case kReadResultLow:
      return ReadResult(false);
    case kReadResultHigh:
      return ReadResult(true);
    case kReadCounter0:
    case kReadCounter1:
    case kReadCounter2:
    case kReadCounter3:
    case kReadCounter5:
      return frame.counts[offset - kReadCounter0];
    case kReadWord8Low:
      return static_cast<uint8_t>(frame.word8);
    case kReadWord8High:
      return static_cast<uint8_t>(frame.word8 >> 8);
    case kReadWord9:
      return frame.word9;
    case kReadAux:
      return config_.auxiliary;
    default:
      return 0xFF;
  }
}

// A pair is +6 then +5; see the top of card_window.h for what counts as misuse.
uint8_t CardWindow::ReadResult(bool high) {
  unsigned which = std::min(state_.pairIndex, 1u);
  uint16_t result = state_.frame.results[which];
  if (high) {
    if (!state_.highRead) {
      state_.highRead = true;
      if (state_.pairIndex > 1) {
        ++counters_.extraPairReads;
        std::fprintf(stderr, "card: conversion result read with none left in this tick\n");
      }
    }
    return static_cast<uint8_t>(state_.frame.tags[which] << kResultTagShift |
                                (result >> 8 & kResultHighMask));
  }
  if (!state_.highRead) {
    ++counters_.unpairedLowReads;
    std::fprintf(stderr, "card: conversion result low byte read before its high byte\n");
    return static_cast<uint8_t>(result);
  }
  state_.highRead = false;
  if (state_.pairIndex < 2) ++state_.pairIndex;
  return static_cast<uint8_t>(result);
}

void CardWindow::WriteByte(uint32_t offset, uint8_t value) {
  switch (offset) {
    case kWriteIndex:
      state_.index = value;
      break;
    case kWriteIdentIndex:
      if (value >= kIdentLength) {
        ++counters_.badIdentIndex;
        std::fprintf(stderr, "card: refused identification index %u\n", value);
      } else {
        state_.identIndex = value;
      }
      break;
    case kWriteData:
      WriteInternal(state_.index, value);
      break;
    case kWriteControl:
      state_.control = value;
      break;
    case kWriteStrobeAck:
      if (value != 0x00 && value != kStrobeBit) {
        ++counters_.badAckStrobe;
        std::fprintf(stderr, "card: refused 0x%02X on the acknowledge strobe\n", value);
      } else if (Strobe(kStrobeAckIndex, value) && state_.pending) {
        state_.pending = false;
        ++counters_.acknowledgements;
      }
      break;
    case kWriteStrobeA:
      state_.mux = value;
      Strobe(kStrobeAIndex, value);
      break;
    case kWriteStrobeB:
      Strobe(kStrobeBIndex, value);
      break;
    default:
      if (offset >= kWriteStoredFirst && offset <= kWriteStoredLast) {
        state_.stored[offset - kWriteStoredFirst] = value;
      }
      break;  // no register to write: ignored
  }
}

void CardWindow::WriteInternal(uint8_t index, uint8_t value) {
  switch (index) {
    case kIntClockControl:
      if (value != kClockStop && value != kClockRun) {
        ++counters_.badClockControl;
        std::fprintf(stderr, "card: refused clock control 0x%02X\n", value);
        return;
      }
      if (value == kClockRun && !ClockRunning()) state_.phase = 0;
      break;
    case kIntDivisorLow:
    case kIntDivisorHigh:
      break;
    default:
      state_.internal[index] = value;
      return;
  }
  state_.internal[index] = value;
  ++state_.clockGeneration;
  clockChanged_.notify_all();
}

// Returns true on a rising strobe.
bool CardWindow::Strobe(unsigned which, uint8_t value) {
  bool high = (value & kStrobeBit) != 0;
  bool rising = high && !state_.strobeHigh[which];
  state_.strobeHigh[which] = high;
  if (rising) {
    ++state_.strobeCounts[which];
    ++(which == kStrobeAckIndex ? counters_.strobesAck
       : which == kStrobeAIndex ? counters_.strobesA
                                : counters_.strobesB);
  }
  return rising;
}

// One tick of the sample clock: latch, then tell the sink with the lock released.
bool CardWindow::Tick() {
  std::unique_lock guard(lock_);
  if (!ClockRunning()) return false;
  uint64_t t = state_.ticks++;
  ++counters_.ticks;
  if (state_.pending) {
    ++state_.overruns;
    ++counters_.overruns;
  } else {
    state_.pending = true;
    ++counters_.interrupts;
  }
  TickData data = config_.sources.At(t);
  HalfFrame& frame = state_.frame;
  frame.results = {data.resultA, data.resultB};
  frame.tags = {ConversionTag(2 * t), ConversionTag(2 * t + 1)};
  frame.word0 = data.word0;
  frame.word1 = data.word1;
  frame.word8 = data.word8;
  frame.word9 = data.word9;
  frame.counts = {static_cast<uint8_t>(state_.ticks),
                  static_cast<uint8_t>(state_.strobeCounts[kStrobeAckIndex]),
                  static_cast<uint8_t>(state_.strobeCounts[kStrobeAIndex]),
                  static_cast<uint8_t>(state_.strobeCounts[kStrobeBIndex]),
                  static_cast<uint8_t>(state_.overruns)};
  state_.pairIndex = 0;
  state_.highRead = false;
  DeliverLine(guard);
  return true;
}

// Runs after every change that can move the line, with the lock held; releases it around the
// sink. See "Interrupt line" at the top of card_window.h.
void CardWindow::DeliverLine(std::unique_lock<SpinMutex>& guard) {
  while (Line() != reported_) {
    reported_ = Line();
    bool level = reported_;
    std::function<void(bool)> sink = sink_;
    guard.unlock();
    if (sink) sink(level);
    guard.lock();
  }
}

bool CardWindow::InterruptLine() const {
  std::lock_guard guard(lock_);
  return Line();
}

void CardWindow::SetInterruptSink(std::function<void(bool high)> sink) {
  std::lock_guard guard(lock_);
  sink_ = std::move(sink);
  // The new sink hears about changes from the current level on.
  reported_ = Line();
}

uint64_t CardWindow::Step(uint64_t ticks) {
  uint64_t done = 0;
  while (done < ticks && Tick()) ++done;
  return done;
}

uint64_t CardWindow::AdvanceNanoseconds(uint64_t nanoseconds) {
  uint64_t due = 0;
  {
    std::lock_guard guard(lock_);
    if (!ClockRunning()) return 0;
    uint64_t period = (Divisor() + uint64_t{1}) * 1000;
    state_.phase += nanoseconds * kMilliCyclesPerNanosecond;
    due = state_.phase / period;
    state_.phase %= period;
  }
  return Step(due);
}

void CardWindow::StartRealTime() {
  std::unique_lock guard(lock_);
  if (realTime_.joinable()) {
    if (!realTimeStop_ || realTime_.get_id() == std::this_thread::get_id()) {
      realTimeStop_ = false;
      return;
    }
    // Asked to stop from its own interrupt path: let it end first.
    std::thread old = std::move(realTime_);
    guard.unlock();
    old.join();
    guard.lock();
    if (realTime_.joinable()) return;  // another caller started one meanwhile
  }
  realTimeStop_ = false;
  realTime_ = std::thread(&CardWindow::RealTimeLoop, this);
}

void CardWindow::StopRealTime() {
  std::thread thread;
  {
    std::lock_guard guard(lock_);
    realTimeStop_ = true;
    clockChanged_.notify_all();
    if (realTime_.get_id() == std::this_thread::get_id()) return;
    thread = std::move(realTime_);
  }
  if (thread.joinable()) thread.join();
}

bool CardWindow::RealTime() const {
  std::lock_guard guard(lock_);
  return realTime_.joinable() && !realTimeStop_;
}

// Paces the ticks by steady_clock from an anchor taken whenever the clock's registers change:
// the ticks due are those whose time has passed since the anchor, minus those already run.
void CardWindow::RealTimeLoop() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock guard(lock_);
  uint64_t generation = state_.clockGeneration - 1;
  Clock::time_point anchor;
  uint64_t done = 0;
  while (!realTimeStop_) {
    if (!ClockRunning()) {
      clockChanged_.wait(guard);
      continue;
    }
    if (generation != state_.clockGeneration) {
      generation = state_.clockGeneration;
      anchor = Clock::now();
      done = 0;
    }
    uint64_t period = Divisor() + uint64_t{1};  // base-clock cycles per tick
    auto elapsed = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - anchor).count());
    uint64_t due = elapsed * kMilliCyclesPerNanosecond / 1000 / period - done;
    // Sleeps until a quantum's worth of ticks is due (at least one tick): the ticks due are
    // counted from the anchor, so running them together loses none and keeps the card's time,
    // and the thread wakes about once a quantum rather than once a tick.
    uint64_t quantum = std::max<uint64_t>(
        1, std::chrono::duration_cast<std::chrono::nanoseconds>(kRealTimeQuantum).count() *
               kMilliCyclesPerNanosecond / 1000 / period);
    if (due < quantum) {
      uint64_t next = ((done + quantum) * period * 1000 + kMilliCyclesPerNanosecond - 1) /
                      kMilliCyclesPerNanosecond;
      clockChanged_.wait_until(guard, anchor + std::chrono::nanoseconds(next));
      continue;
    }
    uint64_t backlog = std::max<uint64_t>(
        kRealTimeBurst,
        std::chrono::duration_cast<std::chrono::nanoseconds>(kRealTimeMaxBacklog).count() *
            kMilliCyclesPerNanosecond / 1000 / period);
    if (due > backlog) {
      counters_.skippedTicks += due - backlog;
      done += due - backlog;
      due = backlog;
    }
    if (due > kRealTimeBurst) {
      ++counters_.lagBursts;
      due = kRealTimeBurst;
    }
    guard.unlock();
    Step(due);
    guard.lock();
    done += due;
  }
}

CardWindow::Status CardWindow::GetStatus() const {
  std::lock_guard guard(lock_);
  Status status;
  status.clockRunning = ClockRunning();
  status.divisor = Divisor();
  status.rateHz = RateHz(status.divisor);
  status.interruptPending = state_.pending;
  status.ticks = state_.ticks;
  status.index = state_.index;
  status.identIndex = state_.identIndex;
  status.control = state_.control;
  status.mux = state_.mux;
  status.stored = state_.stored;
  return status;
}

uint8_t CardWindow::InternalRegister(uint8_t index) const {
  std::lock_guard guard(lock_);
  return state_.internal[index];
}

CardWindow::Counters CardWindow::GetCounters() const {
  std::lock_guard guard(lock_);
  return counters_;
}

uint64_t CardWindow::MisuseCount() const {
  std::lock_guard guard(lock_);
  return counters_.refused + counters_.badClockControl + counters_.badIdentIndex +
         counters_.badAckStrobe + counters_.extraPairReads + counters_.unpairedLowReads;
}

}  // namespace sim::card
