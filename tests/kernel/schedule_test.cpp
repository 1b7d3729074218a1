// The machine's processors: the kernel-call hook and its counts, injections held at a chosen
// call, the interrupt processor against synchronized code, DPCs and work items on two
// processors, the seeded schedule and the low-resource mode.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel_test_support.h"
#include "sim/schedule.h"

namespace {

using namespace kernel_test;
using namespace std::chrono_literals;
using sim::schedule::Role;

constexpr ULONG kVector = 0x3B;
constexpr KIRQL kIrql = 16;

// Events in the order threads saw them.
struct Log {
  std::mutex lock;
  std::vector<std::string> entries;
  void Add(std::string entry) {
    std::lock_guard guard(lock);
    entries.push_back(std::move(entry));
  }
  std::vector<std::string> Take() {
    std::lock_guard guard(lock);
    return std::move(entries);
  }
};

class ScheduleTest : public KernelTest {
 protected:
  void TearDown() override {
    sim::schedule::WaitForInjections();
    sim::schedule::DisarmInjections();
    sim::schedule::SetInterruptDelivery(sim::schedule::InterruptDelivery::OtherProcessor);
    KernelTest::TearDown();
  }
};

TEST_F(ScheduleTest, CallsAreCountedPerRoleAndServiceAndAnInjectionLandsAtTheChosenOne) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  sim::schedule::StartCounting();
  for (int i = 0; i < 3; ++i) KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(sim::schedule::CallCount(Role::Test), 4u);
  EXPECT_EQ(sim::schedule::CallCount(Role::Test, "KeSetEvent"), 3u);
  EXPECT_EQ(sim::schedule::CallCount(Role::Dpc0), 0u);

  // The action runs while this thread is held at the entry of the second KeSetEvent: it sees
  // the event still clear, and the call then sets it.
  Log log;
  sim::schedule::Inject({Role::Test, 2, "KeSetEvent"}, [&] {
    log.Add(std::string("injected on ") + sim::schedule::RoleName(sim::schedule::CurrentRole()) +
            (KeReadStateEvent(&event) ? ", set" : ", clear"));
  });
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  log.Add("before");
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  log.Add("after");
  EXPECT_TRUE(sim::schedule::AllInjectionsFired());
  EXPECT_EQ(log.Take(), (std::vector<std::string>{"before", "injected on injector, clear", "after"}));
  ASSERT_TRUE(sim::schedule::LastInjection().has_value());
  EXPECT_EQ(sim::schedule::Describe(*sim::schedule::LastInjection()),
            "call 2 of KeSetEvent by the test thread");
}

TEST_F(ScheduleTest, TheHeldThreadGoesOnWhenTheActionWaitsOrSpinsOnItsLock) {
  // The action waits for an event only the held thread sets: without the release on a
  // blocking wait this would deadlock.
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  std::atomic<bool> woke{false};
  sim::schedule::Inject({Role::Test, 1}, [&] {
    KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    woke = true;
  });
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  sim::schedule::WaitForInjections();
  EXPECT_TRUE(woke);

  // The action spins on a spin lock the held thread holds: it gets it only after the release.
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  Log log;
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  sim::schedule::Inject({Role::Test, 1, "KeReleaseSpinLock"}, [&] {});  // not this service
  sim::schedule::Inject({Role::Test, 1, "KfReleaseSpinLock"}, [&] {
    KIRQL inner;
    KeAcquireSpinLock(&lock, &inner);
    log.Add("injector has the lock");
    KeReleaseSpinLock(&lock, inner);
  });
  log.Add("releasing");
  KeReleaseSpinLock(&lock, irql);
  sim::schedule::WaitForInjections();
  EXPECT_EQ(log.Take(), (std::vector<std::string>{"releasing", "injector has the lock"}));
  EXPECT_FALSE(sim::schedule::AllInjectionsFired());  // the misspelt service never came
}

// The interrupt line of a device whose routine claims it and logs where it ran.
struct Device {
  std::atomic<bool> asserted{false};
  Log* log = nullptr;
  PKINTERRUPT interrupt = nullptr;
  std::thread::id servedOn;
};

BOOLEAN NTAPI DeviceService(PKINTERRUPT, PVOID context) {
  auto* device = static_cast<Device*>(context);
  device->log->Add(std::string("isr on ") + sim::schedule::RoleName(sim::schedule::CurrentRole()));
  device->servedOn = std::this_thread::get_id();
  return device->asserted.exchange(false);
}

BOOLEAN NTAPI SynchronizedPortRead(PVOID context) {
  auto* device = static_cast<Device*>(context);
  device->log->Add("synchronized code");
  READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(ULONG_PTR{0x80}));  // the injection point
  device->log->Add("synchronized code returns");
  return TRUE;
}

