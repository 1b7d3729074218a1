// The low-resource mode: a seeded share of the driver's pool allocations, IoAllocateIrp and
// PoRequestPowerIrp calls fail, as on a machine short of memory. The managers' own requests
// (built inside a PlatformAllocation) never fail: the platform guarantees them.
#include <atomic>
#include <mutex>

#include "kernel_internal.h"
#include "sim/kernel.h"

namespace sim::kernel {
namespace {

std::mutex g_lowLock;
uint64_t g_lowSeed = 0;
uint64_t g_lowState = 0;
uint32_t g_oneIn = 0;  // 0: off
uint64_t g_lowFailures = 0;

thread_local int t_platformDepth = 0;

uint64_t Next(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

PlatformAllocation::PlatformAllocation() { ++t_platformDepth; }
PlatformAllocation::~PlatformAllocation() { --t_platformDepth; }
bool PlatformAllocation::Active() { return t_platformDepth > 0; }

bool LowResourcesFail() {
  if (PlatformAllocation::Active()) return false;
  std::lock_guard guard(g_lowLock);
  if (g_oneIn == 0) return false;
  if (Next(g_lowState) % g_oneIn != 0) return false;
  ++g_lowFailures;
  return true;
}

void SetLowResources(uint64_t seed, uint32_t oneIn) {
  std::lock_guard guard(g_lowLock);
  g_lowSeed = seed;
  g_lowState = seed;
  g_oneIn = oneIn;
  g_lowFailures = 0;
}

uint64_t LowResourceFailures() {
  std::lock_guard guard(g_lowLock);
  return g_lowFailures;
}

}  // namespace sim::kernel
