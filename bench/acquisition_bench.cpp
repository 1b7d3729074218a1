// Speed of the acquisition path on the emulated machine: interrupts per second through the
// whole interrupt path (claim, capture, buffering, re-enable) and the read requests' cost per
// byte. The card's top rate is a 100 kHz clock; "ratio_to_100kHz" says how many times faster
// than that the emulated stack sustains interrupts on one core.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "card_resources.h"
#include "sim/machine.h"
#include "sim/nt_api.h"
#include "tarvik_ioctl.h"

namespace {

// A booted machine with an acquisition running.
class RunningAcquisition {
 public:
  RunningAcquisition(uint32_t framesPerBlock, int16_t blockCount, bool continuous) {
    machine_.emplace();
    machine_->LoadDriver(sim::TarvikDriverImage());
    machine_->AddDevice();
    test_support::AssignCardResources(*machine_);
    sim::nt::CreateFile(u"\\??\\Tarvik", true, &device_);
    sim::nt::CreateEvent(false, false, &event_);
    uint8_t open[16] = {};
    Control(IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0);
    START_PARAMETERS start{};
    start.FramesPerBlock = framesPerBlock;
    start.RequestedRate = 100000;
    start.EventHandle = event_;
    start.BlockCount = blockCount;
    start.ChannelCount = 16;
    start.ContinuousFlag = continuous;
    Control(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0);
  }
  ~RunningAcquisition() {
    Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0);
    sim::nt::Close(event_);
    sim::nt::Close(device_);
    test_support::ReleaseCardResources(*machine_);
    machine_.reset();
  }

  int32_t Control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength) {
    sim::nt::IoStatus iosb{};
    return sim::nt::DeviceIoControlFile(device_, 0, &iosb, code, in, inLength, out, outLength);
  }
  sim::card::CardWindow& Card() { return machine_->Card().window(); }

 private:
  std::optional<sim::Machine> machine_;
  sim::nt::Handle device_ = 0;
  sim::nt::Handle event_ = 0;
};

void InterruptPath(benchmark::State& state) {
  RunningAcquisition run(64, 1, true);
  for (auto _ : state) run.Card().Step(1);
  state.SetItemsProcessed(state.iterations());
  state.counters["ratio_to_100kHz"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 100000.0,
                         benchmark::Counter::kIsRate);
}
BENCHMARK(InterruptPath);

// The same path with one-frame blocks: every second interrupt completes a block, queues the
// DPC and signals the event.
void InterruptPathOneFrameBlocks(benchmark::State& state) {
  RunningAcquisition run(1, 8, false);
  for (auto _ : state) run.Card().Step(1);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(InterruptPathOneFrameBlocks);

// The reference for the read requests: a plain copy of the same length in the same run.
void CopyReference(benchmark::State& state) {
  const auto length = TarvikBlockBytes(static_cast<uint32_t>(state.range(0))) + 4;
  std::vector<uint8_t> in(length, 1), out(length);
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), length);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(CopyReference)->Arg(16)->Arg(1024)->Arg(8192);

void ReadStream(benchmark::State& state) {
  const auto frames = static_cast<uint32_t>(state.range(0));
  RunningAcquisition run(frames, 1, true);
  run.Card().Step(2 + 2 * frames);
  const uint32_t length = TarvikBlockBytes(frames) + 4;
  std::vector<uint8_t> out(length);
  for (auto _ : state) run.Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, out.data(), length);
  state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(ReadStream)->Arg(16)->Arg(1024)->Arg(8192);

// Reads a pool of ready blocks one request at a time, as a reader that fell behind does; the
// card fills the pool again between runs of reads, outside the timing (the request is timed by
// hand: pausing the benchmark's own clock costs more than the request).
void ReadOldestBlock(benchmark::State& state) {
  constexpr int16_t kReadyBlocks = 128;
  const auto frames = static_cast<uint32_t>(state.range(0));
  RunningAcquisition run(frames, kReadyBlocks + 1, false);
  run.Card().Step(2);  // the start's two interrupts only strobe the card
  const uint32_t length = TarvikBlockBytes(frames);
  std::vector<uint8_t> out(length);
  int ready = 0;
  for (auto _ : state) {
    if (ready == 0) {
      run.Card().Step(2 * frames * kReadyBlocks);
      // The blocks' DPCs run on another processor: let them finish first.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ready = kReadyBlocks;
    }
    auto start = std::chrono::steady_clock::now();
    run.Control(IOCTL_DAQ_READ_OLDEST_BLOCK, nullptr, 0, out.data(), length);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    --ready;
  }
  state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(ReadOldestBlock)->Arg(16)->Arg(256)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
