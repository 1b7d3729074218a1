// Object manager: reference-counted object bodies with a hidden header, and the handle tables
// of the user process and of the kernel, each entry with the access it grants. A body whose last reference goes is kept (marked dead) until the next
// boot, so a driver that releases an object once too often is caught by the verifier rather
// than by a crash.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "kernel_internal.h"
#include "objects.h"
#include "sim/kernel.h"

namespace sim::kernel {
namespace {

constexpr uint32_t kLiveMagic = 0x4F424A21;  // "OBJ!"
constexpr uint32_t kDeadMagic = 0x44454144;  // "DEAD"

struct HandleEntry {
  ObjectHeader* Object;
  ACCESS_MASK Granted;
};

// Values of closed handles are given out again, the most recently closed first, as the
// platform's handle tables do: a value kept past its close names whatever was opened next.
struct Table {
  std::map<uint32_t, HandleEntry> Entries;
  std::vector<uint32_t> Closed;
  uint32_t Next = 4;
};

std::mutex g_objectLock;
Table g_userHandles;
Table g_kernelHandles;

Table& TableOf(HandleTable table) {
  return table == HandleTable::Kernel ? g_kernelHandles : g_userHandles;
}

// The table a handle value belongs to, by its kernel bit.
HandleTable TableOfValue(uint32_t handle) {
  return (handle & kKernelHandleBit) != 0 ? HandleTable::Kernel : HandleTable::User;
}

HandleEntry* FindHandle(uint32_t handle) {
  auto& entries = TableOf(TableOfValue(handle)).Entries;
  auto it = entries.find(handle);
  return it == entries.end() ? nullptr : &it->second;
}

// The user-mode thread's request the current thread is serving: the innermost request it is
// dispatching, when that one came from user mode.
PIRP UserRequestBeingDispatched() {
  auto& frames = CurrentThread().Frames;
  if (frames.empty()) return nullptr;
  PIRP irp = frames.back().Irp;
  return irp->RequestorMode == UserMode ? irp : nullptr;
}
std::unordered_set<ObjectHeader*> g_graveyard;
std::unordered_set<ObjectHeader*> g_live;

size_t BodyOffset() { return (sizeof(ObjectHeader) + 15) & ~size_t{15}; }

void* BodyOf(ObjectHeader* header) { return reinterpret_cast<char*>(header) + BodyOffset(); }

// Drops one pointer reference; runs the delete callback outside the lock.
void Dereference(ObjectHeader* header, const char* who) {
  ObjectCallback onDelete = nullptr;
  {
    std::lock_guard guard(g_objectLock);
    if (header->Magic != kLiveMagic || header->PointerCount <= 0) {
      verifier::Report("ObjectOverRelease", std::string(who) + " of object " +
                                                Describe(BodyOf(header)) +
                                                " after its last reference was dropped");
      return;
    }
    if (--header->PointerCount == 0) {
      header->Magic = kDeadMagic;
      onDelete = header->OnDelete;
      g_live.erase(header);
      g_graveyard.insert(header);
    }
  }
  if (onDelete != nullptr) onDelete(BodyOf(header));
}

}  // namespace

ObjectHeader* HeaderOfObject(void* body) {
  return reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - BodyOffset());
}

void* CreateObject(ObjectKind kind, size_t bodySize, ObjectCallback onLastHandle,
                   ObjectCallback onDelete) {
  void* memory = std::calloc(1, BodyOffset() + bodySize);
  if (memory == nullptr) return nullptr;
  auto* header = new (memory) ObjectHeader();
  header->Magic = kLiveMagic;
  header->Kind = kind;
  header->PointerCount = 1;
  header->OnLastHandle = onLastHandle;
  header->OnDelete = onDelete;
  std::lock_guard guard(g_objectLock);
  g_live.insert(header);
  return BodyOf(header);
}

bool IsLiveObject(void* body, ObjectKind kind) {
  std::lock_guard guard(g_objectLock);
  ObjectHeader* header = HeaderOfObject(body);
  return g_live.contains(header) && header->Kind == kind;
}

uint32_t InsertHandle(void* body, ACCESS_MASK access, HandleTable table) {
  std::lock_guard guard(g_objectLock);
  ObjectHeader* header = HeaderOfObject(body);
  header->HandleCount++;
  header->PointerCount++;
  Table& t = TableOf(table);
  uint32_t handle;
  if (!t.Closed.empty()) {
    handle = t.Closed.back();
    t.Closed.pop_back();
  } else {
    handle = t.Next | (table == HandleTable::Kernel ? kKernelHandleBit : 0);
    t.Next += 4;
  }
  t.Entries[handle] = {header, access};
  return handle;
}

NTSTATUS ReferenceByHandle(uint32_t handle, ObjectKind kind, ACCESS_MASK desired, void** body) {
  std::lock_guard guard(g_objectLock);
  *body = nullptr;
  if (TableOfValue(handle) != HandleTable::User) return STATUS_INVALID_HANDLE;
  HandleEntry* entry = FindHandle(handle);
  if (entry == nullptr) return STATUS_INVALID_HANDLE;
  if (entry->Object->Kind != kind) return STATUS_OBJECT_TYPE_MISMATCH;
  if ((desired & ~entry->Granted) != 0) return STATUS_ACCESS_DENIED;
  entry->Object->PointerCount++;
  *body = BodyOf(entry->Object);
  return STATUS_SUCCESS;
}

