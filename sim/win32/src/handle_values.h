// Helpers shared by the emulated Win32 calls: handle values, NTSTATUS results and the
// thread's last error.
#pragma once

#include <windows.h>

#include <cstdint>

#include "error_mapping.h"
#include "sim/nt_api.h"

namespace sim::win32 {

constexpr int32_t kStatusPending = 0x00000103;
constexpr int32_t kStatusTimeout = 0x00000102;
constexpr int32_t kStatusInvalidHandle = static_cast<int32_t>(0xC0000008);

// Win32 handles carry the kernel's handle values; anything else is no handle.
inline sim::nt::Handle ToKernelHandle(HANDLE handle) {
  auto value = reinterpret_cast<uintptr_t>(handle);
  return value > 0xFFFFFFFFu ? 0 : static_cast<sim::nt::Handle>(value);
}

inline HANDLE ToWin32Handle(sim::nt::Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

inline bool IsError(int32_t status) { return (static_cast<uint32_t>(status) >> 30) == 3; }
inline bool IsWarning(int32_t status) { return (static_cast<uint32_t>(status) >> 30) == 2; }

// Sets the last error from the status and returns FALSE, as failing calls do.
inline BOOL FailWith(int32_t status) {
  SetLastError(NtStatusToWin32Error(status));
  return FALSE;
}

}  // namespace sim::win32
