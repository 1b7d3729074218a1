// CreateFileW and CloseHandle over the emulated kernel's handles.
#include <windows.h>

#include <string>

#include "error_mapping.h"
#include "handle_values.h"
#include "sim/nt_api.h"

using namespace sim::win32;

namespace {

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

}  // namespace

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
  (void)dwDesiredAccess;
  (void)dwShareMode;
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string ntPath;
  if (!ToNtPath(lpFileName, &ntPath)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != OPEN_ALWAYS) {
    // Devices can only be opened; creating one by name is not possible.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  sim::nt::Handle handle = 0;
  bool synchronous = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) == 0;
  int32_t status = sim::nt::CreateFile(ntPath, synchronous, &handle);
  if (status < 0) {
    FailWith(status);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return ToWin32Handle(handle);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  sim::nt::Handle handle = ToKernelHandle(hObject);
  if (handle == 0) return FailWith(kStatusInvalidHandle);
  int32_t status = sim::nt::Close(handle);
  if (status < 0) return FailWith(status);
  return TRUE;
}

// The one user process: its pseudo-handle, as on the platform.
extern "C" HANDLE WINAPI GetCurrentProcess(void) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

// Duplicates a handle within the current process, with less access or the same.
extern "C" BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                                       HANDLE hTargetProcessHandle, HANDLE* lpTargetHandle,
                                       DWORD dwDesiredAccess, BOOL bInheritHandle,
                                       DWORD dwOptions) {
  (void)bInheritHandle;
  if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess()) {
    return FailWith(kStatusInvalidHandle);
  }
  sim::nt::Handle source = ToKernelHandle(hSourceHandle);
  if (source == 0) return FailWith(kStatusInvalidHandle);
  uint32_t access =
      (dwOptions & DUPLICATE_SAME_ACCESS) != 0 ? sim::nt::kSameAccess : dwDesiredAccess;
  sim::nt::Handle target = 0;
  int32_t status = sim::nt::DuplicateHandle(source, access, &target);
  if (status < 0) return FailWith(status);
  if (dwOptions & DUPLICATE_CLOSE_SOURCE) sim::nt::Close(source);
  if (lpTargetHandle != nullptr) *lpTargetHandle = ToWin32Handle(target);
  return TRUE;
}
