// Where the tool's files go, written so that nothing is clobbered or lost:
// - a regular file (or a new one) is written under ".NAME.PID.tmp" in its folder (symbolic
//   links followed, so that a link keeps pointing at the file) and renamed over NAME when
//   complete, with the permissions (and, for root, the owner) NAME had; a run that dies
//   leaves NAME as it was;
// - a special file (a FIFO, a character device such as /dev/null) is written in place, and
//   "-" is standard output;
// - a folder, a missing folder or a file that cannot be written is refused when the file is
//   opened, before anything is acquired;
// - a failed write names the file and the system's reason; what was written whole before it
//   can still be put in place (Salvage).
// On Windows, which has no links, modes, owners or special files to keep, every file but "-"
// is written under its temporary name and put in place.
// Written here rather than with a library's file replacement (GLib's g_file_replace): that
// one takes only regular files (a FIFO or /dev/null, fine sinks here, would be refused), has
// no way to put in place what was written before a failed write, and would bring GLib into
// the Windows build, which must import only what both Windows families export.
#pragma once

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::tool {

// A file that cannot be opened, written or put in place: the message names it and says why.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class OutputKind {
  Replaced,  // written under a temporary name and renamed into place
  InPlace,   // a special file, written as it is
  Stdout,    // "-"
};

// What writing to `path` would be; throws OutputError when it cannot be written at all.
OutputKind InspectOutput(const std::filesystem::path& path);

class OutputFile {
 public:
  // Opens where the data goes (see above). With `byName` the temporary file is only created,
  // for a library that writes it by name itself (TempPath), and Write is not used. Throws
  // OutputError.
  explicit OutputFile(std::filesystem::path path, bool byName = false);
  // Uncommitted, the temporary file is removed (unless Salvage had to keep it).
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  OutputKind Kind() const { return kind_; }
  const std::filesystem::path& Path() const { return path_; }
  const std::filesystem::path& TempPath() const { return temp_; }

  // Appends `bytes`, which hold `rows` whole rows of data (0 for a header), to a buffer that
  // goes to the file when it is full or its data has waited for a second (to a stream at
  // once), at Flush or at Commit. True when the buffer went out (a header can then be brought up to date); throws
  // OutputError naming the file and the system's reason.
  bool Write(std::string_view bytes, uint64_t rows = 0) {
    buffer_.append(bytes);
    return Mark(rows);
  }
  // The buffer itself, for a writer that formats its rows into it in place; Mark then ends
  // the piece appended, as Write does.
  fmt::memory_buffer& Buffer() { return buffer_; }
  bool Mark(uint64_t rows);
  // Writes the buffer out; throws OutputError.
  void Flush();
  // Rewrites bytes already written (a header that learns its row count); regular files only.
  void WriteAt(uint64_t offset, std::string_view bytes);
  // Rows the file holds whole, as far as the system has accepted them.
  uint64_t DurableRows() const { return durableRows_; }

  // Flushes, closes and puts the file in place; throws OutputError.
  void Commit();
  // After a failed write: cuts the file back to the rows written whole, rewrites `header` at
  // its start (one that says how many rows there are) and puts the file in place. When that
  // fails too, the temporary file is kept and the error names it.
  void Salvage(std::string_view header = {});
  // Leaves the temporary file in place when the object goes (what it holds is all there is).
  void Keep() { keepTemp_ = true; }

 private:
  void Close();
  [[noreturn]] void Fail(const std::string& what, int error);

  std::filesystem::path path_;   // as given
  std::filesystem::path target_; // links followed
  std::filesystem::path temp_;
  OutputKind kind_;
  int fd_ = -1;
  bool committed_ = false;
  bool keepTemp_ = false;
  // The target's mode, owner and group when it existed, given to its replacement.
  bool replacesFile_ = false;
  unsigned mode_ = 0;
  unsigned owner_ = 0, group_ = 0;

  fmt::memory_buffer buffer_;
  struct Piece {
    size_t end;     // in buffer_
    uint64_t rows;  // rows up to its end
  };
  std::vector<Piece> pieces_;
  uint64_t bufferedRows_ = 0;
  uint64_t durableBytes_ = 0;
  uint64_t durableRows_ = 0;
  std::chrono::steady_clock::time_point lastFlush_;
};

// Writes a whole file through OutputFile.
void WriteWholeFile(const std::filesystem::path& path, std::string_view content);

}  // namespace tarvik::tool
