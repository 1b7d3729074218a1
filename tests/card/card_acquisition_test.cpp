// The acquisition core driven the way the driver drives it: the sample clock through the
// index/data pair, half-frames read by a handler inside the bridge's interrupt callback, the
// acknowledging strobes; overruns, counters, misuse, the signal sources, real-time pacing.
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "card_test_support.h"

namespace card_test {
namespace {

using namespace sim::card::card_reg;

struct ReadFrame {
  std::array<uint16_t, 2> results{};
  std::array<uint8_t, 2> tags{};
  TickData words;  // its results stay 0: they are in `results`
  std::array<uint8_t, 5> counts{};  // counters 0, 1, 2, 3, 5
};

// Register sequences of a driver.
class WindowDriver {
 public:
  WindowDriver(sim::IoBus& bus, const Card& card) : bus_(bus), base_(card.config().windowBase) {}

  uint8_t In(uint32_t offset) { return static_cast<uint8_t>(bus_.Read(base_ + offset, 1)); }
  void Out(uint32_t offset, uint8_t value) { bus_.Write(base_ + offset, 1, value); }
  void SetInternal(uint8_t index, uint8_t value) {
    Out(kWriteIndex, index);
    Out(kWriteData, value);
  }
  void ProgramClock(uint16_t divisor) {
    SetInternal(kIntClockControl, kClockStop);
    SetInternal(kIntDivisorLow, static_cast<uint8_t>(divisor));
    SetInternal(kIntDivisorHigh, static_cast<uint8_t>(divisor >> 8));
    SetInternal(kIntClockControl, kClockRun);
  }
  uint16_t ReadPair(uint8_t* tag) {
    uint8_t high = In(kReadResultHigh);
    uint8_t low = In(kReadResultLow);
    *tag = high >> kResultTagShift;
    return static_cast<uint16_t>((high & kResultHighMask) << 8 | low);
  }
  uint16_t Word(uint32_t low) { return static_cast<uint16_t>(In(low) | In(low + 1) << 8); }
  ReadFrame ReadHalfFrame() {
    ReadFrame frame;
    frame.results[0] = ReadPair(&frame.tags[0]);
    frame.results[1] = ReadPair(&frame.tags[1]);
    frame.words.word0 = Word(kReadWord0Low);
    frame.words.word1 = Word(kReadWord1Low);
    frame.words.word8 = Word(kReadWord8Low);
    frame.words.word9 = In(kReadWord9);
    for (uint32_t i = 0; i < 5; ++i) frame.counts[i] = In(kReadCounter0 + i);
    return frame;
  }
  // The acknowledging strobe, then strobe A or B.
  void Acknowledge(uint32_t strobe = kWriteStrobeA) {
    for (uint32_t offset : {kWriteStrobeAck, strobe}) {
      Out(offset, 0x00);
      Out(offset, 0x01);
    }
  }

 private:
  sim::IoBus& bus_;
  uint32_t base_;
};

class AcquisitionTest : public CardTest {
 protected:
  AcquisitionTest() : driver_(bus_, card_) {}

  void EnableLint1() {
    WriteBridge(kIntCsr, kIntCsrLint1ActiveHigh | kIntCsrLint2ActiveHigh | kIntCsrLint1Enable |
                             kIntCsrPciEnable);
  }
  bool Lint1Status() { return (ReadBridge(kIntCsr) & kIntCsrLint1Status) != 0; }
  void ExpectTick(ReadFrame frame, uint64_t t) {
    TickData want = card_.Sources().At(t);
    EXPECT_EQ(frame.results, (std::array<uint16_t, 2>{want.resultA, want.resultB})) << t;
    EXPECT_EQ(frame.tags, (std::array<uint8_t, 2>{CardWindow::ConversionTag(2 * t),
                                                  CardWindow::ConversionTag(2 * t + 1)}));
    want.resultA = want.resultB = 0;
    EXPECT_EQ(frame.words, want) << "tick " << t;
    EXPECT_EQ(frame.counts[0], static_cast<uint8_t>(t + 1)) << "counter 0 counts this tick";
  }
  CardWindow& window() { return card_.window(); }

