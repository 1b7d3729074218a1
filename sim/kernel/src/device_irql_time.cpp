// Time held at device IRQL: every hold of an interrupt spin lock is costed by what it does
// (port accesses, bytes moved by the kernel's memory routines; see sim/device_resources.h),
// and a hold over the bound is InterruptLockHeldTooLong. The memory routines themselves are
// here: driver code reaches them through RtlCopyMemory and friends (wdm.h), and a loaded image
// through its memcpy and memset imports.
#include <cstring>

#include "driver_activity.h"
#include "kernel_internal.h"

namespace sim::kernel {

thread_local constinit HoldCost* t_holdCost = nullptr;

MeasuredHold::MeasuredHold(const char* role, const void* routine)
    : previous_(t_holdCost), role_(role), routine_(routine) {
  t_holdCost = &cost_;
}

MeasuredHold::~MeasuredHold() {
  t_holdCost = previous_;
  uint64_t nanos = cost_.Nanos();
  if (nanos <= kDeviceIrqlBoundNanos) return;
  std::string where;
  if (const void* device = CurrentActivityDevice()) where = " of device " + Describe(device);
  verifier::Report("InterruptLockHeldTooLong",
                   std::string(role_) + " " + RoutineAt(routine_) + where +
                       " held its interrupt's lock for about " + std::to_string(nanos / 1000) +
                       " us (" + std::to_string(cost_.ports) + " port accesses, " +
                       std::to_string(cost_.bytes) + " bytes copied or filled); the bound is " +
                       std::to_string(kDeviceIrqlBoundNanos / 1000) + " us");
}

}  // namespace sim::kernel

using sim::kernel::t_holdCost;

extern "C" void* __cdecl SimKernelCopyMemory(void* Destination, const void* Source,
                                             SIZE_T Length) {
  if (auto* cost = t_holdCost) cost->bytes += Length;
  return std::memcpy(Destination, Source, Length);
}

extern "C" void* __cdecl SimKernelMoveMemory(void* Destination, const void* Source,
                                             SIZE_T Length) {
  if (auto* cost = t_holdCost) cost->bytes += Length;
  return std::memmove(Destination, Source, Length);
}

extern "C" void* __cdecl SimKernelFillMemory(void* Destination, int Fill, SIZE_T Length) {
  if (auto* cost = t_holdCost) cost->bytes += Length;
  return std::memset(Destination, Fill, Length);
}
