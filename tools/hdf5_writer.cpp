#include "hdf5_writer.h"

#include <stdexcept>

#if defined(TARVIK_HAVE_HDF5)

#include <hdf5.h>

#include <fmt/format.h>

#include <array>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace tarvik::tool {

namespace {

using Json = nlohmann::ordered_json;

// The system's reason behind the library's last failure, as its file driver recorded it
// ("errno = 28, error message = 'No space left on device'"); empty when there is none.
std::string SystemReason() {
  std::string reason;
  H5Ewalk2(
      H5E_DEFAULT, H5E_WALK_DOWNWARD,
      [](unsigned, const H5E_error2_t* entry, void* data) -> herr_t {
        std::string description = entry->desc != nullptr ? entry->desc : "";
        const std::string marker = "error message = '";
        size_t at = description.find(marker);
        auto& found = *static_cast<std::string*>(data);
        if (at != std::string::npos && found.empty()) {
          size_t start = at + marker.size();
          found = description.substr(start, description.find('\'', start) - start);
        }
        return 0;
      },
      &reason);
  return reason;
}

// The file being written, for the messages of failures.
thread_local std::string g_fileName;

[[noreturn]] void Fail(const std::string& what) {
  std::string reason = SystemReason();
  throw OutputError("writing " + g_fileName + " failed: HDF5: " + what + " failed" +
                    (reason.empty() ? std::string() : ": " + reason));
}

void Check(herr_t status, const std::string& what) {
  if (status < 0) Fail(what);
}

// An HDF5 identifier closed with its own close call.
class Handle {
 public:
  Handle() = default;
  Handle(hid_t id, herr_t (*close)(hid_t), const std::string& what) : id_(id), close_(close) {
    if (id_ < 0) Fail(what);
  }
  ~Handle() { Reset(); }
  Handle(Handle&& other) noexcept
      : id_(std::exchange(other.id_, H5I_INVALID_HID)), close_(other.close_) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      id_ = std::exchange(other.id_, H5I_INVALID_HID);
      close_ = other.close_;
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  hid_t Id() const { return id_; }
  // Closes; false when the library could not (it keeps what it could not write).
  bool Reset() {
    bool closed = id_ < 0 || close_(id_) >= 0;
    id_ = H5I_INVALID_HID;
    return closed;
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
  herr_t (*close_)(hid_t) = nullptr;
};

Handle Space(std::vector<hsize_t> dims, std::vector<hsize_t> max = {}) {
  return Handle(H5Screate_simple(static_cast<int>(dims.size()), dims.data(),
                                 max.empty() ? nullptr : max.data()),
                H5Sclose, "a dataspace");
}

Handle Utf8StringType() {
  Handle type(H5Tcopy(H5T_C_S1), H5Tclose, "a string type");
  Check(H5Tset_size(type.Id(), H5T_VARIABLE), "a string type");
  Check(H5Tset_cset(type.Id(), H5T_CSET_UTF8), "a string type");
  return type;
}

void StringAttribute(hid_t owner, const std::string& name, const std::vector<std::string>& values,
                     bool scalar) {
  Handle type = Utf8StringType();
  Handle space = scalar ? Handle(H5Screate(H5S_SCALAR), H5Sclose, "a dataspace")
                        : Space({values.size()});
  Handle attribute(H5Acreate2(owner, name.c_str(), type.Id(), space.Id(), H5P_DEFAULT, H5P_DEFAULT),
                   H5Aclose, "attribute " + name);
  std::vector<const char*> pointers;
  for (const auto& value : values) pointers.push_back(value.c_str());
  Check(H5Awrite(attribute.Id(), type.Id(), pointers.data()), "attribute " + name);
}

template <typename T>
void NumberAttribute(hid_t owner, const std::string& name, hid_t fileType, hid_t memoryType,
                     const std::vector<T>& values, bool scalar) {
  Handle space = scalar ? Handle(H5Screate(H5S_SCALAR), H5Sclose, "a dataspace")
                        : Space({values.size()});
  Handle attribute(H5Acreate2(owner, name.c_str(), fileType, space.Id(), H5P_DEFAULT, H5P_DEFAULT),
                   H5Aclose, "attribute " + name);
  Check(H5Awrite(attribute.Id(), memoryType, values.data()), "attribute " + name);
}

std::string Text(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// One attribute per key of the description: strings, numbers and flat lists of them as
// themselves, an object's members as "key.member", lists of objects as their JSON text.
void DescriptionAttribute(hid_t owner, const std::string& name, const Json& value) {
  bool scalar = !value.is_array();
  std::vector<Json> items = scalar ? std::vector<Json>{value} : std::vector<Json>(value.begin(), value.end());
  auto all = [&items](auto test) {
    for (const auto& item : items) {
      if (!test(item)) return false;
    }
    return !items.empty();
  };
  if (all([](const Json& v) { return v.is_string(); })) {
    std::vector<std::string> texts;
    for (const auto& item : items) texts.push_back(item.get<std::string>());
    StringAttribute(owner, name, texts, scalar);
  } else if (all([](const Json& v) { return v.is_boolean(); })) {
    std::vector<uint8_t> flags;
    for (const auto& item : items) flags.push_back(item.get<bool>() ? 1 : 0);
    NumberAttribute(owner, name, H5T_STD_U8LE, H5T_NATIVE_UINT8, flags, scalar);
  } else if (all([](const Json& v) { return v.is_number_unsigned(); })) {
    std::vector<uint64_t> numbers;
    for (const auto& item : items) numbers.push_back(item.get<uint64_t>());
    NumberAttribute(owner, name, H5T_STD_U64LE, H5T_NATIVE_UINT64, numbers, scalar);
  } else if (all([](const Json& v) { return v.is_number_integer(); })) {
    std::vector<int64_t> numbers;
    for (const auto& item : items) numbers.push_back(item.get<int64_t>());
    NumberAttribute(owner, name, H5T_STD_I64LE, H5T_NATIVE_INT64, numbers, scalar);
  } else if (all([](const Json& v) { return v.is_number(); })) {
    std::vector<double> numbers;
    for (const auto& item : items) numbers.push_back(item.get<double>());
    NumberAttribute(owner, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, numbers, scalar);
  } else if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      if (!member.is_null()) DescriptionAttribute(owner, name + "." + key, member);
    }
  } else {
    StringAttribute(owner, name, {Text(value)}, true);
  }
}

// Rows per chunk: some tens of kilobytes, whatever the width.
constexpr hsize_t kChunkRows = 4096;
// How long rows and the library's metadata may wait before they go to the file.
constexpr std::chrono::seconds kFlushAge{1};

class Hdf5Writer final : public FrameWriter {
 public:
  Hdf5Writer(const std::filesystem::path& path, const AcquisitionHeader& header)
      : FrameWriter(header), file_(path, true) {
    g_fileName = path.string();
    // Failures are reported as exceptions; the library's own printing would only repeat them.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    h5_ = Handle(H5Fcreate(file_.TempPath().string().c_str(), H5F_ACC_TRUNC, H5P_DEFAULT,
                           H5P_DEFAULT),
                 H5Fclose, fmt::format("creating {}", path.string()));
    hsize_t columns = Columns();
    frameSet_ = Dataset("frames", {0, columns}, {H5S_UNLIMITED, columns}, {kChunkRows, columns},
                      header.words.Wide() ? H5T_STD_U64LE : H5T_STD_U16LE);
    std::vector<std::string> names;
    for (unsigned word : header.words.words) names.emplace_back(kChannelLayout[word].name);
    StringAttribute(frameSet_.Id(), "words", names, false);
    if (header.words.timeColumn) {
      timeSet_ = Dataset("time", {0}, {H5S_UNLIMITED}, {kChunkRows}, H5T_IEEE_F64LE);
      StringAttribute(timeSet_.Id(), "unit", {"s"}, true);
    }
  }

 private:
  Handle Dataset(const char* name, std::vector<hsize_t> dims, std::vector<hsize_t> max,
                 std::vector<hsize_t> chunk, hid_t type) {
    Handle space = Space(dims, max);
    Handle properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose, "dataset properties");
    Check(H5Pset_chunk(properties.Id(), static_cast<int>(chunk.size()), chunk.data()),
          "chunking");
    return Handle(H5Dcreate2(h5_.Id(), name, type, space.Id(), H5P_DEFAULT, properties.Id(),
                             H5P_DEFAULT),
                  H5Dclose, std::string("dataset ") + name);
  }

  // Grows the dataset by the rows given and writes them at its end.
  static void Extend(hid_t dataset, uint64_t rows, std::vector<hsize_t> rowShape, hid_t memoryType,
                     const void* data, uint64_t count) {
    std::vector<hsize_t> size = rowShape, start(rowShape.size(), 0), block = rowShape;
    size[0] = rows + count;
    start[0] = rows;
    block[0] = count;
    Check(H5Dset_extent(dataset, size.data()), "extending a dataset");
    Handle fileSpace(H5Dget_space(dataset), H5Sclose, "a dataspace");
    Check(H5Sselect_hyperslab(fileSpace.Id(), H5S_SELECT_SET, start.data(), nullptr, block.data(),
                              nullptr),
          "selecting rows");
    Handle memorySpace = Space(block);
    Check(H5Dwrite(dataset, memoryType, memorySpace.Id(), fileSpace.Id(), H5P_DEFAULT, data),
          "writing frames");
  }

  // Rows are kept until a chunk's worth is there and written a chunk at a time: a dataset
  // grown and written for every few rows costs the library far more than the rows. At slow
  // rates they go out once a second instead, so that the file keeps up with the run.
  void Write(std::span<const uint64_t> values, std::span<const double> times) override {
    pendingValues_.insert(pendingValues_.end(), values.begin(), values.end());
    pendingTimes_.insert(pendingTimes_.end(), times.begin(), times.end());
    if (pendingValues_.size() >= kChunkRows * Columns() ||
        std::chrono::steady_clock::now() - lastFlush_ >= kFlushAge) {
      WritePending();
    }
  }

  void WritePending() {
    uint64_t count = pendingValues_.size() / Columns();
    if (count == 0) return;
    Extend(frameSet_.Id(), written_, {0, Columns()}, H5T_NATIVE_UINT64, pendingValues_.data(),
           count);
    if (timeSet_.Id() >= 0) {
      Extend(timeSet_.Id(), written_, {0}, H5T_NATIVE_DOUBLE, pendingTimes_.data(), count);
    }
    written_ += count;
    pendingValues_.clear();
    pendingTimes_.clear();
    // Now and then the library's metadata goes to the file too, so that a run killed outright
    // leaves a temporary file that opens with what it holds.
    auto now = std::chrono::steady_clock::now();
    if (now - lastFlush_ >= kFlushAge) {
      lastFlush_ = now;
      Check(H5Fflush(h5_.Id(), H5F_SCOPE_LOCAL), "flushing the file");
    }
  }

  uint64_t DurableFrames() const override { return written_; }

  // The datasets cut back to the rows written whole (a failed write may have grown them), the
  // description attached where the disk still takes it, and the file closed and put in place.
  // A file the library cannot close stays under its temporary name.
  void Salvage(const nlohmann::ordered_json& description) override {
    pendingValues_.clear();
    pendingTimes_.clear();
    std::vector<hsize_t> frames{written_, Columns()}, times{written_};
    bool closed = H5Dset_extent(frameSet_.Id(), frames.data()) >= 0;
    if (timeSet_.Id() >= 0) closed = H5Dset_extent(timeSet_.Id(), times.data()) >= 0 && closed;
    try {
      AttachDescription(description);
    } catch (const OutputError&) {
      // The frames matter more than their attributes; the JSON beside the file has them too.
    }
    closed = frameSet_.Reset() && closed;
    closed = timeSet_.Reset() && closed;
    closed = h5_.Reset() && closed;
    if (!closed) {
      file_.Keep();
      throw OutputError("HDF5 could not complete " + file_.Path().string() +
                        " (its own records could not be written); what was written is in " +
                        file_.TempPath().string());
    }
    file_.Commit();
  }

  void AttachDescription(const nlohmann::ordered_json& description) {
    for (const auto& [key, value] : description.items()) {
      if (!value.is_null()) DescriptionAttribute(h5_.Id(), key, value);
    }
    if (!description.empty()) StringAttribute(h5_.Id(), "description", {Text(description)}, true);
  }

  void Complete(const nlohmann::ordered_json& description) override {
    WritePending();
    AttachDescription(description);
    frameSet_.Reset();
    timeSet_.Reset();
    Check(H5Fflush(h5_.Id(), H5F_SCOPE_LOCAL), "flushing the file");
    if (!h5_.Reset()) Fail("closing the file");
    file_.Commit();
  }

  OutputFile file_;  // first member: destroyed last, after the HDF5 file is closed
  Handle h5_;
  Handle frameSet_;
  Handle timeSet_;
  uint64_t written_ = 0;  // rows in the datasets
  std::chrono::steady_clock::time_point lastFlush_ = std::chrono::steady_clock::now();
  std::vector<uint64_t> pendingValues_;
  std::vector<double> pendingTimes_;
};

}  // namespace

bool Hdf5Available() { return true; }

std::unique_ptr<FrameWriter> OpenHdf5Writer(const std::filesystem::path& path,
                                            const AcquisitionHeader& header) {
  if (path == "-") throw OutputError("HDF5 cannot go to standard output; use csv or raw");
  // Files are always closed here, never by the library at the process's exit: its own
  // handler, flushing a file whose writes failed, crashes (a full disk showed it).
  static const bool noExitHandler = H5dont_atexit() >= 0;
  (void)noExitHandler;
  return std::make_unique<Hdf5Writer>(path, header);
}

}  // namespace tarvik::tool

#else

namespace tarvik::tool {

bool Hdf5Available() { return false; }

std::unique_ptr<FrameWriter> OpenHdf5Writer(const std::filesystem::path&,
                                            const AcquisitionHeader&) {
  throw std::runtime_error("this build of the tool writes no HDF5 (built without libhdf5)");
}

}  // namespace tarvik::tool

#endif
