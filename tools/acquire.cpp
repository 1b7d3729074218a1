// tarvik acquire: block or continuous acquisition into a CSV, raw, .npy or HDF5 file of the
// words selected, with a progress line, a summary, loss accounting and an optional plot.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
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
#include "progress_line.h"
#include "rate_plan.h"
#include "sequence.h"
#include "stop_signal.h"
#include "tarvik/device.h"
#include "word_selection.h"

namespace tarvik::tool {

namespace {

using Clock = std::chrono::steady_clock;

struct AcquireOptions {
  std::string mode = "block";
  std::optional<int32_t> rate;        // the driver's rate
  std::optional<double> frameRate;    // frames per second
  std::optional<uint32_t> framesPerBlock;
  int16_t blocks = 8;
  uint16_t gain = 1;
  std::optional<double> duration;
  std::optional<uint64_t> frames;
  std::string format;
  std::string output;
  std::string plot;
  double timeout = 2.0;
  uint32_t virtualFramesPerRead = 0;  // 0: a block (block mode) or the ring (continuous)
  std::string words;                  // --words; empty: all 16
  std::vector<std::string> scales;    // --scale WORD=FACTOR[,OFFSET[,UNIT]]
  bool timeColumn = false;
};

// The card's 2-bit range code for a gain: 1, 2, 4, 8 are codes 0..3 of one range set, and
// 10, 100, 1000 codes 1..3 of the other (1 is code 0 in both), as the driver maps them.
uint8_t RangeCodeOfGain(uint16_t gain) {
  switch (gain) {
    case 2: case 10: return 1;
    case 4: case 100: return 2;
    case 8: case 1000: return 3;
    default: return 0;
  }
}
// Virtual clock: rounds of stepping without a single frame before the run is given up.
constexpr int kVirtualIdleRounds = 200;
constexpr int32_t kDefaultDriverRate = 10000;
constexpr uint32_t kDefaultFramesPerBlock = 64;
// The continuous ring holds at least this long of frames, so that polls some milliseconds
// apart lose nothing at the card's top rate.
constexpr double kRingSeconds = 0.05;
// The longest pause between two rounds of block reads in real time.
constexpr std::chrono::duration<double> kBlockRoundPause{0.005};
// A stream poll asks for the frames the last one found new and half as many again, plus these.
constexpr uint64_t kStreamSpareFrames = 16;

// What the options settle once the rate is known.
struct AcquireSettings {
  RatePlan plan;
  uint32_t framesPerBlock = kDefaultFramesPerBlock;
  std::vector<PlotWord> plotWords = SignalPlotWords();  // the plot's panels
  double timeout = 2.0;  // seconds without data before the run is given up (real time)
};

class Acquisition {
 public:
  Acquisition(const AcquireOptions& options, const AcquireSettings& settings, MachineHost& host,
              FrameWriter& writer)
      : options_(options), settings_(settings), host_(host), writer_(writer),
        progress_(TARVIK_ISATTY(2) != 0) {
    // The plot is decimated as frames arrive, so it covers the whole run in constant memory.
    if (!options_.plot.empty()) plot_.emplace(settings_.plotWords);
  }

