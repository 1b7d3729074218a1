#include "acquire_settings.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "file_replace.h"
#include "plot.h"

namespace tarvik::tool {

namespace {

constexpr int32_t kDefaultDriverRate = 10000;
constexpr uint32_t kDefaultFramesPerBlock = 64;
// The continuous ring holds at least this long of frames, so that polls some milliseconds
// apart lose nothing at the card's top rate.
constexpr double kRingSeconds = 0.05;

// The plan the options ask for. Without --nearest a rate the card cannot run is refused with
// the nearest ones it can; with it, the nearest is taken and `note` says so.
RatePlan ChooseRate(const AcquireOptions& options, std::string& note) {
  if (options.frameRate) {
    double wanted = *options.frameRate;
    FrameRateChoice choice = PlanFrameRate(wanted);
    if (choice.exact) return *choice.exact;
    if (options.nearest) {
      note = fmt::format("the card cannot deliver {:g} frames/s; running the nearest it can, {}",
                         wanted, DescribePlan(*choice.nearest));
      return *choice.nearest;
    }
    std::string nearest;
    for (const auto& plan : {choice.below, choice.above}) {
      if (plan) nearest += (nearest.empty() ? "" : " or ") + DescribePlan(*plan);
    }
    throw CLI::ValidationError(
        "--frame-rate", fmt::format("the card cannot deliver {:g} frames/s; the nearest rates it "
                                    "can: {} (--nearest takes the nearest)",
                                    wanted, nearest));
  }
  int32_t rate = options.rate.value_or(kDefaultDriverRate);
  if (auto plan = PlanDriverRate(rate)) return *plan;
  auto nearest = PlanDriverRate(rate > 0 ? kFastestDriverRate : kSlowestDriverRate);
  if (options.nearest) {
    note = fmt::format("the driver runs rates from {} to {} only; running the nearest, {}",
                       kSlowestDriverRate, kFastestDriverRate, DescribePlan(*nearest));
    return *nearest;
  }
  throw CLI::ValidationError(
      "--rate", fmt::format("the driver runs rates from {} to {} only; the nearest: {}",
                            kSlowestDriverRate, kFastestDriverRate, DescribePlan(*nearest)));
}

uint32_t FramesPerBlock(const AcquireOptions& options, double rate) {
  if (options.framesPerBlock) return *options.framesPerBlock;
  if (options.mode == "block") {
    // Slow rates take smaller blocks, so that a block arrives within a second.
    return static_cast<uint32_t>(
        std::clamp(std::floor(rate), 1.0, static_cast<double>(kDefaultFramesPerBlock)));
  }
  return static_cast<uint32_t>(
      std::max(static_cast<double>(kDefaultFramesPerBlock), std::ceil(rate * kRingSeconds)));
}

std::optional<FrameBound> Bound(const AcquireOptions& options, double frameRate) {
  if (options.frames) return FrameBound{*options.frames, false};
  if (!options.duration) return std::nullopt;
  double frames = std::round(*options.duration * frameRate);
  if (frames < 1) {
    throw CLI::ValidationError(
        "--duration", fmt::format("{:g} s holds no frame at {:g} frames/s", *options.duration,
                                  frameRate));
  }
  return FrameBound{static_cast<uint64_t>(frames), true};
}

WordSelection Words(const AcquireOptions& options) {
  WordSelection words;
  try {
    if (!options.words.empty()) words.words = ParseWordList(options.words);
    for (const std::string& text : options.scales) {
      auto [word, scale] = ParseScale(text);
      if (std::find(words.words.begin(), words.words.end(), word) == words.words.end()) {
        throw std::invalid_argument(fmt::format("--scale {}: --words does not select {}", text,
                                                kChannelLayout[word].name));
      }
      words.scales.insert_or_assign(word, scale);
    }
  } catch (const std::invalid_argument& error) {
    throw CLI::ValidationError("--words/--scale", error.what());
  }
  words.timeColumn = options.timeColumn;
  return words;
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

// The format the extension of a file's name names ("x.h5": hdf5), if any.
std::optional<DataFormat> FormatOfName(const std::filesystem::path& path) {
  auto extension = path.extension().string();
  return extension.size() > 1 ? ParseDataFormat(extension.substr(1)) : std::nullopt;
}

OutputPlan PlanOutput(const AcquireOptions& options) {
  OutputPlan plan;
  if (options.output && options.output->empty()) {
    throw CLI::ValidationError("--output", "the name is empty (leave -o out for acquisition.FORMAT)");
  }
  // The format the output's name gives, if any (a plain enum and a flag: GCC takes an
  // optional enum for uninitialised here).
  DataFormat named = DataFormat::Csv;
  bool nameGivesFormat = false;
  if (options.output) {
    if (auto format = FormatOfName(*options.output)) {
      named = *format;
      nameGivesFormat = true;
    }
  }
  if (!options.format.empty()) {
    plan.format = *ParseDataFormat(options.format);
    if (nameGivesFormat && named != plan.format) {
      throw CLI::ValidationError(
          "--format", fmt::format("{} names a {} file, not {}: name it .{}, or leave --format "
                                  "out",
                                  *options.output, DataFormatName(named),
                                  DataFormatName(plan.format), DataFormatName(plan.format)));
    }
  } else if (nameGivesFormat) {
    plan.format = named;
  }
  if (plan.format == DataFormat::Hdf5 && !Hdf5Available()) {
    throw CLI::ValidationError("--format", "this build of the tool writes no HDF5 (built "
                                           "without libhdf5)");
  }
  plan.data = options.output.value_or(std::string("acquisition.") + DataFormatName(plan.format));
  plan.kind = InspectOutput(plan.data);
  bool seekable = plan.format == DataFormat::Csv || plan.format == DataFormat::Raw;
  if (plan.kind == OutputKind::Stdout && !seekable) {
    throw CLI::ValidationError("--output", "-o - takes csv or raw (a .npy header is completed at "
                                           "the end of the run, an HDF5 file is no stream)");
  }
  if (plan.kind == OutputKind::InPlace && !seekable) {
    throw CLI::ValidationError(
        "--output", fmt::format("{} is no regular file: it takes csv or raw (a .npy header is "
                                "completed at the end of the run, an HDF5 file is no stream)",
                                plan.data.string()));
  }
  plan.sidecar = plan.kind == OutputKind::Replaced;
  if (plan.sidecar) {
    std::filesystem::path sidecar = plan.data;
    sidecar += ".json";
    InspectOutput(sidecar);
  }
  return plan;
}

void CheckPlot(const AcquireOptions& options, const OutputPlan& output) {
  if (options.plot.empty()) return;
  auto plotFormat = PlotFormatFor(options.plot);
  if (!plotFormat) throw CLI::ValidationError("--plot", "the plot's file name ends in .svg or .png");
  if (*plotFormat == PlotFormat::Png && !PngPlotsSupported()) {
    throw CLI::ValidationError("--plot", "this build writes SVG plots only (no librsvg)");
  }
  if (SameFile(options.plot, output.data)) {
    throw CLI::ValidationError("--plot", "the plot and the data would be the same file");
  }
  InspectOutput(options.plot);
}

}  // namespace

uint8_t RangeCodeOfGain(uint16_t gain) {
  switch (gain) {
    case 2: case 10: return 1;
    case 4: case 100: return 2;
    case 8: case 1000: return 3;
    default: return 0;
  }
}

std::string DescribePlan(const RatePlan& plan) {
  return fmt::format("{:g} frames/s (--rate {})", plan.frameRate, plan.driverRate);
}

AcquireSettings Settle(const AcquireOptions& options) {
  AcquireSettings settings;
  settings.plan = ChooseRate(options, settings.rateNote);
  double rate = settings.plan.frameRate;
  settings.framesPerBlock = FramesPerBlock(options, rate);
  settings.bound = Bound(options, rate);
  // At slow rates a block (or in continuous mode a frame) takes its time; waiting for it is no
  // silence.
  double perRead =
      (options.mode == "block" ? static_cast<double>(settings.framesPerBlock) : 1.0) / rate;
  settings.timeout = options.timeout + perRead;
  settings.words = Words(options);
  settings.plotWords = PlotWordsFor(settings.words, !options.words.empty());
  settings.output = PlanOutput(options);
  DataFormat format = settings.output.format;
  if (settings.words.timeColumn && (format == DataFormat::Raw || format == DataFormat::Npy)) {
    throw CLI::ValidationError("--time-column", "a time column needs csv or hdf5 (raw and .npy "
                                                "hold integers; their JSON gives the frame rate "
                                                "and the gaps)");
  }
  CheckPlot(options, settings.output);
  return settings;
}

}  // namespace tarvik::tool
