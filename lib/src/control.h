// Internal: one device-control request with the library's error handling.
#pragma once

#include <windows.h>

#include <cstdint>

namespace tarvik::detail {

struct Outcome {
  bool ok = false;
  uint32_t win32 = 0;      // when !ok
  uint32_t lastError = 0;  // when !ok: the driver's code, DAQ_OK when it kept none
};

// Sends one request on a synchronous handle. On failure of a request that keeps the driver's
// last-error register, the register is read. The only refusal that comes before the driver's
// handler (and so leaves an older code behind) is the remove lock's during removal, and that
// refuses the register read as well: the code is then DAQ_OK, never a stale one.
Outcome TryControl(HANDLE handle, uint32_t code, const void* input, uint32_t inputLength,
                   void* output, uint32_t outputLength);

// As TryControl, but a failure throws tarvik::Error naming `operation`.
void Control(HANDLE handle, const char* operation, uint32_t code, const void* input,
             uint32_t inputLength, void* output, uint32_t outputLength);

// Opens \\.\Tarvik with the given flags; throws Error naming `operation` when it cannot.
HANDLE OpenDevice(uint32_t flags, const char* operation);

// Milliseconds for a Win32 wait: negative is 0; too long for 32 bits waits forever.
DWORD WaitMilliseconds(int64_t milliseconds);

}  // namespace tarvik::detail
