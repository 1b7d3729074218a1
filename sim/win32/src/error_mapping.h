// The Win32 error that the platform reports for an NTSTATUS.
#pragma once

#include <cstdint>

namespace sim::win32 {

uint32_t NtStatusToWin32Error(int32_t status);

}  // namespace sim::win32
