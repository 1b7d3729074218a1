// DeviceIoControl, GetOverlappedResult and the cancel calls over the emulated I/O manager.
#include <windows.h>

#include <cstddef>

#include "handle_values.h"

using namespace sim::win32;

namespace {

// The platform keeps an asynchronous request's status block in the OVERLAPPED itself.
sim::nt::IoStatus* StatusBlockOf(LPOVERLAPPED overlapped) {
  static_assert(offsetof(OVERLAPPED, Internal) == offsetof(sim::nt::IoStatus, status));
  static_assert(offsetof(OVERLAPPED, InternalHigh) == offsetof(sim::nt::IoStatus, information));
  return reinterpret_cast<sim::nt::IoStatus*>(overlapped);
}

// The status may still be written by the completing thread: read it as it is published.
int32_t StatusOf(const OVERLAPPED* overlapped) {
  return static_cast<int32_t>(
      static_cast<uint32_t>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)));
}

// Success copies the byte count out; a warning also does, but fails the call.
BOOL Finish(int32_t status, uintptr_t information, LPDWORD bytes) {
  if (!IsError(status) && bytes != nullptr) *bytes = static_cast<DWORD>(information);
  if (status < 0) return FailWith(status);
  return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
  sim::nt::Handle device = ToKernelHandle(hDevice);
  if (lpOverlapped != nullptr) {
    lpOverlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
    lpOverlapped->InternalHigh = 0;
    int32_t status = sim::nt::DeviceIoControlFile(
        device, ToKernelHandle(lpOverlapped->hEvent), StatusBlockOf(lpOverlapped),
        dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize);
    if (status == kStatusPending) return FailWith(status);  // ERROR_IO_PENDING
    if (IsError(status)) return FailWith(status);
    return Finish(StatusOf(lpOverlapped), lpOverlapped->InternalHigh, lpBytesReturned);
  }
  sim::nt::IoStatus iosb{};
  int32_t status = sim::nt::DeviceIoControlFile(device, 0, &iosb, dwIoControlCode, lpInBuffer,
                                                nInBufferSize, lpOutBuffer, nOutBufferSize);
  if (status == kStatusPending) {
    // An asynchronous handle used without an OVERLAPPED: wait on the file object.
    sim::nt::WaitForSingleObject(device, -1);
    status = iosb.status;
  } else if (IsError(status) && iosb.status == 0) {
    return FailWith(status);  // refused before any request was built
  }
  return Finish(status, iosb.information, lpBytesReturned);
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  if (StatusOf(lpOverlapped) == kStatusPending) {
    if (!bWait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    HANDLE waitOn = lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile;
    sim::nt::WaitForSingleObject(ToKernelHandle(waitOn), -1);
  }
  return Finish(StatusOf(lpOverlapped), lpOverlapped->InternalHigh, lpNumberOfBytesTransferred);
}

// Cancels the calling thread's requests on the handle and returns once they are done; it
// succeeds whether or not anything was outstanding.
extern "C" BOOL WINAPI CancelIo(HANDLE hFile) {
  int32_t status = sim::nt::CancelIoFile(ToKernelHandle(hFile), false, nullptr);
  if (status < 0) return FailWith(status);
  return TRUE;
}

// Cancels the request that the OVERLAPPED belongs to, or every request on the handle from any
// thread when it is null; fails with ERROR_NOT_FOUND when there was nothing to cancel.
extern "C" BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  int32_t status = sim::nt::CancelIoFile(
      ToKernelHandle(hFile), true, lpOverlapped != nullptr ? StatusBlockOf(lpOverlapped) : nullptr);
  if (status < 0) return FailWith(status);
  return TRUE;
}
