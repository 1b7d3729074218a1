// Controls of the emulated kernel for the bench and for tests: boot and shutdown, the platform
// it answers as, fault injection and state that tests inspect. Free of platform types, so that
// user-mode code (which sees <windows.h>, not <wdm.h>) can include it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace sim::kernel {

// Which WDM revision IoIsWdmVersionAvailable reports.
enum class WdmSupport {
  Wdm10Only,  // the 98/Me family: WDM 1.0 and nothing later
  Wdm110,     // 1.10 and later (2000 and after)
  None,       // not even 1.0, for the refusal path of a driver's entry
};

// Starts the kernel's threads (two DPC processors, two workers, the interrupt processor) and
// clears state left by an earlier boot.
void Boot(WdmSupport support);
// Stops the kernel's threads. DPCs still queued are reported as violations.
void Shutdown();
bool IsBooted();

WdmSupport CurrentWdmSupport();

// The clock tick. Timers expire only at a tick, so KeDelayExecutionThread and every wait
// with a time-out (kernel and Win32 waits) end at a tick (see dispatcher.cpp). The default is
// the multiprocessor x86 HAL's 15.625 ms (the uniprocessor HAL's is 10 ms); 0 makes timers
// exact, which no platform does. It holds across boots until set again.
inline constexpr std::chrono::microseconds kDefaultClockTick{15625};
void SetClockTick(std::chrono::microseconds period);
std::chrono::microseconds ClockTick();

// Waits until no DPC is queued or running.
void WaitForDpcsIdle();

// An infinite kernel wait (KernelMode) that lasts longer than this is a deadlock: the process
// stops with a message instead of hanging the test run. User-mode waits (UserMode: the Win32
// layer's waits and a synchronous handle's requests) never stop.
void SetDeadlockLimit(std::chrono::milliseconds limit);
std::chrono::milliseconds DeadlockLimit();

// The delays threads asked KeDelayExecutionThread for since the process started, summed, in
// 100 ns units (what was asked, whatever the clock's granularity made of it).
uint64_t RequestedDelay();

// How many threads are blocked in an infinite KeWaitForSingleObject on the object (an event's
// address) now: a test that holds a lock can see a request reach its wait, deterministically.
size_t BlockedWaiters(const void* object);

// Special pool, the verifier's memory option (see README, "The emulated kernel's rules"):
// pool, requests and their buffers on pages of their own between guard pages, freed memory
// kept inaccessible, paged pool and user buffers trimmed at every raise. Decided at each boot:
// by this call once made; otherwise on when TARVIK_SPECIAL_POOL is set to anything but 0, or,
// when that is unset, when a driver image is run (TARVIK_DRIVER_IMAGE). The test runner turns
// it on; the benchmarks and the tool's own runs leave it off.
void SetSpecialPool(bool on);

// Pool: fault injection and accounting.
struct PoolStats {
  size_t outstandingAllocations = 0;
  size_t outstandingBytes = 0;
  size_t totalAllocations = 0;
  size_t failedAllocations = 0;  // refused by fault injection
};
PoolStats GetPoolStats();
// Makes the n-th pool allocation from now (1 = the next one) fail. 0 cancels.
void FailNthPoolAllocation(size_t n);
// Low-resource mode: about one in `oneIn` of the driver's pool allocations, IoAllocateIrp and
// PoRequestPowerIrp calls fails (STATUS_INSUFFICIENT_RESOURCES for the power request), chosen
// in call order by a generator seeded with `seed`, so one seed fails the same calls of the
// same scenario. Requests the emulated managers build for themselves never fail. oneIn 0 turns
// it off. LowResourceFailures counts the calls it failed since it was set.
void SetLowResources(uint64_t seed, uint32_t oneIn);
uint64_t LowResourceFailures();
// Size of an outstanding allocation, 0 when the address is not an allocation's start.
size_t PoolAllocationSize(const void* p);
// Tag of an outstanding allocation, 0 when unknown.
uint32_t PoolAllocationTag(const void* p);
// Pool type of an outstanding allocation (the platform's POOL_TYPE value), -1 when unknown.
int PoolAllocationType(const void* p);

// I/O space mappings (MmMapIoSpace): makes the next mapping fail as it does when no system
// address space is left; the number of mappings not yet unmapped.
void FailNextMapIoSpace();
size_t LiveMappingCount();

// Spin locks the verifier's lock-order graph knows; freeing the memory a lock lives in (pool,
// a device, an interrupt object) or a reboot forgets it.
size_t TrackedLockCount();

// Interrupt lines. A source (a device's interrupt output) is attached to a vector with a
// function that tells its current level; it calls NotifyInterruptLine whenever the level may
// have changed. While any source of a vector is asserted, its connected service routines run
// (at their IRQL, under their interrupt lock, in connection order until one claims it), in the
// notifying thread, or, when that thread already runs at or above the vector's IRQL, as soon
// as it drops below. A level that stays asserted through many rounds with nobody clearing it
// is an interrupt storm: reported to the verifier, and the vector is masked.
//
// A source's level can also float: a device pulled from its slot leaves its input to the
// line's pull-up, which holds it asserted with nothing behind it to clear. Nobody can claim
// such an interrupt, so a storm that only the floating input causes is the hardware's doing:
// the vector is masked as for any storm, and the stats say so (hardwareStorm), but no rule is
// broken. A routine that claims interrupts only a floating input raises is at fault
// (InterruptStorm): its device cannot have raised them.
//
// The vector's mode is its connected routines' (they must agree): a level-sensitive line keeps
// interrupting while it is asserted; a latched line interrupts once at each rising edge, which
// the kernel sees when a notification finds the line asserted after one that found it low (a
// source of a latched line notifies falls as well as rises).
using InterruptSourceId = uint32_t;
enum class LineLevel : uint8_t { Low, Asserted, Floating };
InterruptSourceId AttachInterruptSource(uint32_t vector, std::function<bool()> level);
InterruptSourceId AttachInterruptSource(uint32_t vector, std::function<LineLevel()> level);
void DetachInterruptSource(InterruptSourceId source);
void NotifyInterruptLine(InterruptSourceId source);
struct InterruptStats {
  uint64_t deliveries = 0;  // rounds of service routines run
  uint64_t claimed = 0;     // rounds in which a routine claimed the interrupt
  uint64_t unclaimed = 0;   // rounds in which none did
  bool masked = false;      // masked after a storm
  bool hardwareStorm = false;  // the storm was a floating input's that nobody claimed
};
InterruptStats GetInterruptStats(uint32_t vector);

// Closes every open handle, as the exit of the process that owns them does.
void CloseAllHandles();

// Power manager: makes the next PoRequestPowerIrp return `status` (an error status) without
// sending anything or calling the completion function. STATUS_SUCCESS (0) disarms it.
void FailNextPoRequestPowerIrp(int32_t status);
// The device power state (the platform's DEVICE_POWER_STATE value) the driver last reported
// with PoSetPowerState for a device object; 0 (unspecified) when it never reported one.
int ReportedDevicePowerState(const void* deviceObject);

// Work items (ExQueueWorkItem) run on the kernel's worker thread, started at boot and stopped
// at shutdown (items still queued then are violations). Waits until none is queued or running.
void WaitForWorkItemsIdle();

// Makes the next IoAttachDeviceToDeviceStack fail as it does when the target stack is being
// torn down.
void FailNextAttach();

}  // namespace sim::kernel
