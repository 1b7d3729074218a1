// tarvik acquire: block or continuous acquisition into a CSV, raw or .npy file, with a
// progress line, a summary, loss accounting and an optional plot.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define TARVIK_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define TARVIK_ISATTY(fd) isatty(fd)
#endif

#include "context.h"
#include "data_files.h"
#include "plot.h"
#include "sequence.h"
#include "tarvik/device.h"

namespace tarvik::tool {

namespace {

using Clock = std::chrono::steady_clock;

struct AcquireOptions {
  std::string mode = "block";
  int32_t rate = 10000;
  uint32_t framesPerBlock = 64;
  int16_t blocks = 8;
  uint16_t gain = 1;
  std::optional<double> duration;
  std::optional<uint64_t> frames;
  std::string format;
  std::string output;
  std::string plot;
  double timeout = 2.0;
  uint32_t virtualFramesPerRead = 0;  // 0: a block (block mode) or the ring (continuous)
};

// Frames kept in memory for the plot; longer runs plot their beginning.
constexpr size_t kPlotFrameLimit = 1'000'000;
// Virtual clock: rounds of stepping without a single frame before the run is given up.
constexpr int kVirtualIdleRounds = 200;

class Acquisition {
 public:
  Acquisition(const AcquireOptions& options, MachineHost& host, FrameWriter& writer)
      : options_(options), host_(host), writer_(writer),
        progress_(TARVIK_ISATTY(2) != 0) {}

  AcquisitionResult Run() {
    Device device;
    device.OpenBoard();
    StartOptions start;
    start.framesPerBlock = options_.framesPerBlock;
    start.rate = options_.rate;
    start.blockCount = options_.blocks;
    start.gain = options_.gain;
    bool block = options_.mode == "block";
    Event blockDone;
    if (block) {
      device.StartBlocks(start, blockDone);
    } else {
      device.StartContinuous(start);
    }
    started_ = Clock::now();
    lastData_ = started_;
    try {
      if (block) {
        RunBlocks(device, blockDone);
      } else {
        RunStream(device);
      }
    } catch (...) {
      try {
        device.Stop();
      } catch (const Error&) {
      }
      EndProgress();
      throw;
    }
    device.Stop();
    EndProgress();
    if (received_ == 0) ThrowNoData(device);
    AcquisitionResult result;
    result.frames = writer_.Frames();
    result.blocks = blocks_.Received();
    result.lostBlocks = blocks_.Lost();
    result.lostFrames = block ? blocks_.Lost() * options_.framesPerBlock : streamLost_;
    result.seconds = Elapsed();
    result.achievedRate = result.seconds > 0 ? static_cast<double>(received_) / result.seconds : 0;
    return result;
  }

  const std::vector<FrameWords>& Kept() const { return kept_; }

 private:
  // Seconds since the start: of the card's clock when the tool steps it, else of the wall.
  double Elapsed() const {
    if (host_.VirtualClock()) {
      return clockRate_ > 0 ? static_cast<double>(ticks_) / clockRate_ : 0;
    }
    return std::chrono::duration<double>(Clock::now() - started_).count();
  }

  bool Done() const {
    if (options_.frames) return writer_.Frames() >= *options_.frames;
    return Elapsed() >= options_.duration.value_or(1.0);
  }

  uint32_t VirtualFramesPerRead() const {
    return options_.virtualFramesPerRead != 0 ? options_.virtualFramesPerRead
                                              : options_.framesPerBlock;
  }

  void Step(uint64_t frames) {
    ticks_ += host_.Step((ticks_ == 0 ? 2 : 0) + 2 * frames);
    // The clock stops with the acquisition; its rate is kept for the time it ran.
    if (clockRate_ == 0) clockRate_ = host_.ClockRateHz();
  }

  // Takes frames in arrival order; writes what the requested count still needs.
  void Take(std::span<const FrameWords> frames) {
    if (frames.empty()) return;
    received_ += frames.size();
    lastData_ = Clock::now();
    idleRounds_ = 0;
    if (options_.frames) {
      uint64_t room = *options_.frames - std::min(*options_.frames, writer_.Frames());
      frames = frames.first(std::min<uint64_t>(room, frames.size()));
    }
    writer_.Append(frames);
    if (!options_.plot.empty() && kept_.size() < kPlotFrameLimit) {
      size_t keep = std::min(frames.size(), kPlotFrameLimit - kept_.size());
      kept_.insert(kept_.end(), frames.begin(), frames.begin() + static_cast<ptrdiff_t>(keep));
    }
  }

