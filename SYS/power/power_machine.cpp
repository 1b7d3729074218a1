// The power machine: a constant table gives, for a request's state and the event that moved
// it, the first action of a step; each action names the next or ends the step.
#include "frame/frame.h"
#include "ioctl/notify.h"
#include "power/power.h"

namespace {

// Tells the power manager the device's new state (PoSetPowerState), as the driver must at
// every device power transition: after a power-up succeeded in the lower drivers, before a
// power-down is passed down, and again after the lower drivers refused one.
void ReportDevicePower(DEVICE_EXTENSION* Extension, LONG State) {
  POWER_STATE state;
  state.DeviceState = static_cast<DEVICE_POWER_STATE>(State);
  PoSetPowerState(Extension->DeviceObject, DevicePowerState, state);
}

enum POWER_ACTION_CODE : UCHAR {
  ActNone = 0,
  ActBegin = 1,
  ActClassifyDevice = 2,
  ActForward = 3,
  ActSysUpLowerDone = 4,
  ActSysDownLowerDone = 5,
  ActChooseDeviceState = 6,
  ActRequestDevicePower = 7,
  ActFinish = 8,
  ActFree = 9,
  ActSysUpDeviceDone = 10,
  ActSysDownDeviceDone = 11,
  ActDevUpLowerDone = 12,
  ActRejectNotifications = 13,
  ActDevDown = 14,
  ActDevUpFinish = 15,
  ActQueryUpDone = 16,
  ActQueryDown = 17,
  ActQueryDownDone = 18,
  ActDevDownLowerDone = 19,
};

inline PIO_STACK_LOCATION MainStack(const POWER_CONTEXT* Context) {
  return IoGetCurrentIrpStackLocation(Context->Irp);
}

}  // namespace

const UCHAR PowerActionTable[POWER_STATE_COUNT][POWER_EVENT_COUNT] = {
    /* 0  PwrInitial */ {ActBegin, ActNone, ActNone},
    /* 1  PwrSysUpForwarded */ {ActNone, ActSysUpLowerDone, ActNone},
    /* 2  PwrSysUpDeviceWait */ {ActNone, ActNone, ActSysUpDeviceDone},
    /* 3  PwrSysDownDeviceWait */ {ActNone, ActNone, ActSysDownDeviceDone},
    /* 4  PwrSysDownForwarded */ {ActNone, ActSysDownLowerDone, ActNone},
    /* 5  PwrDevUpForwarded */ {ActNone, ActDevUpLowerDone, ActNone},
    /* 6  PwrDevDownForwarded */ {ActNone, ActDevDownLowerDone, ActNone},
    /* 7  (not used) */ {ActNone, ActNone, ActNone},
    /* 8  (not used) */ {ActNone, ActNone, ActNone},
    /* 9  PwrDevQueryUpForwarded */ {ActNone, ActQueryUpDone, ActNone},
    /* 10 PwrDevQueryDownForwarded */ {ActNone, ActQueryDownDone, ActNone},
    /* 11 PwrDevNew */ {ActNone, ActNone, ActNone},
    /* 12 PwrDone */ {ActNone, ActNone, ActNone},
};

/*
 * RunPowerMachine: one step of a request's course (see PowerActionTable). Returns the value
 * the last action set: STATUS_PENDING for a new request, the completion routine's result for
 * EvLowerDone; STATUS_UNSUCCESSFUL when the table has no action (nothing changes). Each step
 * ends with exactly one operation outstanding (the main request passed down, or a device
 * request asked for) or with the context freed, so steps of one context never overlap.
 * Up to DISPATCH_LEVEL (from the completion routines).
 *
 * A device set-power to the state the device is already in (D0 while in D0, which the system
 * sends on a set-power to working while working) is no change: it is passed down without
 * refusing notifications; only a real power-down refuses them.
 */
