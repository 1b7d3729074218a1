// The verifier's catalogue: every rule is catalogued, an uncatalogued name is itself a
// violation, and every catalogued rule is broken on purpose by some test. The tests here break
// the rules that no other suite breaks.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel_test_support.h"
#include "sim/nt_api.h"

namespace kernel_test {
namespace {

TEST(RuleCatalogueTest, NamesAreUniqueAndDescribedAndUnknownNamesAreReported) {
  std::set<std::string_view> names;
  for (const auto& rule : sim::verifier::Catalogue()) {
    EXPECT_TRUE(names.insert(rule.name).second) << rule.name;
    EXPECT_FALSE(rule.catches.empty()) << rule.name;
    EXPECT_FALSE(rule.platformCheck.empty()) << rule.name;
    EXPECT_EQ(sim::verifier::FindRule(rule.name), &rule);
  }
  EXPECT_EQ(sim::verifier::FindRule("NoSuchRule"), nullptr);

  sim::verifier::Report("NoSuchRule", "a check with a misspelt name");
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "UncataloguedRule");
  EXPECT_NE(violations[0].message.find("NoSuchRule"), std::string::npos);
  EXPECT_NE(violations[0].message.find("misspelt"), std::string::npos);
}

// Every catalogued rule is named, as a quoted string, by a test that expects it; the names are
// read from the test sources, so deleting the last test of a rule fails here.
TEST(RuleCatalogueTest, EveryRuleIsBrokenOnPurposeBySomeTest) {
  std::string tests;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(TARVIK_TESTS_DIR)) {
    auto extension = entry.path().extension();
    if (extension != ".cpp" && extension != ".h") continue;
    if (entry.path().filename() == "verifier_listener.cpp") continue;
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    tests += text.str();
  }
  for (const auto& rule : sim::verifier::Catalogue()) {
    std::string quoted = "\"" + std::string(rule.name) + "\"";
    bool expected = false;
    for (size_t at = tests.find(quoted); at != std::string::npos && !expected;
         at = tests.find(quoted, at + 1)) {
      expected = at < 7 || tests.compare(at - 7, 7, "Report(") != 0;  // not a check's own report
    }
    EXPECT_TRUE(expected) << "no test breaks the rule " << rule.name;
  }
}

using RuleTest = StackTest;

// Shuts the kernel down (so its shutdown checks run) and boots it again for the fixture.
Rules Reboot() {
  sim::kernel::Shutdown();
  sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110);
  return TakeRules();
}

NTSTATUS NTAPI StopCompletion(PDEVICE_OBJECT, PIRP, PVOID) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(RuleTest, RequestsThatAreNotLiveOrNotOwnedAreReported) {
  Build(2);
  std::vector<char> memory(1024);  // zeroed: no live request's header before it
  auto* bogus = reinterpret_cast<PIRP>(memory.data() + 512);
  IoCompleteRequest(bogus, IO_NO_INCREMENT);
  EXPECT_EQ(IoCallDriver(Top(), bogus), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TakeRules(), (Rules{"BadIrp", "BadIrp"}));

  IoFreeIrp(bogus);
  EXPECT_EQ(TakeRules(), Rules{"BadIrpFree"});

  // The request's memory is gone at its completion, so the forward is the only touch (the
  // verifier keeps its own record of the request until the dispatch returns).
  dispatch_[1] = [this](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    IoCallDriver(devices_[0], irp);
    return STATUS_SUCCESS;
  };
  SendNew();
  EXPECT_EQ(TakeRules(), Rules{"CompletedRequestForwarded"});

  PIRP held = nullptr;
  dispatch_[0] = [&held](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  dispatch_[1] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoCallDriver(devices_[0], irp);
    return Complete(irp, STATUS_SUCCESS);  // the lower driver still owns it
  };
  SendNew();
  // Its own status then also contradicts the lower driver's pending mark.
  EXPECT_EQ(TakeRules(), (Rules{"RequestOwnedByLowerDriver", "MarkIrpPending2"}));

  dispatch_[1] = [](PDEVICE_OBJECT, PIRP irp) {
    CompleteLater(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;  // neither completed nor pending
  };
  SendNew();
  JoinThreads();
  EXPECT_EQ(TakeRules(), Rules{"ReturnWithoutCompletion"});

  EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr);
  EXPECT_EQ(TakeRules(), Rules{"IrpStackSize"});
}

