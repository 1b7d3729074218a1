// The machine's power manager and the PCI bus driver's answers to power requests: what system
// and device requests carry when they reach the bus, device requests asked for with
// PoRequestPowerIrp from a completion routine, the PoStartNextPowerIrp and PoCallDriver rules,
// the bus failing or delaying power requests, and the WDM 1.0 platform's IRQL rule.
#include <wdm.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sim/machine_kernel.h"
#include "sim/verifier.h"

namespace {

using namespace std::chrono_literals;

// A function driver whose power handling each test picks. PnP requests are passed down as the
// probe driver does; the device's removal detaches and deletes it.
enum class PowerMode {
  PassDown,           // PoStartNextPowerIrp, skip, PoCallDriver
  ForgetStart,        // skip, PoCallDriver, no PoStartNextPowerIrp
  StartTwice,         // PoStartNextPowerIrp twice, then pass down
  PassWithIoCall,     // PoStartNextPowerIrp, skip, IoCallDriver
  DeviceOnCompletion, // system set/query: pass down with a completion routine that asks for
                      // the matching device request and holds the system request until that
                      // has finished; device requests as PassDown
};

struct PowerDriver {
  std::mutex lock;
  PowerMode mode = PowerMode::PassDown;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  // What the completion function of the device request saw.
  std::optional<NTSTATUS> deviceStatus;
  PDEVICE_OBJECT deviceCallbackObject = nullptr;
  UCHAR deviceCallbackMinor = 0xFF;
  POWER_STATE deviceCallbackState{};
  NTSTATUS requestStatus = STATUS_SUCCESS;  // what PoRequestPowerIrp returned
  std::vector<KIRQL> irqlAtDispatch;
};

PowerDriver g_driver;

PowerMode Mode() {
  std::lock_guard guard(g_driver.lock);
  return g_driver.mode;
}

NTSTATUS PassDown(PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(g_driver.lower, irp);
}

VOID NTAPI DeviceRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                             POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  auto* systemIrp = static_cast<PIRP>(Context);
  {
    std::lock_guard guard(g_driver.lock);
    g_driver.deviceStatus = IoStatus->Status;
    g_driver.deviceCallbackObject = DeviceObject;
    g_driver.deviceCallbackMinor = MinorFunction;
    g_driver.deviceCallbackState = PowerState;
  }
  PoStartNextPowerIrp(systemIrp);
  systemIrp->IoStatus.Status = IoStatus->Status;
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemLowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  (void)DeviceObject;
  (void)Context;
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;  // go on completing
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  POWER_STATE device;
  device.DeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking
                           ? PowerDeviceD0
                           : PowerDeviceD3;
  NTSTATUS status = PoRequestPowerIrp(g_driver.pdo, stack->MinorFunction, device,
                                      DeviceRequestDone, Irp, nullptr);
  {
    std::lock_guard guard(g_driver.lock);
    g_driver.requestStatus = status;
  }
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    return STATUS_SUCCESS;  // go on completing
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  {
    std::lock_guard guard(g_driver.lock);
    g_driver.irqlAtDispatch.push_back(KeGetCurrentIrql());
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  // The device's new state is reported as it goes down (this driver's device has no state of
  // its own to bring up after the bus driver).
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
  }
  switch (Mode()) {
    case PowerMode::PassDown:
      return PassDown(Irp);
    case PowerMode::ForgetStart:
      IoSkipCurrentIrpStackLocation(Irp);
      return PoCallDriver(g_driver.lower, Irp);
    case PowerMode::StartTwice:
      PoStartNextPowerIrp(Irp);
      return PassDown(Irp);
    case PowerMode::PassWithIoCall:
      PoStartNextPowerIrp(Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      return IoCallDriver(g_driver.lower, Irp);
    case PowerMode::DeviceOnCompletion:
      break;
  }
  bool system = (stack->MinorFunction == IRP_MN_SET_POWER ||
                 stack->MinorFunction == IRP_MN_QUERY_POWER) &&
                stack->Parameters.Power.Type == SystemPowerState;
  if (!system) return PassDown(Irp);
  IoMarkIrpPending(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SystemLowerDone, nullptr, TRUE, TRUE, TRUE);
  PoCallDriver(g_driver.lower, Irp);
  return STATUS_PENDING;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(g_driver.lower, Irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(g_driver.lower);
    IoDeleteDevice(DeviceObject);
  }
  return status;
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(g_driver.lower, Irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  g_driver.fdo = fdo;
  g_driver.pdo = PhysicalDeviceObject;
  g_driver.lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
  fdo->Flags |= DO_POWER_PAGABLE;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PoSetPowerState(fdo, DevicePowerState, d0);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  (void)RegistryPath;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

std::vector<std::string> TakeRules() {
  std::vector<std::string> rules;
  for (auto& violation : sim::verifier::TakeViolations()) rules.push_back(violation.rule);
  return rules;
}

class MachinePowerTest : public testing::Test {
 protected:
  void Boot(PowerMode mode, sim::MachineOptions options = {}) {
    {
      std::lock_guard guard(g_driver.lock);
      g_driver.mode = mode;
      g_driver.deviceStatus.reset();
      g_driver.deviceCallbackObject = nullptr;
      g_driver.deviceCallbackMinor = 0xFF;
      g_driver.requestStatus = STATUS_SUCCESS;
      g_driver.irqlAtDispatch.clear();
    }
    machine_.emplace(std::move(options));
    ASSERT_EQ(machine_->LoadDriver({u"PowerProbe", reinterpret_cast<void*>(&Entry)}),
              STATUS_SUCCESS);
    ASSERT_EQ(machine_->AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(machine_->StartDevice(), STATUS_SUCCESS);
  }
  void TearDown() override { machine_.reset(); }
  sim::Machine& Machine() { return *machine_; }

  std::optional<sim::Machine> machine_;
};

// --- What the power manager sends ------------------------------------------------------------

TEST_F(MachinePowerTest, SystemSetAndQueryReachTheBusAsThePowerManagerBuildsThem) {
  Boot(PowerMode::PassDown);
  EXPECT_EQ(Machine().QuerySystemPower(sim::kSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(Machine().CurrentSystemPower(), sim::kSystemWorking);
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(Machine().CurrentSystemPower(), sim::kSystemSleeping3);
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(Machine().CurrentSystemPower(), sim::kSystemWorking);

  auto power = Machine().BusPowerRequests();
  ASSERT_EQ(power.size(), 3u);
  EXPECT_EQ(power[0].minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(power[1].minor, IRP_MN_SET_POWER);
  EXPECT_EQ(power[2].minor, IRP_MN_SET_POWER);
  EXPECT_EQ(power[0].state, PowerSystemSleeping3);
  EXPECT_EQ(power[1].state, PowerSystemSleeping3);
  EXPECT_EQ(power[2].state, PowerSystemWorking);
  EXPECT_EQ(power[0].shutdownType, PowerActionSleep);
  EXPECT_EQ(power[1].shutdownType, PowerActionSleep);
  EXPECT_EQ(power[2].shutdownType, PowerActionSleep) << "the resume carries the sleep's action";
  for (const auto& request : power) {
    EXPECT_EQ(request.type, SystemPowerState);
    EXPECT_EQ(request.statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(request.irql, PASSIVE_LEVEL);
  }
  // The order counts PnP and power requests together: the start came first.
  auto pnp = Machine().BusPnpRequests();
  ASSERT_FALSE(pnp.empty());
  EXPECT_LT(pnp.back().order, power[0].order);
  EXPECT_LT(power[0].order, power[1].order);
  EXPECT_LT(power[1].order, power[2].order);
}

TEST_F(MachinePowerTest, OutOfRangeStatesAreRefusedWithoutSending) {
  Boot(PowerMode::PassDown);
  EXPECT_EQ(Machine().SetSystemPower(0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Machine().QuerySystemPower(7), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Machine().SendDevicePower(IRP_MN_SET_POWER, 5), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Machine().BusPowerRequests().empty());
  EXPECT_EQ(Machine().CurrentSystemPower(), sim::kSystemWorking);
}

TEST_F(MachinePowerTest, DeviceRequestsSentDirectlyCarryTheDeviceState) {
  Boot(PowerMode::PassDown);
  EXPECT_EQ(Machine().SendDevicePower(IRP_MN_SET_POWER, sim::kDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Machine().SendDevicePower(IRP_MN_QUERY_POWER, sim::kDeviceD0), STATUS_SUCCESS);
  auto power = Machine().BusPowerRequests();
  ASSERT_EQ(power.size(), 2u);
  EXPECT_EQ(power[0].type, DevicePowerState);
  EXPECT_EQ(power[0].state, PowerDeviceD3);
  EXPECT_EQ(power[1].minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(power[1].state, PowerDeviceD0);
}

// --- PoRequestPowerIrp from a completion routine ---------------------------------------------

TEST_F(MachinePowerTest, SleepAsksForD3AfterTheSystemRequestAndFinishesWithItsStatus) {
  Boot(PowerMode::DeviceOnCompletion);
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, sim::kDevicePowerType,
                              sim::BusAnswer::Fail(STATUS_DEVICE_NOT_READY));
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemSleeping3), STATUS_DEVICE_NOT_READY);
  auto power = Machine().BusPowerRequests();
  ASSERT_EQ(power.size(), 2u);
  EXPECT_EQ(power[0].type, SystemPowerState);
  EXPECT_EQ(power[1].type, DevicePowerState);
  EXPECT_EQ(power[1].state, PowerDeviceD3);
  EXPECT_EQ(power[1].statusOnArrival, STATUS_NOT_SUPPORTED);
  std::lock_guard guard(g_driver.lock);
  ASSERT_TRUE(g_driver.deviceStatus.has_value());
  EXPECT_EQ(*g_driver.deviceStatus, STATUS_DEVICE_NOT_READY);
  // The completion function gets the device object it was asked for, not the stack's top.
  EXPECT_EQ(g_driver.deviceCallbackObject, g_driver.pdo);
  EXPECT_EQ(g_driver.deviceCallbackMinor, IRP_MN_SET_POWER);
  EXPECT_EQ(g_driver.deviceCallbackState.DeviceState, PowerDeviceD3);
}

TEST_F(MachinePowerTest, AQueryAsksForADeviceQuery) {
  Boot(PowerMode::DeviceOnCompletion);
  EXPECT_EQ(Machine().QuerySystemPower(sim::kSystemSleeping3), STATUS_SUCCESS);
  auto power = Machine().BusPowerRequests();
  ASSERT_EQ(power.size(), 2u);
  EXPECT_EQ(power[1].minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(power[1].type, DevicePowerState);
  EXPECT_EQ(power[1].state, PowerDeviceD3);
}

// The bus completes the system request later at DISPATCH_LEVEL, so the device request is asked
// for there. Outside the WDM 1.0 platform PoCallDriver takes it to the power-pageable devices
// at PASSIVE_LEVEL from the worker thread.
TEST_F(MachinePowerTest, ADeviceRequestAskedForAtDispatchLevelReachesPageableDevicesAtPassive) {
  Boot(PowerMode::DeviceOnCompletion);
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, sim::kSystemPowerType,
                              sim::BusAnswer::Later(STATUS_SUCCESS, 10ms));
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemWorking), STATUS_SUCCESS);
  auto power = Machine().BusPowerRequests();
  ASSERT_EQ(power.size(), 2u);
  EXPECT_EQ(power[1].state, PowerDeviceD0);
  EXPECT_EQ(power[1].irql, PASSIVE_LEVEL);
  std::lock_guard guard(g_driver.lock);
  EXPECT_EQ(g_driver.irqlAtDispatch, (std::vector<KIRQL>{PASSIVE_LEVEL, PASSIVE_LEVEL}));
}

TEST_F(MachinePowerTest, AnInjectedPoRequestPowerIrpFailureNeverCallsBack) {
  Boot(PowerMode::DeviceOnCompletion);
  sim::kernel::FailNextPoRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Machine().BusPowerRequests().size(), 1u);
  {
    std::lock_guard guard(g_driver.lock);
    EXPECT_EQ(g_driver.requestStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(g_driver.deviceStatus.has_value());
  }
  // One shot: the next request goes through.
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(Machine().BusPowerRequests().size(), 3u);
}

// --- The bus driver's answers ----------------------------------------------------------------

TEST_F(MachinePowerTest, TheBusFailsOrDelaysPowerRequestsByMinorAndType) {
  Boot(PowerMode::PassDown);
  Machine().SetBusPowerAnswer(IRP_MN_QUERY_POWER, sim::kSystemPowerType,
                              sim::BusAnswer::Fail(STATUS_UNSUCCESSFUL));
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, sim::kDevicePowerType,
                              sim::BusAnswer::Later(STATUS_SUCCESS, 30ms));
  EXPECT_EQ(Machine().QuerySystemPower(sim::kSystemSleeping3), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Machine().SendDevicePower(IRP_MN_QUERY_POWER, sim::kDeviceD3), STATUS_SUCCESS)
      << "a device query is another (minor, type)";
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Machine().SendDevicePower(IRP_MN_SET_POWER, sim::kDeviceD3), STATUS_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 30ms);
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemSleeping3), STATUS_SUCCESS);
}

TEST_F(MachinePowerTest, OtherPowerMinorsKeepTheirStatusUnlessTold) {
  Boot(PowerMode::PassDown);
  EXPECT_EQ(sim::SendPowerRequest(Machine(), IRP_MN_WAIT_WAKE, nullptr), STATUS_NOT_SUPPORTED);
  Machine().SetBusPowerAnswer(IRP_MN_POWER_SEQUENCE, 0, sim::BusAnswer::Succeed());
  EXPECT_EQ(sim::SendPowerRequest(Machine(), IRP_MN_POWER_SEQUENCE, nullptr), STATUS_SUCCESS);
}

// --- Rules -----------------------------------------------------------------------------------

TEST_F(MachinePowerTest, ADriverThatNeverStartsTheNextPowerRequestIsReported) {
  Boot(PowerMode::ForgetStart);
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(TakeRules(), (std::vector<std::string>{"PoStartNextPowerIrp"}));
  // Only set and query are counted.
  EXPECT_EQ(sim::SendPowerRequest(Machine(), IRP_MN_WAIT_WAKE, nullptr), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(TakeRules().empty());
}

TEST_F(MachinePowerTest, ADriverThatStartsTheNextPowerRequestTwiceIsReported) {
  Boot(PowerMode::StartTwice);
  EXPECT_EQ(Machine().SendDevicePower(IRP_MN_QUERY_POWER, sim::kDeviceD3), STATUS_SUCCESS);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "PoStartNextPowerIrp");
  EXPECT_NE(violations[0].message.find("2 times"), std::string::npos) << violations[0].message;
}

TEST_F(MachinePowerTest, PassingAPowerRequestWithIoCallDriverIsReported) {
  Boot(PowerMode::PassWithIoCall);
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(TakeRules(), (std::vector<std::string>{"PoCallDriver"}));
}

// On the WDM 1.0 platform nothing defers the device request asked for at DISPATCH_LEVEL: a
// driver that passes it on there (here from the completion of a system request a lower driver
// completed raised, itself a fault there) reaches the bus above PASSIVE_LEVEL, which the bus
// reports.
TEST_F(MachinePowerTest, Win98BusDriverReportsPowerRequestsAbovePassive) {
  sim::MachineOptions options;
  options.wdm = sim::kernel::WdmSupport::Wdm10Only;
  Boot(PowerMode::DeviceOnCompletion, options);
  Machine().SetBusPowerAnswer(IRP_MN_SET_POWER, sim::kSystemPowerType,
                              sim::BusAnswer::LaterRaised(STATUS_SUCCESS, 10ms));
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemSleeping3), STATUS_SUCCESS);
  auto power = Machine().BusPowerRequests();
  ASSERT_EQ(power.size(), 2u);
  EXPECT_EQ(power[0].irql, PASSIVE_LEVEL);
  EXPECT_EQ(power[1].irql, DISPATCH_LEVEL);
  // The bus's raised completion, this driver's D3 reported raised, the device request at the
  // bus raised and completed there, and the system request this driver completed from it.
  EXPECT_EQ(TakeRules(),
            (std::vector<std::string>{"PowerCompletionIrqlWin98", "IrqlPoSetPowerState",
                                      "PowerIrqlWin98", "PowerCompletionIrqlWin98",
                                      "PowerCompletionIrqlWin98"}));
}

TEST_F(MachinePowerTest, Win98BusDriverAcceptsPowerRequestsAtPassive) {
  sim::MachineOptions options;
  options.wdm = sim::kernel::WdmSupport::Wdm10Only;
  Boot(PowerMode::DeviceOnCompletion, options);
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(Machine().SetSystemPower(sim::kSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(Machine().BusPowerRequests().size(), 4u);
}

}  // namespace
