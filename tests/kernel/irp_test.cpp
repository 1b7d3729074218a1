// The request path: IofCallDriver, the completion walk of IofCompleteRequest and the
// verifier's checks on how drivers pass, pend and complete requests.
#include "kernel_test_support.h"

namespace kernel_test {
namespace {

struct CompletionCall {
  int id;
  PDEVICE_OBJECT device;
  NTSTATUS status;
  bool pendingReturned;
  bool operator==(const CompletionCall&) const = default;
};
using Log = std::vector<CompletionCall>;

// Context of RecordCompletion: logs each call and returns `result`. A routine that lets the
// walk go on propagates the pending mark, as drivers must.
struct Probe {
  int id;
  std::vector<CompletionCall>* log;
  NTSTATUS result = STATUS_SUCCESS;
  PKEVENT signal = nullptr;
};

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* probe = static_cast<Probe*>(context);
  probe->log->push_back({probe->id, device, irp->IoStatus.Status, irp->PendingReturned != FALSE});
  NTSTATUS result = probe->result;
  if (result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned && device != nullptr) {
    IoMarkIrpPending(irp);
  }
  // Last: once signalled, the waiter owns the request and the probe may be gone.
  if (probe->signal != nullptr) KeSetEvent(probe->signal, IO_NO_INCREMENT, FALSE);
  return result;
}

NTSTATUS ForwardWithRoutine(PDEVICE_OBJECT lower, PIRP irp, Probe* probe, bool onSuccess = true,
                            bool onError = true, bool onCancel = true) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, RecordCompletion, probe, onSuccess, onError, onCancel);
  return IoCallDriver(lower, irp);
}

class IrpTest : public StackTest {
 protected:
  // Sends a new request with the originator's routine on the top location.
  IO_STATUS_BLOCK SendWithRoutine(Probe* originator) {
    PIRP irp = NewIrp();
    IoSetCompletionRoutine(irp, RecordCompletion, originator, TRUE, TRUE, TRUE);
    IO_STATUS_BLOCK result = sim::io::CallAndWait(Top(), irp);
    return result;
  }
};

TEST_F(IrpTest, CompletionRunsRoutinesBottomUpWithTheirOwnersDevice) {
  Build(3);
  Log log;
  Probe middle{1, &log}, top{2, &log}, originator{3, &log};
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 5); };
  dispatch_[1] = [&](PDEVICE_OBJECT, PIRP irp) {
    return ForwardWithRoutine(devices_[0], irp, &middle);
  };
  dispatch_[2] = [&](PDEVICE_OBJECT, PIRP irp) {
    return ForwardWithRoutine(devices_[1], irp, &top);
  };
  IO_STATUS_BLOCK result = SendWithRoutine(&originator);
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.Information, 5u);
  // The originator's location has no device.
  EXPECT_EQ(log, (Log{{1, devices_[1], STATUS_SUCCESS, false},
                      {2, devices_[2], STATUS_SUCCESS, false},
                      {3, nullptr, STATUS_SUCCESS, false}}));
}

struct InvokeCase {
  const char* name;
  NTSTATUS status;
  bool cancel, onSuccess, onError, onCancel, invoked;
};

class CompletionInvokeTest : public IrpTest, public testing::WithParamInterface<InvokeCase> {};

TEST_P(CompletionInvokeTest, RoutineRunsOnlyWhenItsFlagMatches) {
  const InvokeCase& c = GetParam();
  Build(2);
  Log log;
  Probe probe{1, &log};
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    irp->Cancel = c.cancel;
    return Complete(irp, c.status);
  };
  dispatch_[1] = [&](PDEVICE_OBJECT, PIRP irp) {
    return ForwardWithRoutine(devices_[0], irp, &probe, c.onSuccess, c.onError, c.onCancel);
  };
  EXPECT_EQ(SendNew().Status, c.status);
  EXPECT_EQ(log.size(), c.invoked ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, CompletionInvokeTest,
    testing::Values(
        InvokeCase{"Success", STATUS_SUCCESS, false, true, false, false, true},
        InvokeCase{"SuccessNotOnErrorOrCancel", STATUS_SUCCESS, false, false, true, true, false},
        InvokeCase{"Error", STATUS_UNSUCCESSFUL, false, false, true, false, true},
        InvokeCase{"ErrorNotOnSuccess", STATUS_UNSUCCESSFUL, false, true, false, false, false},
        InvokeCase{"Cancel", STATUS_CANCELLED, true, false, false, true, true},
        InvokeCase{"CancelNotOnSuccess", STATUS_CANCELLED, true, true, false, false, false}),
    [](const testing::TestParamInfo<InvokeCase>& info) { return std::string(info.param.name); });

