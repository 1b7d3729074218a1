// Calls the static C++ runtime makes that one of the targets lacks, served here instead of by
// the system. The runtime's objects reach a system call through its import slot
// (__imp__Name@N); a slot defined here is the one the linker binds them to, so the system's
// export is never imported. tests/windows/check_imports.py holds the images to the list of
// what both platform families export.
//
// - The wide calls the runtime makes (libgcc's thread and exception support creates its
//   semaphores with CreateSemaphoreW; the C runtime's helpers find msvcrt.dll with
//   GetModuleHandleW and LoadLibraryW; fmt writes to a console with WriteConsoleW) are only
//   stubs on the 98/Me family: they go to the ANSI calls, which both families implement.
// - _fstat64, which the C++ file buffer calls, is exported by the C runtime of Windows XP and
//   later only: it is answered from the file's handle with calls Windows 98 and 2000 have.
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// Wide to the ANSI code page (console text: the console's output code page).
std::string Narrow(const wchar_t* text, int length, UINT codePage = CP_ACP) {
  if (text == nullptr) return {};
  int bytes = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string narrow(bytes > 0 ? bytes : 0, '\0');
  if (bytes > 0) WideCharToMultiByte(codePage, 0, text, length, narrow.data(), bytes, nullptr, nullptr);
  if (length == -1 && !narrow.empty()) narrow.pop_back();  // the converted terminator
  return narrow;
}

HANDLE WINAPI CreateSemaphoreAnsi(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                  LPCWSTR name) {
  if (name == nullptr) return CreateSemaphoreA(attributes, initial, maximum, nullptr);
  return CreateSemaphoreA(attributes, initial, maximum, Narrow(name, -1).c_str());
}

HMODULE WINAPI GetModuleHandleAnsi(LPCWSTR name) {
  if (name == nullptr) return GetModuleHandleA(nullptr);
  return GetModuleHandleA(Narrow(name, -1).c_str());
}

HMODULE WINAPI LoadLibraryAnsi(LPCWSTR name) { return LoadLibraryA(Narrow(name, -1).c_str()); }

BOOL WINAPI WriteConsoleAnsi(HANDLE console, const VOID* buffer, DWORD characters, LPDWORD written,
                             LPVOID reserved) {
  std::string text = Narrow(static_cast<const wchar_t*>(buffer), static_cast<int>(characters),
                            GetConsoleOutputCP());
  DWORD bytes = 0;
  BOOL ok = WriteConsoleA(console, text.data(), static_cast<DWORD>(text.size()), &bytes, reserved);
  // The caller counts characters; all of them went out when all the bytes did.
  if (written != nullptr) *written = ok && bytes == text.size() ? characters : 0;
  return ok;
}

// What the file buffer asks: the kind of file and its size.
int __cdecl FileStatus64(int descriptor, struct _stat64* status) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  if (handle == INVALID_HANDLE_VALUE || status == nullptr) {
    errno = EBADF;
    return -1;
  }
  std::memset(status, 0, sizeof *status);
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK: {
      status->st_mode = _S_IFREG | _S_IREAD | _S_IWRITE;
      DWORD high = 0;
      DWORD low = GetFileSize(handle, &high);
      if (low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR) {
        status->st_size = static_cast<__int64>(high) << 32 | low;
      }
      break;
    }
    case FILE_TYPE_CHAR:
      status->st_mode = _S_IFCHR;
      break;
    case FILE_TYPE_PIPE:
      status->st_mode = _S_IFIFO;
      break;
    default:
      errno = EBADF;
      return -1;
  }
  return 0;
}

}  // namespace

// The import slots, under the names the compiler gives them on 32-bit x86.
extern "C" {
void* tarvik_imp_create_semaphore_w __asm__("__imp__CreateSemaphoreW@16") =
    reinterpret_cast<void*>(&CreateSemaphoreAnsi);
void* tarvik_imp_get_module_handle_w __asm__("__imp__GetModuleHandleW@4") =
    reinterpret_cast<void*>(&GetModuleHandleAnsi);
void* tarvik_imp_load_library_w __asm__("__imp__LoadLibraryW@4") =
    reinterpret_cast<void*>(&LoadLibraryAnsi);
void* tarvik_imp_write_console_w __asm__("__imp__WriteConsoleW@20") =
    reinterpret_cast<void*>(&WriteConsoleAnsi);
void* tarvik_imp_fstat64 __asm__("__imp___fstat64") = reinterpret_cast<void*>(&FileStatus64);
}