TEST_F(ScheduleTest, InterruptsRunOnTheInterruptProcessorAndContendForTheRealLock) {
  Log log;
  Device device;
  device.log = &log;
  ASSERT_EQ(IoConnectInterrupt(&device.interrupt, DeviceService, &device, nullptr, kVector, kIrql,
                               kIrql, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  auto source = sim::kernel::AttachInterruptSource(kVector, [&] { return device.asserted.load(); });
  device.asserted = true;
  sim::kernel::NotifyInterruptLine(source);  // returns once the round is over
  EXPECT_EQ(log.Take(), std::vector<std::string>{"isr on interrupt processor"});
  // This thread ran nothing of the kernel's, so it played the interrupt processor itself;
  // holding a spin lock, it waits for the interrupt processor's thread.
  EXPECT_EQ(device.servedOn, std::this_thread::get_id());
  KSPIN_LOCK held = 0;
  KIRQL irql;
  KeAcquireSpinLock(&held, &irql);
  device.asserted = true;
  sim::kernel::NotifyInterruptLine(source);
  KeReleaseSpinLock(&held, irql);
  EXPECT_EQ(log.Take(), std::vector<std::string>{"isr on interrupt processor"});
  EXPECT_NE(device.servedOn, std::this_thread::get_id());

  // An interrupt landing inside synchronized code spins on the interrupt lock until it is free.
  sim::schedule::Inject({Role::Test, 1, "READ_PORT_UCHAR"}, sim::schedule::DeliverInterrupt(kVector));
  KeSynchronizeExecution(device.interrupt, SynchronizedPortRead, &device);
  sim::schedule::WaitForInjections();
  EXPECT_EQ(log.Take(), (std::vector<std::string>{"synchronized code", "synchronized code returns",
                                                  "isr on injector"}));

  // A single processor takes it in the notifying thread.
  sim::schedule::SetInterruptDelivery(sim::schedule::InterruptDelivery::Uniprocessor);
  device.asserted = true;
  sim::kernel::NotifyInterruptLine(source);
  EXPECT_EQ(log.Take(), std::vector<std::string>{"isr on test"});
  IoDisconnectInterrupt(device.interrupt);
}

// A DPC (or work item) that queues itself again and waits until its second run has begun.
struct Reentrant {
  KDPC dpc;
  WORK_QUEUE_ITEM item;
  std::atomic<int> runs{0};
  Log log;
  void Run(bool dpcRun) {
    int run = ++runs;
    log.Add(sim::schedule::RoleName(sim::schedule::CurrentRole()));
    if (run != 1) return;
    if (dpcRun) {
      EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    } else {
      ExQueueWorkItem(&item, DelayedWorkQueue);
    }
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (runs < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  }
};

TEST_F(ScheduleTest, ADpcOrWorkItemQueuedAgainRunsBesideItselfOnTheOtherProcessor) {
  Reentrant r;
  KeInitializeDpc(
      &r.dpc, [](PKDPC, PVOID self, PVOID, PVOID) NTAPI { static_cast<Reentrant*>(self)->Run(true); }, &r);
  EXPECT_TRUE(KeInsertQueueDpc(&r.dpc, nullptr, nullptr));
  sim::kernel::WaitForDpcsIdle();
  EXPECT_EQ(r.log.Take(), (std::vector<std::string>{"DPC processor 0", "DPC processor 1"}));

  r.runs = 0;
  ExInitializeWorkItem(&r.item, [](PVOID self) NTAPI { static_cast<Reentrant*>(self)->Run(false); }, &r);
  ExQueueWorkItem(&r.item, DelayedWorkQueue);
  sim::kernel::WaitForWorkItemsIdle();
  EXPECT_EQ(r.log.Take(), (std::vector<std::string>{"worker 0", "worker 1"}));
}

TEST_F(ScheduleTest, TheSeedComesFromTheApiOrTheEnvironmentAndTheKernelStillWorks) {
  sim::schedule::SetScheduleSeed(std::nullopt);
  setenv("TARVIK_SCHEDULE_SEED", "77", 1);
  sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110);
  unsetenv("TARVIK_SCHEDULE_SEED");
  EXPECT_EQ(sim::schedule::ScheduleSeed(), 77u);
  sim::schedule::SetScheduleSeed(5);
  EXPECT_EQ(sim::schedule::ScheduleSeed(), 5u);
  std::atomic<int> ran{0};
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID n, PVOID, PVOID) NTAPI { ++*static_cast<std::atomic<int>*>(n); }, &ran);
  for (int i = 0; i < 50; ++i) {
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    sim::kernel::WaitForDpcsIdle();
  }
  EXPECT_EQ(ran, 50);
  sim::schedule::SetScheduleSeed(std::nullopt);
  EXPECT_FALSE(sim::schedule::ScheduleSeed().has_value());
}

TEST_F(ScheduleTest, LowResourcesFailASeededShareOfTheDriversAllocationsOnly) {
  auto pattern = [](uint64_t seed) {
    sim::kernel::SetLowResources(seed, 4);
    std::vector<bool> failed;
    for (int i = 0; i < 64; ++i) {
      PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
      failed.push_back(p == nullptr);
      if (p != nullptr) ExFreePoolWithTag(p, kTag);
      PIRP irp = IoAllocateIrp(1, FALSE);
      failed.push_back(irp == nullptr);
      if (irp != nullptr) IoFreeIrp(irp);
      PIRP managers = sim::io::AllocateManagerIrp(1);
      EXPECT_NE(managers, nullptr);
      IoFreeIrp(managers);
    }
    EXPECT_EQ(sim::kernel::LowResourceFailures(),
              static_cast<uint64_t>(std::count(failed.begin(), failed.end(), true)));
    sim::kernel::SetLowResources(0, 0);
    return failed;
  };
  std::vector<bool> first = pattern(9);
  size_t failures = std::count(first.begin(), first.end(), true);
  EXPECT_GT(failures, 10u);
  EXPECT_LT(failures, 60u);
  EXPECT_EQ(pattern(9), first);  // one seed, the same calls
  EXPECT_NE(pattern(10), first);
}

}  // namespace
