#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "file_replace.h"

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace tarvik::tool {

namespace {

// A buffer this full goes to the file; so does data older than a second, so that a run killed
// outright leaves its temporary file holding nearly all it acquired.
constexpr size_t kFlushBytes = 256 * 1024;
constexpr std::chrono::seconds kFlushAge{1};

std::string Reason(int error) { return std::generic_category().message(error); }

#if defined(_WIN32)

// On Windows every output is a file of its own, replaced as a whole: there are no FIFOs, no
// links to follow, no owners or modes to keep (a replacement gets a new file's attributes),
// and no check ahead of the open whether the file may be written: the open says so. Names are
// narrow (ANSI): the wide calls are only stubs on the 98/Me family.
long GetProcessId() { return _getpid(); }
int OpenNew(const std::filesystem::path& path) {
  return _open(path.string().c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
               _S_IREAD | _S_IWRITE);
}
int OpenExisting(const std::filesystem::path&) { return -1; }
long WriteSome(int fd, const char* data, size_t length) {
  return _write(fd, data, static_cast<unsigned>(std::min<size_t>(length, 1u << 30)));
}
bool WriteAllAt(int fd, uint64_t offset, std::string_view bytes) {
  __int64 end = _lseeki64(fd, 0, SEEK_CUR);
  bool ok = _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) >= 0 &&
            _write(fd, bytes.data(), static_cast<unsigned>(bytes.size())) ==
                static_cast<int>(bytes.size());
  return _lseeki64(fd, end, SEEK_SET) >= 0 && ok;
}
int Truncate(int fd, uint64_t length) { return _chsize(fd, static_cast<long>(length)); }
int Sync(int fd) { return _commit(fd); }
int CloseFd(int fd) { return _close(fd); }

#else

long GetProcessId() { return static_cast<long>(getpid()); }
int OpenNew(const std::filesystem::path& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}
// A special file as it is: no truncation (a device or FIFO has nothing to cut).
int OpenExisting(const std::filesystem::path& path) {
  return open(path.c_str(), O_WRONLY | O_CLOEXEC);
}
long WriteSome(int fd, const char* data, size_t length) { return write(fd, data, length); }
bool WriteAllAt(int fd, uint64_t offset, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t done = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(done));
    offset += static_cast<uint64_t>(done);
  }
  return true;
}
int Truncate(int fd, uint64_t length) { return ftruncate(fd, static_cast<off_t>(length)); }
int Sync(int fd) { return fsync(fd); }
int CloseFd(int fd) { return close(fd); }

// Whether the process may write `path` (the effective ids, as open would judge).
int Writable(const std::filesystem::path& path, int mode = W_OK) {
  return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
}

#endif

