// The emulated kernel's system-call surface for user mode (what the Win32 layer calls): file
// handles on device names in the object namespace. Free of platform types, because user-mode
// code sees <windows.h> and 4-byte wchar_t, while the kernel side has 2-byte WCHAR.
#pragma once

#include <cstdint>
#include <string_view>

namespace sim::nt {

using Status = int32_t;  // an NTSTATUS
using Handle = uint32_t; // 0 is never a valid handle

// The status block of a request, laid out as the platform's IO_STATUS_BLOCK (and so as the
// first two fields of a Win32 OVERLAPPED): written when the request completes.
struct IoStatus {
  union {
    Status status;
    void* pointer;
  };
  uintptr_t information;
};

// Opens a file object on the device that the NT path names (for example u"\\??\\Tarvik"),
// following symbolic links, and sends IRP_MJ_CREATE to the top of its stack. A synchronous
// file object makes every request on it wait for its completion; an asynchronous one lets
// requests stay pending. The handle grants `desiredAccess` (the platform's access mask; all
// access when not given): a device-control code whose access bits ask for FILE_READ_DATA or
// FILE_WRITE_DATA the handle does not grant is refused with STATUS_ACCESS_DENIED.
constexpr uint32_t kFileAllAccess = 0x001F01FF;
Status CreateFile(std::u16string_view ntPath, bool synchronous, Handle* handle,
                  uint32_t desiredAccess = kFileAllAccess);

// Sends IRP_MJ_DEVICE_CONTROL as the I/O manager builds it: METHOD_BUFFERED with one system
// buffer of the larger length, input copied in and Information bytes copied back to `output`
// unless the status is an error; METHOD_OUT_DIRECT with the input in a system buffer and an MDL
// for `output`. On completion `iosb` is written and `event` (or, when 0, the file object's own
// event) is signalled. Returns STATUS_PENDING while an asynchronous request runs; on a
// synchronous file object it waits and returns the final status.
Status DeviceIoControlFile(Handle file, Handle event, IoStatus* iosb, uint32_t code,
                           const void* input, uint32_t inputLength, void* output,
                           uint32_t outputLength);

// Cancels outstanding device-control requests on the file object with IoCancelIrp; each then
// completes as its driver completes it (normally with STATUS_CANCELLED). With allThreads
// false: the requests the calling thread issued (`only` must be null); the call returns when
// they have completed and reports STATUS_SUCCESS even when there were none. With allThreads
// true: requests from any thread, or only the one whose status block is `only`; the call does
// not wait, and returns STATUS_NOT_FOUND when nothing matched.
Status CancelIoFile(Handle file, bool allThreads, const IoStatus* only);

// Event objects: the driver sees their KEVENT through the handle.
Status CreateEvent(bool manualReset, bool initialState, Handle* handle);
Status SetEvent(Handle event);
Status ResetEvent(Handle event);
// Event handles grant all access when created. A duplicate grants `desiredAccess` (a value of
// the platform's access mask, e.g. SYNCHRONIZE alone), never more than its source grants:
// STATUS_ACCESS_DENIED then. SetEvent and ResetEvent need EVENT_MODIFY_STATE, waits need
// SYNCHRONIZE, an overlapped request's event needs EVENT_MODIFY_STATE.
// kSameAccess asks for what the source grants.
constexpr uint32_t kSameAccess = 0xFFFFFFFFu;
Status DuplicateHandle(Handle source, uint32_t desiredAccess, Handle* target);
// The 98/Me family's OpenVxDHandle: a ring-0 handle (in the kernel's table) on the event of a
// user handle, which a driver can reference there where the user handle is refused; it lasts
// until the process ends. STATUS_NOT_IMPLEMENTED on Windows 2000/XP.
Status OpenVxDHandle(Handle event, Handle* ring0);
// Waits on an event, or on a file object's completion event. timeoutMs < 0 waits forever.
// Returns STATUS_SUCCESS (signalled) or STATUS_TIMEOUT.
Status WaitForSingleObject(Handle object, int64_t timeoutMs);

// Closes a handle: cleanup when the last handle to the file object goes, close when its last
// reference goes.
Status Close(Handle handle);

// Number of open handles in the table (for tests and the bench).
size_t OpenHandleCount();

}  // namespace sim::nt
