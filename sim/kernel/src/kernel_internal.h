// Private bookkeeping shared by the emulated kernel's areas: per-thread state, the hidden
// records behind IRPs and device objects, and checks used by several areas.
#pragma once

#include <wdm.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/schedule.h"
#include "sim/verifier.h"

// The emulated kernel's per-device record, reached through DeviceObject->DeviceObjectExtension.
struct _SIM_DEVOBJ_EXTENSION {
  PDEVICE_OBJECT DeviceObject = nullptr;
  PDEVICE_OBJECT AttachedTo = nullptr;  // the device this one was attached on top of
  std::u16string Name;                  // empty for unnamed devices
  bool DeletePending = false;           // IoDeleteDevice ran while handles were open
  // Last PoSetPowerState; the power manager knows nothing of a new device until its driver
  // reports a state.
  DEVICE_POWER_STATE ReportedPowerState = PowerDeviceUnspecified;
  // The stack has not been started yet (the platform's DOE_START_PENDING): opens are refused.
  bool StartPending = false;
};

namespace sim::kernel {

namespace verifier = ::sim::verifier;

// What one thread holds and is doing, as the verifier needs to know it.
struct DispatchFrame {
  PIRP Irp;
  CHAR Location;              // the stack location the dispatch routine was given
  bool CompletedHere = false;  // the routine completed the request at its own location
  NTSTATUS CompletedStatus = 0;
  bool PassedDown = false;     // the routine called a lower driver with the request
  NTSTATUS LowerStatus = 0;    // what that call returned
};

// A thread's IRQL. A rise from below DISPATCH_LEVEL to it or above calls the raise hook
// (image_code.h), wherever in the kernel the IRQL is set.
class ThreadIrql {
 public:
  ThreadIrql& operator=(KIRQL irql) {
    KIRQL old = value_;
    value_ = irql;
    if (old < DISPATCH_LEVEL && irql >= DISPATCH_LEVEL) NotifyDispatchRaise();
    return *this;
  }
  operator KIRQL() const { return value_; }

