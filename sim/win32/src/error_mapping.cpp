// NTSTATUS to Win32 error, as the platform's RtlNtStatusToDosError maps the statuses that the
// emulated machine can produce. A status it has no entry for maps to ERROR_MR_MID_NOT_FOUND,
// as on the platform.
#include "error_mapping.h"

#include <windows.h>

namespace sim::win32 {

uint32_t NtStatusToWin32Error(int32_t status) {
  struct Entry {
    uint32_t status;
    uint32_t error;
  };
  static constexpr Entry kTable[] = {
      {0x00000000, ERROR_SUCCESS},
      {0x00000102, WAIT_TIMEOUT},
      {0x00000103, ERROR_IO_PENDING},
      {0x80000005, ERROR_MORE_DATA},            // STATUS_BUFFER_OVERFLOW
      {0x8000000F, ERROR_NOT_READY},            // STATUS_DEVICE_POWERED_OFF
      {0x80000011, ERROR_BUSY},                 // STATUS_DEVICE_BUSY
      {0xC0000001, ERROR_GEN_FAILURE},          // STATUS_UNSUCCESSFUL
      {0xC0000002, ERROR_INVALID_FUNCTION},     // STATUS_NOT_IMPLEMENTED
      {0xC0000008, ERROR_INVALID_HANDLE},       // STATUS_INVALID_HANDLE
      {0xC000000D, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER
      {0xC000000E, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_DEVICE
      {0xC0000010, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
      {0xC0000022, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
      {0xC0000023, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
      {0xC0000024, ERROR_INVALID_HANDLE},       // STATUS_OBJECT_TYPE_MISMATCH
      {0xC0000033, ERROR_INVALID_NAME},         // STATUS_OBJECT_NAME_INVALID
      {0xC0000034, ERROR_FILE_NOT_FOUND},       // STATUS_OBJECT_NAME_NOT_FOUND
      {0xC0000035, ERROR_ALREADY_EXISTS},       // STATUS_OBJECT_NAME_COLLISION
      {0xC000003A, ERROR_PATH_NOT_FOUND},       // STATUS_OBJECT_PATH_NOT_FOUND
      {0xC0000056, ERROR_ACCESS_DENIED},        // STATUS_DELETE_PENDING
      {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},  // STATUS_INSUFFICIENT_RESOURCES
      {0xC00000A3, ERROR_NOT_READY},            // STATUS_DEVICE_NOT_READY
      {0xC00000BB, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
      {0xC0000120, ERROR_OPERATION_ABORTED},    // STATUS_CANCELLED
      {0xC0000225, ERROR_NOT_FOUND},            // STATUS_NOT_FOUND
      {0xC00002B6, ERROR_DEV_NOT_EXIST},        // STATUS_DEVICE_REMOVED
  };
  for (const auto& entry : kTable) {
    if (entry.status == static_cast<uint32_t>(status)) return entry.error;
  }
  return ERROR_MR_MID_NOT_FOUND;
}

}  // namespace sim::win32