  void CheckIdle(Device& device) {
    bool idle = host_.VirtualClock()
                    ? ++idleRounds_ > kVirtualIdleRounds
                    : std::chrono::duration<double>(Clock::now() - lastData_).count() >
                          options_.timeout;
    if (idle) ThrowNoData(device);
  }

  [[noreturn]] void ThrowNoData(Device& device) {
    uint32_t code = device.LastError();
    const char* name = DaqLastErrorName(code);
    throw std::runtime_error(fmt::format(
        "no data arrived in {:.2f} s of acquisition{} (driver's last error: {}); is "
        "identification byte 4 of the board 9?",
        Elapsed(), host_.VirtualClock() ? " on the card's clock" : "",
        name != nullptr ? name : fmt::format("code {}", code)));
  }

  void RunBlocks(Device& device, const Event& blockDone) {
    while (!Done()) {
      if (host_.VirtualClock()) {
        Step(VirtualFramesPerRead());
      } else {
        blockDone.Wait(std::chrono::milliseconds(50));
      }
      while (auto block = device.ReadOldestBlock(options_.framesPerBlock)) {
        blocks_.Accept(block->sequence);
        Take(block->frames);
        if (Done()) break;
      }
      CheckIdle(device);
      Progress();
    }
  }

  void RunStream(Device& device) {
    StreamPosition position(options_.framesPerBlock);
    // Poll a few times per turn of the ring so that nothing is overwritten unread.
    double frameRate = options_.rate > 0 ? options_.rate / 2.0 : 1.0;
    auto poll = std::chrono::duration<double>(
        std::clamp(options_.framesPerBlock / frameRate / 4, 0.0005, 0.02));
    while (!Done()) {
      if (host_.VirtualClock()) {
        Step(VirtualFramesPerRead());
      } else {
        std::this_thread::sleep_for(poll);
      }
      StreamSnapshot snapshot = device.ReadStream(options_.framesPerBlock);
      auto update = position.Accept(snapshot.wraps, snapshot.newestFrameIndex,
                                    snapshot.frames.size());
      streamLost_ = position.Lost();
      std::span<const FrameWords> all(snapshot.frames);
      Take(all.last(update.fresh));
      CheckIdle(device);
      Progress();
    }
  }

  void Progress() {
    if (!progress_) return;
    auto now = Clock::now();
    if (now - lastProgress_ < std::chrono::milliseconds(200)) return;
    lastProgress_ = now;
    double elapsed = Elapsed();
    double rate = elapsed > 0 ? static_cast<double>(received_) / elapsed : 0;
    double left = 0;
    if (options_.frames) {
      left = rate > 0 ? static_cast<double>(*options_.frames - std::min(*options_.frames, writer_.Frames())) / rate : 0;
    } else {
      left = std::max(0.0, options_.duration.value_or(1.0) - elapsed);
    }
    std::string lost = options_.mode == "block"
                           ? fmt::format("lost blocks {}", blocks_.Lost())
                           : fmt::format("lost frames {}", streamLost_);
    fmt::print(stderr, "\r\x1b[K{} frames  {:.1f} frames/s  {}  {:.1f} s left", writer_.Frames(),
               rate, lost, left);
    std::fflush(stderr);
    shown_ = true;
  }

  void EndProgress() {
    if (shown_) fmt::print(stderr, "\r\x1b[K");
    shown_ = false;
  }

