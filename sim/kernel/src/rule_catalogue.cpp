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
    {"CompleteWithCancelRoutine", "a request completed while its cancel routine is set", "bug check 0xC9 (I/O verification)"},
    {"CompleteWithInvalidStatus", "a request completed with STATUS_PENDING or -1", "bug check 0xC9 (I/O verification)"},
    {"CompletedRequestForwarded", "IoCallDriver of a request that was already completed", "bug check 0x44 MULTIPLE_IRP_COMPLETE_REQUESTS"},
    {"CompletionPastTop", "a driver-built request whose completion ran past its last location", "bug check 0xC9 (I/O verification)"},
    {"CopiedCompletionRoutine", "a copied stack location that keeps the upper completion routine", "bug check 0xC9 (I/O verification)"},
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
    {"InformationLeak", "bytes of a buffered output returned to user mode that the driver never wrote", "Driver Verifier I/O verification (kernel memory disclosure)"},
    {"InformationTooLarge", "IoStatus.Information larger than the caller's output buffer", "bug check 0xC9 (I/O verification)"},
    {"InitCodeAfterEntry", "INIT code run, or registered as a routine, after DriverEntry returned", "bug check 0xCE (INIT section discarded)"},
    {"InitCodeRaisesIrql", "an IRQL raise, or a raised callback, in INIT code", "force IRQL checking; bug check 0xD1 / 0xA"},
    {"InterruptConnectParameters", "IoConnectInterrupt from driver code with a vector, IRQL, affinity or mode its translated interrupt resource does not give", "no platform check: the routine is connected where its device does not interrupt (IoConnectInterrupt takes these from the translated resource)"},
    {"InterruptConnectedAtShutdown", "an interrupt still connected when its driver unloads", "bug check 0xCE (pending operations)"},
    {"InterruptLockHeldTooLong", "an ISR call or a KeSynchronizeExecution routine costing over 50 us at device IRQL (1 us a port access, 10 ns a byte copied or filled)", "Microsoft's guidance: ISRs under 25 us, DPCs under 100 us (ISR/DPC tracing, the Hardware Lab Kit)"},
    {"InterruptStorm", "a level interrupt that nobody claims, or that stays asserted after claiming ISRs, or that an ISR claims while only a pulled card's floating input holds it", "a hung uniprocessor (interrupt storm); bug check 0xF2 HARDWARE_INTERRUPT_STORM in later versions"},
    {"IrpStackSize", "IoAllocateIrp with no stack location", "bug check 0x35 NO_MORE_IRP_STACK_LOCATIONS"},
    {"IrqlExAllocatePool", "pool allocated above the IRQL its type allows", "rule IrqlExAllocatePool; bug check 0xC4"},
    {"IrqlExFreePool", "pool freed above DISPATCH_LEVEL", "rule IrqlExFreePool; bug check 0xC4"},
    {"IrqlIoCallDriver", "IoCallDriver above DISPATCH_LEVEL", "rule IrqlIoCallDriver; bug check 0xC9"},
    {"IrqlIoCompleteRequest", "IoCompleteRequest above DISPATCH_LEVEL", "rule IrqlIoCompleteRequest; bug check 0xC9"},
    {"IrqlKeWaitForSingleObject", "a wait with a non-zero time-out at DISPATCH_LEVEL or above", "rule IrqlKeWaitForSingleObject; bug check 0xC4"},
    {"IrqlNotLowered", "KeLowerIrql to a higher IRQL", "bug check 0x9 IRQL_NOT_GREATER_OR_EQUAL"},
    {"IrqlNotRaised", "KeRaiseIrql to a lower IRQL", "bug check 0x9 IRQL_NOT_GREATER_OR_EQUAL"},
    {"IrqlReturn", "a driver routine returns at another IRQL than it was called at", "rule IrqlReturn; bug check 0xC4"},
    {"IrqlTooHigh", "a kernel service called above the IRQL it allows", "bug check 0xC4 / 0xD1"},
    {"KernelHandleReference", "a KernelMode ObReferenceObjectByHandle of a handle from a user-mode request", "bug check 0xC4, parameter 0xF6"},
    {"LockOrder", "two locks acquired in both orders (a cycle in the acquisition order)", "Driver Verifier deadlock detection; bug check 0xC4, parameter 0x1001"},
    {"MappingLeak", "an MmMapIoSpace mapping left at unload", "bug check 0xC4 (I/O space checks)"},
    {"MappingMismatch", "MmUnmapIoSpace of no live mapping or with another length", "bug check 0xC4 (I/O space checks)"},
    {"MarkIrpPending", "STATUS_PENDING returned without IoMarkIrpPending", "rule MarkIrpPending; bug check 0xC9"},
    {"MarkIrpPending2", "a request marked pending and another status returned", "rule MarkIrpPending2; bug check 0xC9"},
    {"NoMoreIrpStackLocations", "IoCallDriver past the request's last stack location", "bug check 0x35 NO_MORE_IRP_STACK_LOCATIONS"},
    {"NullMdl", "MmMapLockedPages of a null MDL", "bug check 0xC4"},
    {"ObReferenceObjectByHandleType", "ObReferenceObjectByHandle without an object type", "rule ObReferenceObjectByHandle; bug check 0xC4"},
    {"ObjectLeak", "an object still referenced when the kernel stops", "object reference tracking (leak)"},
    {"ObjectOverRelease", "a reference dropped that was never taken or is gone", "bug check 0x18 REFERENCE_BY_POINTER"},
    {"PageCodeRaisesIrql", "an IRQL raise, or a raised callback, in PAGE code", "force IRQL checking; bug check 0xD1 / 0xA"},
    {"PageFaultAtRaisedIrql", "pageable code or data of a loaded image touched at DISPATCH_LEVEL or above while paged out", "force IRQL checking; bug check 0xD1 / 0xA"},
    {"PagedCode", "PAGED_CODE() reached above APC_LEVEL", "bug check 0xC4 (paged code at raised IRQL)"},
    {"PendedCompletedRequest", "STATUS_PENDING returned for a request already completed", "rule PendedCompletedRequest; bug check 0xC9"},
    {"PnpRemove", "remove, surprise removal or a cancel failed, or the device left after remove", "rule PnpRemove; bug check 0xC9"},
    {"PnpSurpriseRemove", "detach or delete during surprise removal", "rule PnpSurpriseRemove; bug check 0xC9"},
    {"PoCallDriver", "a power request passed on without PoCallDriver", "rule PoCallDriver; bug check 0xC9"},
    {"PoRequestPowerIrp", "PoRequestPowerIrp with a minor code it does not allow", "rule PoRequestPowerIrp; bug check 0xC9"},
    {"PoStartNextPowerIrp", "not exactly one PoStartNextPowerIrp per set or query power request", "rule PoStartNextPowerIrp; bug check 0x9F"},
    {"PoolLeak", "pool still allocated when its driver unloads", "bug check 0xC4 (unload with pool)"},
    {"PortOutsideResources", "a port access by driver code outside the ranges its device holds now (before start, after stop or removal, another device's)", "no platform check: the access reaches another device's registers, or nothing"},
    {"PowerIrqlWin98", "a power request reaching the bus driver raised on a single-processor system", "bug check 0x9F DRIVER_POWER_STATE_FAILURE"},
    {"RemoveLock", "remove lock released unacquired, held at the end of PnP or power work", "rule RemoveLock; bug check 0xC4"},
    {"RequestOwnedByLowerDriver", "a request forwarded or completed while a lower driver owns it", "bug check 0x44 / 0xC9"},
    {"ReturnWithoutCompletion", "a dispatch routine returns without completing or pending its request", "bug check 0xC9 (I/O verification)"},
    {"SignalReleasedEvent", "KeSetEvent on an event whose reference was dropped", "bug check 0x18 / pool use after free"},
    {"SpinLock", "spin lock taken twice, released unheld, at the wrong IRQL or held on return", "rule SpinLock; bug checks 0xF / 0x10 / 0xC4"},
    {"SpinLockReleaseIrql", "KeReleaseSpinLock restoring another IRQL than its acquire saved", "rule SpinLock; bug check 0xC4"},
    {"SpinLockSafe", "the AtDpcLevel spin-lock forms away from DISPATCH_LEVEL", "rule SpinLockSafe; bug check 0xC4"},
    {"StatusMismatch", "the status returned differs from the status completed", "bug check 0xC9 (I/O verification)"},
    {"UncataloguedRule", "a check reported a rule name that is not in this catalogue", "the verifier itself"},
    {"UnloadWithDevices", "a driver unloads while it still has device objects", "bug check 0xCE (pending operations)"},
    {"WaitAfterSetEvent", "KeSetEvent with Wait TRUE not followed at once by a wait", "bug check 0xC4 (Wait TRUE contract)"},
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
