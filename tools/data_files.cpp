#include "data_files.h"

#include <fmt/chrono.h>

#include <fmt/format.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "file_replace.h"
#include "hdf5_writer.h"
#include "version.h"

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
  if (text == "hdf5" || text == "h5") return DataFormat::Hdf5;
  return std::nullopt;
}

const char* DataFormatName(DataFormat format) {
  switch (format) {
    case DataFormat::Csv: return "csv";
    case DataFormat::Raw: return "raw";
    case DataFormat::Npy: return "npy";
    case DataFormat::Hdf5: return "hdf5";
  }
  return "?";
}

OutputFile::OutputFile(std::filesystem::path path, bool openStream)
    : path_(std::move(path)), toStdout_(path_ == "-"), openStream_(openStream) {
  if (toStdout_) {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    stdout_ = &std::cout;
    return;
  }
  temp_ = path_.parent_path() /
          fmt::format(".{}.{}.tmp", path_.filename().string(), static_cast<long>(TARVIK_GETPID()));
  if (!openStream_) return;
  file_.open(StreamName(temp_), std::ios::binary | std::ios::trunc);
  if (!file_) throw std::runtime_error(fmt::format("cannot write {}", path_.string()));
}

OutputFile::~OutputFile() {
  if (toStdout_ || committed_) return;
  file_.close();
  RemoveFile(temp_);
}

void OutputFile::Check() {
  if (openStream_ && !Stream()) throw std::runtime_error(fmt::format("writing {} failed", path_.string()));
}

void OutputFile::Commit() {
  if (toStdout_) {
    std::cout.flush();
    Check();
    return;
  }
  file_.close();
  Check();
  std::string reason;
  if (!PutFileInPlace(temp_, path_, &reason)) {
    throw std::runtime_error(fmt::format("cannot put {} in place: {}", path_.string(), reason));
  }
  committed_ = true;
}

void WriteWholeFile(const std::filesystem::path& path, const std::string& content) {
  OutputFile file(path);
  file.Stream() << content;
  file.Commit();
}

