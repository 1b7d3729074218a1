#include "data_files.h"

#include <fmt/format.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#define TARVIK_GETPID() _getpid()
#else
#include <unistd.h>
#define TARVIK_GETPID() getpid()
#endif

namespace tarvik::tool {

std::optional<DataFormat> ParseDataFormat(const std::string& text) {
  if (text == "csv") return DataFormat::Csv;
  if (text == "raw") return DataFormat::Raw;
  if (text == "npy") return DataFormat::Npy;
  return std::nullopt;
}

const char* DataFormatName(DataFormat format) {
  switch (format) {
    case DataFormat::Csv: return "csv";
    case DataFormat::Raw: return "raw";
    case DataFormat::Npy: return "npy";
  }
  return "?";
}

OutputFile::OutputFile(std::filesystem::path path)
    : path_(std::move(path)), toStdout_(path_ == "-") {
  if (toStdout_) {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    stdout_ = &std::cout;
    return;
  }
  temp_ = path_.parent_path() /
          fmt::format(".{}.{}.tmp", path_.filename().string(), static_cast<long>(TARVIK_GETPID()));
  file_.open(temp_, std::ios::binary | std::ios::trunc);
  if (!file_) throw std::runtime_error(fmt::format("cannot write {}", path_.string()));
}

OutputFile::~OutputFile() {
  if (toStdout_ || committed_) return;
  file_.close();
  std::error_code ignored;
  std::filesystem::remove(temp_, ignored);
}

void OutputFile::Check() {
  if (!Stream()) throw std::runtime_error(fmt::format("writing {} failed", path_.string()));
}

void OutputFile::Commit() {
  if (toStdout_) {
    std::cout.flush();
    Check();
    return;
  }
  file_.close();
  Check();
  std::error_code error;
  std::filesystem::rename(temp_, path_, error);
  if (error) {
    throw std::runtime_error(
        fmt::format("cannot put {} in place: {}", path_.string(), error.message()));
  }
  committed_ = true;
}

void WriteWholeFile(const std::filesystem::path& path, const std::string& content) {
  OutputFile file(path);
  file.Stream() << content;
  file.Commit();
}

namespace {

// Words as little-endian bytes whatever the host's order.
void AppendLittleEndian(std::ostream& out, std::span<const FrameWords> frames) {
  std::vector<char> bytes;
  bytes.reserve(frames.size() * kChannels * 2);
  for (const auto& frame : frames) {
    for (uint16_t word : frame) {
      bytes.push_back(static_cast<char>(word & 0xFF));
      bytes.push_back(static_cast<char>(word >> 8));
    }
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class CsvWriter final : public FrameWriter {
 public:
  explicit CsvWriter(const std::filesystem::path& path)
      : file_(path), out_(file_.Stream()) {
    // A plain table, the column names first: what the run was lives in the JSON beside it,
    // as comment lines would break CSV readers that know no comments.
    for (unsigned c = 0; c < kChannels; ++c) {
      out_ << (c == 0 ? "" : ",") << kChannelLayout[c].name;
    }
    out_ << '\n';
    file_.Check();
  }
  void Append(std::span<const FrameWords> frames) override {
    std::string text;
    for (const auto& frame : frames) {
      for (unsigned c = 0; c < kChannels; ++c) {
        if (c != 0) text += ',';
        text += fmt::format("{}", frame[c]);
      }
      text += '\n';
    }
    out_ << text;
    frames_ += frames.size();
    file_.Check();
  }
  void Finish() override { file_.Commit(); }

 private:
  OutputFile file_;
  std::ostream& out_;
};

class RawWriter final : public FrameWriter {
 public:
  RawWriter(const std::filesystem::path& path, bool npy)
      : npy_(npy), file_(path), out_(file_.Stream()) {
    if (npy_ && file_.IsStdout()) {
      throw std::runtime_error(".npy cannot go to standard output (its header is completed "
                               "at the end); use csv or raw");
    }
    if (npy_) out_ << NpyHeader(0);
    file_.Check();
  }
  void Append(std::span<const FrameWords> frames) override {
    AppendLittleEndian(out_, frames);
    frames_ += frames.size();
    file_.Check();
  }
  void Finish() override {
    if (npy_) {
      // The shape is known only now; the header keeps its length, so it is rewritten in place.
      out_.seekp(0);
      out_ << NpyHeader(frames_);
    }
    file_.Commit();
  }

 private:
  bool npy_;
  OutputFile file_;
  std::ostream& out_;
};

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

// None of today's formats carries the header: it goes to the JSON description.
std::unique_ptr<FrameWriter> OpenFrameWriter(DataFormat format, const std::filesystem::path& path,
                                             [[maybe_unused]] const AcquisitionHeader& header) {
  if (format == DataFormat::Csv) return std::make_unique<CsvWriter>(path);
  return std::make_unique<RawWriter>(path, format == DataFormat::Npy);
}

// NumPy format version 1.0: magic, version, a 2-byte little-endian header length, then a
// Python dict literal padded with spaces and ended by a newline so that the data starts on a
// 64-byte boundary.
std::string NpyHeader(uint64_t frames) {
  std::string dict = fmt::format("{{'descr': '<u2', 'fortran_order': False, 'shape': ({}, {}), }}",
                                 frames, kChannels);
  constexpr size_t kPrefix = 10;
  std::string header = "\x93NUMPY";
  header += '\x01';
  header += '\x00';
  uint16_t length = static_cast<uint16_t>(kNpyHeaderBytes - kPrefix);
  header += static_cast<char>(length & 0xFF);
  header += static_cast<char>(length >> 8);
  dict.resize(length - 1, ' ');
  header += dict;
  header += '\n';
  return header;
}

std::string SidecarJson(DataFormat format, const std::filesystem::path& dataFile,
                        const AcquisitionHeader& header, const AcquisitionResult& result) {
  std::string json = "{\n";
  json += fmt::format("  \"data_file\": {},\n", JsonString(dataFile.filename().string()));
  json += fmt::format("  \"format\": \"{}\",\n", DataFormatName(format));
  json += "  \"sample_type\": \"uint16 little-endian\",\n";
  json += fmt::format("  \"shape\": [{}, {}],\n", result.frames, kChannels);
  json += fmt::format("  \"mode\": {},\n", JsonString(header.mode));
  json += fmt::format("  \"clock\": \"{}\",\n", header.virtualClock ? "virtual" : "real-time");
  json += fmt::format("  \"requested_rate\": {},\n", header.requestedRate);
  if (header.requestedFrameRate > 0) {
    json += fmt::format("  \"requested_frame_rate\": {},\n", header.requestedFrameRate);
  }
  json += fmt::format("  \"clock_rate\": {},\n", header.clockRate);
  json += fmt::format("  \"clock_hz\": {:.6f},\n", header.clockHz);
  json += fmt::format("  \"decimation\": {},\n", header.decimation);
  json += fmt::format("  \"ticks_per_frame\": {},\n", header.ticksPerFrame);
  json += fmt::format("  \"frame_rate\": {:.6f},\n", header.frameRate);
  json += fmt::format("  \"achieved_frames_per_second\": {:.3f},\n", result.achievedRate);
  json += fmt::format("  \"seconds\": {:.6f},\n", result.seconds);
  json += fmt::format("  \"frames_per_block\": {},\n", header.framesPerBlock);
  json += fmt::format("  \"block_count\": {},\n", header.blockCount);
  json += fmt::format("  \"blocks\": {},\n", result.blocks);
  json += fmt::format("  \"lost_blocks\": {},\n", result.lostBlocks);
  json += fmt::format("  \"lost_frames\": {},\n", result.lostFrames);
  json += fmt::format("  \"interrupted\": {},\n", result.stopSignal.empty() ? "false" : "true");
  if (!result.stopSignal.empty()) {
    json += fmt::format("  \"stop_signal\": {},\n", JsonString(result.stopSignal));
  }
  json += "  \"channels\": [\n";
  for (unsigned c = 0; c < kChannels; ++c) {
    json += fmt::format("    {{\"index\": {}, \"name\": {}, \"meaning\": {}}}{}\n", c,
                        JsonString(std::string(kChannelLayout[c].name)),
                        JsonString(std::string(kChannelLayout[c].meaning)),
                        c + 1 < kChannels ? "," : "");
  }
  json += "  ]\n}\n";
  return json;
}

void WriteSidecar(const std::filesystem::path& dataFile, const std::string& json) {
  std::filesystem::path path = dataFile;
  path += ".json";
  WriteWholeFile(path, json);
}

}  // namespace tarvik::tool
