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
// PoCallDriver follows the platform's later revisions where they differ from WDM 1.0: a
// power request passed at DISPATCH_LEVEL to a device flagged DO_POWER_PAGABLE reaches that
// device from the kernel's worker thread at PASSIVE_LEVEL, and PoCallDriver returns
// STATUS_PENDING. The WDM 1.0 platform (WdmSupport::Wdm10Only) calls the driver directly at
// the caller's IRQL, which is why drivers for it defer such calls themselves.
#include <mutex>
#include <utility>

#include "kernel_internal.h"
#include "sim/io.h"
#include "sim/kernel.h"

namespace sim::kernel {
namespace {

std::mutex g_powerLock;
NTSTATUS g_failNextRequest = STATUS_SUCCESS;  // armed by FailNextPoRequestPowerIrp

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
}

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
// reported before (PowerDeviceUnspecified for a new device).
extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                             POWER_STATE State) {
  EnterService("PoSetPowerState");
  sim::kernel::CheckIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  POWER_STATE previous;
  if (Type == SystemPowerState) {
    previous.SystemState = PowerSystemWorking;
    return previous;
  }
  auto* extension = DeviceObject->DeviceObjectExtension;
  previous.DeviceState = extension->ReportedPowerState;
  extension->ReportedPowerState = State.DeviceState;
  return previous;
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
    }
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
