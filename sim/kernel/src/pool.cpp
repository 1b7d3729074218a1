// Executive pool: tagged, typed allocations with leak tracking and fault injection; with
// special pool on (special_pool.h) every allocation gets pages of its own.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "kernel_internal.h"
#include "sim/kernel.h"
#include "special_pool.h"

namespace sim::kernel {
namespace {

struct Allocation {
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  bool special;
};

std::mutex g_poolLock;
std::map<const void*, Allocation> g_allocations;
PoolStats g_stats;
size_t g_failCountdown = 0;  // 0: no fault armed

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return text;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

void Release(const void* p, const Allocation& a) {
  if (!a.special || !special_pool::Free(p)) std::free(const_cast<void*>(p));
}

}  // namespace

void ResetPool() {
  std::lock_guard guard(g_poolLock);
  for (auto& [p, a] : g_allocations) Release(p, a);
  g_allocations.clear();
  g_stats = {};
  g_failCountdown = 0;
}

PoolStats GetPoolStats() {
  std::lock_guard guard(g_poolLock);
  return g_stats;
}

void FailNthPoolAllocation(size_t n) {
  std::lock_guard guard(g_poolLock);
  g_failCountdown = n;
}

size_t PoolAllocationSize(const void* p) {
  std::lock_guard guard(g_poolLock);
  auto it = g_allocations.find(p);
  return it == g_allocations.end() ? 0 : it->second.size;
}

uint32_t PoolAllocationTag(const void* p) {
  std::lock_guard guard(g_poolLock);
  auto it = g_allocations.find(p);
  return it == g_allocations.end() ? 0 : it->second.tag;
}

int PoolAllocationType(const void* p) {
  std::lock_guard guard(g_poolLock);
  auto it = g_allocations.find(p);
  return it == g_allocations.end() ? -1 : static_cast<int>(it->second.type);
}

void ReportPoolLeaks(const std::string& driverName) {
  std::lock_guard guard(g_poolLock);
  for (auto& [p, a] : g_allocations) {
    verifier::Report("PoolLeak", driverName + " unloaded with " + std::to_string(a.size) +
                                     " bytes of pool (tag \"" + TagText(a.tag) + "\") at " +
                                     Describe(p) + " still allocated");
  }
}

void FreeLeakedPool() {
  std::lock_guard guard(g_poolLock);
  for (auto& [p, a] : g_allocations) Release(p, a);
  g_allocations.clear();
  g_stats.outstandingAllocations = 0;
  g_stats.outstandingBytes = 0;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                             ULONG Tag) {
  EnterService("ExAllocatePoolWithTag");
  KIRQL irql = CurrentThread().Irql;
  if (IsPaged(PoolType) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
    sim::verifier::Report("IrqlExAllocatePool", "pool type " + std::to_string(PoolType) +
                                                    " allocated at IRQL " + std::to_string(irql));
    return nullptr;
  }
  if (NumberOfBytes == 0) {
    sim::verifier::Report("ZeroPoolAllocation",
                          "ExAllocatePoolWithTag of zero bytes, tag \"" + TagText(Tag) + "\"");
    return nullptr;
  }
  bool lowResources = LowResourcesFail();
  std::lock_guard guard(g_poolLock);
  if ((g_failCountdown != 0 && --g_failCountdown == 0) || lowResources) {
    ++g_stats.failedAllocations;
    return nullptr;
  }
  void* p = special_pool::Enabled()
                ? special_pool::Allocate(NumberOfBytes, {special_pool::Kind::Pool, Tag, nullptr},
                                         IsPaged(PoolType), special_pool::Placement::Alternate)
                : nullptr;
  bool special = p != nullptr;
  if (!special) {
    p = std::malloc(NumberOfBytes);
    if (p == nullptr) return nullptr;
    // Fresh pool is not zeroed on the platform; a recognisable pattern catches code that
    // assumes it is (special pool fills it the same way).
    std::memset(p, 0xA5, NumberOfBytes);
  }
  g_allocations[p] = {NumberOfBytes, Tag, PoolType, special};
  ++g_stats.totalAllocations;
  ++g_stats.outstandingAllocations;
  g_stats.outstandingBytes += NumberOfBytes;
  return p;
}

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  EnterService("ExAllocatePool");
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);  // "None"
}

namespace {

void FreePool(PVOID P, const ULONG* expectedTag) {
  KIRQL irql = CurrentThread().Irql;
  std::lock_guard guard(g_poolLock);
  auto it = g_allocations.find(P);
  if (it == g_allocations.end()) {
    sim::verifier::Report("BadPoolFree", "ExFreePool of " + Describe(P) +
                                             ", which is not an outstanding pool allocation");
    return;
  }
  if (IsPaged(it->second.type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
    sim::verifier::Report("IrqlExFreePool", "pool freed at IRQL " + std::to_string(irql));
  }
  // A queued DPC or work item in the memory would run from freed pool: it is taken off its
  // queue here, as the platform's check stops the machine before it could run.
  const void* end = static_cast<char*>(P) + it->second.size;
  std::vector<std::string> deferred = RemoveQueuedDpcsWithin(P, end);
  for (std::string& item : RemoveQueuedWorkItemsWithin(P, end)) deferred.push_back(std::move(item));
  for (const std::string& item : deferred) {
    sim::verifier::Report("FreePoolWithQueuedWork", "ExFreePool of " + Describe(P) + " (tag \"" +
                                                        TagText(it->second.tag) + "\") while " +
                                                        item + " in it is still queued");
  }
  if (expectedTag != nullptr && *expectedTag != it->second.tag) {
    sim::verifier::Report("BadPoolFree", "ExFreePoolWithTag with tag \"" +
                                             TagText(*expectedTag) + "\" on an allocation tagged \"" +
                                             TagText(it->second.tag) + "\"");
  }
  g_stats.outstandingAllocations--;
  g_stats.outstandingBytes -= it->second.size;
  ForgetLocksWithin(P, static_cast<char*>(P) + it->second.size);
  Allocation freed = it->second;
  g_allocations.erase(it);
  Release(P, freed);
}

}  // namespace

extern "C" void NTAPI ExFreePool(PVOID P) {
  EnterService("ExFreePool");
  FreePool(P, nullptr);
}

extern "C" void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  EnterService("ExFreePoolWithTag");
  FreePool(P, &Tag);
}
