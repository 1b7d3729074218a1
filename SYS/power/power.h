// Power requests: set-power and query-power run through a table-driven state machine, one
// POWER_CONTEXT per request; every other power request is passed down.
#pragma once

#include "frame/device_extension.h"

// States of a request's course through the machine (codes 7 and 8 are not used).
enum POWER_MACHINE_STATE : LONG {
  PwrInitial = 0,
  PwrSysUpForwarded = 1,
  PwrSysUpDeviceWait = 2,
  PwrSysDownDeviceWait = 3,
  PwrSysDownForwarded = 4,
  PwrDevUpForwarded = 5,
  PwrDevDownForwarded = 6,
  PwrDevQueryUpForwarded = 9,
  PwrDevQueryDownForwarded = 10,
  PwrDevNew = 11,
  PwrDone = 12,
};
constexpr int POWER_STATE_COUNT = 13;

// What moves a request on.
enum POWER_MACHINE_EVENT : LONG {
  EvNewRequest = 0,         // DispatchPower, with a fresh context
  EvLowerDone = 1,          // the lower drivers finished the request passed down
  EvDeviceRequestDone = 2,  // the device request asked for has finished
};
constexpr int POWER_EVENT_COUNT = 3;

struct POWER_CONTEXT {
  DEVICE_EXTENSION* Extension;
  PIRP Irp;                            // the main request
  LONG State;                          // a POWER_MACHINE_STATE
  NTSTATUS Status;                     // of the last sub-operation that finished
  DEVICE_POWER_STATE TargetDeviceState;
  UCHAR Minor;                         // of the device request to ask for
  // Beyond the record's fixed fields: whether the course holds its own remove-lock
  // reference, so that it never gives back one it could not take; and a work item for a
  // device request that could not be asked for while the request was being dispatched.
  BOOLEAN HoldsRemoveLock;
  WORK_QUEUE_ITEM RefusedItem;
  // DevicePower when a device request arrived, restored when the lower drivers refuse a
  // power-down; and the lower drivers' status of a system request passed down first.
  LONG PreviousDevicePower;
  NTSTATUS LowerStatus;
};

extern const UCHAR PowerActionTable[POWER_STATE_COUNT][POWER_EVENT_COUNT];

DRIVER_DISPATCH DispatchPower;
NTSTATUS ForwardPowerRequest(DEVICE_EXTENSION* Extension, PIRP Irp);
NTSTATUS RunPowerMachine(POWER_CONTEXT* Context, POWER_MACHINE_EVENT Event);
IO_COMPLETION_ROUTINE PowerLowerCompletion;
REQUEST_POWER_COMPLETE DevicePowerCompletion;
NTSTATUS CallPowerDriver(PDEVICE_OBJECT Target, PIRP Irp);
WORKER_THREAD_ROUTINE DeferredPowerCall;
WORKER_THREAD_ROUTINE DeviceRequestRefused;
WORKER_THREAD_ROUTINE DeferredDevicePowerRequest;
void QueuePowerWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter);
void PowerWorkItemDone();
void WaitForPowerWorkItems();
NTSTATUS RequestDevicePower(POWER_CONTEXT* Context);