  AcquisitionResult Run() {
    Device device;
    device.OpenBoard();
    AcquisitionResult result;
    auto id = device.ReadIdentification(5);
    result.identification.assign(id.begin(), id.begin() + 5);
    try {
      result.serialNumber = device.SerialNumber();
    } catch (const Error& error) {
      if (error.LastError() != DAQ_ERR_NO_SERIAL) throw;
    }
    StartOptions start;
    start.framesPerBlock = settings_.framesPerBlock;
    start.rate = settings_.plan.driverRate;
    start.blockCount = options_.blocks;
    start.gain = options_.gain;
    bool block = options_.mode == "block";
    Event blockDone;
    if (block) {
      device.StartBlocks(start, blockDone);
    } else {
      device.StartContinuous(start);
    }
    result.startTimeUtc = UtcTimestamp(std::chrono::system_clock::now());
    started_ = Clock::now();
    lastData_ = started_;
    try {
      // The driver keeps the gain from the start request without writing the card's range
      // bits (+9, bits 5..6); its range command writes them.
      device.SetRangeBits(RangeCodeOfGain(options_.gain));
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
    if (received_ == 0 && stopSignal_ == nullptr) ThrowNoData(device);
    if (stopSignal_ != nullptr) result.stopSignal = stopSignal_;
    result.frames = writer_.Frames();
    result.blocks = blocks_.Received();
    result.lostBlocks = blocks_.Lost();
    result.lostFrames = block ? blocks_.Lost() * settings_.framesPerBlock : streamLost_;
    result.seconds = Elapsed();
    result.achievedRate = result.seconds > 0 ? static_cast<double>(received_) / result.seconds : 0;
    result.gaps = writer_.Gaps();
    return result;
  }

  const std::optional<PlotColumns>& Plot() const { return plot_; }

 private:
  // Seconds since the start: of the card's clock when the tool steps it, else of the wall.
  double Elapsed() const {
    if (host_.VirtualClock()) {
      return clockRate_ > 0 ? static_cast<double>(ticks_) / clockRate_ : 0;
    }
    return std::chrono::duration<double>(Clock::now() - started_).count();
  }

  // Ends at the requested frame count or duration, or at a stop signal; without either
  // bound, only a signal ends the run.
  bool Done() {
    if (stopSignal_ == nullptr) stopSignal_ = StopOnSignals::Caught();
    if (stopSignal_ != nullptr) return true;
    if (options_.frames) return writer_.Frames() >= *options_.frames;
    if (options_.duration) return Elapsed() >= *options_.duration;
    return false;
  }

  uint32_t VirtualFramesPerRead() const {
    return options_.virtualFramesPerRead != 0 ? options_.virtualFramesPerRead
                                              : settings_.framesPerBlock;
  }

  void Step(uint64_t frames) {
    const RatePlan& plan = settings_.plan;
    uint64_t lead = ticks_ == 0 ? plan.firstFrameTicks - plan.ticksPerFrame : 0;
    ticks_ += host_.Step(lead + plan.ticksPerFrame * frames);
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
    if (plot_) plot_->Add(frames);
  }

  // Frames the card produced that were lost, between the last taken and the next.
  void Lose(uint64_t frames) {
    writer_.NoteGap(frames);
    if (plot_) plot_->Skip(frames);
  }

  void CheckIdle(Device& device) {
    bool idle = host_.VirtualClock()
                    ? ++idleRounds_ > kVirtualIdleRounds
                    : std::chrono::duration<double>(Clock::now() - lastData_).count() >
                          settings_.timeout;
    if (idle) ThrowNoData(device);
  }

  [[noreturn]] void ThrowNoData(Device& device) {
    uint32_t code = device.LastError();
    // DAQ_OK: the last request (a block count, a snapshot) succeeded and found nothing new.
    const char* name = code == DAQ_OK ? "none" : DaqLastErrorName(code);
    throw std::runtime_error(fmt::format(
        "no data arrived in {:.2f} s of acquisition{} (driver's last error: {}); is "
        "identification byte 4 of the board 9?",
        Elapsed(), host_.VirtualClock() ? " on the card's clock" : "",
        name != nullptr ? name : fmt::format("code {}", code)));
  }

  void RunBlocks(Device& device, const Event& blockDone) {
    // In real time the rounds are at least a quarter of the pool's time apart (at most
    // kBlockRoundPause), so that at high rates a round takes a few blocks rather than the
    // thread waking for every block; the pool holds the blocks meanwhile.
    auto pause = std::chrono::duration<double>(
        std::min(static_cast<double>(settings_.framesPerBlock) * options_.blocks /
                     settings_.plan.frameRate / 4,
                 kBlockRoundPause.count()));
    while (!Done()) {
      if (host_.VirtualClock()) {
        Step(VirtualFramesPerRead());
      } else {
        std::this_thread::sleep_for(pause);
        blockDone.Wait(std::chrono::milliseconds(50));
      }
      // Reads the blocks the driver counts as complete, and no more: a read that finds no
      // block would cost a failing request and a last-error request to tell it from a fault.
      // A block completed meanwhile sets the event again and is read in the next round.
      for (uint16_t ready = device.BlockCount(); ready > 0; --ready) {
        auto block = device.ReadOldestBlock(settings_.framesPerBlock);
        if (!block) break;
        Lose(blocks_.Accept(block->sequence) * settings_.framesPerBlock);
        Take(block->frames);
        if (Done()) break;
      }
      CheckIdle(device);
      Progress();
    }
  }

  void RunStream(Device& device) {
    const uint32_t ring = settings_.framesPerBlock;
    StreamPosition position(ring);
    uint32_t request = ring;
    // Poll a few times per turn of the ring so that nothing is overwritten unread.
    auto poll = std::chrono::duration<double>(
        std::clamp(settings_.framesPerBlock / settings_.plan.frameRate / 4, 0.0005, 0.02));
    while (!Done()) {
      if (host_.VirtualClock()) {
        Step(VirtualFramesPerRead());
      } else {
        std::this_thread::sleep_for(poll);
      }
      // The driver hands over the newest frames of the ring, as many as asked for: ask for
      // what the last poll found new, with room to spare, and only when more came than that
      // (or on the first poll) for the whole ring, so that a poll copies little beyond its
      // new frames and no frame still in the ring is counted lost.
      StreamSnapshot snapshot = device.ReadStream(request);
      if (snapshot.frames.size() < ring &&
          position.Pending(snapshot.wraps, snapshot.newestFrameIndex) > snapshot.frames.size()) {
        snapshot = device.ReadStream(ring);
      }
      auto update = position.Accept(snapshot.wraps, snapshot.newestFrameIndex,
                                    snapshot.frames.size());
      request = static_cast<uint32_t>(
          std::clamp<uint64_t>(update.fresh + update.fresh / 2 + kStreamSpareFrames, 1, ring));
      streamLost_ = position.Lost();
      Lose(update.lost);
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
    std::string left = "Ctrl-C stops";
    if (options_.frames) {
      uint64_t missing = *options_.frames - std::min(*options_.frames, writer_.Frames());
      left = fmt::format("{:.1f} s left", rate > 0 ? static_cast<double>(missing) / rate : 0.0);
    } else if (options_.duration) {
      left = fmt::format("{:.1f} s left", std::max(0.0, *options_.duration - elapsed));
    }
    ProgressFields fields{writer_.Frames(), rate, "frames", streamLost_, left};
    if (options_.mode == "block") {
      fields.lostWhat = "blocks";
      fields.lost = blocks_.Lost();
    }
    // The width is read at every update: the terminal may have been resized.
    fmt::print(stderr, "\r\x1b[K{}", FormatProgressLine(fields, TerminalColumns(2)));
    std::fflush(stderr);
    shown_ = true;
  }

  void EndProgress() {
    if (shown_) fmt::print(stderr, "\r\x1b[K");
    shown_ = false;
  }

  const AcquireOptions& options_;
  const AcquireSettings& settings_;
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
  const char* stopSignal_ = nullptr;
  BlockSequence blocks_;
  std::optional<PlotColumns> plot_;
};

std::string DescribePlan(const RatePlan& plan) {
  return fmt::format("{:g} frames/s (--rate {})", plan.frameRate, plan.driverRate);
}

// The driver rate for the options, with what it programs; refuses rates the card cannot run,
// naming the nearest ones it can.
RatePlan ChooseRate(const AcquireOptions& options) {
  if (options.frameRate) {
    FrameRateChoice choice = PlanFrameRate(*options.frameRate);
    if (choice.exact) return *choice.exact;
    std::string nearest;
    for (const auto& plan : {choice.below, choice.above}) {
      if (plan) nearest += (nearest.empty() ? "" : " or ") + DescribePlan(*plan);
    }
    throw CLI::ValidationError(
        "--frame-rate", fmt::format("the card cannot deliver {:g} frames/s; the nearest rates it "
                                    "can: {}",
                                    *options.frameRate, nearest));
  }
  int32_t rate = options.rate.value_or(kDefaultDriverRate);
  if (auto plan = PlanDriverRate(rate)) return *plan;
  auto nearest = PlanDriverRate(rate > 0 ? kFastestDriverRate : kSlowestDriverRate);
  throw CLI::ValidationError(
      "--rate", fmt::format("the driver runs rates from {} to {} only; the nearest: {}",
                            kSlowestDriverRate, kFastestDriverRate, DescribePlan(*nearest)));
}

AcquireSettings Settle(const AcquireOptions& options) {
  AcquireSettings settings;
  settings.plan = ChooseRate(options);
  double rate = settings.plan.frameRate;
  if (options.framesPerBlock) {
    settings.framesPerBlock = *options.framesPerBlock;
  } else if (options.mode == "block") {
    // Slow rates take smaller blocks, so that a block arrives within a second.
    settings.framesPerBlock = static_cast<uint32_t>(
        std::clamp(std::floor(rate), 1.0, static_cast<double>(kDefaultFramesPerBlock)));
  } else {
    settings.framesPerBlock = static_cast<uint32_t>(
        std::max(static_cast<double>(kDefaultFramesPerBlock), std::ceil(rate * kRingSeconds)));
  }
  // At slow rates a block (or in continuous mode a frame) takes its time; waiting for it is no
  // silence.
  double perRead =
      (options.mode == "block" ? static_cast<double>(settings.framesPerBlock) : 1.0) / rate;
  settings.timeout = options.timeout + perRead;
  return settings;
}

// The plot's panels: the words --words selected, in their order, or else the signal words;
// each with the unit and scale --scale gave it.
std::vector<PlotWord> PlotWordsFor(const WordSelection& selection, bool wordsGiven) {
  std::vector<PlotWord> plotWords;
  if (wordsGiven) {
    for (unsigned index : selection.words) {
      plotWords.push_back({index, std::string(kChannelLayout[index].name), "counts", 1, 0});
    }
  } else {
    plotWords = SignalPlotWords();
  }
  for (PlotWord& word : plotWords) {
    if (const WordScale* scale = selection.ScaleOf(word.index)) {
      word.scale = scale->factor;
      word.offset = scale->offset;
      if (!scale->unit.empty()) word.unit = scale->unit;
    }
  }
  return plotWords;
}

void RunAcquire(const AcquireOptions& options, Context& context) {
  AcquireSettings settings = Settle(options);
  DataFormat format = DataFormat::Csv;
  std::string output = options.output;
  if (!options.format.empty()) {
    format = *ParseDataFormat(options.format);
  } else if (!output.empty() && output != "-") {
    auto extension = std::filesystem::path(output).extension().string();
    if (auto guessed = ParseDataFormat(extension.empty() ? "" : extension.substr(1))) format = *guessed;
  }
  if (output.empty()) output = std::string("acquisition.") + DataFormatName(format);
  bool toStdout = output == "-";
  if (toStdout && (format == DataFormat::Npy || format == DataFormat::Hdf5)) {
    throw CLI::ValidationError("--output", "-o - takes csv or raw (a .npy header is completed at "
                                           "the end of the run, an HDF5 file is no stream)");
  }
  if (format == DataFormat::Hdf5 && !Hdf5Available()) {
    throw CLI::ValidationError("--format", "this build of the tool writes no HDF5 (built "
                                           "without libhdf5)");
  }
  WordSelection words;
  try {
    if (!options.words.empty()) words.words = ParseWordList(options.words);
    for (const std::string& text : options.scales) {
      auto [word, scale] = ParseScale(text);
      words.scales.insert_or_assign(word, scale);
    }
  } catch (const std::invalid_argument& error) {
    throw CLI::ValidationError("--words/--scale", error.what());
  }
  words.timeColumn = options.timeColumn;
  settings.plotWords = PlotWordsFor(words, !options.words.empty());
  if (words.timeColumn && (format == DataFormat::Raw || format == DataFormat::Npy)) {
    throw CLI::ValidationError("--time-column", "a time column needs csv or hdf5 (raw and .npy "
                                                "hold integers; their JSON gives the frame rate "
                                                "and the gaps)");
  }
  if (!options.plot.empty()) {
    auto plotFormat = PlotFormatFor(options.plot);
    if (!plotFormat) throw CLI::ValidationError("--plot", "the plot's file name ends in .svg or .png");
    if (*plotFormat == PlotFormat::Png && !PngPlotsSupported()) {
      throw CLI::ValidationError("--plot", "this build writes SVG plots only (no librsvg)");
    }
  }
  // With the data on standard output, the summary goes to standard error.
  std::FILE* summary = toStdout ? stderr : stdout;

  MachineHost& host = context.Host();
  const RatePlan& plan = settings.plan;
  AcquisitionHeader header;
  header.mode = options.mode;
  header.requestedRate = plan.driverRate;
  header.requestedFrameRate = options.frameRate.value_or(0);
  header.clockRate = plan.clockRate;
  header.decimation = plan.decimation;
  header.clockHz = plan.clockHz;
  header.ticksPerFrame = plan.ticksPerFrame;
  header.frameRate = plan.frameRate;
  header.framesPerBlock = settings.framesPerBlock;
  header.blockCount = options.mode == "block" ? options.blocks : 1;
  header.virtualClock = host.VirtualClock();
  header.words = words;
  header.gain = options.gain;
  header.rangeCode = RangeCodeOfGain(options.gain);
  header.sources = context.machineOptions.sourceTexts;
  auto writer = OpenFrameWriter(format, output, header);

  AcquisitionResult result;
  std::optional<PlotColumns> plot;
  {
    StopOnSignals stopOnSignals;
    Acquisition acquisition(options, settings, host, *writer);
    result = acquisition.Run();
    plot = acquisition.Plot();
  }
  auto description = SidecarDocument(format, output, header, result);
  writer->Finish(description);
  if (!toStdout) WriteSidecar(output, SidecarJson(format, output, header, result));

  if (!result.stopSignal.empty()) {
    fmt::print(summary, "interrupted by {}: the files hold the frames that arrived before it\n",
               result.stopSignal);
  }
  fmt::print(summary, "acquired {} frames in {:.3f} s ({:.1f} frames/s), {} mode\n",
             result.frames, result.seconds, result.achievedRate, options.mode);
  fmt::print(summary,
             "rate  {} -> sample clock {:g} Hz (driver's clock rate {}), decimation {}, {} ticks "
             "per frame: {:g} frames/s\n",
             plan.driverRate, plan.clockHz, plan.clockRate, plan.decimation, plan.ticksPerFrame,
             plan.frameRate);
  if (options.mode == "block") {
    fmt::print(summary, "blocks {} read, {} lost ({} frames), {} frames per block\n",
               result.blocks, result.lostBlocks, result.lostFrames, settings.framesPerBlock);
  } else {
    fmt::print(summary,
               "frames lost (overwritten in the ring before they were read): {}, ring of {} "
               "frames\n",
               result.lostFrames, settings.framesPerBlock);
  }
  fmt::print(summary, "data  {} ({}, {} x {} {})\n", toStdout ? "standard output" : output,
             DataFormatName(format), result.frames, words.words.size(),
             format == DataFormat::Csv ? "columns" : words.Wide() ? "uint64" : "uint16");
  if (!toStdout) fmt::print(summary, "about {}.json\n", output);
  if (plot) {
    PlotOptions plotOptions;
    plotOptions.framesPerSecond = plan.frameRate;
    plotOptions.title = fmt::format("tarvik acquisition: {} frames at {:g} frames/s, {} mode",
                                    result.frames, plan.frameRate, options.mode);
    WritePlot(options.plot, *plot, plotOptions);
    fmt::print(summary, "plot  {}\n", options.plot);
  }
  if (result.lostFrames > 0 || result.lostBlocks > 0) {
    std::fflush(summary);
    fmt::print(stderr, "tarvik: data lost: {} block(s), {} frame(s)\n", result.lostBlocks,
               result.lostFrames);
    context.exitCode = kExitDataLost;
  }
}

// A finite number above zero and at most `max`, of the unit named.
CLI::Validator PositiveUpTo(double max, const char* unit) {
  return CLI::Validator(
      [max, unit](const std::string& text) {
        char* end = nullptr;
        double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || !std::isfinite(value) || value <= 0 ||
            value > max) {
          return fmt::format("'{}' is not a number of {} above 0 and up to {:g}", text, unit, max);
        }
        return std::string();
      },
      "");
}

constexpr double kMaxSeconds = 366.0 * 86400;

}  // namespace

void AddAcquireCommand(CLI::App& app, Context& context) {
  auto options = std::make_shared<AcquireOptions>();
  auto* acquire = app.add_subcommand(
      "acquire", "Acquire frames of 16 words into a file (until stopped with Ctrl-C or SIGTERM "
                 "unless --duration or --frames bounds the run)");
  acquire->add_option("--mode", options->mode,
                      "block: blocks of frames from a pool, every block numbered; continuous: "
                      "snapshots of a ring of frames")
      ->check(CLI::IsMember({"block", "continuous"}))
      ->capture_default_str();
  auto* rate = acquire->add_option_function<int32_t>(
      "--rate", [options](int32_t value) { options->rate = value; },
      "The rate as the driver takes it (default 10000): from 10000 to 100000 the sample clock's "
      "rate, two ticks per frame; below 10000 a decimated clock; negative -k: one frame in k "
      "seconds. The summary and the JSON say what it gives");
  rate->type_name("RATE");
  auto* frameRate = acquire->add_option_function<double>(
      "--frame-rate", [options](double value) { options->frameRate = value; },
      "Frames per second (instead of --rate); refused, with the nearest ones, when the card "
      "cannot deliver it");
  frameRate->check(PositiveUpTo(kFastestDriverRate, "frames per second"))->type_name("HZ");
  frameRate->excludes(rate);
  acquire->add_option_function<uint32_t>(
          "--frames-per-block", [options](uint32_t value) { options->framesPerBlock = value; },
          "Frames per block (default 64, fewer at rates below 64 frames/s); in continuous mode "
          "the ring's length (default 50 ms of frames, at least 64)")
      ->check(CLI::Range(1u, 65536u))
      ->type_name("N");
  acquire->add_option("--blocks", options->blocks, "Blocks in the driver's pool (block mode)")
      ->check(CLI::Range(int16_t{1}, int16_t{32767}))
      ->capture_default_str();
  acquire->add_option("--gain", options->gain,
                      "Input range as a gain: 1, 2, 4, 8, 10, 100, 1000; written to the card's "
                      "range bits and recorded in the JSON")
      ->check(CLI::IsMember({1, 2, 4, 8, 10, 100, 1000}))
      ->capture_default_str();
  auto* duration = acquire->add_option_function<double>(
      "--duration", [options](double seconds) { options->duration = seconds; },
      "Seconds to acquire (the card's time with --virtual)");
  duration->check(PositiveUpTo(kMaxSeconds, "seconds"))->type_name("SECONDS");
  auto* frames = acquire->add_option_function<uint64_t>(
      "--frames", [options](uint64_t count) { options->frames = count; },
      "Number of frames to acquire (instead of --duration)");
  frames->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40))->type_name("N");
  frames->excludes(duration);
  acquire->add_option("--format", options->format,
                      "csv, raw (little-endian words, one per selected word and frame), npy or "
                      "hdf5 (default: from the output's extension, .h5 too, else csv)")
      ->check(CLI::IsMember({"csv", "raw", "npy", "hdf5"}));
  acquire->add_option("--words", options->words,
                      "The words to write, in this order, by name (default all 16: word0, word1, "
                      "zero2, zero3, result_b_first, result_b, zero6, zero7, word8, word9, ticks, "
                      "ack_strobes, mux_strobes, b_strobes, counter4, overruns). Counters are "
                      "unwrapped into 64-bit counts; binary files with a counter hold uint64 "
                      "words, else uint16")
      ->type_name("WORD,...");
  acquire->add_option("--scale", options->scales,
                      "WORD=FACTOR[,OFFSET[,UNIT]]: value x FACTOR + OFFSET in UNIT; applied in "
                      "CSV, recorded in the JSON (and HDF5 attributes) for every format")
      ->type_name("SCALE");
  acquire->add_flag("--time-column", options->timeColumn,
                    "A time in seconds from the frame rate, lost frames counted (csv: a first "
                    "column; hdf5: a dataset \"time\")");
  acquire->add_option("-o,--output", options->output,
                      "Data file (default acquisition.FORMAT); FILE.json beside it describes it; "
                      "- writes csv or raw to standard output (no JSON)");
  acquire->add_option("--plot", options->plot, "Also plot the signal words over time, one panel each, into this file (.svg, or .png)")
      ->type_name("FILE");
  acquire->add_option("--timeout", options->timeout,
                      "Give up when no data arrives for this many seconds (real-time clock; "
                      "slow rates wait longer)")
      ->check(PositiveUpTo(kMaxSeconds, "seconds"))
      ->capture_default_str();
  acquire->add_option("--virtual-frames-per-read", options->virtualFramesPerRead,
                      "With --virtual: frames the card runs between two reads (default: one "
                      "block, or the ring); more than the driver can hold shows loss")
      ->check(CLI::Range(1u, 1u << 20))
      ->type_name("N");
  acquire->callback([options, &context] { RunAcquire(*options, context); });
}

}  // namespace tarvik::tool
