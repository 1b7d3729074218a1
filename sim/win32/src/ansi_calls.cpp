// The ANSI forms of the calls that take a name, which both platform families implement (the
// 98/Me family only stubs the wide ones): the name is widened and the wide call does the rest.
// Names here are ASCII (device paths), so widening is one character for one.
#include <windows.h>

#include <string>

namespace {

std::wstring Widen(LPCSTR text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }

}  // namespace

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
  if (lpFileName == nullptr) {
    return CreateFileW(nullptr, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
  }
  std::wstring name = Widen(lpFileName);
  return CreateFileW(name.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                     dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName) {
  if (lpName == nullptr) return CreateEventW(lpEventAttributes, bManualReset, bInitialState, nullptr);
  std::wstring name = Widen(lpName);
  return CreateEventW(lpEventAttributes, bManualReset, bInitialState, name.c_str());
}
