// The loaded modules as a program finds them at run time: kernel32.dll, and of its routines
// those whose presence depends on the platform family. On 98/Me kernel32 exports
// OpenVxDHandle, which makes a ring-0 handle of a Win32 event for a driver (Windows 98 DDK,
// "OpenVxDHandle"); Windows 2000/XP has no such export, and a program that looks it up gets
// ERROR_PROC_NOT_FOUND.
#include <windows.h>

#include <cstring>
#include <cwctype>
#include <string>

#include "handle_values.h"
#include "sim/kernel.h"
#include "sim/nt_api.h"

using namespace sim::win32;

namespace {

// The module handle of kernel32.dll: any non-null value a program only hands back to us.
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x77E60000));

bool NamesKernel32(LPCWSTR name) {
  std::wstring lower;
  for (const wchar_t* p = name; *p != 0; ++p) lower.push_back(static_cast<wchar_t>(std::towlower(*p)));
  return lower == L"kernel32.dll" || lower == L"kernel32";
}

DWORD WINAPI OpenVxDHandle(HANDLE hSource) {
  sim::nt::Handle ring0 = 0;
  int32_t status = sim::nt::OpenVxDHandle(ToKernelHandle(hSource), &ring0);
  if (status < 0) {
    FailWith(status);
    return 0;
  }
  return ring0;
}

}  // namespace

// The ANSI form is the one both families implement (the 98/Me family only stubs most wide
// calls); the name is ASCII.
extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) return GetModuleHandleW(nullptr);
  std::wstring wide(lpModuleName, lpModuleName + std::strlen(lpModuleName));
  return GetModuleHandleW(wide.c_str());
}

extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  if (lpModuleName != nullptr && NamesKernel32(lpModuleName)) return kKernel32;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, const char* lpProcName) {
  if (hModule != kKernel32) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (lpProcName != nullptr && std::strcmp(lpProcName, "OpenVxDHandle") == 0 &&
      sim::kernel::CurrentWdmSupport() == sim::kernel::WdmSupport::Wdm10Only) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&OpenVxDHandle));
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}
