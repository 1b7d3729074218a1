// I/O space mappings: MmMapIoSpace backs each mapping with zeroed host memory and records it,
// so that unmapping is checked against what was mapped and leftovers are reported as leaks.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "kernel_internal.h"
#include "sim/kernel.h"

namespace sim::kernel {
namespace {

struct Mapping {
  LONGLONG physical;
  SIZE_T length;
};

std::mutex g_mappingLock;
std::map<const void*, Mapping> g_mappings;
bool g_failNextMap = false;

std::string DescribeMapping(const void* base, const Mapping& m) {
  char text[64];
  std::snprintf(text, sizeof text, "physical 0x%llX", static_cast<unsigned long long>(m.physical));
  return std::to_string(m.length) + " bytes at " + text + " (mapped at " + Describe(base) + ")";
}

}  // namespace

void ResetMappings() {
  std::lock_guard guard(g_mappingLock);
  for (auto& [base, m] : g_mappings) std::free(const_cast<void*>(base));
  g_mappings.clear();
  g_failNextMap = false;
}

void ReportAndFreeLeakedMappings(const std::string& owner) {
  std::lock_guard guard(g_mappingLock);
  for (auto& [base, m] : g_mappings) {
    verifier::Report("MappingLeak", owner + " left a mapping of " + DescribeMapping(base, m) +
                                        " without MmUnmapIoSpace");
    std::free(const_cast<void*>(base));
  }
  g_mappings.clear();
}

void FailNextMapIoSpace() {
  std::lock_guard guard(g_mappingLock);
  g_failNextMap = true;
}

size_t LiveMappingCount() {
  std::lock_guard guard(g_mappingLock);
  return g_mappings.size();
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                    MEMORY_CACHING_TYPE CacheType) {
  EnterService("MmMapIoSpace");
  (void)CacheType;
  if (!CheckIrqlAtMost(DISPATCH_LEVEL, "MmMapIoSpace")) return nullptr;
  if (NumberOfBytes == 0) {
    verifier::Report("MappingMismatch", "MmMapIoSpace of zero bytes at physical " +
                                            std::to_string(PhysicalAddress.QuadPart));
    return nullptr;
  }
  std::lock_guard guard(g_mappingLock);
  if (g_failNextMap) {
    g_failNextMap = false;
    return nullptr;
  }
  void* base = std::calloc(1, NumberOfBytes);
  if (base == nullptr) return nullptr;
  g_mappings[base] = {PhysicalAddress.QuadPart, NumberOfBytes};
  return base;
}

extern "C" void NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  EnterService("MmUnmapIoSpace");
  CheckIrqlAtMost(DISPATCH_LEVEL, "MmUnmapIoSpace");
  std::lock_guard guard(g_mappingLock);
  auto it = g_mappings.find(BaseAddress);
  if (it == g_mappings.end()) {
    verifier::Report("MappingMismatch", "MmUnmapIoSpace of " + Describe(BaseAddress) +
                                            ", which is not a live mapping (never mapped, or "
                                            "unmapped already)");
    return;
  }
  if (it->second.length != NumberOfBytes) {
    verifier::Report("MappingMismatch", "MmUnmapIoSpace with length " +
                                            std::to_string(NumberOfBytes) + " of a mapping of " +
                                            DescribeMapping(BaseAddress, it->second));
  }
  std::free(BaseAddress);
  g_mappings.erase(it);
}
