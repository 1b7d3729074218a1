// Acquisition output: CSV, raw little-endian words, NumPy .npy or HDF5, written as frames
// arrive through OutputFile (output_file.h), and a JSON description beside the data file
// (FILE.json, description.h) that says what the numbers are (an HDF5 file also carries it as
// attributes).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame_layout.h"
#include "output_file.h"
#include "word_selection.h"

namespace tarvik::tool {

enum class DataFormat { Csv, Raw, Npy, Hdf5 };

// A format's name, or a file extension without its dot ("h5" and "hdf5" are HDF5).
std::optional<DataFormat> ParseDataFormat(const std::string& text);
const char* DataFormatName(DataFormat format);
// Whether this build writes HDF5 (it needs libhdf5).
bool Hdf5Available();

// What is known about an acquisition when its file is opened.
struct AcquisitionHeader {
  std::string mode;            // "block" or "continuous"
  int32_t requestedRate = 0;   // as given to the driver
  double requestedFrameRate = 0;  // frames per second asked for (0: the driver's rate was)
  // What the driver programmed for it and what that delivers.
  int32_t clockRate = 0;       // sample-clock rate the driver asks of the card
  int64_t decimation = 1;
  double clockHz = 0;          // the card's tick rate
  uint64_t ticksPerFrame = 0;
  double frameRate = 0;        // frames per second the card delivers
  uint32_t framesPerBlock = 0; // in continuous mode the ring's length
  int32_t blockCount = 0;      // blocks in the driver's pool (block mode)
  bool virtualClock = false;   // the card was stepped by the tool, not paced in real time
  WordSelection words;         // the words in the file, their order, scales, time column
  uint16_t gain = 1;           // as given; the range code is what the card's register took
  uint8_t rangeCode = 0;
  std::vector<std::string> sources;  // the signal sources given, as written
};

// Frames that never reached the file: `lostFrames` of them between the file's frames
// frame - 1 and frame (block mode: a gap in the sequence numbers; continuous: frames
// overwritten in the ring before they were read).
struct Gap {
  uint64_t frame = 0;
  uint64_t lostFrames = 0;
};

// What is known when it is over.
struct AcquisitionResult {
  uint64_t frames = 0;         // frames in the file
  uint64_t blocks = 0;         // blocks read (block mode)
  uint64_t lostBlocks = 0;     // sequence gaps (block mode)
  uint64_t lostFrames = 0;     // frames the driver delivered to nobody
  double seconds = 0;          // from start to stop
  double achievedRate = 0;     // frames per second received
  std::string stopSignal;      // "SIGINT" or "SIGTERM" when a signal ended the run early
  std::string startTimeUtc;    // ISO 8601, when the card was started
  std::optional<uint32_t> serialNumber;  // none on a board whose EEPROM holds none
  std::vector<uint8_t> identification;   // the board's identification bytes
  std::vector<Gap> gaps;
};

// Writes the selected words of each frame (counters unwrapped), in the selection's order.
class FrameWriter {
 public:
  explicit FrameWriter(const AcquisitionHeader& header);
  virtual ~FrameWriter() = default;
  // Throws OutputError when the file cannot be written; what went out before stays
  // (DurableFrames, Salvage).
  void Append(std::span<const FrameWords> frames);
  // `lost` frames that never came lie before the next frame appended; the time column counts
  // them, and Gaps() lists them.
  void NoteGap(uint64_t lost);
  // Completes the file (the .npy header gets its final shape, an HDF5 file its attributes
  // from the description) and puts it in place. Throws on I/O errors.
  void Finish(const nlohmann::ordered_json& description = nlohmann::ordered_json::object()) {
    Complete(description);
  }
  // After a failed write: the frames the file holds whole.
  virtual uint64_t DurableFrames() const = 0;
  // After a failed write: completes the file with its durable frames and puts it in place;
  // throws OutputError (naming where they are kept) when that fails too.
  virtual void Salvage(const nlohmann::ordered_json& description) = 0;
  uint64_t Frames() const { return frames_; }
  const std::vector<Gap>& Gaps() const { return gaps_; }

 protected:
  // `values` holds Columns() values per frame; `times` one per frame when the time column is on.
  virtual void Write(std::span<const uint64_t> values, std::span<const double> times) = 0;
  virtual void Complete(const nlohmann::ordered_json& description) = 0;
  size_t Columns() const { return rows_.Columns(); }

  const AcquisitionHeader header_;
  uint64_t frames_ = 0;

 private:
  FrameRows rows_;
  uint64_t lost_ = 0;
  std::vector<Gap> gaps_;
  std::vector<uint64_t> values_;
  std::vector<double> times_;
};

// Opens the file (see OutputFile; "-": standard output, for CSV and raw only); throws
// OutputError when it cannot.
std::unique_ptr<FrameWriter> OpenFrameWriter(DataFormat format, const std::filesystem::path& path,
                                             const AcquisitionHeader& header);

// The size of the .npy header this tool writes (magic to the dict's newline).
inline constexpr size_t kNpyHeaderBytes = 128;
// `wide`: 64-bit words (a counter is among the columns), else 16-bit.
std::string NpyHeader(uint64_t frames, size_t columns = kChannels, bool wide = false);

}  // namespace tarvik::tool