NTSTATUS CloseHandleValue(uint32_t handle, KPROCESSOR_MODE mode) {
  ObjectHeader* header;
  ObjectCallback onLastHandle = nullptr;
  {
    std::lock_guard guard(g_objectLock);
    HandleTable table = TableOfValue(handle);
    if (mode == UserMode && table != HandleTable::User) return STATUS_INVALID_HANDLE;
    auto& entries = TableOf(table).Entries;
    auto it = entries.find(handle);
    if (it == entries.end()) return STATUS_INVALID_HANDLE;
    header = it->second.Object;
    entries.erase(it);
    TableOf(table).Closed.push_back(handle);
    if (--header->HandleCount == 0) onLastHandle = header->OnLastHandle;
  }
  if (onLastHandle != nullptr) onLastHandle(BodyOf(header));
  Dereference(header, "closing a handle");
  return STATUS_SUCCESS;
}

NTSTATUS DuplicateHandleValue(uint32_t source, ACCESS_MASK desired, uint32_t* target) {
  *target = 0;
  void* body = nullptr;
  ACCESS_MASK granted;
  {
    std::lock_guard guard(g_objectLock);
    if (TableOfValue(source) != HandleTable::User) return STATUS_INVALID_HANDLE;
    HandleEntry* entry = FindHandle(source);
    if (entry == nullptr) return STATUS_INVALID_HANDLE;
    // No security descriptors here: a duplicate grants at most what its source grants.
    granted = desired == kSameAccess ? entry->Granted : desired;
    if ((granted & ~entry->Granted) != 0) return STATUS_ACCESS_DENIED;
    body = BodyOf(entry->Object);
  }
  *target = InsertHandle(body, granted);
  return STATUS_SUCCESS;
}

void DereferenceObject(void* body) { Dereference(HeaderOfObject(body), "ObDereferenceObject"); }

NTSTATUS DriverReferenceByHandle(uint32_t handle, ObjectKind kind, ACCESS_MASK desired,
                                 KPROCESSOR_MODE mode, void** body, ACCESS_MASK* granted) {
  std::lock_guard guard(g_objectLock);
  *body = nullptr;
  HandleTable table = TableOfValue(handle);
  if (mode == UserMode && table != HandleTable::User) return STATUS_INVALID_HANDLE;
  HandleEntry* entry = FindHandle(handle);
  if (entry == nullptr) return STATUS_INVALID_HANDLE;
  ObjectHeader* header = entry->Object;
  if (header->Kind != kind) return STATUS_OBJECT_TYPE_MISMATCH;
  if (mode == UserMode && (desired & ~entry->Granted) != 0) return STATUS_ACCESS_DENIED;
  // A kernel-mode reference is granted whatever it asks for: nothing is checked.
  *granted = mode == UserMode ? entry->Granted : desired;
  header->PointerCount++;
  header->DriverReferences++;
  header->DriverReferenced = true;
  *body = BodyOf(header);
  return STATUS_SUCCESS;
}

bool IsReleasedEventObject(const void* event) {
  // Only addresses that are object bodies are looked at; any other event (on a stack, in a
  // device extension) is not an object's.
  auto* header = reinterpret_cast<ObjectHeader*>(
      reinterpret_cast<uintptr_t>(event) - BodyOffset());
  std::lock_guard guard(g_objectLock);
  if (g_graveyard.contains(header)) return true;
  return g_live.contains(header) && header->Kind == ObjectKind::Event &&
         header->DriverReferenced && header->DriverReferences == 0;
}

size_t HandleCount() {
  std::lock_guard guard(g_objectLock);
  return g_userHandles.Entries.size();
}

void CloseAllHandles() {
  for (;;) {
    uint32_t handle;
    {
      std::lock_guard guard(g_objectLock);
      Table& t = !g_userHandles.Entries.empty() ? g_userHandles : g_kernelHandles;
      if (t.Entries.empty()) return;
      handle = t.Entries.begin()->first;
    }
    CloseHandleValue(handle, KernelMode);
  }
}

void ResetObjects() {
  std::lock_guard guard(g_objectLock);
  for (ObjectHeader* header : g_graveyard) std::free(header);
  g_graveyard.clear();
  for (ObjectHeader* header : g_live) {
    verifier::Report("ObjectLeak", "object " + Describe(BodyOf(header)) +
                                       " still referenced when the kernel stopped");
    std::free(header);
  }
  g_live.clear();
  g_userHandles = Table{};
  g_kernelHandles = Table{};
}

}  // namespace sim::kernel

using namespace sim::kernel;

// Object types for references by handle.
struct _OBJECT_TYPE {
  ObjectKind Kind;
};

namespace {
_OBJECT_TYPE g_eventType{ObjectKind::Event};
POBJECT_TYPE g_eventTypePointer = &g_eventType;
}  // namespace

POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation) {
  EnterService("ObReferenceObjectByHandle");
  *Object = nullptr;
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle")) return STATUS_INVALID_PARAMETER;
  auto value = reinterpret_cast<uintptr_t>(Handle);
  if (value == 0 || value > 0xFFFFFFFFu) return STATUS_INVALID_HANDLE;
  if (ObjectType == nullptr) {
    verifier::Report("ObReferenceObjectByHandleType",
                     "ObReferenceObjectByHandle without an object type");
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  auto handle = static_cast<uint32_t>(value);
  // On the 98/Me family a driver reaches only ring-0 handles (OpenVxDHandle's, kept in the
  // kernel table; vxd_handles.cpp), with no access check; an application's own handle is
  // refused.
  if (CurrentWdmSupport() == WdmSupport::Wdm10Only) {
    if (TableOfValue(handle) != HandleTable::Kernel) return STATUS_INVALID_HANDLE;
    AccessMode = KernelMode;
  }
  // A handle value a user-mode request carries is the caller's to name: referencing it with
  // KernelMode skips the access check and lets the caller name a kernel handle. The request
  // counts as user mode's while this thread runs a dispatch routine for a request whose
  // RequestorMode is UserMode (the driver's own threads and DPCs are not covered).
  if (AccessMode == KernelMode && TableOfValue(handle) == HandleTable::User) {
    if (PIRP request = UserRequestBeingDispatched(); request != nullptr) {
      verifier::Report("KernelHandleReference",
                       "ObReferenceObjectByHandle with KernelMode of user handle 0x" +
                           [&] {
                             char text[16];
                             std::snprintf(text, sizeof text, "%X", handle);
                             return std::string(text);
                           }() +
                           " while serving user-mode request " + DescribeIrp(request) +
                           " (bug check 0xC4, parameter 0xF6)");
    }
  }
  ACCESS_MASK granted = 0;
  NTSTATUS status = DriverReferenceByHandle(handle, ObjectType->Kind, DesiredAccess, AccessMode,
                                            Object, &granted);
  if (status == STATUS_INVALID_HANDLE && AccessMode == KernelMode &&
      TableOfValue(handle) == HandleTable::Kernel) {
    verifier::Report("InvalidKernelHandle", "ObReferenceObjectByHandle of kernel handle " +
                                                Describe(Handle) + ", which is not open");
  }
  if (NT_SUCCESS(status) && HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = granted;
  }
  return status;
}

extern "C" void FASTCALL ObfReferenceObject(PVOID Object) {
  EnterService("ObfReferenceObject");
  std::lock_guard guard(g_objectLock);
  ObjectHeader* header = HeaderOfObject(Object);
  if (header->Magic != kLiveMagic) {
    verifier::Report("ObjectOverRelease",
                     "ObReferenceObject of " + Describe(Object) + ", whose last reference is gone");
    return;
  }
  header->PointerCount++;
  header->DriverReferences++;
  header->DriverReferenced = true;
}

// A driver's release: it must hold a reference it took.
extern "C" void FASTCALL ObfDereferenceObject(PVOID Object) {
  EnterService("ObfDereferenceObject");
  CheckIrqlAtMost(DISPATCH_LEVEL, "ObDereferenceObject");
  {
    std::lock_guard guard(g_objectLock);
    ObjectHeader* header = HeaderOfObject(Object);
    if (header->Magic == kLiveMagic && header->DriverReferences == 0) {
      verifier::Report("ObjectOverRelease", "ObDereferenceObject of " + Describe(Object) +
                                                " by a driver that holds no reference to it");
      return;
    }
    if (header->Magic == kLiveMagic) header->DriverReferences--;
  }
  DereferenceObject(Object);
}

extern "C" NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                        BOOLEAN InitialState) {
  *EventHandle = nullptr;
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateEvent")) return STATUS_INVALID_PARAMETER;
  if (ObjectAttributes != nullptr && ObjectAttributes->ObjectName != nullptr) {
    std::fprintf(stderr, "emulated kernel: ZwCreateEvent: named events are not supported\n");
    std::abort();
  }
  bool kernelHandle =
      ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
  auto* event = static_cast<PKEVENT>(CreateObject(ObjectKind::Event, sizeof(KEVENT), nullptr, nullptr));
  if (event == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeEvent(event, EventType, InitialState);
  uint32_t handle =
      InsertHandle(event, DesiredAccess, kernelHandle ? HandleTable::Kernel : HandleTable::User);
  DereferenceObject(event);
  *EventHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose")) return STATUS_INVALID_PARAMETER;
  auto value = reinterpret_cast<uintptr_t>(Handle);
  NTSTATUS status = value == 0 || value > 0xFFFFFFFFu
                        ? STATUS_INVALID_HANDLE
                        : CloseHandleValue(static_cast<uint32_t>(value), KernelMode);
  if (status == STATUS_INVALID_HANDLE) {
    verifier::Report("InvalidKernelHandle",
                     "ZwClose of handle " + Describe(Handle) + ", which is not open");
  }
  return status;
}
