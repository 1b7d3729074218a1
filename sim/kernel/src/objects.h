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

// A new handle holds its own reference.
uint32_t InsertHandle(void* body);
// The object behind a handle, with a new reference; null (and wrongKind) when the handle is
// unknown or names an object of another kind.
void* ReferenceByHandle(uint32_t handle, ObjectKind kind, bool* wrongKind);
NTSTATUS CloseHandleValue(uint32_t handle);
// A driver's reference on the object behind a handle (ObReferenceObjectByHandle).
NTSTATUS DriverReferenceByHandle(uint32_t handle, ObjectKind kind, void** body);
void DereferenceObject(void* body);
size_t HandleCount();
void CloseAllHandles();
void ResetObjects();

}  // namespace sim::kernel
