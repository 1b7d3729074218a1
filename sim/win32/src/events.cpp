// Win32 event objects and waits over the emulated kernel's event objects.
#include <windows.h>

#include "handle_values.h"

using namespace sim::win32;

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCWSTR lpName) {
  (void)lpEventAttributes;
  if (lpName != nullptr) {
    // Named events would need the object namespace's \BaseNamedObjects; nothing uses them.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  sim::nt::Handle handle = 0;
  int32_t status = sim::nt::CreateEvent(bManualReset != FALSE, bInitialState != FALSE, &handle);
  if (status < 0) {
    FailWith(status);
    return nullptr;
  }
  return ToWin32Handle(handle);
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
  int32_t status = sim::nt::SetEvent(ToKernelHandle(hEvent));
  return status < 0 ? FailWith(status) : TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
  int32_t status = sim::nt::ResetEvent(ToKernelHandle(hEvent));
  return status < 0 ? FailWith(status) : TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  int64_t timeout = dwMilliseconds == INFINITE ? -1 : int64_t{dwMilliseconds};
  int32_t status = sim::nt::WaitForSingleObject(ToKernelHandle(hHandle), timeout);
  if (status == kStatusTimeout) return WAIT_TIMEOUT;
  if (status < 0) {
    FailWith(status);
    return WAIT_FAILED;
  }
  return WAIT_OBJECT_0;
}
