// tarvik acquire: block or continuous acquisition into a CSV, raw, .npy or HDF5 file of the
// words selected, with a JSON description beside it, a progress line, a summary, loss
// accounting and an optional plot. The options are checked and settled (acquire_settings.h)
// before the card starts; the run itself is acquire_run.h.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "acquire_run.h"
#include "acquire_settings.h"
#include "context.h"
#include "description.h"
#include "plot.h"
#include "stop_signal.h"

namespace tarvik::tool {

namespace {

AcquisitionHeader HeaderFor(const AcquireOptions& options, const AcquireSettings& settings,
                            Context& context) {
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
  header.virtualClock = context.Host().VirtualClock();
  header.words = settings.words;
  header.gain = options.gain;
  header.rangeCode = RangeCodeOfGain(options.gain);
  header.sources = context.machineOptions.sources;
  return header;
}

// After a failed write: the file keeps the frames that went out whole, and says so. Returns
// what to tell the user; `inPlace` says whether the file is there under its name.
std::string SalvageAfterWriteError(FrameWriter& writer, const OutputPlan& output,
                                   const AcquisitionHeader& header, AcquisitionResult& result,
                                   const std::string& writeError, bool& inPlace) {
  result.frames = writer.DurableFrames();
  std::erase_if(result.gaps, [&](const Gap& gap) { return gap.frame > result.frames; });
  inPlace = false;
  if (output.kind != OutputKind::Replaced) return writeError;
  try {
    writer.Salvage(SidecarDocument(output.format, output.data, header, result));
  } catch (const OutputError& error) {
    return writeError + "; " + error.what();
  }
  inPlace = true;
  return fmt::format("{}; {} holds the {} frames written before it", writeError,
                     output.data.string(), result.frames);
}

void PrintSummary(std::FILE* summary, const AcquireOptions& options,
                  const AcquireSettings& settings, const AcquisitionResult& result,
                  bool described) {
  const RatePlan& plan = settings.plan;
  const OutputPlan& output = settings.output;
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
  const WordSelection& words = settings.words;
  fmt::print(summary, "data  {} ({}, {} x {} {})\n",
             output.kind == OutputKind::Stdout ? "standard output" : output.data.string(),
             DataFormatName(output.format), result.frames, words.words.size(),
             output.format == DataFormat::Csv ? "columns" : words.Wide() ? "uint64" : "uint16");
  if (described) fmt::print(summary, "about {}.json\n", output.data.string());
}

void RunAcquire(const AcquireOptions& options, Context& context) {
  AcquireSettings settings = Settle(options);
  if (!settings.rateNote.empty()) fmt::print(stderr, "tarvik: {}\n", settings.rateNote);
  const OutputPlan& output = settings.output;
  // With the data on standard output, the summary goes to standard error.
  std::FILE* summary = output.kind == OutputKind::Stdout ? stderr : stdout;

  AcquisitionHeader header = HeaderFor(options, settings, context);
  auto writer = OpenFrameWriter(output.format, output.data, header);
  RunOutcome outcome;
  {
    StopOnSignals stopOnSignals;
    outcome = RunAcquisition(options, settings, context.Host(), *writer);
  }
  AcquisitionResult& result = outcome.result;
  std::vector<std::string> fileErrors;
  bool inPlace = true;
  if (outcome.writeError.empty()) {
    writer->Finish(SidecarDocument(output.format, output.data, header, result));
  } else {
    fileErrors.push_back(
        SalvageAfterWriteError(*writer, output, header, result, outcome.writeError, inPlace));
  }
  bool described = false;
  if (output.sidecar && inPlace) {
    try {
      WriteSidecar(output.data, SidecarJson(output.format, output.data, header, result));
      described = true;
    } catch (const OutputError& error) {
      fileErrors.emplace_back(error.what());
    }
  }

  PrintSummary(summary, options, settings, result, described);
  if (outcome.plot) {
    PlotOptions plotOptions;
    plotOptions.framesPerSecond = settings.plan.frameRate;
    plotOptions.title = fmt::format("tarvik acquisition: {} frames at {:g} frames/s, {} mode",
                                    result.frames, settings.plan.frameRate, options.mode);
    WritePlot(options.plot, *outcome.plot, plotOptions);
    fmt::print(summary, "plot  {}\n", options.plot);
  }
  std::fflush(summary);
  if (result.lostFrames > 0 || result.lostBlocks > 0) {
    fmt::print(stderr, "tarvik: data lost: {} block(s), {} frame(s)\n", result.lostBlocks,
               result.lostFrames);
    context.exitCode = kExitDataLost;
  }
  for (const std::string& error : fileErrors) {
    fmt::print(stderr, "tarvik: {}\n", error);
    context.exitCode = kExitDeviceError;
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

// A whole number from 1 to `max`, in digits.
std::optional<uint64_t> WholeNumber(const std::string& text, uint64_t max) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return {};
  errno = 0;
  uint64_t value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || value < 1 || value > max) return {};
  return value;
}

constexpr double kMaxSeconds = 366.0 * 86400;
constexpr uint64_t kMaxFrames = uint64_t{1} << 40;

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
      "cannot deliver it (unless --nearest)");
  frameRate->check(PositiveUpTo(kFastestDriverRate, "frames per second"))->type_name("HZ");
  frameRate->excludes(rate);
  acquire->add_flag("--nearest", options->nearest,
                    "Run the nearest rate the card can deliver instead of refusing one it "
                    "cannot, and say which");
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
      "Seconds of the card's time to acquire: the frame rate times this many frames (lost ones "
      "included)");
  duration->check(PositiveUpTo(kMaxSeconds, "seconds"))->type_name("SECONDS");
  auto* frames = acquire->add_option_function<std::string>(
      "--frames", [options](const std::string& text) { options->frames = WholeNumber(text, kMaxFrames); },
      "Number of frames to acquire (instead of --duration)");
  frames
      ->check(CLI::Validator(
          [](const std::string& text) {
            return WholeNumber(text, kMaxFrames)
                       ? std::string()
                       : fmt::format("'{}' is not a whole number of frames from 1 to {}, in "
                                     "digits",
                                     text, kMaxFrames);
          },
          ""))
      ->type_name("N");
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
      ->check(CLI::Validator(
          [](const std::string& text) {
            try {
              ParseWordList(text);
            } catch (const std::invalid_argument& error) {
              return std::string(error.what());
            }
            return std::string();
          },
          ""))
      ->type_name("WORD,...");
  acquire->add_option("--scale", options->scales,
                      "WORD=FACTOR[,OFFSET[,UNIT]]: value x FACTOR + OFFSET in UNIT; applied in "
                      "CSV, recorded in the JSON (and HDF5 attributes) for every format")
      ->type_name("SCALE");
  acquire->add_flag("--time-column", options->timeColumn,
                    "A time in seconds from the frame rate, lost frames counted (csv: a first "
                    "column; hdf5: a dataset \"time\")");
  acquire
      ->add_option_function<std::string>(
          "-o,--output", [options](const std::string& path) { options->output = path; },
          "Data file (default acquisition.FORMAT), written under a temporary name and renamed "
          "when complete, keeping an existing file's permissions; FILE.json beside it describes "
          "it. A FIFO or device (/dev/null) is written in place (csv or raw, no JSON); - writes "
          "csv or raw to standard output")
      ->type_name("FILE");
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
