// The power manager's entry points on a stack of fake devices: PoStartNextPowerIrp counted per
// device, PoCallDriver (and IoCallDriver misused for power), PoCallDriver's passage to
// PASSIVE_LEVEL for power-pageable devices, PoRequestPowerIrp; and executive work items on the
// kernel's worker thread.
#include <algorithm>
#include <atomic>
#include <sstream>

#include "kernel_test_support.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;

std::string Address(const void* p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

class PowerManagerTest : public StackTest {
 protected:
  PIRP NewPowerIrp(UCHAR minor, DEVICE_POWER_STATE state = PowerDeviceD3) {
    PIRP irp = IoAllocateIrp(Top()->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State.DeviceState = state;
    return irp;
  }
  IO_STATUS_BLOCK SendPower(UCHAR minor) {
    PIRP irp = NewPowerIrp(minor);
    IO_STATUS_BLOCK result = sim::io::CallAndWait(Top(), irp);
    return result;
  }
  // A layer that does what a well-behaved driver does with a power request it has no part in.
  Dispatch PoPassDown(size_t layer) {
    return [this, layer](PDEVICE_OBJECT, PIRP irp) {
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(devices_[layer - 1], irp);
    };
  }
  static Dispatch PoComplete(NTSTATUS status) {
    return [status](PDEVICE_OBJECT, PIRP irp) {
      PoStartNextPowerIrp(irp);
      return Complete(irp, status);
    };
  }
};

// --- PoStartNextPowerIrp ---------------------------------------------------------------------

TEST_F(PowerManagerTest, OneStartPerDriverPassesWhetherInDispatchOrCompletionRoutine) {
  Build(3);
  dispatch_[0] = PoComplete(STATUS_SUCCESS);
  dispatch_[1] = PoPassDown(1);
  // The top driver starts the next request from its completion routine instead.
  dispatch_[2] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID) NTAPI -> NTSTATUS {
          PoStartNextPowerIrp(done);
          if (done->PendingReturned) IoMarkIrpPending(done);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(devices_[1], irp);
  };
  EXPECT_EQ(SendPower(IRP_MN_SET_POWER).Status, STATUS_SUCCESS);
  EXPECT_EQ(SendPower(IRP_MN_QUERY_POWER).Status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeRules().empty());
}

TEST_F(PowerManagerTest, AMiddleDriverThatForgetsIsNamedAlone) {
  Build(3);
  dispatch_[0] = PoComplete(STATUS_SUCCESS);
  dispatch_[1] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(devices_[0], irp);
  };
  dispatch_[2] = PoPassDown(2);
  EXPECT_EQ(SendPower(IRP_MN_SET_POWER).Status, STATUS_SUCCESS);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "PoStartNextPowerIrp");
  EXPECT_NE(violations[0].message.find(Address(devices_[1])), std::string::npos)
      << violations[0].message;
  EXPECT_NE(violations[0].message.find("0 times"), std::string::npos);
}

TEST_F(PowerManagerTest, ADriverThatFailsAPowerRequestStillOwesOneStart) {
  Build(2);
  dispatch_[1] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_DELETE_PENDING); };
  EXPECT_EQ(SendPower(IRP_MN_QUERY_POWER).Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(TakeRules(), (Rules{"PoStartNextPowerIrp"}));
}

TEST_F(PowerManagerTest, StartingAfterSkippingTheTopLocationIsReportedAtOnce) {
  Build(2);
  dispatch_[0] = PoComplete(STATUS_SUCCESS);
  dispatch_[1] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    return PoCallDriver(devices_[0], irp);
  };
  EXPECT_EQ(SendPower(IRP_MN_SET_POWER).Status, STATUS_SUCCESS);
  // At once (no location current), and again at completion (the top driver has none counted).
  EXPECT_EQ(TakeRules(), (Rules{"PoStartNextPowerIrp", "PoStartNextPowerIrp"}));
}