NTSTATUS RunPowerMachine(POWER_CONTEXT* Context, POWER_MACHINE_EVENT Event) {
  UCHAR action = PowerActionTable[Context->State][Event];
  if (action == ActNone) return STATUS_UNSUCCESSFUL;
  DEVICE_EXTENSION* extension = Context->Extension;
  NTSTATUS result = STATUS_SUCCESS;
  for (;;) {
    switch (action) {
      case ActBegin: {
        // The course needs a reference of its own: the dispatch routine's ends when it
        // returns, and removal may then finish and free the extension under a course still
        // running. Without one (removal has begun) the request is refused at once.
        if (!NT_SUCCESS(AcquireRemoveLock(&extension->RemoveLock))) {
          PoStartNextPowerIrp(Context->Irp);
          Context->Irp->IoStatus.Status = STATUS_DELETE_PENDING;
          IoCompleteRequest(Context->Irp, IO_NO_INCREMENT);
          ExFreePool(Context);
          return STATUS_DELETE_PENDING;
        }
        Context->HoldsRemoveLock = TRUE;
        result = STATUS_PENDING;
        IoMarkIrpPending(Context->Irp);
        PIO_STACK_LOCATION stack = MainStack(Context);
        if (stack->Parameters.Power.Type == DevicePowerState) {
          Context->State = PwrDevNew;
          action = ActClassifyDevice;
        } else if (stack->Parameters.Power.State.SystemState < extension->SystemPower) {
          Context->State = PwrSysUpForwarded;
          action = ActForward;
        } else {
          Context->State = PwrSysDownDeviceWait;
          action = ActChooseDeviceState;
        }
        break;
      }
      case ActClassifyDevice: {
        PIO_STACK_LOCATION stack = MainStack(Context);
        LONG target = stack->Parameters.Power.State.DeviceState;
        Context->PreviousDevicePower = extension->DevicePower;
        bool set = stack->MinorFunction == IRP_MN_SET_POWER;
        if (target < extension->DevicePower) {
          Context->State = set ? PwrDevUpForwarded : PwrDevQueryUpForwarded;
          action = ActForward;
        } else if (!set) {
          action = ActQueryDown;
        } else if (target == extension->DevicePower) {
          Context->State = PwrDevDownForwarded;  // no change: finishes as a power-down does
          action = ActForward;
        } else {
          action = ActRejectNotifications;
        }
        break;
      }
      case ActForward:
        IoCopyCurrentIrpStackLocationToNext(Context->Irp);
        IoSetCompletionRoutine(Context->Irp, PowerLowerCompletion, Context, TRUE, TRUE, TRUE);
        CallPowerDriver(extension->LowerDeviceObject, Context->Irp);
        return result;
      case ActSysUpLowerDone: {
        if (!NT_SUCCESS(Context->Status)) {
          action = ActFinish;
          break;
        }
        Context->LowerStatus = Context->Status;
        PIO_STACK_LOCATION stack = MainStack(Context);
        if (stack->MinorFunction == IRP_MN_SET_POWER) {
          extension->SystemPower = stack->Parameters.Power.State.SystemState;
        }
        Context->State = PwrSysUpDeviceWait;
        result = STATUS_MORE_PROCESSING_REQUIRED;  // the system request is held
        action = ActChooseDeviceState;
        break;
      }
      case ActSysDownLowerDone: {
        PIO_STACK_LOCATION stack = MainStack(Context);
        if (stack->MinorFunction == IRP_MN_SET_POWER) {
          extension->SystemPower = stack->Parameters.Power.State.SystemState;
        }
        action = ActFinish;
        break;
      }
      case ActChooseDeviceState: {
        PIO_STACK_LOCATION stack = MainStack(Context);
        SYSTEM_POWER_STATE system = stack->Parameters.Power.State.SystemState;
        if (system == PowerSystemWorking) {
          Context->TargetDeviceState = PowerDeviceD0;
        } else {
          DEVICE_POWER_STATE mapped = extension->DeviceCaps.DeviceState[system];
          Context->TargetDeviceState = mapped > PowerDeviceD3 ? mapped : PowerDeviceD3;
        }
        Context->Minor = stack->MinorFunction;
        action = ActRequestDevicePower;
        break;
      }
      case ActRequestDevicePower: {
        if (Win98Mode && Context->TargetDeviceState == extension->DevicePower) {
          // No device request: go on as if one had just finished.
          Context->Status = STATUS_SUCCESS;
          action = PowerActionTable[Context->State][EvDeviceRequestDone];
          if (action == ActNone) return STATUS_UNSUCCESSFUL;
          break;
        }
        if (Win98Mode && KeGetCurrentIrql() > PASSIVE_LEVEL) {
          // The WDM 1.0 power manager hands the device request straight to DispatchPower,
          // which runs only at PASSIVE_LEVEL: ask for it from a worker thread.
          ExInitializeWorkItem(&Context->RefusedItem, DeferredDevicePowerRequest, Context);
          ExQueueWorkItem(&Context->RefusedItem, DelayedWorkQueue);
          return result;
        }
        NTSTATUS status = RequestDevicePower(Context);
        if (NT_SUCCESS(status)) return result;
        Context->Status = status;
        if (Event == EvNewRequest) {
          // The request is marked pending and its dispatch returns STATUS_PENDING, so it is not
          // completed here: the refusal is handled on a worker thread as a failed device
          // request, which completes it with this status.
          ExInitializeWorkItem(&Context->RefusedItem, DeviceRequestRefused, Context);
          ExQueueWorkItem(&Context->RefusedItem, DelayedWorkQueue);
          return result;
        }
        action = ActFinish;
        break;
      }
      case ActFinish:
        PoStartNextPowerIrp(Context->Irp);
        if (Event == EvLowerDone) {
          result = Context->Status;  // the request completes on with the status it carries
        } else {
          Context->Irp->IoStatus.Status = Context->Status;
          IoCompleteRequest(Context->Irp, IO_NO_INCREMENT);
        }
        if (Context->HoldsRemoveLock) ReleaseRemoveLock(&extension->RemoveLock);
        action = ActFree;
        break;
      case ActFree:
        Context->State = PwrDone;
        ExFreePool(Context);
        return result;
      case ActSysUpDeviceDone:
        // A system set-power cannot fail: it completes with the lower drivers' status, and
        // DevicePower stays what the device request left it.
        if (Context->Minor == IRP_MN_SET_POWER) Context->Status = Context->LowerStatus;
        action = ActFinish;
        break;
      case ActDevUpFinish:
      case ActQueryUpDone:
      case ActQueryDownDone:
        action = ActFinish;
        break;
      case ActSysDownDeviceDone:
        // A failed device request fails a query; a set-power still goes down, so that the bus
        // driver sees the new system state, and completes with the lower drivers' status.
        if (!NT_SUCCESS(Context->Status) && Context->Minor != IRP_MN_SET_POWER) {
          action = ActFinish;
        } else {
          Context->State = PwrSysDownForwarded;
          action = ActForward;
        }
        break;
      case ActDevUpLowerDone:
        if (!NT_SUCCESS(Context->Status)) {
          action = ActFinish;
          break;
        }
        InterlockedExchange(&extension->PendingRejectStatus, 0);
        extension->DevicePower = MainStack(Context)->Parameters.Power.State.DeviceState;
        ReportDevicePower(extension, extension->DevicePower);
        action = ActDevUpFinish;
        break;
      case ActRejectNotifications:
        RejectAndCancelPending(extension, STATUS_DEVICE_POWERED_OFF);
        action = ActDevDown;
        break;
      case ActDevDown: {
        Context->State = PwrDevDownForwarded;
        LONG target = MainStack(Context)->Parameters.Power.State.DeviceState;
        if (target > extension->DevicePower) {
          extension->DevicePower = target;
          ReportDevicePower(extension, target);
        }
        action = ActForward;
        break;
      }
      case ActDevDownLowerDone:
        // The lower drivers refused the power-down: the device is still in its old state,
        // and a device still in D0 accepts waits again.
        if (!NT_SUCCESS(Context->Status) &&
            MainStack(Context)->MinorFunction == IRP_MN_SET_POWER) {
          if (extension->DevicePower != Context->PreviousDevicePower) {
            ReportDevicePower(extension, Context->PreviousDevicePower);
          }
          extension->DevicePower = Context->PreviousDevicePower;
          if (extension->DevicePower == PowerDeviceD0) {
            InterlockedExchange(&extension->PendingRejectStatus, 0);
          }
        }
        action = ActFinish;
        break;
      case ActQueryDown:
        Context->State = PwrDevQueryDownForwarded;
        action = ActForward;
        break;
      default:
        return STATUS_UNSUCCESSFUL;
    }
  }
}

