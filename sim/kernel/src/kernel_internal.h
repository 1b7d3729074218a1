// Private bookkeeping shared by the emulated kernel's areas: per-thread state, the hidden
// records behind IRPs and device objects, and checks used by several areas.
#pragma once

#include <wdm.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
};

namespace sim::kernel {

namespace verifier = ::sim::verifier;

// What one thread holds and is doing, as the verifier needs to know it.
struct DispatchFrame {
  PIRP Irp;
  CHAR Location;              // the stack location the dispatch routine was given
  bool CompletedHere = false;  // the routine completed the request at its own location
  NTSTATUS CompletedStatus = 0;
};

struct ThreadState {
  KIRQL Irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> HeldSpinLocks;
  std::vector<DispatchFrame> Frames;
};

ThreadState& CurrentThread();

// Records a violation when the current IRQL is above the limit for the named routine.
// Returns true when the IRQL is acceptable.
bool CheckIrqlAtMost(KIRQL limit, const char* routine);

// Takes or drops a spin lock's word without touching the IRQL (interrupt locks, taken at
// device IRQL); the verifier's double-acquire and ownership checks still apply.
bool AcquireLockWord(PKSPIN_LOCK lock, const char* routine);
bool ReleaseLockWord(PKSPIN_LOCK lock, const char* routine);

// Delivers interrupts that arrived while this thread ran at or above their IRQL; called when
// the thread's IRQL drops.
void DeliverPendingInterrupts();

// Interrupts still connected whose service context lies inside [begin, end): a device deleted
// with its interrupt connected.
bool InterruptConnectedWithin(const void* begin, const void* end);

// Whether the event is the body of an event object that drivers referenced and have all let
// go of (signalling it would be signalling a released event).
bool IsReleasedEventObject(const void* event);

// Formats a pointer for messages.
std::string Describe(const void* p);
std::string DescribeIrp(PIRP irp);

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
  // IofCallDriver calls active on this request, plus holds taken while it is being cancelled:
  // IoFreeIrp defers freeing the memory until the count drops to zero.
  int DispatchDepth = 0;
  bool FreePending = false;  // IoFreeIrp came while a dispatch routine or a hold was active
  uint64_t PendingMarks = 0;  // locations (bit n = location n) the walk found marked pending
  int WalkLocation = 0;       // the location the completion walk stands at, 0 before it starts
  // Locations whose dispatch routine returned STATUS_PENDING before anything marked them: a
  // completion routine or the walk may still mark them, so the walk checks them on leaving.
  uint64_t PendingReturnsToCheck = 0;
  // For requests the I/O manager builds for a caller: called when the walk passes the top.
  std::function<void(PIRP)> OnFinalCompletion;
  // The I/O manager frees the request after OnFinalCompletion (asynchronous originators).
  bool FreeAfterCompletion = false;
  // Output length of a buffered or out-direct request; Information may not exceed it.
  bool CheckInformation = false;
  ULONG OutputLength = 0;
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
};

IrpHeader* HeaderOf(PIRP irp);
PIO_STACK_LOCATION StackLocation(PIRP irp, int location);  // location 1..StackCount

// How a request is handed to a driver: by a driver through IofCallDriver, by a driver through
// PoCallDriver, or by the I/O or power manager itself (exempt from the PoCallDriver rule).
enum class CallPath { IoCallDriver, PoCallDriver, Manager };
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, CallPath path);

// Power requests: the verifier's PoStartNextPowerIrp count, checked when a set-power or
// query-power request has completed past its top location.
void CheckPowerStarts(PIRP irp);
void ResetPowerManager();

// The kernel's worker thread (ExQueueWorkItem) at PASSIVE_LEVEL. QueueKernelWork runs the
// kernel's own deferred work there (PoCallDriver to a power-pageable device above
// PASSIVE_LEVEL); false when the worker is not running.
void StartWorkerThread();
void StopWorkerThread();
bool QueueKernelWork(std::function<void()> work, std::string what);

// Frees the IRP memory (IoFreeIrp does it, or defers it while a dispatch routine runs).
void ReleaseIrpMemory(PIRP irp);

// Keeps a live request's memory from being freed under the caller (the I/O manager holds a
// request while it cancels it). The caller must know the request is still live when it takes
// the hold; dropping the last hold frees a request that IoFreeIrp was called on meanwhile.
void HoldIrp(PIRP irp);
void ReleaseIrpHold(PIRP irp);

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