namespace {

// Values as little-endian words of 2 or 8 bytes, whatever the host's order, written in one
// piece through a buffer the writer keeps from call to call.
void AppendLittleEndian(std::ostream& out, std::span<const uint64_t> values, bool wide,
                        std::vector<char>& bytes) {
  unsigned width = wide ? 8 : 2;
  bytes.resize(values.size() * width);
  char* at = bytes.data();
  for (uint64_t value : values) {
    for (unsigned b = 0; b < width; ++b) *at++ = static_cast<char>(value >> (8 * b));
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class CsvWriter final : public FrameWriter {
 public:
  CsvWriter(const std::filesystem::path& path, const AcquisitionHeader& header)
      : FrameWriter(header), file_(path), out_(file_.Stream()) {
    // A plain table, the column names first: what the run was lives in the JSON beside it,
    // as comment lines would break CSV readers that know no comments.
    std::string names = header.words.timeColumn ? "time" : "";
    for (unsigned word : header.words.words) {
      if (!names.empty()) names += ',';
      names += kChannelLayout[word].name;
      scales_.push_back(header.words.ScaleOf(word));
    }
    out_ << names << '\n';
    file_.Check();
  }

 private:
  // Each call's rows are formatted into one buffer (kept from call to call) and written in
  // one piece: the same text as one format per value, without a string per value.
  void Write(std::span<const uint64_t> values, std::span<const double> times) override {
    text_.clear();
    size_t columns = Columns();
    for (size_t f = 0; f * columns < values.size(); ++f) {
      // Room for the row's integers (at most 20 digits and a comma each) written in place.
      text_.reserve(text_.size() + columns * 21 + 1);
      if (!times.empty()) fmt::format_to(std::back_inserter(text_), "{}", times[f]);
      for (size_t c = 0; c < columns; ++c) {
        if (c != 0 || !times.empty()) text_.push_back(',');
        uint64_t value = values[f * columns + c];
        const WordScale* scale = scales_[c];
        if (scale == nullptr) {
          if (text_.capacity() - text_.size() < 20) text_.reserve(text_.size() + 20);
          char* at = text_.data() + text_.size();
          text_.resize(static_cast<size_t>(std::to_chars(at, at + 20, value).ptr - text_.data()));
        } else {
          fmt::format_to(std::back_inserter(text_), "{}",
                         static_cast<double>(value) * scale->factor + scale->offset);
        }
      }
      text_.push_back('\n');
    }
    out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
    file_.Check();
  }
  void Complete(const nlohmann::ordered_json&) override { file_.Commit(); }

  OutputFile file_;
  std::ostream& out_;
  std::vector<const WordScale*> scales_;  // per column; null: the value as it is
  fmt::memory_buffer text_;
};

class RawWriter final : public FrameWriter {
 public:
  RawWriter(const std::filesystem::path& path, const AcquisitionHeader& header, bool npy)
      : FrameWriter(header), npy_(npy), wide_(header.words.Wide()), file_(path),
        out_(file_.Stream()) {
    if (npy_ && file_.IsStdout()) {
      throw std::runtime_error(".npy cannot go to standard output (its header is completed "
                               "at the end); use csv or raw");
    }
    if (npy_) out_ << NpyHeader(0, Columns(), wide_);
    file_.Check();
  }

 private:
  void Write(std::span<const uint64_t> values, std::span<const double>) override {
    AppendLittleEndian(out_, values, wide_, bytes_);
    file_.Check();
  }
  void Complete(const nlohmann::ordered_json&) override {
    if (npy_) {
      // The shape is known only now; the header keeps its length, so it is rewritten in place.
      out_.seekp(0);
      out_ << NpyHeader(frames_, Columns(), wide_);
    }
    file_.Commit();
  }

  bool npy_;
  bool wide_;
  OutputFile file_;
  std::ostream& out_;
  std::vector<char> bytes_;
};

}  // namespace

FrameWriter::FrameWriter(const AcquisitionHeader& header)
    : header_(header), rows_(header.words.words) {}

void FrameWriter::Append(std::span<const FrameWords> frames) {
  if (frames.empty()) return;
  values_.clear();
  times_.clear();
  for (const auto& frame : frames) {
    rows_.Append(frame, values_);
    if (header_.words.timeColumn) {
      // From the frame's place in the acquisition, lost frames included.
      double index = static_cast<double>(frames_ + lost_ + times_.size());
      times_.push_back(header_.frameRate > 0 ? index / header_.frameRate : 0);
    }
  }
  Write(values_, times_);
  frames_ += frames.size();
}

void FrameWriter::NoteGap(uint64_t lost) {
  if (lost == 0) return;
  lost_ += lost;
  if (!gaps_.empty() && gaps_.back().frame == frames_) {
    gaps_.back().lostFrames += lost;
  } else {
    gaps_.push_back({frames_, lost});
  }
}

std::unique_ptr<FrameWriter> OpenFrameWriter(DataFormat format, const std::filesystem::path& path,
                                             const AcquisitionHeader& header) {
  switch (format) {
    case DataFormat::Csv: return std::make_unique<CsvWriter>(path, header);
    case DataFormat::Hdf5: return OpenHdf5Writer(path, header);
    case DataFormat::Raw:
    case DataFormat::Npy: break;
  }
  return std::make_unique<RawWriter>(path, header, format == DataFormat::Npy);
}

// NumPy format version 1.0: magic, version, a 2-byte little-endian header length, then a
// Python dict literal padded with spaces and ended by a newline so that the data starts on a
// 64-byte boundary.
std::string NpyHeader(uint64_t frames, size_t columns, bool wide) {
  std::string dict = fmt::format("{{'descr': '{}', 'fortran_order': False, 'shape': ({}, {}), }}",
                                 wide ? "<u8" : "<u2", frames, columns);
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

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(when);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(when - seconds).count();
  std::tm utc = fmt::gmtime(std::chrono::system_clock::to_time_t(seconds));
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", utc, millis);
}

nlohmann::ordered_json SidecarDocument(DataFormat format, const std::filesystem::path& dataFile,
                                       const AcquisitionHeader& header,
                                       const AcquisitionResult& result) {
  using Json = nlohmann::ordered_json;
  const WordSelection& selection = header.words;
  bool wide = selection.Wide();
  Json json;
  // u8string: the name's bytes as UTF-8 whatever the platform's narrow encoding.
  auto name = dataFile.filename().u8string();
  json["data_file"] = std::string(name.begin(), name.end());
  json["format"] = DataFormatName(format);
  json["sample_type"] = wide ? "uint64 little-endian" : "uint16 little-endian";
  json["shape"] = {result.frames, selection.words.size()};
  json["tool"] = {{"name", "tarvik"}, {"version", kToolVersion}};
  json["start_time_utc"] = result.startTimeUtc;
  json["mode"] = header.mode;
  json["clock"] = header.virtualClock ? "virtual" : "real-time";
  json["requested_rate"] = header.requestedRate;
  if (header.requestedFrameRate > 0) json["requested_frame_rate"] = header.requestedFrameRate;
  json["clock_rate"] = header.clockRate;
  json["clock_hz"] = header.clockHz;
  json["decimation"] = header.decimation;
  json["ticks_per_frame"] = header.ticksPerFrame;
  json["frame_rate"] = header.frameRate;
  json["achieved_frames_per_second"] = result.achievedRate;
  json["seconds"] = result.seconds;
  json["frames_per_block"] = header.framesPerBlock;
  json["block_count"] = header.blockCount;
  json["blocks"] = result.blocks;
  json["lost_blocks"] = result.lostBlocks;
  json["lost_frames"] = result.lostFrames;
  json["interrupted"] = !result.stopSignal.empty();
  if (!result.stopSignal.empty()) json["stop_signal"] = result.stopSignal;
  json["board"] = {{"serial_number", result.serialNumber ? Json(*result.serialNumber) : Json()},
                   {"identification", result.identification}};
  json["sources"] = header.sources;
  json["gain"] = header.gain;
  json["range_code"] = header.rangeCode;
  json["gaps"] = Json::array();
  for (const Gap& gap : result.gaps) {
    json["gaps"].push_back({{"frame", gap.frame}, {"lost_frames", gap.lostFrames}});
  }
  json["time_column"] = selection.timeColumn;
  Json names = Json::array();
  Json channels = Json::array();
  for (size_t column = 0; column < selection.words.size(); ++column) {
    unsigned word = selection.words[column];
    const ChannelInfo& info = kChannelLayout[word];
    names.push_back(info.name);
    Json channel = {{"column", column},         {"index", word},
                    {"name", info.name},        {"meaning", info.meaning},
                    {"kind", WordKindName(info.kind)}, {"bits", info.bits}};
    if (info.kind == WordKind::Counter) channel["unwrapped"] = true;
    if (const WordScale* scale = selection.ScaleOf(word)) {
      channel["scale"] = {{"factor", scale->factor}, {"offset", scale->offset}};
      channel["unit"] = scale->unit;
      channel["scaled_in_file"] = format == DataFormat::Csv;
    }
    channels.push_back(std::move(channel));
  }
  json["words"] = std::move(names);
  json["channels"] = std::move(channels);
  return json;
}

std::string SidecarJson(DataFormat format, const std::filesystem::path& dataFile,
                        const AcquisitionHeader& header, const AcquisitionResult& result) {
  // Replacement characters for bytes that are not UTF-8, so that any file name gives JSON.
  return SidecarDocument(format, dataFile, header, result)
             .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
         "\n";
}

void WriteSidecar(const std::filesystem::path& dataFile, const std::string& json) {
  std::filesystem::path path = dataFile;
  path += ".json";
  WriteWholeFile(path, json);
}

}  // namespace tarvik::tool
