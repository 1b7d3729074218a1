// Object manager internals shared by the kernel areas that create objects (file objects,
// events) and the handle-based calls of user mode.
#pragma once

#include <cstdint>

#include "kernel_internal.h"

namespace sim::kernel {

enum class ObjectKind { File, Event };

using ObjectCallback = void (*)(void* body);

struct ObjectHeader {
  uint32_t Magic = 0;
  ObjectKind Kind = ObjectKind::File;
  long PointerCount = 0;  // references, each handle holding one
  long HandleCount = 0;
  long DriverReferences = 0;      // references drivers took (by handle or by pointer)
  bool DriverReferenced = false;  // a driver ever took one
  ObjectCallback OnLastHandle = nullptr;  // the last handle went (a file's cleanup)
  ObjectCallback OnDelete = nullptr;      // the last reference went (a file's close)
};

// A zero-filled body with one reference, the creator's.
void* CreateObject(ObjectKind kind, size_t bodySize, ObjectCallback onLastHandle,
                   ObjectCallback onDelete);
ObjectHeader* HeaderOfObject(void* body);
bool IsLiveObject(void* body, ObjectKind kind);

// Handle tables: the one user process's, and the kernel's (OBJ_KERNEL_HANDLE). Kernel handle
// values have the top bit set, as on the platform; user mode never reaches them.
enum class HandleTable { User, Kernel };
constexpr uint32_t kKernelHandleBit = 0x80000000u;
constexpr ACCESS_MASK kEventAllAccess = 0x001F0003;  // EVENT_ALL_ACCESS
constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;   // FILE_ALL_ACCESS
constexpr ACCESS_MASK kSameAccess = 0xFFFFFFFFu;     // a duplicate with its source's access

// A new handle holds its own reference and grants `access`.
uint32_t InsertHandle(void* body, ACCESS_MASK access, HandleTable table = HandleTable::User);
// The object behind a user handle, with a new reference, for a user-mode call that needs
// `desired` access: STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH or
// STATUS_ACCESS_DENIED otherwise.
NTSTATUS ReferenceByHandle(uint32_t handle, ObjectKind kind, ACCESS_MASK desired, void** body);
// Closes a handle of the table its value belongs to; user mode may close only user handles.
NTSTATUS CloseHandleValue(uint32_t handle, KPROCESSOR_MODE mode = UserMode);
// A second user handle on the same object granting `desired`, at most what the source grants.
NTSTATUS DuplicateHandleValue(uint32_t source, ACCESS_MASK desired, uint32_t* target);
// A driver's reference on the object behind a handle (ObReferenceObjectByHandle): UserMode
// looks in the user table only and checks the access; KernelMode reaches both tables and
// checks nothing.
NTSTATUS DriverReferenceByHandle(uint32_t handle, ObjectKind kind, ACCESS_MASK desired,
                                 KPROCESSOR_MODE mode, void** body, ACCESS_MASK* granted);
void DereferenceObject(void* body);
size_t HandleCount();  // user handles
void CloseAllHandles();
void ResetObjects();

}  // namespace sim::kernel
