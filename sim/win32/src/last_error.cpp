// The calling thread's last error.
#include <windows.h>

namespace {

thread_local DWORD g_lastError = ERROR_SUCCESS;

}  // namespace

extern "C" DWORD WINAPI GetLastError(void) { return g_lastError; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { g_lastError = dwErrCode; }