/*
 * RequestDevicePower: asks the power manager for the device request the context's system
 * request needs, DevicePowerCompletion to be called when it finishes. Up to DISPATCH_LEVEL.
 */
NTSTATUS RequestDevicePower(POWER_CONTEXT* Context) {
  POWER_STATE state;
  state.DeviceState = Context->TargetDeviceState;
  return PoRequestPowerIrp(Context->Extension->Pdo, Context->Minor, state,
                           DevicePowerCompletion, Context, nullptr);
}

/*
 * DeferredDevicePowerRequest: RequestDevicePower from a worker thread, for a Win98Mode course
 * that reached it above PASSIVE_LEVEL; a refusal goes on as a failed device request, as
 * DeviceRequestRefused does. PASSIVE_LEVEL.
 */
void NTAPI DeferredDevicePowerRequest(PVOID Parameter) {
  auto* context = static_cast<POWER_CONTEXT*>(Parameter);
  NTSTATUS status = RequestDevicePower(context);
  if (NT_SUCCESS(status)) return;
  context->Status = status;
  RunPowerMachine(context, EvDeviceRequestDone);
}

/*
 * PowerLowerCompletion: the lower drivers finished the main request: its status moves the
 * machine on (EvLowerDone), whose step decides what the completion does next.
 * Up to DISPATCH_LEVEL.
 */