  WindowDriver driver_;
};

TEST_F(AcquisitionTest, ClockRunsAtTheDivisorsRateOnlyWhileStarted) {
  EXPECT_EQ(window().Step(5), 0u) << "stopped at power-up";
  driver_.ProgramClock(5999);
  EXPECT_DOUBLE_EQ(window().GetStatus().rateHz, 2000.0);
  EXPECT_EQ(window().Step(3), 3u);
  driver_.ProgramClock(11999);  // 1 kHz: fractions of a tick carry over
  EXPECT_EQ(window().AdvanceNanoseconds(2'500'000), 2u);
  EXPECT_EQ(window().AdvanceNanoseconds(499'999), 0u);
  EXPECT_EQ(window().AdvanceNanoseconds(1), 1u);

  driver_.SetInternal(kIntClockControl, 0x02);  // neither stop nor run: refused
  EXPECT_EQ(window().Step(1), 1u);
  driver_.SetInternal(kIntClockControl, kClockStop);
  EXPECT_EQ(window().Step(1), 0u);
  driver_.SetInternal(0x05, 0x77);  // plain storage
  EXPECT_EQ(window().InternalRegister(0x05), 0x77);
  EXPECT_EQ(window().GetStatus().ticks, 7u);

  card_.Reset();
  auto status = window().GetStatus();
  EXPECT_EQ(status.divisor, 0);
  EXPECT_EQ(status.ticks, 0u);
  EXPECT_EQ(window().InternalRegister(0x05), 0);
  EXPECT_EQ(window().GetCounters().badClockControl, 1u);
  EXPECT_EQ(card_.MisuseCount(), 1u);
}

TEST_F(AcquisitionTest, EachTickRaisesTheLineUntilARisingAcknowledgeStrobe) {
  std::vector<bool> calls;
  card_.bridge().SetInterruptCallback([&](bool asserted) { calls.push_back(asserted); });
  EnableLint1();
  driver_.ProgramClock(100);

  window().Step(1);
  EXPECT_TRUE(card_.bridge().PciInterrupt());
  driver_.Out(kWriteStrobeAck, 0x00);
  EXPECT_TRUE(Lint1Status()) << "a falling strobe acknowledges nothing";
  driver_.Out(kWriteStrobeAck, 0x01);
  EXPECT_FALSE(card_.bridge().PciInterrupt());

  window().Step(1);
  driver_.Out(kWriteStrobeAck, 0x01);
  EXPECT_TRUE(Lint1Status()) << "0x01 after 0x01 does not rise";
  driver_.Out(kWriteStrobeAck, 0x03);
  EXPECT_TRUE(Lint1Status()) << "only 0x00 and 0x01 are taken";
  driver_.Acknowledge();
  EXPECT_FALSE(Lint1Status());

  EXPECT_EQ(calls, (std::vector<bool>{true, false, true, false}));
  EXPECT_EQ(window().GetCounters().acknowledgements, 2u);
  EXPECT_EQ(window().GetCounters().badAckStrobe, 1u);
  EXPECT_EQ(card_.MisuseCount(), 1u);
}

TEST_F(AcquisitionTest, HandlerInsideTheInterruptReadsEveryHalfFrameAndAcknowledges) {
  std::vector<ReadFrame> frames;
  int stillHigh = 0;
  card_.bridge().SetInterruptCallback([&](bool asserted) {
    if (!asserted) return;
    frames.push_back(driver_.ReadHalfFrame());
    driver_.Acknowledge(frames.size() % 2 == 1 ? kWriteStrobeA : kWriteStrobeB);
    if (Lint1Status()) ++stillHigh;  // the line must drop before the handler returns
  });
  EnableLint1();
  driver_.ProgramClock(5999);

  constexpr uint64_t kTicks = 300;  // past the 8-bit wrap of the counters
  ASSERT_EQ(window().Step(kTicks), kTicks);
  ASSERT_EQ(frames.size(), kTicks);
  EXPECT_EQ(stillHigh, 0);
  for (uint64_t t = 0; t < kTicks; ++t) {
    ExpectTick(frames[t], t);
    EXPECT_EQ(frames[t].counts[1], static_cast<uint8_t>(t)) << "acknowledged before tick " << t;
    EXPECT_EQ(frames[t].counts[2], static_cast<uint8_t>((t + 1) / 2)) << "strobes A, " << t;
    EXPECT_EQ(frames[t].counts[3], static_cast<uint8_t>(t / 2)) << "strobes B, " << t;
    EXPECT_EQ(frames[t].counts[4], 0) << "no overruns";
  }
  EXPECT_EQ(window().GetCounters().interrupts, kTicks);
  EXPECT_FALSE(card_.bridge().PciInterrupt());
  EXPECT_EQ(card_.MisuseCount(), 0u);
}

TEST_F(AcquisitionTest, UnacknowledgedTicksOverrunWithTheNewestData) {
  std::vector<bool> calls;
  card_.bridge().SetInterruptCallback([&](bool asserted) { calls.push_back(asserted); });
  EnableLint1();
  driver_.ProgramClock(100);

  window().Step(3);
  EXPECT_EQ(calls, std::vector<bool>{true}) << "the line stays high through overruns";
  ReadFrame frame = driver_.ReadHalfFrame();
  ExpectTick(frame, 2);
  EXPECT_EQ(frame.counts[4], 2);
  window().Step(260);
  frame = driver_.ReadHalfFrame();
  ExpectTick(frame, 262);
  EXPECT_EQ(frame.counts[4], static_cast<uint8_t>(262));
  EXPECT_EQ(window().GetCounters().overruns, 262u);

  driver_.Acknowledge();
  window().Step(1);
  EXPECT_EQ(driver_.ReadHalfFrame().counts[4], static_cast<uint8_t>(262)) << "no new overrun";
  card_.Reset();
  EXPECT_EQ(calls, (std::vector<bool>{true, false, true, false})) << "power-up drops the line";
  EXPECT_EQ(driver_.In(kReadCounter5), 0);
}

TEST_F(AcquisitionTest, ResultPairsServeAThenBThenBAgainAsMisuse) {
  uint8_t tag = 0xFF;
  EXPECT_EQ(driver_.ReadPair(&tag), 0) << "nothing latched before the first tick";
  EXPECT_EQ(tag, 0);

  driver_.ProgramClock(100);
  window().Step(9);  // tick 8: conversions 16 and 17
  TickData want = card_.Sources().At(8);
  EXPECT_EQ(driver_.ReadPair(&tag), want.resultA);
  EXPECT_EQ(tag, 0x8) << "latched, sequence 16 mod 8";
  EXPECT_EQ(driver_.In(kReadResultLow), want.resultB & 0xFF) << "+5 alone: misuse";
  EXPECT_EQ(driver_.ReadPair(&tag), want.resultB) << "the lone +5 completed no pair";
  EXPECT_EQ(tag, 0x9);
  EXPECT_EQ(driver_.ReadPair(&tag), want.resultB) << "a third pair repeats B";
  window().Step(1);
  EXPECT_EQ(driver_.ReadPair(&tag), card_.Sources().At(9).resultA) << "a tick restarts at A";

  auto counters = window().GetCounters();
  EXPECT_EQ(counters.unpairedLowReads, 1u);
  EXPECT_EQ(counters.extraPairReads, 2u);
  EXPECT_EQ(card_.MisuseCount(), 3u);
}

TEST_F(AcquisitionTest, IdentificationStoredBytesWideAndRefusedAccesses) {
  const uint8_t expected[] = {0x54, 0x56, 0x4B, 0x01, 0x09, 0x85};
  for (uint8_t i = 0; i < 6; ++i) {
    driver_.Out(kWriteIdentIndex, i);
    EXPECT_EQ(driver_.In(kReadIdent), expected[i]) << "byte " << int{i};
  }
  driver_.Out(kWriteIdentIndex, 64);
  EXPECT_EQ(window().GetStatus().identIndex, 5) << "refused";

  // Wide accesses are byte accesses, lowest offset first.
  uint32_t base = card_.config().windowBase;
  bus_.Write(base + kWriteIndex, 2, 0x0405);  // index 0x05, then identification byte 4
  EXPECT_EQ(window().GetStatus().index, 0x05);
  EXPECT_EQ(bus_.Read(base + kReadIdent, 1), 0x09u);
  bus_.Write(base + kWriteStoredFirst, 4, 0x44332211);
  driver_.Out(kWriteStrobeA, 0x47);  // range 2, channel 7
  auto status = window().GetStatus();
  EXPECT_EQ(status.stored, (std::array<uint8_t, 4>{0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(status.mux & kMuxChannelMask, 7);
  EXPECT_EQ((status.mux & kMuxRangeMask) >> kMuxRangeShift, 2);
  driver_.ProgramClock(100);
  window().Step(1);
  TickData want = card_.Sources().At(0);
  EXPECT_EQ(bus_.Read(base + kReadWord0Low, 4), uint32_t{want.word1} << 16 | want.word0);
  EXPECT_EQ(bus_.Read(base + kReadWord8Low, 4),
            0xA5u << 24 | uint32_t{want.word9} << 16 | want.word8) << "+15: auxiliary byte";
  bus_.Write(base + 0x3C, 4, 0);
  EXPECT_EQ(bus_.Read(base + 0x3C, 4), 0xFFFFFFFFu) << "past +15: all ones, writes ignored";
  EXPECT_EQ(card_.MisuseCount(), 1u);

  EXPECT_EQ(bus_.Read(base, 3), 0xFFFFFFu);
  bus_.Write(base + kWriteStrobeAck, 3, 0x01);
  bus_.Write(base + 0x3F, 2, 0);
  EXPECT_EQ(bus_.Read(base + 0x3E, 4), 0xFFFFFFFFu);
  EXPECT_TRUE(window().GetStatus().interruptPending) << "the refused write did not strobe";
  EXPECT_EQ(window().GetCounters().refused, 4u);
}

TEST(CardSignalSourceTest, WaveformsWrapToTheirWidthAndTheCardUsesTheConfiguredOnes) {
  EXPECT_EQ(SignalSource::Ramp(4090, 3).Value(2, 12), 0u) << "4096 wraps in 12 bits";
  EXPECT_EQ(SignalSource::Ramp(0, -1).Value(1, 12), 0xFFFu);
  auto square = SignalSource::Square(100, 10, 4);
  EXPECT_EQ(square.Value(1, 16), 110u);
  EXPECT_EQ(square.Value(2, 16), 90u);
  auto sine = SignalSource::Sine(2048, 1000, 8);
  EXPECT_EQ(sine.Value(1, 12), 2755u) << "1000 sin(pi/4) rounds to 707";
  EXPECT_EQ(sine.Value(14, 12), 1048u);

  CardConfig config;
  config.window.sources[Quantity::ResultB] = SignalSource::Constant(0xABC);
  config.window.identification[4] = 7;
  sim::IoBus bus;
  Card card(config);
  ASSERT_TRUE(card.Attach(bus));
  WindowDriver driver(bus, card);
  driver.ProgramClock(100);
  card.window().Step(3);
  EXPECT_EQ(driver.ReadHalfFrame().results[1], 0xABC);
  driver.Out(kWriteIdentIndex, 4);
  EXPECT_EQ(driver.In(kReadIdent), 7) << "a bad board";
}

TEST_F(AcquisitionTest, RealTimePacesTheProgrammedRateAndStopsCleanly) {
  using Clock = std::chrono::steady_clock;
  std::atomic<uint64_t> handled{0};
  std::atomic<bool> wrongData{false};
  card_.bridge().SetInterruptCallback([&](bool asserted) {
    if (!asserted) return;
    ReadFrame frame = driver_.ReadHalfFrame();
    TickData want = card_.Sources().At(handled);
    if (frame.results[1] != want.resultB || frame.counts[0] != uint8_t(handled + 1)) {
      wrongData = true;
    }
    driver_.Acknowledge();
    ++handled;
  });
  EnableLint1();
  window().StartRealTime();

  std::atomic<bool> done{false};
  std::thread requests([&] {  // a request thread uses the card meanwhile
    WindowDriver other(bus_, card_);
    while (!done) {
      other.Out(kWriteIdentIndex, 4);
      other.In(kReadIdent);
    }
  });
  // The pacing may fall behind on a loaded machine (a sanitizer, a busy CI runner), so the
  // clock runs until a few dozen ticks arrived; it must never run ahead of the programmed rate.
  Clock::time_point start = Clock::now();
  driver_.ProgramClock(5999);  // 2000 Hz
  while (window().GetCounters().ticks < 50 && Clock::now() - start < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  driver_.SetInternal(kIntClockControl, kClockStop);
  double bound = std::chrono::duration<double>(Clock::now() - start).count() * 2000;
  done = true;
  requests.join();

  uint64_t ticks = window().GetCounters().ticks;
  EXPECT_GE(ticks, 50u) << "the clock ticks in real time";
  EXPECT_LT(ticks, bound * 1.1 + 5) << "never faster than programmed";
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(window().GetCounters().ticks, ticks) << "a stopped clock does not tick";
  window().StopRealTime();
  EXPECT_FALSE(window().RealTime());
  EXPECT_FALSE(wrongData);
  EXPECT_EQ(handled, ticks) << "each tick handled before the next";
  EXPECT_EQ(card_.MisuseCount(), 0u);

  // A card destroyed with its clock running joins the pacing thread first.
  CardConfig config;
  config.bridgeBase = 0xD000;
  config.windowBase = 0xD400;
  config.realTimeClock = true;
  auto running = std::make_unique<Card>(config);
  ASSERT_TRUE(running->Attach(bus_));
  WindowDriver(bus_, *running).ProgramClock(1199);  // 10 kHz, never acknowledged
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  running.reset();
}

}  // namespace
}  // namespace card_test