  const AcquireOptions& options_;
  MachineHost& host_;
  FrameWriter& writer_;
  bool progress_;
  bool shown_ = false;
  Clock::time_point started_, lastData_, lastProgress_;
  uint64_t ticks_ = 0;
  double clockRate_ = 0;
  uint64_t received_ = 0;
  uint64_t streamLost_ = 0;
  int idleRounds_ = 0;
  BlockSequence blocks_;
  std::vector<FrameWords> kept_;
};

void RunAcquire(const AcquireOptions& options, Context& context) {
  DataFormat format = DataFormat::Csv;
  std::string output = options.output;
  if (!options.format.empty()) {
    format = *ParseDataFormat(options.format);
  } else if (!output.empty()) {
    auto extension = std::filesystem::path(output).extension().string();
    if (auto guessed = ParseDataFormat(extension.empty() ? "" : extension.substr(1))) format = *guessed;
  }
  if (output.empty()) output = std::string("acquisition.") + DataFormatName(format);

  MachineHost& host = context.Host();
  AcquisitionHeader header;
  header.mode = options.mode;
  header.requestedRate = options.rate;
  header.framesPerBlock = options.framesPerBlock;
  header.blockCount = options.mode == "block" ? options.blocks : 1;
  header.virtualClock = host.VirtualClock();
  auto writer = OpenFrameWriter(format, output, header);

  Acquisition acquisition(options, host, *writer);
  AcquisitionResult result = acquisition.Run();
  writer->Finish();
  WriteSidecar(output, SidecarJson(format, output, header, result));

  fmt::print("acquired {} frames in {:.3f} s ({:.1f} frames/s), {} mode, requested rate {}\n",
             result.frames, result.seconds, result.achievedRate, options.mode, options.rate);
  if (options.mode == "block") {
    fmt::print("blocks {} read, {} lost ({} frames)\n", result.blocks, result.lostBlocks,
               result.lostFrames);
  } else {
    fmt::print("frames lost (overwritten in the ring before they were read): {}\n",
               result.lostFrames);
  }
  fmt::print("data  {} ({}, {} x {} uint16)\n", output, DataFormatName(format), result.frames,
             kChannels);
  fmt::print("about {}.json\n", output);
  if (!options.plot.empty()) {
    PlotOptions plot;
    plot.framesPerSecond = result.achievedRate;
    plot.title = fmt::format("tarvik acquisition: {} frames, {} mode", result.frames, options.mode);
    WritePlot(options.plot, PlotSvg(acquisition.Kept(), plot));
    fmt::print("plot  {}\n", options.plot);
  }
  if (result.lostFrames > 0 || result.lostBlocks > 0) {
    std::fflush(stdout);
    fmt::print(stderr, "tarvik: data lost: {} block(s), {} frame(s)\n", result.lostBlocks,
               result.lostFrames);
    context.exitCode = kExitDataLost;
  }
}

}  // namespace

void AddAcquireCommand(CLI::App& app, Context& context) {
  auto options = std::make_shared<AcquireOptions>();
  auto* acquire = app.add_subcommand("acquire", "Acquire frames of 16 words into a file");
  acquire->add_option("--mode", options->mode,
                      "block: blocks of frames from a pool, every block numbered; continuous: "
                      "snapshots of a ring of frames")
      ->check(CLI::IsMember({"block", "continuous"}))
      ->capture_default_str();
  acquire->add_option("--rate", options->rate,
                      "Rate requested from the driver (sample-clock ticks per second, two per "
                      "frame; up to 100000; negative -k: one in 10000 k)")
      ->capture_default_str();
  acquire->add_option("--frames-per-block", options->framesPerBlock,
                      "Frames per block; in continuous mode the ring's length")
      ->check(CLI::Range(1u, 65536u))
      ->capture_default_str();
  acquire->add_option("--blocks", options->blocks, "Blocks in the driver's pool (block mode)")
      ->check(CLI::Range(int16_t{1}, int16_t{32767}))
      ->capture_default_str();
  acquire->add_option("--gain", options->gain, "Input range as a gain: 1, 2, 4, 8, 10, 100, 1000")
      ->check(CLI::IsMember({1, 2, 4, 8, 10, 100, 1000}))
      ->capture_default_str();
  auto* duration = acquire->add_option_function<double>(
      "--duration", [options](double seconds) { options->duration = seconds; },
      "Seconds to acquire (default 1; the card's time with --virtual)");
  duration->check(CLI::PositiveNumber)->type_name("SECONDS");
  auto* frames = acquire->add_option_function<uint64_t>(
      "--frames", [options](uint64_t count) { options->frames = count; },
      "Number of frames to acquire (instead of --duration)");
  frames->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40))->type_name("N");
  frames->excludes(duration);
  acquire->add_option("--format", options->format,
                      "csv, raw (little-endian uint16, 16 per frame) or npy (default: from the "
                      "output's extension, else csv)")
      ->check(CLI::IsMember({"csv", "raw", "npy"}));
  acquire->add_option("-o,--output", options->output,
                      "Data file (default acquisition.FORMAT); FILE.json beside it describes it");
  acquire->add_option("--plot", options->plot, "Also draw the channels over time into this SVG file")
      ->type_name("FILE");
  acquire->add_option("--timeout", options->timeout,
                      "Give up when no data arrives for this many seconds (real-time clock)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  acquire->add_option("--virtual-frames-per-read", options->virtualFramesPerRead,
                      "With --virtual: frames the card runs between two reads (default: one "
                      "block, or the ring); more than the driver can hold shows loss")
      ->check(CLI::Range(1u, 1u << 20))
      ->type_name("N");
  acquire->callback([options, &context] { RunAcquire(*options, context); });
}

}  // namespace tarvik::tool
