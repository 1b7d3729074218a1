// The verifier's catalogue: every rule the emulated kernel and machine check, what it catches
// and the platform check it stands for. Adding a rule is one entry here; Report() refuses any
// name that is missing, so a misspelt rule cannot pass unnoticed.
#include <algorithm>

#include "sim/verifier.h"

namespace sim::verifier {
namespace {

// Kept in alphabetical order; the platform names of the rule list are kept where they exist.
constexpr Rule kRules[] = {
    {"BadIrp", "a call with a pointer that is not a live request", "bug check 0xC9 (I/O verification)"},
    {"BadIrpFree", "IoFreeIrp of a request that is not live, still completing or cancellable", "bug check 0xC9 (I/O verification)"},
    {"BadPoolFree", "a free of memory that is not an outstanding allocation, or with another tag", "bug check 0xC2 BAD_POOL_CALLER"},
    {"CallingConvention", "a driver routine returned with the stack pointer moved (not the platform's convention)", "no verifier check: a corrupt stack, bug check 0x7F / 0x1E"},
    {"CancelSpinLock", "cancel spin lock taken twice, released unheld, or at the wrong IRQL", "rule CancelSpinLock; bug check 0xC4"},
    {"CancelWithoutCompletion", "a cancel routine returns without completing its request", "cancel routine contract (complete with STATUS_CANCELLED); the request hangs, bug check 0xCE at unload"},
    {"CompleteWithCancelRoutine", "a request completed while its cancel routine is set", "bug check 0xC9 (I/O verification)"},
    {"CompleteWithInvalidStatus", "a request completed with STATUS_PENDING or -1", "bug check 0xC9 (I/O verification)"},
    {"CompletedRequestForwarded", "IoCallDriver of a request that was already completed", "bug check 0x44 MULTIPLE_IRP_COMPLETE_REQUESTS"},
    {"CompletionPastTop", "a driver-built request whose completion ran past its last location", "bug check 0xC9 (I/O verification)"},
    {"CopiedCompletionRoutine", "a copied stack location that keeps the upper completion routine", "bug check 0xC9 (I/O verification)"},
    {"CriticalRegions", "a routine the kernel called returns inside a critical region it entered, or leaves one it did not", "rule CriticalRegions; bug check 0xC4 (0x40003), 0x20 at thread exit, 0xC7 after a DPC"},
    {"DeleteAttachedDevice", "IoDeleteDevice of a device that still has a device attached", "bug check 0xC9 (I/O verification)"},
    {"DeleteDeviceDpcQueued", "IoDeleteDevice with the device's DPC still queued", "bug check 0xCE (pending operations)"},
    {"DeleteDeviceInterruptConnected", "IoDeleteDevice while its interrupt is connected", "bug check 0xCE (pending operations)"},
    {"DeleteDeviceStillAttached", "IoDeleteDevice of a device still attached to a lower one", "bug check 0xC9 (I/O verification)"},
    {"DeleteDeviceTwice", "IoDeleteDevice of a device already deleted", "bug check 0xC9 (I/O verification)"},
    {"DetachNotAttached", "IoDetachDevice of a device that has nothing attached", "bug check 0xC9 (I/O verification)"},
    {"DeviceInitializing", "AddDevice succeeds but leaves DO_DEVICE_INITIALIZING set", "rule DeviceInitializing"},
    {"DeviceLeak", "device objects still present when the kernel stops", "bug check 0xCE (pending operations)"},
    {"DevicePowerUnreported", "a started device whose driver never reported its power state", "no bug check: the power manager keeps PowerDeviceUnspecified and mismanages the device"},
    {"DisconnectNotConnected", "IoDisconnectInterrupt of an interrupt that is not connected", "bug check 0xC4"},
    {"DoubleCompletion", "a request completed twice", "rule DoubleCompletion; bug check 0x44 MULTIPLE_IRP_COMPLETE_REQUESTS"},
    {"DpcNoKernel", "KeInsertQueueDpc while the kernel is not running", "emulation guard (no platform check)"},
    {"DpcQueuedAtShutdown", "a DPC still queued when its driver unloads", "bug check 0xCE (pending operations)"},
    {"DriverEntryFailedWithDevices", "a failing DriverEntry leaves device objects behind", "bug check 0xCE (pending operations)"},
    {"FreePoolWithQueuedWork", "pool freed while a DPC or work item in it is still queued", "bug check 0xC7 TIMER_OR_DPC_INVALID; Driver Verifier miscellaneous checks, 0xE4 WORKER_INVALID"},
    {"InformationLeak", "bytes of a buffered output returned to user mode that the driver never wrote", "Driver Verifier I/O verification (kernel memory disclosure)"},
    {"InformationTooLarge", "IoStatus.Information larger than the caller's output buffer", "bug check 0xC9 (I/O verification)"},
    {"InitCodeAfterEntry", "INIT code run, or registered as a routine, after DriverEntry returned", "bug check 0xCE (INIT section discarded)"},
    {"InitCodeRaisesIrql", "an IRQL raise, or a raised callback, in INIT code", "force IRQL checking; bug check 0xD1 / 0xA"},
    {"InterruptConnectedAtShutdown", "an interrupt still connected when its driver unloads", "bug check 0xCE (pending operations)"},
    {"InterruptStorm", "a level interrupt that stays asserted after a claiming ISR", "a hung uniprocessor (interrupt storm)"},
    {"InvalidKernelHandle", "a kernel-mode close or reference of a kernel handle that is not open", "bug check 0x93 INVALID_KERNEL_HANDLE"},
    {"IrpStackSize", "IoAllocateIrp with no stack location", "bug check 0x35 NO_MORE_IRP_STACK_LOCATIONS"},
    {"IrqlExAllocatePool", "pool allocated above the IRQL its type allows", "rule IrqlExAllocatePool; bug check 0xC4"},
    {"IrqlExFreePool", "pool freed above DISPATCH_LEVEL", "rule IrqlExFreePool; bug check 0xC4"},
    {"IrqlIoCallDriver", "IoCallDriver above DISPATCH_LEVEL", "rule IrqlIoCallDriver; bug check 0xC9"},
    {"IrqlIoCompleteRequest", "IoCompleteRequest above DISPATCH_LEVEL", "rule IrqlIoCompleteRequest; bug check 0xC9"},
    {"IrqlKeSetEvent", "KeSetEvent with Wait TRUE above APC_LEVEL", "rule IrqlKeSetEvent; bug check 0xC4 (0x20016)"},
    {"IrqlKeWaitForSingleObject", "a wait with a non-zero time-out at DISPATCH_LEVEL or above", "rule IrqlKeWaitForSingleObject; bug check 0xC4"},
    {"IrqlNotLowered", "KeLowerIrql to a higher IRQL", "bug check 0x9 IRQL_NOT_GREATER_OR_EQUAL"},
    {"IrqlNotRaised", "KeRaiseIrql to a lower IRQL", "bug check 0x9 IRQL_NOT_GREATER_OR_EQUAL"},
    {"IrqlPoSetPowerState", "PoSetPowerState above APC_LEVEL for a state other than D0, or above DISPATCH_LEVEL", "PoSetPowerState documented IRQL; bug check 0xC4"},
    {"IrqlReturn", "a driver routine returns at another IRQL than it was called at", "rule IrqlReturn; bug check 0xC4"},
    {"IrqlTooHigh", "a kernel service called above the IRQL it allows", "bug check 0xC4 / 0xD1"},
    {"KernelHandleReference", "a KernelMode ObReferenceObjectByHandle of a handle from a user-mode request", "bug check 0xC4, parameter 0xF6"},
    {"LockOrder", "two locks acquired in both orders (a cycle in the acquisition order)", "Driver Verifier deadlock detection; bug check 0xC4, parameter 0x1001"},
    {"LowerDriverReturn", "a dispatch routine that passed its request down, neither completing nor pending it, returns another status than the lower driver's", "rule LowerDriverReturn (static driver verifier)"},
    {"MappingLeak", "an MmMapIoSpace mapping left at unload", "bug check 0xC4 (I/O space checks)"},
    {"MappingMismatch", "MmUnmapIoSpace of no live mapping or with another length", "bug check 0xC4 (I/O space checks)"},
    {"MarkIrpPending", "STATUS_PENDING returned without IoMarkIrpPending", "rule MarkIrpPending; bug check 0xC9"},
    {"MarkIrpPending2", "a request marked pending and another status returned", "rule MarkIrpPending2; bug check 0xC9"},
    {"MutexHeldOnReturn", "a dispatch routine returns owning a kernel mutex (its thread's normal kernel APCs stay disabled)", "bug check 0x20 KERNEL_APC_PENDING_DURING_EXIT"},
    {"MutexNotOwned", "KeReleaseMutex by a thread that does not own the mutex", "STATUS_MUTANT_NOT_OWNED raised; bug check 0x1E"},
    {"NoMoreIrpStackLocations", "IoCallDriver past the request's last stack location", "bug check 0x35 NO_MORE_IRP_STACK_LOCATIONS"},
    {"NullMdl", "MmMapLockedPages of a null MDL", "bug check 0xC4"},
    {"ObReferenceObjectByHandleType", "ObReferenceObjectByHandle without an object type", "rule ObReferenceObjectByHandle; bug check 0xC4"},
    {"ObjectLeak", "an object still referenced when the kernel stops", "object reference tracking (leak)"},
    {"ObjectOverRelease", "a reference dropped that was never taken or is gone", "bug check 0x18 REFERENCE_BY_POINTER"},
    {"PageCodeRaisesIrql", "an IRQL raise, or a raised callback, in PAGE code", "force IRQL checking; bug check 0xD1 / 0xA"},
    {"PageFaultAtRaisedIrql", "pageable code or data of a loaded image, paged pool or a user buffer touched at DISPATCH_LEVEL or above while paged out", "force IRQL checking; bug check 0xD1 / 0xA"},
    {"PagedCode", "PAGED_CODE() reached above APC_LEVEL", "bug check 0xC4 (paged code at raised IRQL)"},
    {"PendedCompletedRequest", "STATUS_PENDING returned for a request already completed", "rule PendedCompletedRequest; bug check 0xC9"},
    {"PnpRemove", "remove, surprise removal or a cancel failed, or the device left after remove", "rule PnpRemove; bug check 0xC9"},
    {"PnpSurpriseRemove", "detach or delete during surprise removal", "rule PnpSurpriseRemove; bug check 0xC9"},
    {"PoCallDriver", "a power request passed on without PoCallDriver", "rule PoCallDriver; bug check 0xC9"},
    {"PoRequestPowerIrp", "PoRequestPowerIrp with a minor code it does not allow", "rule PoRequestPowerIrp; bug check 0xC9"},
    {"PoStartNextPowerIrp", "not exactly one PoStartNextPowerIrp per set or query power request", "rule PoStartNextPowerIrp; bug check 0x9F"},
    {"PoolLeak", "pool still allocated when its driver unloads", "bug check 0xC4 (unload with pool)"},
    {"PowerCompletionIrqlWin98", "on Windows 98/Me, a set-power or query-power request completed above PASSIVE_LEVEL", "Windows 98/Me: drivers complete power requests at PASSIVE_LEVEL only (Differences in WDM Versions)"},
    {"PowerIrqlWin98", "a power request reaching the bus driver raised on a single-processor system", "bug check 0x9F DRIVER_POWER_STATE_FAILURE"},
    {"PowerTransitionUnreported", "a device power-down passed to the bus driver before PoSetPowerState, or a set-power that succeeded with the new state unreported", "PoSetPowerState at every device power transition; no bug check: the power manager mismanages the device"},
    {"RemoveLock", "remove lock released unacquired, held at the end of PnP or power work", "rule RemoveLock; bug check 0xC4"},
    {"RequestOutstanding", "a request a driver still holds after the cleanup of its file, when its device is deleted or when the driver unloads", "Driver Verifier I/O verification; bug check 0xCE at unload"},
    {"RequestOwnedByLowerDriver", "a request forwarded or completed while a lower driver owns it", "bug check 0x44 / 0xC9"},
    {"ReturnWithoutCompletion", "a dispatch routine returns without completing, pending or passing down its request", "bug check 0xC9 (I/O verification)"},
    {"SignalReleasedEvent", "KeSetEvent on an event whose reference was dropped", "bug check 0x18 / pool use after free"},
    {"SpecialPoolCorruption", "memory beside a special-pool allocation on its pages written, found when it is freed", "Driver Verifier special pool; bug check 0xC1 SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION"},
    {"SpecialPoolFreedTouched", "freed special pool, or a request or its buffers after its final completion, touched", "Driver Verifier special pool (I/O verification allocates requests there); bug check 0xD5 / 0xCC"},
    {"SpecialPoolOverrun", "a touch past the end of a special-pool allocation, on its guard page", "Driver Verifier special pool, Verify End; bug check 0xD6 / 0xCD"},
    {"SpecialPoolUnderrun", "a touch before the start of a special-pool allocation, on its guard page", "Driver Verifier special pool, Verify Start; bug check 0xD6 / 0xCD"},
    {"SpinLock", "spin lock taken twice, released unheld, at the wrong IRQL or held on return", "rule SpinLock; bug checks 0xF / 0x10 / 0xC4"},
    {"SpinLockReleaseIrql", "KeReleaseSpinLock restoring another IRQL than its acquire saved", "rule SpinLock; bug check 0xC4"},
    {"SpinLockSafe", "the AtDpcLevel spin-lock forms below DISPATCH_LEVEL", "rule SpinLockSafe; bug check 0xC4"},
    {"StatusMismatch", "the status returned differs from the status completed", "bug check 0xC9 (I/O verification)"},
    {"Type3InputBuffer", "Type3InputBuffer used for a device-control request that is not METHOD_NEITHER", "the I/O manager passes it for METHOD_NEITHER only; an unprobed user address otherwise, bug check 0x50"},
    {"UncataloguedRule", "a check reported a rule name that is not in this catalogue", "the verifier itself"},
    {"UnloadWithDevices", "a driver unloads while it still has device objects", "bug check 0xCE (pending operations)"},
    {"UnloadWithWorkItem", "a driver unloads while one of its work items is queued or its routine still runs", "bug check 0xCE (pending operations): the routine returns into unloaded code"},
    {"UserBufferOtherContext", "a request's user buffer touched from a system thread (DPC, work item, interrupt)", "no verifier check: another process's memory is read or written there, or bug check 0x50"},
    {"WaitAfterSetEvent", "KeSetEvent with Wait TRUE not followed at once by a wait", "bug check 0xC4 (Wait TRUE contract)"},
    {"WmiForward", "a WMI request for a lower driver's provider completed instead of passed down", "rule WmiForward; DispatchSystemControl must pass requests down"},
    {"WorkItemNoKernel", "ExQueueWorkItem while the kernel is not running", "emulation guard (no platform check)"},
    {"WorkItemNoRoutine", "ExQueueWorkItem of an item without a routine", "bug check 0xE4 WORKER_INVALID"},
    {"WorkItemQueuedAtShutdown", "a work item still queued when its driver unloads", "bug check 0xCE (pending operations)"},
    {"WorkItemQueuedTwice", "ExQueueWorkItem of an item already queued", "bug check 0xE4 WORKER_INVALID"},
    {"ZeroPoolAllocation", "an allocation of zero bytes", "bug check 0xC4 (zero-byte allocation)"},
};

}  // namespace

std::span<const Rule> Catalogue() { return kRules; }

const Rule* FindRule(std::string_view name) {
  auto it = std::lower_bound(std::begin(kRules), std::end(kRules), name,
                             [](const Rule& rule, std::string_view n) { return rule.name < n; });
  return it != std::end(kRules) && it->name == name ? it : nullptr;
}

}  // namespace sim::verifier