TEST_F(PowerManagerTest, OnlySetAndQueryAreCounted) {
  Build(2);
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  dispatch_[1] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(devices_[0], irp);
  };
  EXPECT_EQ(SendPower(IRP_MN_WAIT_WAKE).Status, STATUS_SUCCESS);
  EXPECT_EQ(SendPower(IRP_MN_POWER_SEQUENCE).Status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeRules().empty());
}

// --- PoCallDriver ----------------------------------------------------------------------------

TEST_F(PowerManagerTest, PowerRequestsPassedWithIoCallDriverAreReported) {
  Build(2);
  dispatch_[0] = PoComplete(STATUS_SUCCESS);
  dispatch_[1] = [this](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(devices_[0], irp);
  };
  EXPECT_EQ(SendPower(IRP_MN_SET_POWER).Status, STATUS_SUCCESS);
  EXPECT_EQ(TakeRules(), (Rules{"PoCallDriver"}));
}

struct Arrival {
  std::atomic<int> irql{-1};
  std::atomic<bool> otherThread{false};
};

// Passes the request down from DISPATCH_LEVEL, as a completion routine would; records how it
// reached the bottom device.
class PoCallDriverIrqlTest : public PowerManagerTest {
 protected:
  void BuildAndSend(bool pageable, sim::kernel::WdmSupport wdm, NTSTATUS* returned) {
    sim::kernel::Shutdown();
    sim::kernel::Boot(wdm);
    Build(2);
    if (pageable) devices_[0]->Flags |= DO_POWER_PAGABLE;
    std::thread::id caller = std::this_thread::get_id();
    dispatch_[0] = [this, caller](PDEVICE_OBJECT, PIRP irp) {
      arrival_.irql = KeGetCurrentIrql();
      arrival_.otherThread = std::this_thread::get_id() != caller;
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS);
    };
    dispatch_[1] = [this, returned](PDEVICE_OBJECT, PIRP irp) {
      PoStartNextPowerIrp(irp);
      IoMarkIrpPending(irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      *returned = PoCallDriver(devices_[0], irp);
      KeLowerIrql(old);
      return STATUS_PENDING;
    };
    EXPECT_EQ(SendPower(IRP_MN_SET_POWER).Status, STATUS_SUCCESS);
  }
  Arrival arrival_;
};

TEST_F(PoCallDriverIrqlTest, PageableDevicesGetPowerRequestsAtPassiveFromTheWorker) {
  NTSTATUS returned = 0;
  BuildAndSend(true, sim::kernel::WdmSupport::Wdm110, &returned);
  EXPECT_EQ(returned, STATUS_PENDING);
  EXPECT_EQ(arrival_.irql, PASSIVE_LEVEL);
  EXPECT_TRUE(arrival_.otherThread);
}

TEST_F(PoCallDriverIrqlTest, NonPageableDevicesGetThemAtTheCallersIrql) {
  NTSTATUS returned = 0;
  BuildAndSend(false, sim::kernel::WdmSupport::Wdm110, &returned);
  EXPECT_EQ(returned, STATUS_SUCCESS);
  EXPECT_EQ(arrival_.irql, DISPATCH_LEVEL);
  EXPECT_FALSE(arrival_.otherThread);
}

// There the bottom driver gets the request raised, and completing it there breaks that
// platform's rule of PASSIVE_LEVEL completions.
TEST_F(PoCallDriverIrqlTest, TheWdm10PlatformNeverDefers) {
  NTSTATUS returned = 0;
  BuildAndSend(true, sim::kernel::WdmSupport::Wdm10Only, &returned);
  EXPECT_EQ(returned, STATUS_SUCCESS);
  EXPECT_EQ(arrival_.irql, DISPATCH_LEVEL);
  EXPECT_EQ(TakeRules(), (Rules{"PowerCompletionIrqlWin98"}));
}

// --- PoRequestPowerIrp -----------------------------------------------------------------------

struct Requested {
  std::atomic<int> calls{0};
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state{};
  IO_STATUS_BLOCK status{};
  KEVENT done;
};

