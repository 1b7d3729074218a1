// Power manager entry points used by function drivers: PoCallDriver, PoStartNextPowerIrp,
// PoRequestPowerIrp and PoSetPowerState, with the verifier's checks on power requests.
//
// The PoStartNextPowerIrp rule as checked here. Each set-power or query-power request needs
// exactly one PoStartNextPowerIrp from every driver it passes through, made while that
// driver's own stack location is current: in its dispatch routine before it skips or copies
// the location and passes the request on (or completes it), or in its completion routine, or
// later while it holds the request after STATUS_MORE_PROCESSING_REQUIRED. A call is counted
// for the device object in the stack location current at the time of the call (the device
// the request was last dispatched to at that location: a driver that skipped its location
// shares it with the driver below, which takes it over once the request is passed on). When
// the request has completed past its top location, every device it was dispatched to must
// have a count of one; the bus driver at the bottom counts like any other and calls
// PoStartNextPowerIrp for what it completes. A call made after the driver skipped its
// location but before passing the request on lands on the driver above (which then shows two
// and this one none) or, for the top driver, on no location at all, reported at once. Other
// power minor codes are not counted.
//
// Set-power and query-power requests are serialised per device object on Windows 2000/XP
// (HoldPowerRequest, called by the I/O manager's call path for every request presented to a
// driver). PoSetPowerState is checked at every device power transition: a driver that reports
// its device's state must report a power-down before the request reaches the bus driver and
// the new state once a set-power succeeded (PowerTransitionUnreported).
//
// PoCallDriver follows the platform's later revisions where they differ from WDM 1.0: a
// power request passed at DISPATCH_LEVEL to a device flagged DO_POWER_PAGABLE reaches that
// device from the kernel's worker thread at PASSIVE_LEVEL, and PoCallDriver returns
// STATUS_PENDING. The WDM 1.0 platform (WdmSupport::Wdm10Only) calls the driver directly at
// the caller's IRQL, which is why drivers for it defer such calls themselves.
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "kernel_internal.h"
#include "sim/io.h"
#include "sim/kernel.h"

namespace sim::kernel {
namespace {

std::mutex g_powerLock;
NTSTATUS g_failNextRequest = STATUS_SUCCESS;  // armed by FailNextPoRequestPowerIrp

// Requests the power manager serialises on Windows 2000/XP ("Calling IoCallDriver versus
// Calling PoCallDriver": no more than one system power request, set or query, and one device
// set-power request active per physical device object; PoCallDriver queues the rest and
// returns STATUS_PENDING). The platform keeps the count per device object of the stack, each
// released by that driver's PoStartNextPowerIrp, and so does this.
enum PowerClass { kSystemClass = 0, kDeviceSetClass = 1, kNoClass = 2 };

struct DevicePowerQueue {
  PIRP active[2] = {nullptr, nullptr};
  std::deque<PIRP> waiting[2];
};

// What a set-power or query-power request asks.
struct PowerIrpInfo {
  PowerClass cls = kNoClass;
  POWER_STATE state{};
};

// A device whose driver never starts the next request keeps its entry until the next boot.
std::map<PDEVICE_OBJECT, DevicePowerQueue> g_queues;  // under g_powerLock
// The 98/Me configuration manager's idea of each device's power state, per device object
// named in device set-power requests (the PDO): D0 until a set-power to another state
// succeeds.
std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> g_devnodePower;  // under g_powerLock

bool Win98() { return CurrentWdmSupport() == WdmSupport::Wdm10Only; }

PowerIrpInfo InfoOf(const IO_STACK_LOCATION* stack) {
  PowerIrpInfo info;
  UCHAR minor = stack->MinorFunction;
  if (stack->MajorFunction != IRP_MJ_POWER ||
      (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER)) {
    return info;
  }
  info.state = stack->Parameters.Power.State;
  if (stack->Parameters.Power.Type == SystemPowerState) {
    info.cls = kSystemClass;
  } else if (minor == IRP_MN_SET_POWER) {
    info.cls = kDeviceSetClass;
  }
  return info;
}

// The request as noted when it was first presented.
PowerIrpInfo NotedInfo(PIRP irp) {
  IrpHeader* header = HeaderOf(irp);
  std::lock_guard guard(header->Lock);
  PowerIrpInfo info;
  if (header->PowerClass >= 0) info.cls = static_cast<PowerClass>(header->PowerClass);
  info.state = header->PowerTarget;
  return info;
}

// Hands the next waiting request of the class to the device, from a worker thread (the device
// may be power-pageable, and the release may come from a completion routine).
void ReleaseLocked(PDEVICE_OBJECT device, PIRP irp, PowerClass cls) {
  auto found = g_queues.find(device);
  if (found == g_queues.end() || found->second.active[cls] != irp) return;
  DevicePowerQueue& queue = found->second;
  queue.active[cls] = nullptr;
  if (queue.waiting[cls].empty()) {
    if (queue.active[0] == nullptr && queue.active[1] == nullptr) g_queues.erase(found);
    return;
  }
  PIRP next = queue.waiting[cls].front();
  queue.waiting[cls].pop_front();
  queue.active[cls] = next;
  QueueKernelWork([device, next] { CallDriver(device, next, CallPath::PoQueued); },
                  "power request " + DescribeIrp(next) + " released to device " + Describe(device));
}

// A device set-power request reaching the bottom of its stack: every driver above it that
// reports its device's state must have reported a power-down already ("PoSetPowerState":
// before leaving D0 and before passing the request on; "Handling IRP_MN_SET_POWER for Device
// Power States").
void CheckPowerDownReported(PIRP irp, const PowerIrpInfo& info) {
  if (info.cls != kDeviceSetClass) return;
  std::map<PDEVICE_OBJECT, IrpHeader::PowerLayer> layers;
  {
    IrpHeader* header = HeaderOf(irp);
    std::lock_guard guard(header->Lock);
    layers = header->PowerLayers;
  }
  for (const auto& [device, layer] : layers) {
    DEVICE_POWER_STATE reported = device->DeviceObjectExtension->ReportedPowerState;
    if (reported == PowerDeviceUnspecified || reported >= info.state.DeviceState) continue;
    verifier::Report("PowerTransitionUnreported",
                     "the driver of device " + Describe(device) + " passed " + DescribeIrp(irp) +
                         ", a power-down to D" + std::to_string(info.state.DeviceState - 1) +
                         ", to the bus driver while it still reported D" +
                         std::to_string(reported - 1) +
                         "; PoSetPowerState comes before the request is passed down");
  }
}

const char* PowerMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE: return "wait-wake";
    case IRP_MN_POWER_SEQUENCE: return "power-sequence";
    case IRP_MN_SET_POWER: return "set-power";
    case IRP_MN_QUERY_POWER: return "query-power";
  }
  return "power";
}

}  // namespace

