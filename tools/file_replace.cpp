#include "file_replace.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <system_error>
#endif

namespace tarvik::tool {

#if defined(_WIN32)

namespace {

std::string Win32Reason(DWORD error) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string reason = length > 0 ? std::string(text, length) : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  return reason;
}

}  // namespace

// MoveFileExA replaces in one step on the NT family; the 98/Me family exports no working one,
// so there the old file is deleted first and the new one renamed.
bool PutFileInPlace(const std::filesystem::path& from, const std::filesystem::path& to,
                 std::string* reason) {
  using MoveFileExFunction = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);
  static const auto moveFileEx = reinterpret_cast<MoveFileExFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "MoveFileExA")));
  const std::string source = from.string(), target = to.string();
  if (moveFileEx != nullptr &&
      moveFileEx(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE) {
    return true;
  }
  DWORD error = moveFileEx != nullptr ? GetLastError() : ERROR_CALL_NOT_IMPLEMENTED;
  if (error == ERROR_CALL_NOT_IMPLEMENTED) {
    DeleteFileA(target.c_str());
    if (MoveFileA(source.c_str(), target.c_str()) != FALSE) return true;
    error = GetLastError();
  }
  *reason = Win32Reason(error);
  return false;
}

void RemoveFile(const std::filesystem::path& path) { DeleteFileA(path.string().c_str()); }

PathKind KindOfPath(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesA(path.string().c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Folder : PathKind::File;
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  char fullA[MAX_PATH], fullB[MAX_PATH];
  DWORD lengthA = GetFullPathNameA(a.string().c_str(), MAX_PATH, fullA, nullptr);
  DWORD lengthB = GetFullPathNameA(b.string().c_str(), MAX_PATH, fullB, nullptr);
  if (lengthA == 0 || lengthA >= MAX_PATH || lengthB == 0 || lengthB >= MAX_PATH) return a == b;
  return lstrcmpiA(fullA, fullB) == 0;
}

#else

bool PutFileInPlace(const std::filesystem::path& from, const std::filesystem::path& to,
                 std::string* reason) {
  std::error_code error;
  std::filesystem::rename(from, to, error);
  if (error) *reason = error.message();
  return !error;
}

void RemoveFile(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

PathKind KindOfPath(const std::filesystem::path& path) {
  std::error_code error;
  auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) return PathKind::Missing;
  if (std::filesystem::is_directory(status)) return PathKind::Folder;
  return std::filesystem::is_regular_file(status) ? PathKind::File : PathKind::Special;
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  return a == b || std::filesystem::equivalent(a, b, error);
}

#endif

}  // namespace tarvik::tool