TEST_F(RuleTest, ADriverBuiltRequestWithoutAStopRunsPastItsTop) {
  Build(1);
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  PIRP irp = NewIrp();
  IoCallDriver(Top(), irp);
  EXPECT_EQ(TakeRules(), Rules{"CompletionPastTop"});
  IoFreeIrp(irp);
}

TEST_F(RuleTest, CallingAndCompletingAboveDispatchLevelAreReported) {
  Build(1);
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old = KfRaiseIrql(16);
    Complete(irp, STATUS_SUCCESS);
    KeLowerIrql(old);
    return STATUS_SUCCESS;
  };
  SendNew();
  // The I/O manager's completion then signals the caller's event at that IRQL too.
  EXPECT_EQ(TakeRules(), (Rules{"IrqlIoCompleteRequest", "IrqlTooHigh"}));

  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  PIRP irp = NewIrp();
  IoSetCompletionRoutine(irp, StopCompletion, nullptr, TRUE, TRUE, TRUE);
  KIRQL old = KfRaiseIrql(16);
  IoCallDriver(Top(), irp);
  KeLowerIrql(old);
  IoFreeIrp(irp);
  Rules rules = TakeRules();
  ASSERT_FALSE(rules.empty());
  EXPECT_EQ(rules[0], "IrqlIoCallDriver");
}

TEST_F(RuleTest, IrqlMovesTheWrongWayAndPoolFreedTooHighAreReported) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  KfRaiseIrql(PASSIVE_LEVEL);
  EXPECT_EQ(TakeRules(), Rules{"IrqlNotRaised"});
  KeLowerIrql(old);
  KeLowerIrql(DISPATCH_LEVEL);
  EXPECT_EQ(TakeRules(), Rules{"IrqlNotLowered"});
  KeLowerIrql(PASSIVE_LEVEL);

  void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  old = KfRaiseIrql(16);
  ExFreePoolWithTag(p, kTag);
  KeLowerIrql(old);
  Rules rules = TakeRules();
  EXPECT_EQ(rules, Rules{"IrqlExFreePool"});
  if (sim::kernel::PoolAllocationSize(p) != 0) ExFreePoolWithTag(p, kTag);
}

TEST_F(RuleTest, DeviceMisuseIsReported) {
  Build(1, L"\\Device\\RuleProbe");
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  IoDetachDevice(devices_[0]);
  EXPECT_EQ(TakeRules(), Rules{"DetachNotAttached"});

  sim::nt::Handle file = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\Device\\RuleProbe", true, &file), 0);  // keeps it alive
  IoDeleteDevice(devices_[0]);
  IoDeleteDevice(devices_[0]);
  devices_.clear();
  EXPECT_EQ(TakeRules(), Rules{"DeleteDeviceTwice"});
  sim::nt::Close(file);

  PDEVICE_OBJECT device = CreateDevice();
  PKINTERRUPT interrupt = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&interrupt, [](PKINTERRUPT, PVOID) NTAPI -> BOOLEAN { return FALSE; },
                               device->DeviceExtension, nullptr, 0x50, 16, 16, LevelSensitive,
                               TRUE, 1, FALSE),
            STATUS_SUCCESS);
  IoDeleteDevice(device);
  EXPECT_EQ(TakeRules(), Rules{"DeleteDeviceInterruptConnected"});
  IoDisconnectInterrupt(interrupt);
  IoDisconnectInterrupt(interrupt);
  EXPECT_EQ(TakeRules(), Rules{"DisconnectNotConnected"});

  MmMapLockedPages(nullptr, KernelMode);
  EXPECT_EQ(TakeRules(), Rules{"NullMdl"});
}

