// Putting a finished file in place, removing a file, telling what a path names and whether two
// name the same file, with calls every target has. On Windows
// these are the ANSI calls: std::filesystem uses the wide ones there, which the 98/Me family
// only stubs (and MoveFileEx, which that family lacks).
#pragma once

#include <filesystem>
#include <string>

namespace tarvik::tool {

// Renames `from` to `to`, replacing `to` if it exists. On failure returns false and a reason.
bool PutFileInPlace(const std::filesystem::path& from, const std::filesystem::path& to,
                 std::string* reason);

// Removes the file if it exists; a failure is ignored.
void RemoveFile(const std::filesystem::path& path);

// What a path names. A path that cannot be examined counts as missing.
enum class PathKind {
  Missing,
  Folder,
  File,     // a regular file
  Special,  // a FIFO, a device, a socket (never on Windows)
};
PathKind KindOfPath(const std::filesystem::path& path);

// Whether two paths name the same file (an existing one through links; on Windows, which has
// none, the same full name in any case).
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// The name to open a stream with: narrow on Windows, where a path's own (wide) name would go
// to _wfopen, which the 98/Me family's C runtime cannot serve.
inline std::string StreamName(const std::filesystem::path& path) { return path.string(); }

}  // namespace tarvik::tool
