// CreateFileW and CloseHandle over the emulated kernel's file handles, and the per-thread
// last error.
#include <windows.h>

#include <string>

#include "error_mapping.h"
#include "sim/nt_api.h"

namespace {

thread_local DWORD g_lastError = ERROR_SUCCESS;

// Win32 device paths as the platform rewrites them into the NT namespace: \\.\X and \\?\X
// become \??\X. Anything else would be a file system path, which the emulated machine has
// none of.
bool ToNtPath(LPCWSTR name, std::u16string* ntPath) {
  std::u16string text;
  for (const wchar_t* p = name; *p != 0; ++p) {
    if (static_cast<uint32_t>(*p) > 0xFFFF) return false;  // outside the 16-bit range
    text.push_back(static_cast<char16_t>(*p));
  }
  if (text.size() > 4 && (text.starts_with(u"\\\\.\\") || text.starts_with(u"\\\\?\\"))) {
    *ntPath = u"\\??\\" + text.substr(4);
    return true;
  }
  return false;
}

sim::nt::Handle ToKernelHandle(HANDLE handle) {
  auto value = reinterpret_cast<uintptr_t>(handle);
  return value > 0xFFFFFFFFu ? 0 : static_cast<sim::nt::Handle>(value);
}

BOOL FailWith(int32_t status) {
  g_lastError = sim::win32::NtStatusToWin32Error(status);
  return FALSE;
}

}  // namespace

extern "C" DWORD WINAPI GetLastError(void) { return g_lastError; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { g_lastError = dwErrCode; }

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
  (void)dwDesiredAccess;
  (void)dwShareMode;
  (void)lpSecurityAttributes;
  (void)dwFlagsAndAttributes;
  (void)hTemplateFile;
  if (lpFileName == nullptr) {
    g_lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  std::u16string ntPath;
  if (!ToNtPath(lpFileName, &ntPath)) {
    g_lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != OPEN_ALWAYS) {
    // Devices can only be opened; creating one by name is not possible.
    g_lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  sim::nt::Handle handle = 0;
  int32_t status = sim::nt::CreateFile(ntPath, &handle);
  if (status < 0) {
    FailWith(status);
    return INVALID_HANDLE_VALUE;
  }
  g_lastError = ERROR_SUCCESS;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  sim::nt::Handle handle = ToKernelHandle(hObject);
  if (handle == 0) return FailWith(static_cast<int32_t>(0xC0000008));  // STATUS_INVALID_HANDLE
  int32_t status = sim::nt::Close(handle);
  if (status < 0) return FailWith(status);
  return TRUE;
}