 private:
  static void NotifyDispatchRaise();
  KIRQL value_ = PASSIVE_LEVEL;
};

struct ThreadState {
  ThreadIrql Irql;
  std::vector<PKSPIN_LOCK> HeldSpinLocks;
  std::vector<DispatchFrame> Frames;
  // Interrupt rounds (vector, ticket) this thread notified while at or above their IRQL: it
  // waits for them once it drops below (see DeliverPendingInterrupts).
  std::vector<std::pair<uint32_t, uint64_t>> OwedInterruptRounds;
  // The IRQL each held lock's acquire returned, for the check at its release.
  std::vector<std::pair<PKSPIN_LOCK, KIRQL>> SavedIrqls;
  // Set by KeSetEvent with Wait TRUE until the thread's next kernel call.
  bool WaitOwed = false;
  // Kernel mutexes the thread owns (each disables its normal kernel APCs until released).
  int OwnedMutexes = 0;
  // KeEnterCriticalRegion calls not yet left (the platform's APC disable count).
  int CriticalRegions = 0;
  // The driver whose dispatch, completion or work item routine the thread runs, as far as the
  // kernel knows it (null in DPCs, ISRs and callers outside any driver): a work item it queues
  // is that driver's.
  PDRIVER_OBJECT RunningDriver = nullptr;
};

ThreadState& CurrentThread();

// The entry hook of every exported service (schedule.cpp): counts the call for the calling
// thread's role, fires an injection armed at it, perturbs timing in the seeded mode.
void EnterService(const char* service);
// The calling thread is about to wait or spin for someone else: an injector that does so lets
// the thread it holds go on.
void NoteBlocking();
// When a timer of `delay` started now expires: at a clock tick (dispatcher.cpp).
std::chrono::steady_clock::time_point TimerExpiry(std::chrono::steady_clock::duration delay);
// Counts the clock's ticks from now (at boot).
void StartClock();
// Names the role of a thread the kernel starts (DPC, worker, interrupt processor).
void SetThreadRole(sim::schedule::Role role);
void ScheduleAtBoot();
void ScheduleAtShutdown();

// Allocations the emulated managers make for themselves (the requests they build) are exempt
// from the low-resource mode (see sim/kernel.h): while one of these lives on a thread.
class PlatformAllocation {
 public:
  PlatformAllocation();
  ~PlatformAllocation();
  PlatformAllocation(const PlatformAllocation&) = delete;
  PlatformAllocation& operator=(const PlatformAllocation&) = delete;
  static bool Active();
};
// Whether the low-resource mode fails this allocation of the driver's (`what` names it in
// nothing but the statistics); false inside a PlatformAllocation.
bool LowResourcesFail();

// Records a violation when the current IRQL is above the limit for the named routine.
// Returns true when the IRQL is acceptable.
bool CheckIrqlAtMost(KIRQL limit, const char* routine);

// Takes or drops a spin lock's word without touching the IRQL (interrupt locks, taken at
// device IRQL); the verifier's double-acquire and ownership checks still apply.
// site is the driver code taking the lock (a call site or the routine that runs under it),
// for the lock-order graph's messages; null names the lock by routine.
bool AcquireLockWord(PKSPIN_LOCK lock, const char* routine, const void* site = nullptr);
bool ReleaseLockWord(PKSPIN_LOCK lock, const char* routine);

// The lock-order graph (lock_order.cpp). NoteLockAcquired records the orders from every lock
// the thread holds to the one it is taking (kind names what the lock is) and reports a cycle
// (LockOrder). Freed memory's locks are forgotten; a reboot forgets all.
void NoteLockAcquired(PKSPIN_LOCK lock, const char* kind, const char* routine,
                      const void* site);
void ForgetLocksWithin(const void* begin, const void* end);
void ResetLockOrder();

// KeSetEvent with Wait TRUE leaves the thread owing an immediate wait (dispatcher.cpp): every
// kernel call but a wait reports it (WaitAfterSetEvent) and clears the debt.
void CheckNoWaitOwed(const char* call);

// Delivers interrupts that arrived while this thread ran at or above their IRQL; called when
// the thread's IRQL drops.
void DeliverPendingInterrupts();

// The interrupt processor's thread (see sim::schedule::InterruptDelivery), started at boot.
void StartInterruptProcessor();
void StopInterruptProcessor();

// Interrupts still connected whose service context lies inside [begin, end): a device deleted
// with its interrupt connected.
bool InterruptConnectedWithin(const void* begin, const void* end);

// Whether the event is the body of an event object that drivers referenced and have all let
// go of (signalling it would be signalling a released event).
bool IsReleasedEventObject(const void* event);

// Driver code sections (sections.cpp). The host build puts PAGE and INIT code in named ELF
// sections; these checks find where an address lies and report the rules on such code.
enum class CodeSection { Resident, Page, Init };
CodeSection SectionOf(const void* address);
// The demangled name of the function an address lies in (static routines too).
std::string RoutineAt(const void* address);
// Whether an address is code of this program or of a loaded driver image, not of a library.
bool IsProgramRoutine(const void* address);
// The same for a driver loaded from an image (image_code.cpp): false when the address is not
// in its PAGE or INIT code, or it has no name for it.
bool ImageSectionOf(const void* address, CodeSection* section);
bool ImageRoutineAt(const void* address, std::string* name);
// Tells the loader's hooks that a DriverEntry starts or has returned.
void NotifyDriverEntry(bool returned);
// LoadDriver brackets DriverEntry with these: INIT code may run only in between.
void BeginDriverEntry();
void EndDriverEntry();
// An IRQL raise (named by raise) whose caller returns to returnAddress: a violation when the
// caller is PAGE or INIT code (PageCodeRaisesIrql, InitCodeRaisesIrql).
void CheckRaiseFrom(const void* returnAddress, const char* raise);
// A routine about to run raised (an ISR, a DPC, a synchronize routine, named by role): the
// same rules for the routine itself.
void CheckRaisedCallback(const void* routine, const char* role);
// INIT code about to run, or running, while no DriverEntry does (InitCodeAfterEntry).
void CheckInitCodeNow(const void* code, std::string_view what);
// The call instruction a return address belongs to (one byte before it).
const void* CallSite(const void* returnAddress);
// A routine the kernel calls back (completion, power completion, work item): never INIT code
// once DriverEntry returned, and resident when it runs raised.
void CheckCallback(const void* routine, const char* role);
// Routines DriverEntry left in the driver object must not be INIT code (InitCodeAfterEntry).
void CheckRegisteredRoutines(PDRIVER_OBJECT driver, const std::string& driverName);

// Formats a pointer for messages.
std::string Describe(const void* p);
std::string DescribeIrp(PIRP irp);
// What DescribeIrp prints, taken as plain values: cheap to take on every call, formatted only
// when a report needs it (by then the request may have moved on).
struct IrpSnapshot {
  const void* irp = nullptr;
  bool released = false;
  bool hasLocation = false;
  int major = 0, minor = 0, location = 0, stackCount = 0;
  static IrpSnapshot Of(PIRP irp);
  std::string Text() const;
};

// Wide-string helpers (WCHAR is 16 bits here).
std::u16string ToU16(PCUNICODE_STRING s);
std::u16string ToU16(PCWSTR s);
std::string ToUtf8(std::u16string_view s);
std::u16string UpperCase(std::u16string_view s);

// The hidden header in front of every IRP the emulated kernel allocates.
struct IrpHeader {
  enum class State { InFlight, Completing, Finished };
  uint32_t Magic = 0;
  std::mutex Lock;  // orders the completion walk against the verifier's look at a location
  State CompletionState = State::InFlight;
  // A request is released at its final completion (or by IoFreeIrp): its IRP and stack
  // locations are poisoned at once, so a driver touching them is an AddressSanitizer report.
  // This header stays while IofCallDriver calls are active on the request, for the verifier's
  // checks when they return, and the whole request stays while the I/O manager holds it to
  // cancel it (the platform's I/O manager keeps it listed on its thread until then).
  int DispatchDepth = 0;
  int ManagerHolds = 0;
  CCHAR StackCount = 0;       // the body's size, readable once it is poisoned
  bool Released = false;      // completed for good or freed; the memory goes when unheld
  bool BodyPoisoned = false;  // the IRP and its locations are no longer accessible
  uint64_t PendingMarks = 0;  // locations (bit n = location n) the walk found marked pending
  int WalkLocation = 0;       // the location the completion walk stands at, 0 before it starts
  // Locations whose dispatch routine returned STATUS_PENDING before anything marked them: a
  // completion routine or the walk may still mark them, so the walk checks them on leaving.
  uint64_t PendingReturnsToCheck = 0;
  // Locations the power manager marked pending for the driver it had not yet handed the
  // request to (PoCallDriver queued or deferred it): that driver's own return is not checked
  // against the mark.
  uint64_t ManagerPendingMarks = 0;
  // For requests the I/O manager builds for a caller: called when the walk passes the top.
  std::function<void(PIRP)> OnFinalCompletion;
  // The request is released right after OnFinalCompletion (every request the I/O, PnP and
  // power managers build).
  bool FreeAfterCompletion = false;
  // Output length of a buffered or out-direct request; Information may not exceed it.
  bool CheckInformation = false;
  ULONG OutputLength = 0;
  // I/O verification (while special pool is on, see special_pool.h): a live request is listed,
  // with the file object the I/O manager built it for, and for each location (up to
  // kOwnedLocations) the device and driver it was dispatched to there, until the completion
  // leaves that location. Guarded by Lock.
  static constexpr int kOwnedLocations = 8;
  bool Tracked = false;
  PFILE_OBJECT File = nullptr;
  PDEVICE_OBJECT OwnerDevices[kOwnedLocations] = {};
  PDRIVER_OBJECT OwnerDrivers[kOwnedLocations] = {};
  // Power requests: the minor code, and for every device the request was dispatched to, the
  // stack location it got and the PoStartNextPowerIrp calls counted for it (see power.cpp for
  // the rule). Guarded by Lock.
  struct PowerLayer {
    int Location = 0;
    int Starts = 0;
  };
  bool PowerRequest = false;
  UCHAR PowerMinor = 0;
  std::map<PDEVICE_OBJECT, PowerLayer> PowerLayers;
  // Set-power and query-power requests, as the power manager noted them when first presented
  // (power.cpp; the stack locations are cleared as the request completes): the class it
  // serialises them in (-1 before, or none) and the state asked for.
  int PowerClass = -1;
  POWER_STATE PowerTarget{};
};

IrpHeader* HeaderOf(PIRP irp);
PIO_STACK_LOCATION StackLocation(PIRP irp, int location);  // location 1..StackCount

// How a request is handed to a driver: by a driver through IofCallDriver, by a driver through
// PoCallDriver, or by the I/O or power manager itself (exempt from the PoCallDriver rule);
// PoQueued is the power manager handing on a power request it held back.
enum class CallPath { IoCallDriver, PoCallDriver, Manager, PoQueued };
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, CallPath path);