NTSTATUS NTAPI PowerLowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto* context = static_cast<POWER_CONTEXT*>(Context);
  context->Status = Irp->IoStatus.Status;
  return RunPowerMachine(context, EvLowerDone);
}

/*
 * DevicePowerCompletion: the device request asked for on behalf of a system request has
 * finished. Up to DISPATCH_LEVEL.
 */
void NTAPI DevicePowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PVOID Context,
                                 PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  auto* context = static_cast<POWER_CONTEXT*>(Context);
  context->Status = IoStatus->Status;
  RunPowerMachine(context, EvDeviceRequestDone);
}

/*
 * DeviceRequestRefused: PoRequestPowerIrp refused the device request a new system request
 * needed: the machine goes on as if that device request had failed with the refusal's status
 * (already in the context). Worker thread, PASSIVE_LEVEL.
 */
void NTAPI DeviceRequestRefused(PVOID Parameter) {
  RunPowerMachine(static_cast<POWER_CONTEXT*>(Parameter), EvDeviceRequestDone);
}

/*
 * CallPowerDriver: passes a power request to the target. In Win98Mode the lower drivers may
 * be called only at PASSIVE_LEVEL, so from a higher IRQL the call is deferred to a worker
 * thread: the request is marked pending, the target kept in the next stack location, and a
 * work item built in the request's driver context. Up to DISPATCH_LEVEL.
 */
NTSTATUS CallPowerDriver(PDEVICE_OBJECT Target, PIRP Irp) {
  if (!Win98Mode || KeGetCurrentIrql() == PASSIVE_LEVEL) return PoCallDriver(Target, Irp);
  IoMarkIrpPending(Irp);
  IoGetNextIrpStackLocation(Irp)->DeviceObject = Target;
  auto* item = reinterpret_cast<PWORK_QUEUE_ITEM>(Irp->Tail.Overlay.DriverContext);
  static_assert(sizeof(WORK_QUEUE_ITEM) <= sizeof(Irp->Tail.Overlay.DriverContext));
  ExInitializeWorkItem(item, DeferredPowerCall, Irp);
  ExQueueWorkItem(item, DelayedWorkQueue);
  return STATUS_PENDING;
}

/*
 * DeferredPowerCall: the deferred call of CallPowerDriver, on a worker thread at
 * PASSIVE_LEVEL.
 */
void NTAPI DeferredPowerCall(PVOID Parameter) {
  auto* irp = static_cast<PIRP>(Parameter);
  PoCallDriver(IoGetNextIrpStackLocation(irp)->DeviceObject, irp);
}