void FailNextPoRequestPowerIrp(int32_t status) {
  std::lock_guard guard(g_powerLock);
  g_failNextRequest = status;
}

void ResetPowerManager() {
  std::lock_guard guard(g_powerLock);
  g_failNextRequest = STATUS_SUCCESS;
  g_queues.clear();
  g_devnodePower.clear();
}

bool HoldPowerRequest(PDEVICE_OBJECT device, PIRP irp) {
  PowerIrpInfo info = InfoOf(IoGetNextIrpStackLocation(irp));
  if (info.cls == kNoClass) return false;
  {
    IrpHeader* header = HeaderOf(irp);
    std::lock_guard guard(header->Lock);
    if (header->PowerClass < 0) {
      header->PowerClass = info.cls;
      header->PowerTarget = info.state;
    }
  }
  if (device->DeviceObjectExtension->AttachedTo == nullptr) CheckPowerDownReported(irp, info);
  if (Win98()) return false;
  std::lock_guard guard(g_powerLock);
  DevicePowerQueue& queue = g_queues[device];
  if (queue.active[info.cls] == nullptr || queue.active[info.cls] == irp) {
    queue.active[info.cls] = irp;
    return false;
  }
  // Queued: the caller returns STATUS_PENDING for it, and the power manager stands for the
  // pending mark of the location the device will get.
  queue.waiting[info.cls].push_back(irp);
  IrpHeader* header = HeaderOf(irp);
  std::lock_guard irpGuard(header->Lock);
  IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
  header->ManagerPendingMarks |= uint64_t{1} << (irp->CurrentLocation - 1);
  return true;
}

void CheckPowerCompletionIrql(PIRP irp) {
  if (!Win98() || CurrentThread().Irql == PASSIVE_LEVEL) return;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (irp->CurrentLocation > irp->StackCount || stack->MajorFunction != IRP_MJ_POWER ||
      (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER)) {
    return;
  }
  verifier::Report("PowerCompletionIrqlWin98",
                   "the driver of device " + Describe(stack->DeviceObject) + " completed " +
                       PowerMinorName(stack->MinorFunction) + " request " + DescribeIrp(irp) +
                       " at IRQL " + std::to_string(CurrentThread().Irql) +
                       "; on this platform set-power and query-power requests are completed "
                       "only at PASSIVE_LEVEL");
}

