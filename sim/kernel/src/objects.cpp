// Object manager: reference-counted object bodies with a hidden header, and the handle table
// that user mode sees. A body whose last reference goes is kept (marked dead) until the next
// boot, so a driver that releases an object once too often is caught by the verifier rather
// than by a crash.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "kernel_internal.h"
#include "objects.h"

namespace sim::kernel {
namespace {

constexpr uint32_t kLiveMagic = 0x4F424A21;  // "OBJ!"
constexpr uint32_t kDeadMagic = 0x44454144;  // "DEAD"

std::mutex g_objectLock;
std::map<uint32_t, ObjectHeader*> g_handles;
uint32_t g_nextHandle = 4;
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

uint32_t InsertHandle(void* body) {
  std::lock_guard guard(g_objectLock);
  ObjectHeader* header = HeaderOfObject(body);
  header->HandleCount++;
  header->PointerCount++;
  uint32_t handle = g_nextHandle;
  g_nextHandle += 4;
  g_handles[handle] = header;
  return handle;
}

void* ReferenceByHandle(uint32_t handle, ObjectKind kind, bool* wrongKind) {
  std::lock_guard guard(g_objectLock);
  *wrongKind = false;
  auto it = g_handles.find(handle);
  if (it == g_handles.end()) return nullptr;
  if (it->second->Kind != kind) {
    *wrongKind = true;
    return nullptr;
  }
  it->second->PointerCount++;
  return BodyOf(it->second);
}

NTSTATUS CloseHandleValue(uint32_t handle) {
  ObjectHeader* header;
  ObjectCallback onLastHandle = nullptr;
  {
    std::lock_guard guard(g_objectLock);
    auto it = g_handles.find(handle);
    if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
    header = it->second;
    g_handles.erase(it);
    if (--header->HandleCount == 0) onLastHandle = header->OnLastHandle;
  }
  if (onLastHandle != nullptr) onLastHandle(BodyOf(header));
  Dereference(header, "closing a handle");
  return STATUS_SUCCESS;
}

void DereferenceObject(void* body) { Dereference(HeaderOfObject(body), "ObDereferenceObject"); }

NTSTATUS DriverReferenceByHandle(uint32_t handle, ObjectKind kind, void** body) {
  std::lock_guard guard(g_objectLock);
  *body = nullptr;
  auto it = g_handles.find(handle);
  if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
  ObjectHeader* header = it->second;
  if (header->Kind != kind) return STATUS_OBJECT_TYPE_MISMATCH;
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
  return g_handles.size();
}

void CloseAllHandles() {
  for (;;) {
    uint32_t handle;
    {
      std::lock_guard guard(g_objectLock);
      if (g_handles.empty()) return;
      handle = g_handles.begin()->first;
    }
    CloseHandleValue(handle);
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
  g_handles.clear();
  g_nextHandle = 4;
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
  (void)AccessMode;
  *Object = nullptr;
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle")) return STATUS_INVALID_PARAMETER;
  auto value = reinterpret_cast<uintptr_t>(Handle);
  if (value == 0 || value > 0xFFFFFFFFu) return STATUS_INVALID_HANDLE;
  if (ObjectType == nullptr) {
    verifier::Report("ObReferenceObjectByHandleType",
                     "ObReferenceObjectByHandle without an object type");
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  NTSTATUS status = DriverReferenceByHandle(static_cast<uint32_t>(value), ObjectType->Kind, Object);
  if (NT_SUCCESS(status) && HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
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