// DPC routines that hold every DPC processor until released, so that DPCs queued behind them
// stay queued: more of them than the kernel has DPC threads.
class HeldDpcs {
 public:
  HeldDpcs() {
    for (auto& dpc : dpcs_) {
      KeInitializeDpc(&dpc, Spin, &release_);
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
  }
  ~HeldDpcs() { Release(); }
  void Release() { release_ = true; }

 private:
  static void NTAPI Spin(PKDPC, PVOID context, PVOID, PVOID) {
    while (!static_cast<std::atomic<bool>*>(context)->load()) std::this_thread::yield();
  }
  std::atomic<bool> release_{false};
  KDPC dpcs_[8];
};

void NTAPI NoDpcWork(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(RuleTest, DeferredWorkLeftQueuedOrQueuedWithoutAKernelIsReported) {
  PDEVICE_OBJECT device = nullptr;
  Build(1);
  device = devices_[0];
  {
    HeldDpcs held;
    KeInitializeDpc(&device->Dpc, NoDpcWork, nullptr);
    ASSERT_TRUE(KeInsertQueueDpc(&device->Dpc, nullptr, nullptr));
    IoDeleteDevice(device);
    devices_.clear();
    EXPECT_EQ(TakeRules(), Rules{"DeleteDeviceDpcQueued"});
    held.Release();
    sim::kernel::WaitForDpcsIdle();
  }

  KDPC late;
  KeInitializeDpc(&late, NoDpcWork, nullptr);
  std::thread release;
  {
    HeldDpcs held;
    KeInsertQueueDpc(&late, nullptr, nullptr);
    release = std::thread([&held] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      held.Release();
    });
    sim::kernel::Shutdown();
    release.join();
  }
  Rules rules = TakeRules();
  ASSERT_FALSE(rules.empty());
  for (const auto& rule : rules) EXPECT_EQ(rule, "DpcQueuedAtShutdown");

  EXPECT_FALSE(KeInsertQueueDpc(&late, nullptr, nullptr));
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, [](PVOID) NTAPI {}, nullptr);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  EXPECT_EQ(TakeRules(), (Rules{"DpcNoKernel", "WorkItemNoKernel"}));
  sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110);

  ExInitializeWorkItem(&item, nullptr, nullptr);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  EXPECT_EQ(TakeRules(), Rules{"WorkItemNoRoutine"});
}

// Pool freed with a DPC or work item in it still queued: taken off its queue and reported.
TEST_F(RuleTest, PoolFreedWithItsDeferredWorkQueuedIsReported) {
  struct Deferred {
    KDPC dpc;
    WORK_QUEUE_ITEM item;
  };
  auto* deferred = static_cast<Deferred*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Deferred), kTag));
  HeldDpcs held;
  KeInitializeDpc(&deferred->dpc, NoDpcWork, nullptr);
  ASSERT_TRUE(KeInsertQueueDpc(&deferred->dpc, nullptr, nullptr));
  ExFreePoolWithTag(deferred, kTag);
  EXPECT_EQ(TakeRules(), Rules{"FreePoolWithQueuedWork"});
  held.Release();
  sim::kernel::WaitForDpcsIdle();

  std::atomic<bool> release{false};
  WORK_QUEUE_ITEM blockers[2];
  for (auto& blocker : blockers) {
    ExInitializeWorkItem(&blocker, [](PVOID flag) NTAPI {
      while (!static_cast<std::atomic<bool>*>(flag)->load()) std::this_thread::yield();
    }, &release);
    ExQueueWorkItem(&blocker, DelayedWorkQueue);
  }
  // Queued behind the two blockers, which hold both workers.
  deferred = static_cast<Deferred*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Deferred), kTag));
  ExInitializeWorkItem(&deferred->item, [](PVOID) NTAPI {}, nullptr);
  ExQueueWorkItem(&deferred->item, DelayedWorkQueue);
  ExFreePoolWithTag(deferred, kTag);
  EXPECT_EQ(TakeRules(), Rules{"FreePoolWithQueuedWork"});
  release = true;
  sim::kernel::WaitForWorkItemsIdle();
}