// Power requests (power.cpp): the verifier's PoStartNextPowerIrp count and the power manager's
// records, when a set-power or query-power request has completed past its top location.
void CheckPowerStarts(PIRP irp);
void ResetPowerManager();
// A power request about to be presented to a device (its next location filled in): true when
// the power manager holds it back until the device's driver starts the next power request.
bool HoldPowerRequest(PDEVICE_OBJECT device, PIRP irp);
// IofCompleteRequest of a power request: the WDM 1.0 platform's completion IRQL.
void CheckPowerCompletionIrql(PIRP irp);

// The kernel's worker thread (ExQueueWorkItem) at PASSIVE_LEVEL. QueueKernelWork runs the
// kernel's own deferred work there (PoCallDriver to a power-pageable device above
// PASSIVE_LEVEL); false when the worker is not running.
void StartWorkerThread();
void StopWorkerThread();
bool QueueKernelWork(std::function<void()> work, std::string what);

// Releases a request (its final completion, IoFreeIrp): see IrpHeader::Released.
void ReleaseIrp(PIRP irp);
// Whether a request whose header is still kept was released (its body must not be read).
bool IsReleasedIrp(PIRP irp);

// Requests a driver still holds (tracked while special pool is on), described: those a device
// (when given) or any device of a driver (when given) was dispatched, or those built for a file
// object (when given), whose completion has not left that location and whose dispatch routines
// have all returned (pended and kept).
std::vector<std::string> OutstandingRequests(PDEVICE_OBJECT device, PDRIVER_OBJECT driver,
                                             PFILE_OBJECT file);