// The synchronous-forward pattern: the routine keeps the request, the owner waits for it and
// completes it again. Parameter: the lower driver pends and completes from another thread.
class MoreProcessingTest : public IrpTest, public testing::WithParamInterface<bool> {};

TEST_P(MoreProcessingTest, StopsTheWalkUntilTheOwnerCompletesAgain) {
  const bool asyncLower = GetParam();
  Build(2);
  Log log;
  KEVENT lowerDone;
  KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
  Probe keep{1, &log, STATUS_MORE_PROCESSING_REQUIRED, &lowerDone}, originator{2, &log};
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (!asyncLower) return Complete(irp, STATUS_SUCCESS, 1);
    IoMarkIrpPending(irp);
    CompleteLater(irp, STATUS_SUCCESS, 1);
    return STATUS_PENDING;
  };
  dispatch_[1] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (ForwardWithRoutine(devices_[0], irp, &keep) == STATUS_PENDING) {
      KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
    }
    log.push_back({0, nullptr, irp->IoStatus.Status, false});  // the owner has it back
    return Complete(irp, STATUS_UNSUCCESSFUL, 9);
  };

  IO_STATUS_BLOCK result = SendWithRoutine(&originator);
  EXPECT_EQ(result.Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.Information, 9u);
  EXPECT_EQ(log, (Log{{1, devices_[1], STATUS_SUCCESS, asyncLower},
                      {0, nullptr, STATUS_SUCCESS, false},
                      {2, nullptr, STATUS_UNSUCCESSFUL, false}}));
}

INSTANTIATE_TEST_SUITE_P(LowerDriver, MoreProcessingTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Pends" : "CompletesAtOnce");
                         });

// Each layer returns the lower's STATUS_PENDING, before the completion on another thread has
// marked its location (20 ms delay) or racing with it (no delay).
TEST_F(IrpTest, PendingFromBelowReachesTheOriginatorThroughEveryKindOfLayer) {
  Build(4);
  Log log;
  Probe propagate{1, &log}, originator{2, &log};
  int delayMs = 0;
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    CompleteLater(irp, STATUS_SUCCESS, 3, delayMs);
    return STATUS_PENDING;
  };
  dispatch_[1] = PassDown(1);
  dispatch_[2] = [&](PDEVICE_OBJECT, PIRP irp) {  // copies without a routine: the walk marks it
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(devices_[1], irp);
  };
  dispatch_[3] = [&](PDEVICE_OBJECT, PIRP irp) {
    return ForwardWithRoutine(devices_[2], irp, &propagate);
  };
  for (int delay : {20, 0, 0, 0}) {
    delayMs = delay;
    log.clear();
    EXPECT_EQ(SendWithRoutine(&originator).Information, 3u);
    EXPECT_EQ(log, (Log{{1, devices_[3], STATUS_SUCCESS, true},
                        {2, nullptr, STATUS_SUCCESS, true}}));
    JoinThreads();
  }
}

TEST_F(IrpTest, StackMistakesInForwardingAreReported) {
  Build(2);
  Log log;
  Probe originator{1, &log};
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  dispatch_[1] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (irp->StackCount == 1) return Complete(irp, IoCallDriver(devices_[0], irp));
    *IoGetNextIrpStackLocation(irp) = *IoGetCurrentIrpStackLocation(irp);  // routine and all
    return IoCallDriver(devices_[0], irp);
  };
  SendWithRoutine(&originator);
  EXPECT_EQ(TakeRules(), Rules{"CopiedCompletionRoutine"});
  EXPECT_EQ(log.size(), 2u);  // so the originator's routine runs twice

  PIRP irp = IoAllocateIrp(1, FALSE);  // one location short for this stack
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  EXPECT_EQ(sim::io::CallAndWait(Top(), irp).Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TakeRules(), Rules{"NoMoreIrpStackLocations"});
}

