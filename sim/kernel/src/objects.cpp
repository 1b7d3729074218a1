// Object manager: reference-counted object bodies with a hidden header, and the handle table
// that user mode sees. A body whose last reference goes is kept (marked dead) until the next
// boot, so a driver that releases an object once too often is caught by the verifier rather
// than by a crash.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
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
std::vector<ObjectHeader*> g_graveyard;
std::vector<ObjectHeader*> g_live;

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
      std::erase(g_live, header);
      g_graveyard.push_back(header);
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
  g_live.push_back(header);
  return BodyOf(header);
}

bool IsLiveObject(void* body, ObjectKind kind) {
  std::lock_guard guard(g_objectLock);
  ObjectHeader* header = HeaderOfObject(body);
  return std::find(g_live.begin(), g_live.end(), header) != g_live.end() && header->Kind == kind;
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

extern "C" void FASTCALL ObfReferenceObject(PVOID Object) {
  std::lock_guard guard(g_objectLock);
  ObjectHeader* header = HeaderOfObject(Object);
  if (header->Magic != kLiveMagic) {
    verifier::Report("ObjectOverRelease",
                     "ObReferenceObject of " + Describe(Object) + ", whose last reference is gone");
    return;
  }
  header->PointerCount++;
}

extern "C" void FASTCALL ObfDereferenceObject(PVOID Object) { DereferenceObject(Object); }
