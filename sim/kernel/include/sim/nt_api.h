// The emulated kernel's system-call surface for user mode (what the Win32 layer calls): file
// handles on device names in the object namespace. Free of platform types, because user-mode
// code sees <windows.h> and 4-byte wchar_t, while the kernel side has 2-byte WCHAR.
#pragma once

#include <cstdint>
#include <string_view>

namespace sim::nt {

using Status = int32_t;  // an NTSTATUS
using Handle = uint32_t; // 0 is never a valid handle

// Opens a file object on the device that the NT path names (for example u"\\??\\Tarvik"),
// following symbolic links, and sends IRP_MJ_CREATE to the top of its stack.
Status CreateFile(std::u16string_view ntPath, Handle* handle);

// Closes a handle: cleanup when the last handle to the file object goes, close when its last
// reference goes.
Status Close(Handle handle);

// Number of open handles in the table (for tests and the bench).
size_t OpenHandleCount();

}  // namespace sim::nt