// The file a path names once the links it is are followed, also to a file not there yet (a
// link is replaced by its target's new content, never by a file of its own).
std::filesystem::path Resolved(std::filesystem::path path) {
#if defined(_WIN32)
  return path;
#else
  std::error_code error;
  for (int hop = 0; hop < 40 && std::filesystem::is_symlink(path, error); ++hop) {
    auto target = std::filesystem::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
#endif
}

std::filesystem::path FolderOf(const std::filesystem::path& path) {
  auto folder = path.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

}  // namespace

OutputKind InspectOutput(const std::filesystem::path& path) {
  if (path == "-") return OutputKind::Stdout;
  if (path.empty()) throw OutputError("the output's name is empty");
  std::string name = path.string();
  std::filesystem::path target = Resolved(path);
  PathKind kind = KindOfPath(target);
  if (kind == PathKind::Folder) {
    throw OutputError(name + " is a folder; name a file (in it or elsewhere)");
  }
  std::filesystem::path folder = FolderOf(target);
  if (kind == PathKind::Missing) {
    PathKind folderKind = KindOfPath(folder);
    if (folderKind == PathKind::Missing) {
      throw OutputError("cannot write " + name + ": the folder " + folder.string() +
                        " does not exist");
    }
    if (folderKind != PathKind::Folder) {
      throw OutputError("cannot write " + name + ": " + folder.string() + " is not a folder");
    }
  }
#if defined(_WIN32)
  return OutputKind::Replaced;
#else
  if (kind != PathKind::Missing) {
    if (int denied = Writable(target)) throw OutputError("cannot write " + name + ": " + Reason(denied));
  }
  if (kind == PathKind::Special) return OutputKind::InPlace;
  // The file is replaced through a new one beside it.
  if (int denied = Writable(folder, W_OK | X_OK)) {
    throw OutputError("cannot write " + name + ": cannot create files in " + folder.string() +
                      ": " + Reason(denied));
  }
  return OutputKind::Replaced;
#endif
}

OutputFile::OutputFile(std::filesystem::path path, bool byName)
    : path_(std::move(path)), kind_(InspectOutput(path_)),
      lastFlush_(std::chrono::steady_clock::now()) {
  // Room for a buffer's worth and a block beyond it from the start: the buffer never grows
  // (and copies itself) while rows come.
  if (!byName) buffer_.reserve(kFlushBytes + kFlushBytes / 4);
  if (kind_ == OutputKind::Stdout) {
#if defined(_WIN32)
    _setmode(1, _O_BINARY);
#endif
    fd_ = 1;
    return;
  }
  target_ = Resolved(path_);
  if (kind_ == OutputKind::InPlace) {
    fd_ = OpenExisting(target_);
    if (fd_ < 0) throw OutputError("cannot write " + path_.string() + ": " + Reason(errno));
    return;
  }
#if !defined(_WIN32)
  struct stat existing {};
  if (stat(target_.c_str(), &existing) == 0) {
    replacesFile_ = true;
    mode_ = existing.st_mode & 07777;
    owner_ = existing.st_uid;
    group_ = existing.st_gid;
  }
#endif
  // Built by appending: GCC 12 warns (-Wrestrict, wrongly) about "." + a temporary string.
  std::string tempName = ".";
  tempName += target_.filename().string();
  tempName += '.';
  tempName += std::to_string(GetProcessId());
  tempName += ".tmp";
  temp_ = FolderOf(target_) / tempName;
  fd_ = OpenNew(temp_);
  if (fd_ < 0 && errno == EEXIST) {
    // Left by an earlier process of the same number that was killed: ours to reuse.
    RemoveFile(temp_);
    fd_ = OpenNew(temp_);
  }
  if (fd_ < 0) {
    throw OutputError("cannot write " + path_.string() + ": cannot create " + temp_.string() +
                      ": " + Reason(errno));
  }
  if (byName) {
    CloseFd(fd_);
    fd_ = -1;
  }
}

OutputFile::~OutputFile() {
  if (kind_ == OutputKind::Stdout) return;
  if (fd_ >= 0) CloseFd(fd_);
  if (kind_ == OutputKind::Replaced && !committed_ && !keepTemp_) RemoveFile(temp_);
}

void OutputFile::Fail(const std::string& what, int error) {
  throw OutputError(what + " " + path_.string() + " failed: " + Reason(error));
}

bool OutputFile::Mark(uint64_t rows) {
  bufferedRows_ += rows;
  pieces_.push_back({buffer_.size(), bufferedRows_});
  // A stream's reader (a pipe, a FIFO) gets the rows as they come.
  bool stream = kind_ != OutputKind::Replaced;
  if (!stream && buffer_.size() < kFlushBytes &&
      std::chrono::steady_clock::now() - lastFlush_ < kFlushAge) {
    return false;
  }
  Flush();
  return true;
}

void OutputFile::Flush() {
  lastFlush_ = std::chrono::steady_clock::now();
  size_t done = 0;
  while (done < buffer_.size()) {
    long written = WriteSome(fd_, buffer_.data() + done, buffer_.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      int error = written < 0 ? errno : EIO;
      // What went out whole counts; the rest of the buffer is lost with the write.
      for (auto piece = pieces_.rbegin(); piece != pieces_.rend(); ++piece) {
        if (piece->end <= done) {
          durableBytes_ += piece->end;
          durableRows_ += piece->rows;
          break;
        }
      }
      buffer_.clear();
      pieces_.clear();
      bufferedRows_ = 0;
      Fail("writing", error);
    }
    done += static_cast<size_t>(written);
  }
  durableBytes_ += buffer_.size();
  durableRows_ += bufferedRows_;
  buffer_.clear();
  pieces_.clear();
  bufferedRows_ = 0;
}

void OutputFile::WriteAt(uint64_t offset, std::string_view bytes) {
  if (kind_ != OutputKind::Replaced) return;
  if (!WriteAllAt(fd_, offset, bytes)) Fail("writing", errno != 0 ? errno : EIO);
}

void OutputFile::Close() {
  int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && CloseFd(fd) != 0) Fail("closing", errno);
}

void OutputFile::Commit() {
  if (fd_ >= 0) Flush();
  if (kind_ == OutputKind::Stdout) return;
  if (kind_ == OutputKind::InPlace) {
    Close();
    committed_ = true;
    return;
  }
  if (fd_ >= 0) {
#if !defined(_WIN32)
    // The replacement takes the place of the file with its permissions and, where the process
    // may give them (root), its owner and group.
    if (replacesFile_) {
      if (fchmod(fd_, mode_) != 0) Fail("keeping the permissions of", errno);
      if (geteuid() == 0 && fchown(fd_, owner_, group_) != 0) Fail("keeping the owner of", errno);
    }
#endif
    // On disk before the rename, so that a crash of the system leaves the old file or the
    // new one, not an empty one.
    if (Sync(fd_) != 0) Fail("writing", errno);
    Close();
  } else {
#if !defined(_WIN32)
    if (replacesFile_) {
      if (chmod(temp_.c_str(), mode_) != 0) Fail("keeping the permissions of", errno);
      if (geteuid() == 0 && chown(temp_.c_str(), owner_, group_) != 0) {
        Fail("keeping the owner of", errno);
      }
    }
#endif
  }
  std::string reason;
  if (!PutFileInPlace(temp_, target_, &reason)) {
    throw OutputError("cannot put " + path_.string() + " in place: " + reason);
  }
  committed_ = true;
}

void OutputFile::Salvage(std::string_view header) {
  if (kind_ != OutputKind::Replaced) return;
  try {
    buffer_.clear();
    pieces_.clear();
    bufferedRows_ = 0;
    if (fd_ >= 0 && Truncate(fd_, durableBytes_) != 0) Fail("cutting back", errno);
    if (!header.empty()) WriteAt(0, header);
    Commit();
  } catch (const OutputError& error) {
    keepTemp_ = true;
    throw OutputError(std::string(error.what()) + "; what was written is in " + temp_.string());
  }
}

void WriteWholeFile(const std::filesystem::path& path, std::string_view content) {
  OutputFile file(path);
  file.Write(content);
  file.Commit();
}

}  // namespace tarvik::tool