// ExQueueWorkItem holds no reference on the driver: its routine must be done before the unload.
TEST_F(RuleTest, ADriverUnloadedWhileItsWorkItemRunsIsReported) {
  Build(1);
  static std::atomic<int> stage{0};
  stage = 0;
  WORK_QUEUE_ITEM item;
  dispatch_[0] = [&item](PDEVICE_OBJECT, PIRP irp) {
    ExInitializeWorkItem(&item, [](PVOID) NTAPI {
      stage = 1;
      while (stage != 2) std::this_thread::yield();
    }, nullptr);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    return Complete(irp, STATUS_SUCCESS);
  };
  SendNew();
  while (stage != 1) std::this_thread::yield();
  IoDeleteDevice(devices_[0]);
  devices_.clear();
  EXPECT_TRUE(sim::kernel::UnloadDriver(driver_));
  driver_ = nullptr;
  stage = 2;
  sim::kernel::WaitForWorkItemsIdle();
  EXPECT_EQ(TakeRules(), Rules{"UnloadWithWorkItem"});
}

TEST_F(RuleTest, CriticalRegionsLeftEnteredAreReported) {
  Build(1);
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) {
    KeEnterCriticalRegion();
    return Complete(irp, STATUS_SUCCESS);
  };
  SendNew();
  EXPECT_EQ(TakeRules(), Rules{"CriticalRegions"});
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) {
    KeEnterCriticalRegion();
    KeLeaveCriticalRegion();
    return Complete(irp, STATUS_SUCCESS);
  };
  SendNew();
  KeLeaveCriticalRegion();  // none entered
  EXPECT_EQ(TakeRules(), Rules{"CriticalRegions"});
}

TEST_F(RuleTest, SetEventWithWaitDereferenceAndStringFreeHaveTheirIrql) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER poll{};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeSetEvent(&event, IO_NO_INCREMENT, TRUE);  // its promised wait cannot block here
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll);
  KeLowerIrql(old);
  EXPECT_EQ(TakeRules(), Rules{"IrqlKeSetEvent"});

  sim::nt::Handle handle = 0;
  ASSERT_EQ(sim::nt::CreateEvent(true, false, &handle), 0);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)),
                                      SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr),
            STATUS_SUCCESS);
  UNICODE_STRING text;
  text.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, 4, kTag));
  text.Length = text.MaximumLength = 4;
  KeRaiseIrql(16, &old);
  ObDereferenceObject(object);
  KeLowerIrql(old);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  RtlFreeUnicodeString(&text);
  KeLowerIrql(old);
  EXPECT_EQ(TakeRules(), (Rules{"IrqlTooHigh", "IrqlTooHigh"}));
  sim::nt::Close(handle);
}

NTSTATUS NTAPI EntryThatFailsWithADevice(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  return STATUS_UNSUCCESSFUL;
}

TEST_F(RuleTest, WhatIsLeftWhenTheKernelStopsIsReported) {
  PDRIVER_OBJECT failed = nullptr;
  EXPECT_EQ(sim::kernel::LoadDriver(EntryThatFailsWithADevice, u"\\Driver\\Failing", kRegistryPath,
                                    &failed),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(TakeRules(), Rules{"DriverEntryFailedWithDevices"});

  PKINTERRUPT interrupt = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&interrupt, [](PKINTERRUPT, PVOID) NTAPI -> BOOLEAN { return FALSE; },
                               nullptr, nullptr, 0x51, 16, 16, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);

  sim::nt::Handle event = 0;
  ASSERT_EQ(sim::nt::CreateEvent(true, false, &event), 0);
  PVOID object = nullptr;
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(event));
  EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, nullptr, UserMode, &object,
                                      nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(TakeRules(), Rules{"ObReferenceObjectByHandleType"});
  ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
                                      &object, nullptr),
            STATUS_SUCCESS);
  sim::nt::Close(event);  // the driver's reference is never dropped

  Rules rules = Reboot();
  std::multiset<std::string> got(rules.begin(), rules.end());
  EXPECT_EQ(got, (std::multiset<std::string>{"DeviceLeak", "InterruptConnectedAtShutdown",
                                             "ObjectLeak"}));
}

}  // namespace
}  // namespace kernel_test
