// Acquisition output: CSV, raw little-endian words, or NumPy .npy, written as frames arrive,
// and a JSON description beside the data file (FILE.json) that says what the numbers are.
// Every file is written under a temporary name in its own folder and renamed when complete,
// so a run that dies leaves no file under the final name that lies about what it holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <fstream>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "frame_layout.h"

namespace tarvik::tool {

enum class DataFormat { Csv, Raw, Npy };

std::optional<DataFormat> ParseDataFormat(const std::string& text);
const char* DataFormatName(DataFormat format);

// A file written under ".NAME.PID.tmp" beside NAME and renamed to NAME by Commit; destroyed
// uncommitted, the temporary file is removed. "-" is standard output, written in place.
class OutputFile {
 public:
  // Opens the temporary file; throws std::runtime_error when it cannot.
  explicit OutputFile(std::filesystem::path path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::ostream& Stream() { return toStdout_ ? *stdout_ : file_; }
  bool IsStdout() const { return toStdout_; }
  const std::filesystem::path& Path() const { return path_; }
  // Throws when a write has failed.
  void Check();
  // Closes, checks and renames into place; throws std::runtime_error on failure.
  void Commit();

 private:
  std::filesystem::path path_, temp_;
  bool toStdout_;
  std::ostream* stdout_ = nullptr;
  std::ofstream file_;
  bool committed_ = false;
};

// Writes a whole file through OutputFile.
void WriteWholeFile(const std::filesystem::path& path, const std::string& content);

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
};

class FrameWriter {
 public:
  virtual ~FrameWriter() = default;
  virtual void Append(std::span<const FrameWords> frames) = 0;
  // Completes the file (the .npy header gets its final shape) and puts it in place. Throws on
  // I/O errors.
  virtual void Finish() = 0;
  uint64_t Frames() const { return frames_; }

 protected:
  uint64_t frames_ = 0;
};

// Opens the file (its temporary name; "-": standard output, not for .npy, whose header is
// rewritten at the end); throws std::runtime_error when it cannot.
std::unique_ptr<FrameWriter> OpenFrameWriter(DataFormat format, const std::filesystem::path& path,
                                             const AcquisitionHeader& header);

// The size of the .npy header this tool writes (magic to the dict's newline).
inline constexpr size_t kNpyHeaderBytes = 128;
std::string NpyHeader(uint64_t frames);

// The JSON description of a data file.
std::string SidecarJson(DataFormat format, const std::filesystem::path& dataFile,
                        const AcquisitionHeader& header, const AcquisitionResult& result);
// Writes FILE.json beside the data file.
void WriteSidecar(const std::filesystem::path& dataFile, const std::string& json);

}  // namespace tarvik::tool