// At the final completion of a power request: the PoStartNextPowerIrp count of every driver it
// went through, the release of the devices it still holds (a driver that never started the
// next request would otherwise hang the stack; that is reported here already), the state a
// successful device set-power leaves, and the reports of the drivers that report their
// device's state.
void CheckPowerStarts(PIRP irp) {
  IrpHeader* header = HeaderOf(irp);
  std::map<PDEVICE_OBJECT, IrpHeader::PowerLayer> layers;
  UCHAR minor;
  {
    std::lock_guard guard(header->Lock);
    if (!header->PowerRequest) return;
    minor = header->PowerMinor;
    layers = header->PowerLayers;
  }
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) return;
  PowerIrpInfo info = NotedInfo(irp);
  if (info.cls != kNoClass) {
    std::lock_guard guard(g_powerLock);
    for (const auto& [device, layer] : layers) ReleaseLocked(device, irp, info.cls);
  }
  if (info.cls == kDeviceSetClass && NT_SUCCESS(irp->IoStatus.Status)) {
    PDEVICE_OBJECT bottom = nullptr;  // the physical device object, which nothing is under
    for (const auto& [device, layer] : layers) {
      if (device->DeviceObjectExtension->AttachedTo == nullptr) bottom = device;
      DEVICE_POWER_STATE reported = device->DeviceObjectExtension->ReportedPowerState;
      if (reported == PowerDeviceUnspecified || reported == info.state.DeviceState) continue;
      verifier::Report("PowerTransitionUnreported",
                       "device set-power request " + DescribeIrp(irp) + " put device " +
                           Describe(device) + " in D" +
                           std::to_string(info.state.DeviceState - 1) +
                           ", but its driver still reports D" + std::to_string(reported - 1) +
                           " (PoSetPowerState at every device power transition)");
    }
    std::lock_guard guard(g_powerLock);
    if (bottom != nullptr) g_devnodePower[bottom] = info.state.DeviceState;
  }
  for (const auto& [device, layer] : layers) {
    if (layer.Starts == 1) continue;
    verifier::Report("PoStartNextPowerIrp",
                     "the driver of device " + Describe(device) + " (stack location " +
                         std::to_string(layer.Location) + ") called PoStartNextPowerIrp " +
                         std::to_string(layer.Starts) + " times for " + PowerMinorName(minor) +
                         " request " + Describe(irp) +
                         "; exactly once is required before it completes the request or "
                         "passes it on");
  }
}

int ReportedDevicePowerState(const void* deviceObject) {
  auto* extension = static_cast<const DEVICE_OBJECT*>(deviceObject)->DeviceObjectExtension;
  return extension->ReportedPowerState;  // PowerDeviceUnspecified (0) until reported
}

}  // namespace sim::kernel

using namespace sim::kernel;

// Records the device state the driver reports on its device object; returns the one it
// reported before (PowerDeviceUnspecified for a new device), or on the WDM 1.0 platform the
// state passed in ("PoSetPowerState", Return value). Callers run at or below APC_LEVEL, or at
// or below DISPATCH_LEVEL when they report D0 (Remarks).
extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                             POWER_STATE State) {
  EnterService("PoSetPowerState");
  KIRQL limit = Type == DevicePowerState && State.DeviceState == PowerDeviceD0 ? DISPATCH_LEVEL
                                                                               : APC_LEVEL;
  if (KIRQL irql = CurrentThread().Irql; irql > limit) {
    verifier::Report("IrqlPoSetPowerState",
                     "PoSetPowerState of device " + Describe(DeviceObject) + " at IRQL " +
                         std::to_string(irql) + "; only D0 may be reported above APC_LEVEL, and "
                         "nothing above DISPATCH_LEVEL");
  }
  POWER_STATE previous;
  if (Type == SystemPowerState) {
    previous.SystemState = PowerSystemWorking;
    return Win98() ? State : previous;
  }
  auto* extension = DeviceObject->DeviceObjectExtension;
  previous.DeviceState = extension->ReportedPowerState;
  extension->ReportedPowerState = State.DeviceState;
  return Win98() ? State : previous;
}

DEVICE_POWER_STATE sim::io::ReportedPowerState(PDEVICE_OBJECT device) {
  return device->DeviceObjectExtension->ReportedPowerState;
}

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  EnterService("PoCallDriver");
  KIRQL irql = KeGetCurrentIrql();
  bool deferToPassive = CurrentWdmSupport() == WdmSupport::Wdm110 && irql == DISPATCH_LEVEL &&
                        (DeviceObject->Flags & DO_POWER_PAGABLE) != 0;
  if (deferToPassive &&
      QueueKernelWork([DeviceObject, Irp] { CallDriver(DeviceObject, Irp, CallPath::PoCallDriver); },
                      "PoCallDriver of " + DescribeIrp(Irp) + " to device " +
                          Describe(DeviceObject))) {
    return STATUS_PENDING;
  }
  return CallDriver(DeviceObject, Irp, CallPath::PoCallDriver);
}