// A single driver that breaks one rule with the request it is given.
struct Misbehaviour {
  const char* name;
  NTSTATUS (*dispatch)(PIRP irp);
  Rules rules;
  void (*cleanup)() = nullptr;
};

KMUTEX g_forgottenMutex;
KSPIN_LOCK g_forgottenLock = 0;

void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

// clang-format off
const Misbehaviour kMisbehaviours[] = {
    {"CompletesTwice", [](PIRP irp) {  // the second call only: the request is gone
       Complete(irp, STATUS_SUCCESS); IoCompleteRequest(irp, IO_NO_INCREMENT); return STATUS_SUCCESS; },
     {"DoubleCompletion"}},
    {"CompletesWithStatusPending", [](PIRP irp) {
       IoMarkIrpPending(irp); CompleteLater(irp, STATUS_PENDING, 0); return STATUS_PENDING; },
     {"CompleteWithInvalidStatus"}},
    {"CompletesWithCancelRoutineSet", [](PIRP irp) {
       irp->CancelRoutine = IgnoreCancel; return Complete(irp, STATUS_SUCCESS); },
     {"CompleteWithCancelRoutine"}},
    {"PendsWithoutMarking", [](PIRP irp) {
       CompleteLater(irp, STATUS_SUCCESS, 0); return STATUS_PENDING; },
     {"MarkIrpPending"}},
    {"MarksButDoesNotPend", [](PIRP irp) {
       IoMarkIrpPending(irp); return Complete(irp, STATUS_SUCCESS); },
     {"MarkIrpPending2"}},
    {"PendsAfterCompleting", [](PIRP irp) {
       IoMarkIrpPending(irp); Complete(irp, STATUS_SUCCESS); return STATUS_PENDING; },
     {"PendedCompletedRequest"}},
    {"ReturnsAnotherStatusThanItCompletedWith", [](PIRP irp) {
       Complete(irp, STATUS_SUCCESS); return STATUS_UNSUCCESSFUL; },
     {"StatusMismatch"}},
    {"ReturnsAtDispatchLevel", [](PIRP irp) {
       Complete(irp, STATUS_SUCCESS); KfRaiseIrql(DISPATCH_LEVEL); return STATUS_SUCCESS; },
     {"IrqlReturn"}},
    {"ReturnsHoldingASpinLock", [](PIRP irp) {
       Complete(irp, STATUS_SUCCESS); KfAcquireSpinLock(&g_forgottenLock); return STATUS_SUCCESS; },
     {"IrqlReturn", "SpinLock", "SpinLock"},  // the caller then waits holding it
     [] { KfReleaseSpinLock(&g_forgottenLock, KfRaiseIrql(DISPATCH_LEVEL)); }},
    {"ReturnsOwningAMutex", [](PIRP irp) {
       KeInitializeMutex(&g_forgottenMutex, 0);
       KeWaitForSingleObject(&g_forgottenMutex, Executive, KernelMode, FALSE, nullptr);
       return Complete(irp, STATUS_SUCCESS); },
     {"MutexHeldOnReturn"},
     [] { KeReleaseMutex(&g_forgottenMutex, FALSE); }},
};
// clang-format on

#if defined(__SANITIZE_ADDRESS__)
// A request is gone once its completion has run past the top: a driver reading it after
// completing it, still inside its dispatch routine, is an AddressSanitizer report.
TEST_F(IrpTest, ADriverTouchingARequestAfterCompletingItIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Build(1);
        dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) {
          Complete(irp, STATUS_SUCCESS);
          return irp->IoStatus.Status;
        };
        SendNew();
      },
      "use-after-poison");
}
#endif

class MisbehavingDriverTest : public StackTest, public testing::WithParamInterface<Misbehaviour> {};

TEST_P(MisbehavingDriverTest, IsReportedByRule) {
  Build(1);
  auto dispatch = GetParam().dispatch;
  dispatch_[0] = [dispatch](PDEVICE_OBJECT, PIRP irp) { return dispatch(irp); };
  SendNew();
  JoinThreads();
  if (GetParam().cleanup != nullptr) GetParam().cleanup();
  EXPECT_EQ(TakeRules(), GetParam().rules);
}

INSTANTIATE_TEST_SUITE_P(ByRule, MisbehavingDriverTest, testing::ValuesIn(kMisbehaviours),
                         [](const testing::TestParamInfo<Misbehaviour>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kernel_test
