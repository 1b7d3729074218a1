// Putting a finished file in place and removing a file, with calls every target has. On Windows
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

// The name to open a stream with: narrow on Windows, where a path's own (wide) name would go
// to _wfopen, which the 98/Me family's C runtime cannot serve.
inline std::string StreamName(const std::filesystem::path& path) { return path.string(); }

}  // namespace tarvik::tool