extern "C" void NTAPI PoStartNextPowerIrp(PIRP Irp) {
  EnterService("PoStartNextPowerIrp");
  CheckIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  IrpHeader* header = HeaderOf(Irp);
  std::string problem;
  PDEVICE_OBJECT starter = nullptr;
  {
    std::lock_guard guard(header->Lock);
    int location = Irp->CurrentLocation;
    if (header->CompletionState == IrpHeader::State::Finished) {
      problem = "for a request that has already completed";
    } else if (location < 1 || location > Irp->StackCount) {
      problem = "when no driver's stack location is current (after the top driver skipped its "
                "location)";
    } else if (PIO_STACK_LOCATION stack = StackLocation(Irp, location);
               stack->MajorFunction != IRP_MJ_POWER) {
      problem = "for a request that is not a power request";
    } else {
      auto& layer = header->PowerLayers[stack->DeviceObject];
      layer.Location = location;
      layer.Starts++;
      starter = stack->DeviceObject;
    }
  }
  if (PowerIrpInfo info = NotedInfo(Irp); starter != nullptr && info.cls != kNoClass) {
    std::lock_guard guard(g_powerLock);
    ReleaseLocked(starter, Irp, info.cls);
  }
  if (!problem.empty()) {
    verifier::Report("PoStartNextPowerIrp",
                     "PoStartNextPowerIrp of " + Describe(Irp) + " " + problem);
  }
}

extern "C" NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                            POWER_STATE PowerState,
                                            PREQUEST_POWER_COMPLETE CompletionFunction,
                                            PVOID Context, PIRP* Irp) {
  EnterService("PoRequestPowerIrp");
  CheckIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    verifier::Report("PoRequestPowerIrp",
                     "PoRequestPowerIrp with minor code " + std::to_string(MinorFunction) +
                         "; only set-power, query-power and wait-wake may be asked for");
    return STATUS_INVALID_PARAMETER_2;
  }
  {
    std::lock_guard guard(g_powerLock);
    if (g_failNextRequest != STATUS_SUCCESS) {
      return std::exchange(g_failNextRequest, STATUS_SUCCESS);
    }
    // The 98/Me configuration manager sends nothing for a device set-power to the state it
    // believes the device is in, yet the call returns STATUS_PENDING and the completion
    // function is never called (Oney, "Programming the Microsoft Windows Driver Model",
    // chapter 8, Windows 98 compatibility notes: "Requesting Device Power IRPs").
    if (Win98() && MinorFunction == IRP_MN_SET_POWER) {
      auto found = g_devnodePower.find(DeviceObject);
      DEVICE_POWER_STATE current = found == g_devnodePower.end() ? PowerDeviceD0 : found->second;
      if (PowerState.DeviceState == current) return STATUS_PENDING;
    }
  }
  if (LowResourcesFail()) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = sim::io::GetAttachedDevice(DeviceObject);
  PIRP irp;
  {
    PlatformAllocation platform;
    irp = IoAllocateIrp(top->StackSize, FALSE);
  }
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    stack->Parameters.Power.SystemContext = 0;
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = PowerState;
    stack->Parameters.Power.ShutdownType = PowerActionNone;
  }
  // The power manager's own completion above the top location: it hands the final status to
  // the requester, at the IRQL the completion runs at, and then frees the request.
  IrpHeader* header = HeaderOf(irp);
  header->OnFinalCompletion = [=](PIRP done) {
    IO_STATUS_BLOCK status = done->IoStatus;
    if (CompletionFunction == nullptr) return;
    KIRQL irql = KeGetCurrentIrql();
    CheckCallback(reinterpret_cast<const void*>(CompletionFunction), "power completion routine");
    CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
    if (KeGetCurrentIrql() != irql) {
      verifier::Report("IrqlReturn", "power completion function " +
                                         Describe(reinterpret_cast<void*>(CompletionFunction)) +
                                         " returned at IRQL " +
                                         std::to_string(KeGetCurrentIrql()) + ", called at " +
                                         std::to_string(irql));
      CurrentThread().Irql = irql;
    }
  };
  header->FreeAfterCompletion = true;
  if (Irp != nullptr) *Irp = irp;
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}
