// Acquisition output: CSV, raw little-endian words, or NumPy .npy, written as frames arrive,
// and a JSON description beside the data file (FILE.json) that says what the numbers are.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "frame_layout.h"

namespace tarvik::tool {

enum class DataFormat { Csv, Raw, Npy };

std::optional<DataFormat> ParseDataFormat(const std::string& text);
const char* DataFormatName(DataFormat format);

// What is known about an acquisition when its file is opened.
struct AcquisitionHeader {
  std::string mode;            // "block" or "continuous"
  int32_t requestedRate = 0;   // as given to the driver
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
};

class FrameWriter {
 public:
  virtual ~FrameWriter() = default;
  virtual void Append(std::span<const FrameWords> frames) = 0;
  // Completes the file (the .npy header gets its final shape). Throws on I/O errors.
  virtual void Finish() = 0;
  uint64_t Frames() const { return frames_; }

 protected:
  uint64_t frames_ = 0;
};

// Opens (truncates) the file; throws std::runtime_error when it cannot.
std::unique_ptr<FrameWriter> OpenFrameWriter(DataFormat format, const std::filesystem::path& path,
                                             const AcquisitionHeader& header);

// The size of the .npy header this tool writes (magic to the dict's newline).
inline constexpr size_t kNpyHeaderBytes = 128;
std::string NpyHeader(uint64_t frames);

// The JSON description of a data file.
std::string SidecarJson(DataFormat format, const std::filesystem::path& dataFile,
                        const AcquisitionHeader& header, const AcquisitionResult& result);
void WriteSidecar(const std::filesystem::path& dataFile, const std::string& json);

}  // namespace tarvik::tool