VOID NTAPI RecordRequested(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                           POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  auto* record = static_cast<Requested*>(Context);
  record->device = DeviceObject;
  record->minor = MinorFunction;
  record->state = PowerState;
  record->status = *IoStatus;
  record->calls++;
  KeSetEvent(&record->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(PowerManagerTest, ARequestedDeviceRequestStartsAtTheTopAndCallsBackWithTheFinalStatus) {
  Build(2);
  PIO_STACK_LOCATION seen = nullptr;
  IO_STACK_LOCATION arrived{};
  NTSTATUS statusOnArrival = 0;
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoMarkIrpPending(irp);
    CompleteLater(irp, STATUS_DEVICE_NOT_READY, 0);
    return STATUS_PENDING;
  };
  dispatch_[1] = [&, this](PDEVICE_OBJECT, PIRP irp) {
    seen = IoGetCurrentIrpStackLocation(irp);
    arrived = *seen;
    statusOnArrival = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(devices_[0], irp);
  };
  Requested record;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;
  PIRP sent = nullptr;
  // Asked for on the bottom device, as drivers ask on their physical device object.
  EXPECT_EQ(PoRequestPowerIrp(devices_[0], IRP_MN_SET_POWER, d2, RecordRequested, &record, &sent),
            STATUS_PENDING);
  EXPECT_NE(sent, nullptr);
  KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
  ASSERT_NE(seen, nullptr) << "the top device never saw the request";
  EXPECT_EQ(arrived.MajorFunction, IRP_MJ_POWER);
  EXPECT_EQ(arrived.MinorFunction, IRP_MN_SET_POWER);
  EXPECT_EQ(arrived.Parameters.Power.Type, DevicePowerState);
  EXPECT_EQ(arrived.Parameters.Power.State.DeviceState, PowerDeviceD2);
  EXPECT_EQ(statusOnArrival, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(record.calls, 1);
  EXPECT_EQ(record.device, devices_[0]);
  EXPECT_EQ(record.minor, IRP_MN_SET_POWER);
  EXPECT_EQ(record.state.DeviceState, PowerDeviceD2);
  EXPECT_EQ(record.status.Status, STATUS_DEVICE_NOT_READY);
}

TEST_F(PowerManagerTest, PoRequestPowerIrpRefusesOtherMinorsAndInjectedFailures) {
  Build(1);
  dispatch_[0] = PoComplete(STATUS_SUCCESS);
  Requested record;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoRequestPowerIrp(devices_[0], IRP_MN_POWER_SEQUENCE, d3, RecordRequested, &record,
                              nullptr),
            STATUS_INVALID_PARAMETER_2);
  EXPECT_EQ(TakeRules(), (Rules{"PoRequestPowerIrp"}));

  sim::kernel::FailNextPoRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(PoRequestPowerIrp(devices_[0], IRP_MN_SET_POWER, d3, RecordRequested, &record,
                              nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(record.calls, 0);
  // One shot.
  EXPECT_EQ(PoRequestPowerIrp(devices_[0], IRP_MN_QUERY_POWER, d3, RecordRequested, &record,
                              nullptr),
            STATUS_PENDING);
  EXPECT_EQ(record.calls, 1);
  EXPECT_EQ(record.status.Status, STATUS_SUCCESS);
}

// --- The platforms' power managers ------------------------------------------------------------

NTSTATUS NTAPI StopAtTop(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

POWER_STATE Device(DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return power;
}

class PlatformPowerTest : public PowerManagerTest {
 protected:
  void Reboot(sim::kernel::WdmSupport wdm, size_t depth) {
    Unbuild();
    sim::kernel::Shutdown();
    sim::kernel::Boot(wdm);
    Build(depth);
  }
  // A system set-power sent by the test as a driver would send one of its own: the caller's
  // completion routine keeps it from completing past the top.
  PIRP NewSystemIrp() {
    PIRP irp = NewPowerIrp(IRP_MN_SET_POWER);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = PowerSystemSleeping3;
    IoSetCompletionRoutine(irp, StopAtTop, nullptr, TRUE, TRUE, TRUE);
    return irp;
  }
};

// Windows 2000/XP: a second system set-power reaches a driver only once it started the next
// power request for the first (PoCallDriver queues it and returns STATUS_PENDING); the 98/Me
// power manager hands it over at once.
TEST_F(PlatformPowerTest, ASecondSystemRequestWaitsForTheDriversStartOfTheNext) {
  for (auto wdm : {sim::kernel::WdmSupport::Wdm110, sim::kernel::WdmSupport::Wdm10Only}) {
    SCOPED_TRACE(wdm == sim::kernel::WdmSupport::Wdm110 ? "2000" : "98");
    Reboot(wdm, 1);
    std::vector<PIRP> arrived;
    dispatch_[0] = [&arrived](PDEVICE_OBJECT, PIRP irp) {
      arrived.push_back(irp);
      IoMarkIrpPending(irp);
      return STATUS_PENDING;
    };
    PIRP first = NewSystemIrp(), second = NewSystemIrp();
    EXPECT_EQ(PoCallDriver(Top(), first), STATUS_PENDING);
    EXPECT_EQ(PoCallDriver(Top(), second), STATUS_PENDING);
    bool serialised = wdm == sim::kernel::WdmSupport::Wdm110;
    EXPECT_EQ(arrived.size(), serialised ? 1u : 2u);
    PoStartNextPowerIrp(first);
    sim::kernel::WaitForWorkItemsIdle();
    ASSERT_EQ(arrived.size(), 2u);
    EXPECT_EQ(arrived[1], second);
    PoStartNextPowerIrp(second);
    for (PIRP irp : {first, second}) {
      Complete(irp, STATUS_SUCCESS);
      IoFreeIrp(irp);
    }
    EXPECT_TRUE(TakeRules().empty());
  }
}

// A driver that reports its device's power state reports a power-down before it passes the
// request to the bus driver and a power-up once it succeeded; D0 alone may be reported at
// DISPATCH_LEVEL. The 98/Me PoSetPowerState returns the state it was given.
TEST_F(PlatformPowerTest, DevicePowerTransitionsAreReportedInOrderAndAtTheirIrql) {
  Build(2);
  dispatch_[0] = PoComplete(STATUS_SUCCESS);
  bool report = false;
  dispatch_[1] = [&](PDEVICE_OBJECT device, PIRP irp) {
    if (report) {
      PoSetPowerState(device, DevicePowerState,
                      IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State);
    }
    return PoPassDown(1)(device, irp);
  };
  EXPECT_EQ(PoSetPowerState(Top(), DevicePowerState, Device(PowerDeviceD0)).DeviceState,
            PowerDeviceUnspecified);
  EXPECT_EQ(SendPower(IRP_MN_SET_POWER).Status, STATUS_SUCCESS);  // D3, never reported
  EXPECT_EQ(TakeRules(), (Rules{"PowerTransitionUnreported", "PowerTransitionUnreported"}));
  report = true;
  EXPECT_EQ(SendPower(IRP_MN_SET_POWER).Status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeRules().empty());

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PoSetPowerState(Top(), DevicePowerState, Device(PowerDeviceD0));
  PoSetPowerState(Top(), DevicePowerState, Device(PowerDeviceD2));
  KeLowerIrql(old);
  EXPECT_EQ(TakeRules(), (Rules{"IrqlPoSetPowerState"}));

  Reboot(sim::kernel::WdmSupport::Wdm10Only, 1);
  EXPECT_EQ(PoSetPowerState(Top(), DevicePowerState, Device(PowerDeviceD3)).DeviceState,
            PowerDeviceD3);
}

// On 98/Me a device set-power for the state the configuration manager believes the device in
// is never sent and never called back, though PoRequestPowerIrp returns STATUS_PENDING; and a
// set-power or query-power request may be completed only at PASSIVE_LEVEL.
TEST_F(PlatformPowerTest, The98FamilyDropsRequestsForTheCurrentStateAndCompletesOnlyAtPassive) {
  Reboot(sim::kernel::WdmSupport::Wdm10Only, 1);
  int arrivals = 0;
  bool raised = false;
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    arrivals++;
    PoStartNextPowerIrp(irp);
    KIRQL old = PASSIVE_LEVEL;
    if (raised) KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = Complete(irp, STATUS_SUCCESS);
    if (raised) KeLowerIrql(old);
    return status;
  };
  Requested record;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  auto request = [&](DEVICE_POWER_STATE state) {
    return PoRequestPowerIrp(devices_[0], IRP_MN_SET_POWER, Device(state), RecordRequested,
                             &record, nullptr);
  };
  EXPECT_EQ(request(PowerDeviceD0), STATUS_PENDING);
  EXPECT_EQ(request(PowerDeviceD3), STATUS_PENDING);
  EXPECT_EQ(request(PowerDeviceD3), STATUS_PENDING);
  EXPECT_EQ(arrivals, 1);
  EXPECT_EQ(record.calls, 1);
  EXPECT_TRUE(TakeRules().empty());

  raised = true;
  EXPECT_EQ(request(PowerDeviceD0), STATUS_PENDING);
  EXPECT_EQ(record.calls, 2);
  EXPECT_EQ(TakeRules(), (Rules{"PowerCompletionIrqlWin98"}));
}

// --- Completion by a driver on its own thread below its dispatch routine ----------------------

// A driver that marked its request pending may see it completed before its dispatch routine
// returns, from below: here it sends a request of its own, whose completion (run at once by
// the lower driver, on this thread) finishes the first. Returning STATUS_PENDING is then
// right, not a pended completed request; this is what a power policy owner does with the
// device request it asks for and the system request it holds.
NTSTATUS NTAPI FinishHeldRequest(PDEVICE_OBJECT, PIRP own, PVOID context) {
  auto* held = static_cast<PIRP>(context);
  held->IoStatus.Status = own->IoStatus.Status;
  IoCompleteRequest(held, IO_NO_INCREMENT);
  IoFreeIrp(own);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(PowerManagerTest, ACompletionNestedBelowTheDispatchRoutineLetsItReturnPending) {
  Build(2);
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_DEVICE_BUSY); };
  dispatch_[1] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    PIRP own = IoAllocateIrp(devices_[0]->StackSize, FALSE);
    IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(own, FinishHeldRequest, irp, TRUE, TRUE, TRUE);
    IoCallDriver(devices_[0], own);
    return STATUS_PENDING;
  };
  EXPECT_EQ(SendNew().Status, STATUS_DEVICE_BUSY);
  EXPECT_TRUE(TakeRules().empty());
}

// --- Work items ------------------------------------------------------------------------------

struct WorkLog {
  std::mutex lock;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::vector<KIRQL> irqls;
};

struct LoggedItem {
  WORK_QUEUE_ITEM item;
  WorkLog* log;
  int id;
};

VOID NTAPI LogWork(PVOID parameter) {
  auto* logged = static_cast<LoggedItem*>(parameter);
  std::lock_guard guard(logged->log->lock);
  logged->log->order.push_back(logged->id);
  logged->log->threads.push_back(std::this_thread::get_id());
  logged->log->irqls.push_back(KeGetCurrentIrql());
}

class WorkItemTest : public KernelTest {};

// Two workers serve one queue: items start in order, but one queued while worker 0 is busy
// runs beside it on worker 1, so only the set of items and their threads are fixed.
TEST_F(WorkItemTest, ItemsRunOnceEachAtPassiveOnTheKernelsWorkers) {
  WorkLog log;
  LoggedItem items[3];
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from DISPATCH_LEVEL, as from a DPC
  for (int i = 0; i < 3; ++i) {
    items[i].log = &log;
    items[i].id = i;
    ExInitializeWorkItem(&items[i].item, LogWork, &items[i]);
    ExQueueWorkItem(&items[i].item, i == 1 ? CriticalWorkQueue : DelayedWorkQueue);
  }
  KeLowerIrql(old);
  sim::kernel::WaitForWorkItemsIdle();
  std::lock_guard guard(log.lock);
  std::sort(log.order.begin(), log.order.end());
  EXPECT_EQ(log.order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(log.irqls, (std::vector<KIRQL>{PASSIVE_LEVEL, PASSIVE_LEVEL, PASSIVE_LEVEL}));
  std::sort(log.threads.begin(), log.threads.end());
  log.threads.erase(std::unique(log.threads.begin(), log.threads.end()), log.threads.end());
  EXPECT_LE(log.threads.size(), 2u);
  for (std::thread::id thread : log.threads) EXPECT_NE(thread, std::this_thread::get_id());
}

KSPIN_LOCK g_workLock;

TEST_F(WorkItemTest, RoutinesThatReturnRaisedOrHoldingALockAreReported) {
  WORK_QUEUE_ITEM raised;
  ExInitializeWorkItem(
      &raised, [](PVOID) NTAPI { KfRaiseIrql(DISPATCH_LEVEL); }, nullptr);
  ExQueueWorkItem(&raised, DelayedWorkQueue);
  sim::kernel::WaitForWorkItemsIdle();
  EXPECT_EQ(TakeRules(), (Rules{"IrqlReturn"}));

  KeInitializeSpinLock(&g_workLock);
  WORK_QUEUE_ITEM locked;
  ExInitializeWorkItem(
      &locked, [](PVOID) NTAPI { KfAcquireSpinLock(&g_workLock); }, nullptr);
  ExQueueWorkItem(&locked, DelayedWorkQueue);
  sim::kernel::WaitForWorkItemsIdle();
  EXPECT_EQ(TakeRules(), (Rules{"IrqlReturn", "SpinLock"}));

  // The worker is back at PASSIVE_LEVEL, holding nothing, for the next item.
  WorkLog log;
  LoggedItem next{{}, &log, 7};
  ExInitializeWorkItem(&next.item, LogWork, &next);
  ExQueueWorkItem(&next.item, DelayedWorkQueue);
  sim::kernel::WaitForWorkItemsIdle();
  EXPECT_EQ(log.irqls, (std::vector<KIRQL>{PASSIVE_LEVEL}));
  EXPECT_TRUE(TakeRules().empty());
}

TEST_F(WorkItemTest, QueueingTwiceAndItemsLeftAtShutdownAreReported) {
  static std::atomic<int> started{0};
  static std::atomic<bool> release{false};
  started = 0;
  release = false;
  // Both workers busy, so that the next item stays queued.
  WORK_QUEUE_ITEM blockers[2];
  for (WORK_QUEUE_ITEM& blocker : blockers) {
    ExInitializeWorkItem(
        &blocker,
        [](PVOID) NTAPI {
          started++;
          while (!release) std::this_thread::sleep_for(1ms);
        },
        nullptr);
    ExQueueWorkItem(&blocker, DelayedWorkQueue);
    while (started < &blocker - blockers + 1) std::this_thread::sleep_for(1ms);
  }
  WorkLog log;
  LoggedItem waiting{{}, &log, 1};
  ExInitializeWorkItem(&waiting.item, LogWork, &waiting);
  ExQueueWorkItem(&waiting.item, DelayedWorkQueue);
  ExQueueWorkItem(&waiting.item, DelayedWorkQueue);
  EXPECT_EQ(TakeRules(), (Rules{"WorkItemQueuedTwice"}));
  OnThread([] {
    std::this_thread::sleep_for(20ms);
    release = true;
  });
  sim::kernel::Shutdown();
  EXPECT_EQ(TakeRules(), (Rules{"WorkItemQueuedAtShutdown"}));
  EXPECT_TRUE(log.order.empty()) << "an item left at shutdown never runs";
  sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110);
}

}  // namespace
}  // namespace kernel_test
