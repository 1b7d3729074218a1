// Hooks for a driver loaded from an image rather than linked in: where its PAGE and INIT code
// lie and how its routines are named, so the kernel's section rules see it, and a notification
// of every raise to DISPATCH_LEVEL, which forced IRQL checking uses to page PAGE out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace sim::kernel {

struct ImageCode {
  uintptr_t pageBegin = 0, pageEnd = 0;  // [begin, end), empty when begin == end
  uintptr_t initBegin = 0, initEnd = 0;
  std::function<std::string(uintptr_t)> routineAt;  // the routine an address lies in
};

// One image at a time; registering replaces the previous one, unregistering forgets it.
void RegisterImageCode(ImageCode code);
void UnregisterImageCode();

// Called on the raising thread whenever its IRQL goes from below DISPATCH_LEVEL to
// DISPATCH_LEVEL or above (spin locks, KeRaiseIrql, DPCs, interrupts, synchronize routines,
// cancel lock); null to stop.
void SetDispatchRaiseHook(void (*hook)());
// Called when a DriverEntry starts and when it has returned (LoadDriver); null to stop.
void SetDriverEntryHooks(void (*begin)(), void (*returned)());

// The calling thread's IRQL.
uint8_t CurrentThreadIrql();

}  // namespace sim::kernel
