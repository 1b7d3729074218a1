// System and device power requests through the power manager: the courses of the power
// machine, the order in which the requests reach the bus driver, failures, Win98Mode, and the
// rendezvous across a sleep.
#include <chrono>
#include <cstdio>
#include <optional>

#include "driver_test.h"

#include "power/power.h"
#include "sim/io.h"
#include "sim/kernel.h"

namespace {

using sim::kDeviceD0;
using sim::kDeviceD3;
using sim::kDevicePowerType;
using sim::kSystemPowerType;
using sim::kSystemSleeping3;
using sim::kSystemWorking;

class PowerTest : public DriverTest {
 protected:
  void Boot(sim::kernel::WdmSupport wdm = sim::kernel::WdmSupport::Wdm110) {
    BootWithDevice(wdm);
    ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (waiter_ != 0) sim::nt::Close(waiter_);
    if (event_ != 0) sim::nt::Close(event_);
    DriverTest::TearDown();
    if (savedDeadlockLimit_) sim::kernel::SetDeadlockLimit(*savedDeadlockLimit_);
  }
  // The power requests the bus driver has seen since the last call, as (type, state) pairs.
  std::vector<std::pair<int, int>> BusPower() {
    std::vector<std::pair<int, int>> seen;
    auto all = Machine().BusPowerRequests();
    for (size_t i = seen_; i < all.size(); ++i) seen.emplace_back(all[i].type, all[i].state);
    seen_ = all.size();
    return seen;
  }
  // Parks a rendezvous wait on a handle of its own; its status block fills when it completes.
  NTSTATUS ParkWait() {
    sim::nt::CreateFile(u"\\??\\Tarvik", false, &waiter_);
    sim::nt::CreateEvent(true, false, &event_);
    return sim::nt::DeviceIoControlFile(waiter_, event_, &wait_, IOCTL_DAQ_WAIT_EVENT, nullptr, 0,
                                        &value_, 4);
  }
  NTSTATUS WaitOutcome() {
    sim::nt::WaitForSingleObject(event_, 5000);
    return wait_.status;
  }

  // The one broken rule a raised lower driver leaves on 98/Me: its own completion there.
  void ExpectOnlyTheBusCompletedRaised() {
    char pdo[32];
    std::snprintf(pdo, sizeof pdo, "%p", static_cast<void*>(sim::PdoOf(Machine())));
    auto violations = sim::verifier::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "PowerCompletionIrqlWin98");
    EXPECT_NE(violations[0].message.find(pdo), std::string::npos) << violations[0].message;
  }

  size_t seen_ = 0;
  std::optional<std::chrono::milliseconds> savedDeadlockLimit_;
  sim::nt::Handle waiter_ = 0, event_ = 0;
  sim::nt::IoStatus wait_{};
  ULONG value_ = 0;
};

