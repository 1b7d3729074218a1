#include "data_files.h"

#include <fmt/format.h>

#include <charconv>
#include <iterator>
#include <vector>

#include "file_replace.h"
#include "hdf5_writer.h"

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

namespace {

// Values appended as little-endian words of 2 or 8 bytes, whatever the host's order.
void AppendLittleEndian(fmt::memory_buffer& bytes, std::span<const uint64_t> values, bool wide) {
  unsigned width = wide ? 8 : 2;
  size_t start = bytes.size();
  bytes.resize(start + values.size() * width);  // room only: nothing is filled twice
  char* at = bytes.data() + start;
  for (uint64_t value : values) {
    for (unsigned b = 0; b < width; ++b) *at++ = static_cast<char>(value >> (8 * b));
  }
}

class CsvWriter final : public FrameWriter {
 public:
  CsvWriter(const std::filesystem::path& path, const AcquisitionHeader& header)
      : FrameWriter(header), file_(path) {
    // A plain table, the column names first: what the run was lives in the JSON beside it,
    // as comment lines would break CSV readers that know no comments.
    std::string names = header.words.timeColumn ? "time" : "";
    for (unsigned word : header.words.words) {
      if (!names.empty()) names += ',';
      names += kChannelLayout[word].name;
      scales_.push_back(header.words.ScaleOf(word));
    }
    file_.Write(names + '\n');
  }

  uint64_t DurableFrames() const override { return file_.DurableRows(); }
  void Salvage(const nlohmann::ordered_json&) override { file_.Salvage(); }

 private:
  // The rows are formatted straight into the file's buffer: the same text as one format per
  // value, without a string per value or a copy.
  void Write(std::span<const uint64_t> values, std::span<const double> times) override {
    fmt::memory_buffer& text = file_.Buffer();
    size_t columns = Columns();
    for (size_t f = 0; f * columns < values.size(); ++f) {
      // Room for the row's integers (at most 20 digits and a comma each) written in place.
      text.reserve(text.size() + columns * 21 + 1);
      if (!times.empty()) fmt::format_to(std::back_inserter(text), "{}", times[f]);
      for (size_t c = 0; c < columns; ++c) {
        if (c != 0 || !times.empty()) text.push_back(',');
        uint64_t value = values[f * columns + c];
        const WordScale* scale = scales_[c];
        if (scale == nullptr) {
          if (text.capacity() - text.size() < 20) text.reserve(text.size() + 20);
          char* at = text.data() + text.size();
          text.resize(static_cast<size_t>(std::to_chars(at, at + 20, value).ptr - text.data()));
        } else {
          fmt::format_to(std::back_inserter(text), "{}",
                         static_cast<double>(value) * scale->factor + scale->offset);
        }
      }
      text.push_back('\n');
    }
    file_.Mark(values.size() / columns);
  }
  void Complete(const nlohmann::ordered_json&) override { file_.Commit(); }

  OutputFile file_;
  std::vector<const WordScale*> scales_;  // per column; null: the value as it is
};

class RawWriter final : public FrameWriter {
 public:
  RawWriter(const std::filesystem::path& path, const AcquisitionHeader& header, bool npy)
      : FrameWriter(header), npy_(npy), wide_(header.words.Wide()), file_(path) {
    if (npy_ && file_.Kind() != OutputKind::Replaced) {
      throw OutputError(".npy needs a regular file (its header is completed at the end); use "
                        "csv or raw");
    }
    if (npy_) file_.Write(NpyHeader(0, Columns(), wide_));
  }

  uint64_t DurableFrames() const override { return file_.DurableRows(); }
  void Salvage(const nlohmann::ordered_json&) override {
    file_.Salvage(npy_ ? NpyHeader(file_.DurableRows(), Columns(), wide_) : std::string());
  }

 private:
  void Write(std::span<const uint64_t> values, std::span<const double>) override {
    // Straight into the file's buffer. The header keeps its length, so it is rewritten in
    // place with the rows that went out, and a run killed outright leaves a temporary file
    // that loads with what it holds.
    AppendLittleEndian(file_.Buffer(), values, wide_);
    if (file_.Mark(values.size() / Columns()) && npy_) {
      file_.WriteAt(0, NpyHeader(file_.DurableRows(), Columns(), wide_));
    }
  }
  void Complete(const nlohmann::ordered_json&) override {
    file_.Flush();
    if (npy_) file_.WriteAt(0, NpyHeader(frames_, Columns(), wide_));
    file_.Commit();
  }

  bool npy_;
  bool wide_;
  OutputFile file_;
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

}  // namespace tarvik::tool
