// tarvik acquire: what the command line asks for, and what it settles once checked: the
// rate the card runs, the block geometry, how many frames end the run, the words and their
// scales, and where the data, its description and the plot go. Everything here is decided
// before the card starts, so that a bad request costs nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "data_files.h"
#include "output_file.h"
#include "plot_columns.h"
#include "tarvik/rate_plan.h"
#include "word_selection.h"

namespace tarvik::tool {

struct AcquireOptions {
  std::string mode = "block";
  std::optional<int32_t> rate;        // the driver's rate
  std::optional<double> frameRate;    // frames per second
  bool nearest = false;               // run the nearest rate the card can instead of refusing
  std::optional<uint32_t> framesPerBlock;
  int16_t blocks = 8;
  uint16_t gain = 1;
  std::optional<double> duration;
  std::optional<uint64_t> frames;
  std::string format;
  std::optional<std::string> output;
  std::string plot;
  double timeout = 2.0;
  uint32_t virtualFramesPerRead = 0;  // 0: a block (block mode) or the ring (continuous)
  std::string words;                  // --words; empty: all 16
  std::vector<std::string> scales;    // --scale WORD=FACTOR[,OFFSET[,UNIT]]
  bool timeColumn = false;
};

// Where the run's files go.
struct OutputPlan {
  DataFormat format = DataFormat::Csv;
  std::filesystem::path data;  // "-": standard output
  OutputKind kind = OutputKind::Replaced;
  bool sidecar = true;         // FILE.json beside a regular file; none for a stream or device
};

// How many frames end the run: --frames counts frames in the file; --duration counts the
// frames the card produced in that time, lost ones included (so a run without loss holds
// exactly duration x frame rate frames).
struct FrameBound {
  uint64_t frames = 0;
  bool countsLost = false;
};

struct AcquireSettings {
  RatePlan plan;
  std::string rateNote;  // what --nearest chose instead of the rate asked for
  uint32_t framesPerBlock = 64;
  std::optional<FrameBound> bound;  // none: until a signal stops the run
  double timeout = 2.0;  // seconds without data before the run is given up (real time)
  WordSelection words;
  std::vector<PlotWord> plotWords;  // the plot's panels
  OutputPlan output;
};

// The card's 2-bit range code for a gain: 1, 2, 4, 8 are codes 0..3 of one range set, and
// 10, 100, 1000 codes 1..3 of the other (1 is code 0 in both), as the driver maps them.
uint8_t RangeCodeOfGain(uint16_t gain);

// Checks the options and settles the run. Throws CLI::ValidationError for a request the
// command line gets wrong, OutputError for a file that cannot be written.
AcquireSettings Settle(const AcquireOptions& options);

std::string DescribePlan(const RatePlan& plan);

}  // namespace tarvik::tool