TEST_F(PowerTest, SleepAsksForD3FirstAndResumeHoldsTheSystemRequestUntilD0) {
  Boot();
  ASSERT_EQ(ParkWait(), STATUS_PENDING);
  BusPower();
  ASSERT_EQ(Machine().SetSystemPower(kSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(BusPower(), (std::vector<std::pair<int, int>>{{kDevicePowerType, kDeviceD3},
                                                          {kSystemPowerType, kSystemSleeping3}}));
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD3);
  EXPECT_EQ(sim::kernel::ReportedDevicePowerState(Fdo()), PowerDeviceD3);  // told the system
  EXPECT_EQ(Extension()->SystemPower, PowerSystemSleeping3);
  EXPECT_EQ(WaitOutcome(), STATUS_CANCELLED);  // the parked wait was cancelled
  EXPECT_EQ(Extension()->PendingRejectStatus, STATUS_DEVICE_POWERED_OFF);

  ASSERT_EQ(Machine().SetSystemPower(kSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(BusPower(), (std::vector<std::pair<int, int>>{{kSystemPowerType, kSystemWorking},
                                                          {kDevicePowerType, kDeviceD0}}));
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD0);
  EXPECT_EQ(sim::kernel::ReportedDevicePowerState(Fdo()), PowerDeviceD0);
  EXPECT_EQ(Extension()->SystemPower, PowerSystemWorking);
  EXPECT_EQ(Extension()->PendingRejectStatus, 0);
  EXPECT_EQ(RemoveLockCount(), 2);  // the lock's own and the waiter's handle
}

TEST_F(PowerTest, SleepingStatesMappedAboveD3AskForD3) {
  Boot();
  Extension()->DeviceCaps.DeviceState[PowerSystemSleeping3] = PowerDeviceD1;
  BusPower();
  ASSERT_EQ(Machine().SetSystemPower(kSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(BusPower().front(), (std::pair<int, int>{kDevicePowerType, kDeviceD3}));
}

TEST_F(PowerTest, AQueryChangesNothing) {
  Boot();
  ASSERT_EQ(ParkWait(), STATUS_PENDING);
  BusPower();
  ASSERT_EQ(Machine().QuerySystemPower(kSystemSleeping3), STATUS_SUCCESS);
  auto seen = Machine().BusPowerRequests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(seen[0].type, kDevicePowerType);
  EXPECT_EQ(seen[1].type, kSystemPowerType);
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD0);
  EXPECT_EQ(Extension()->SystemPower, PowerSystemWorking);
  EXPECT_EQ(Extension()->PendingRejectStatus, 0);
  EXPECT_EQ(sim::nt::WaitForSingleObject(event_, 20), STATUS_TIMEOUT);  // still parked
}

// A set-power to working while working asks for D0 while in D0: no change, so waits are not
// refused and a parked one stays parked.
TEST_F(PowerTest, AD0RequestWhileInD0RefusesNothing) {
  Boot();
  ASSERT_EQ(ParkWait(), STATUS_PENDING);
  BusPower();
  ASSERT_EQ(Machine().SetSystemPower(kSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(BusPower(), (std::vector<std::pair<int, int>>{{kDevicePowerType, kDeviceD0},
                                                          {kSystemPowerType, kSystemWorking}}));
  EXPECT_EQ(Extension()->PendingRejectStatus, 0);
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD0);
  EXPECT_EQ(sim::nt::WaitForSingleObject(event_, 20), STATUS_TIMEOUT);
  ASSERT_EQ(Machine().SendDevicePower(IRP_MN_SET_POWER, kDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->PendingRejectStatus, 0);
}

TEST_F(PowerTest, FailuresNeverFailASystemSetPower) {
  Boot();
  // The device request fails: the sleep request still goes down and completes with the lower
  // drivers' status; the device, never powered down, stays in D0 and accepts waits.
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, kDevicePowerType,
                              sim::BusAnswer::Fail(STATUS_UNSUCCESSFUL));
  BusPower();
  EXPECT_EQ(Machine().SetSystemPower(kSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(BusPower(), (std::vector<std::pair<int, int>>{{kDevicePowerType, kDeviceD3},
                                                          {kSystemPowerType, kSystemSleeping3}}));
  EXPECT_EQ(Extension()->SystemPower, PowerSystemSleeping3);
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD0);
  EXPECT_EQ(Extension()->PendingRejectStatus, 0);
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, kDevicePowerType, sim::BusAnswer::Succeed());
  // PoRequestPowerIrp fails: likewise passed down.
  sim::kernel::FailNextPoRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Machine().SetSystemPower(kSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(BusPower(), (std::vector<std::pair<int, int>>{{kSystemPowerType, kSystemSleeping3}}));
  // Asleep now; the device's resume fails: the resume completes with the lower drivers'
  // status, and the device is recorded as still in D3.
  ASSERT_EQ(Machine().SetSystemPower(kSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(Extension()->DevicePower, PowerDeviceD3);
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, kDevicePowerType,
                              sim::BusAnswer::Fail(STATUS_UNSUCCESSFUL));
  BusPower();
  EXPECT_EQ(Machine().SetSystemPower(kSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(BusPower(), (std::vector<std::pair<int, int>>{{kSystemPowerType, kSystemWorking},
                                                          {kDevicePowerType, kDeviceD0}}));
  EXPECT_EQ(Extension()->SystemPower, PowerSystemWorking);
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD3);
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, kDevicePowerType, sim::BusAnswer::Succeed());
  ASSERT_EQ(Machine().SetSystemPower(kSystemSleeping3), STATUS_SUCCESS);
  // The lower drivers fail the resume itself: that status, no device request.
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, kSystemPowerType,
                              sim::BusAnswer::Fail(STATUS_UNSUCCESSFUL));
  BusPower();
  EXPECT_EQ(Machine().SetSystemPower(kSystemWorking), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(BusPower(), (std::vector<std::pair<int, int>>{{kSystemPowerType, kSystemWorking}}));
  EXPECT_EQ(Extension()->SystemPower, PowerSystemSleeping3);
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD3);
  EXPECT_EQ(RemoveLockCount(), 1);
}

// A lower driver that completes power requests at DISPATCH_LEVEL breaks the 98/Me rule; the
// driver must still not call down or complete there itself.
TEST_F(PowerTest, Win98ResumeCompletedAtDispatchLevelAsksForD0AtPassiveLevel) {
  Boot(sim::kernel::WdmSupport::Wdm10Only);
  ASSERT_EQ(Machine().SetSystemPower(kSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(Extension()->DevicePower, PowerDeviceD3);
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, kSystemPowerType, sim::BusAnswer::LaterRaised());
  BusPower();
  ASSERT_EQ(Machine().SetSystemPower(kSystemWorking), STATUS_SUCCESS);
  sim::kernel::WaitForWorkItemsIdle();
  auto seen = Machine().BusPowerRequests();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().type, kDevicePowerType);
  EXPECT_EQ(seen.back().irql, PASSIVE_LEVEL);
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD0);
  ExpectOnlyTheBusCompletedRaised();
}

// There the device request of a resume completed raised is asked for from a worker thread; when
// PoRequestPowerIrp refuses it there, the resume must still complete (with the lower drivers'
// status), the device left in D3. A course that lost the refusal would hold the system request
// for ever: the deadlock limit is cut so that such a fault fails here in seconds.
TEST_F(PowerTest, Win98ResumeWhoseDeferredDeviceRequestIsRefusedStillCompletes) {
  Boot(sim::kernel::WdmSupport::Wdm10Only);
  ASSERT_EQ(Machine().SetSystemPower(kSystemSleeping3), STATUS_SUCCESS);
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, kSystemPowerType, sim::BusAnswer::LaterRaised());
  BusPower();
  savedDeadlockLimit_ = sim::kernel::DeadlockLimit();
  sim::kernel::SetDeadlockLimit(std::chrono::seconds(5));
  sim::kernel::FailNextPoRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Machine().SetSystemPower(kSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(BusPower(), (std::vector<std::pair<int, int>>{{kSystemPowerType, kSystemWorking}}));
  EXPECT_EQ(Extension()->SystemPower, PowerSystemWorking);
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD3);
  // The worker completed the request and then gives back the course's remove lock.
  sim::kernel::WaitForWorkItemsIdle();
  EXPECT_EQ(RemoveLockCount(), 1);
  ExpectOnlyTheBusCompletedRaised();
}

TEST_F(PowerTest, Win98SkipsTheDeviceRequestItDoesNotNeedAndCallsDownAtPassiveLevel) {
  Boot(sim::kernel::WdmSupport::Wdm10Only);
  BusPower();
  ASSERT_EQ(Machine().SetSystemPower(kSystemWorking), STATUS_SUCCESS);  // D0 already: none
  EXPECT_EQ(BusPower(), (std::vector<std::pair<int, int>>{{kSystemPowerType, kSystemWorking}}));
  // The device request completes later at DISPATCH_LEVEL, from where the sleep request must
  // go down: it is deferred to a worker thread and reaches the bus at PASSIVE_LEVEL.
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, kDevicePowerType, sim::BusAnswer::LaterRaised());
  ASSERT_EQ(Machine().SetSystemPower(kSystemSleeping3), STATUS_SUCCESS);
  auto seen = Machine().BusPowerRequests();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().type, kSystemPowerType);
  EXPECT_EQ(seen.back().irql, PASSIVE_LEVEL);
  ExpectOnlyTheBusCompletedRaised();
}

TEST_F(PowerTest, OtherPowerRequestsArePassedDown) {
  Boot();
  EXPECT_EQ(Machine().SendDevicePower(IRP_MN_WAIT_WAKE, kDeviceD0), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Machine().BusPowerRequests().back().minor, IRP_MN_WAIT_WAKE);
  EXPECT_EQ(RemoveLockCount(), 1);
}

// When removal begins between the dispatch's reference and the machine's own, the machine
// refuses the request: the dispatch's reference ends when it returns, and removal could then
// free the extension under a course still running.
NTSTATUS NTAPI PowerWithoutDispatchReference(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* context = static_cast<POWER_CONTEXT*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_CONTEXT), TARVIK_POOL_TAG));
  RtlZeroMemory(context, sizeof(POWER_CONTEXT));
  context->Extension = ExtensionOf(DeviceObject);
  context->Irp = Irp;
  return RunPowerMachine(context, EvNewRequest);
}