// Checks a driver routine the kernel called left no critical region entered
// (KeEnterCriticalRegion without KeLeaveCriticalRegion) and clears what it left.
void CheckCriticalRegionsLeft(int before, const std::string& who);

// Keeps a live request's memory from being released under the caller (the I/O manager holds
// a request while it cancels it). The caller must know the request is still live when it
// takes the hold; dropping the last hold releases a request that completed meanwhile.
void HoldIrp(PIRP irp);
void ReleaseIrpHold(PIRP irp);

// A driver object lives while its device objects do (driver_loader.cpp): an unload with
// deleted devices still referenced by file objects finishes when the last one is freed.
void NoteDeviceCreated(PDRIVER_OBJECT driver);
void NoteDeviceFreed(PDRIVER_OBJECT driver);
// The driver's work items (ExQueueWorkItem, queued while the driver ran) queued or running now,
// described.
std::vector<std::string> DriverWorkItemsLeft(PDRIVER_OBJECT driver);
// Queued DPCs and work items whose objects lie in [begin, end), taken off their queues and
// described (memory being freed).
std::vector<std::string> RemoveQueuedDpcsWithin(const void* begin, const void* end);
std::vector<std::string> RemoveQueuedWorkItemsWithin(const void* begin, const void* end);

// Device bookkeeping used by the I/O manager's file-object code.
void FreeDeviceObjectMemory(PDEVICE_OBJECT device);
// A file object's reference on its device; false when the device is being deleted. The last
// dereference of a deleted device frees it.
bool ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device);
void RemoveDeviceName(std::u16string_view name);
// The device a name leads to, with a reference taken (see ReferenceDevice); null if none.
PDEVICE_OBJECT ReferenceDeviceByName(std::u16string_view name);
// Reports devices still alive (a kernel shutdown with devices is a test that leaked them).
void ReportAndFreeLeftoverDevices();

// Reset hooks run at boot, so every test starts from a clean kernel.
void ResetNamespace();
void ResetPool();
void ResetDevices();
void ResetFiles();
void ResetInterrupts();
void ResetCancelSpinLock();
void ResetMappings();
void ResetOutstandingRequests();
void StartDpcThread();
void StopDpcThread();
bool IsDpcQueued(PKDPC dpc);

// Checks at driver unload: outstanding pool allocations are leaks (only the driver under
// test allocates pool; the emulated machine's own drivers use none). Freeing them keeps the
// statistics and any armed fault.
void ReportPoolLeaks(const std::string& driverName);
void FreeLeakedPool();

// I/O space mappings still live are leaks at driver unload and at shutdown; reporting them
// also unmaps them.
void ReportAndFreeLeakedMappings(const std::string& owner);

}  // namespace sim::kernel

using sim::kernel::EnterService;