TEST_F(PowerTest, RequestsDuringRemovalAreRefusedAndTheNextMayStart) {
  Boot();
  BusPower();
  Extension()->RemoveLock.Removing = TRUE;  // removal has begun
  // Through the real dispatch routine (the verifier counts PoStartNextPowerIrp), then with
  // the dispatch's reference taken but the machine's refused.
  EXPECT_EQ(Machine().SendDevicePower(IRP_MN_SET_POWER, kDeviceD3), STATUS_DELETE_PENDING);
  PDRIVER_OBJECT driver = sim::DriverOf(Machine());
  PDRIVER_DISPATCH dispatch = driver->MajorFunction[IRP_MJ_POWER];
  driver->MajorFunction[IRP_MJ_POWER] = PowerWithoutDispatchReference;
  EXPECT_EQ(Machine().SendDevicePower(IRP_MN_SET_POWER, kDeviceD3), STATUS_DELETE_PENDING);
  driver->MajorFunction[IRP_MJ_POWER] = dispatch;
  Extension()->RemoveLock.Removing = FALSE;
  EXPECT_TRUE(BusPower().empty());
  EXPECT_EQ(Extension()->DevicePower, PowerDeviceD0);
  EXPECT_EQ(RemoveLockCount(), 1);
}

}  // namespace
