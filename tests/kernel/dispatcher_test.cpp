// Events and waits, IRQL rules, spin locks and DPCs, with real threads against each other.
#include <atomic>
#include <semaphore>
#include <thread>

#include "kernel_test_support.h"
#include "sim/nt_api.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;
using DispatcherTest = KernelTest;

NTSTATUS Wait(PKEVENT event, PLARGE_INTEGER timeout = nullptr) {
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout);
}

TEST_F(DispatcherTest, NotificationEventWakesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> woken{0};
  for (int i = 0; i < 3; ++i) OnThread([&] { woken += Wait(&event) == STATUS_WAIT_0; });
  std::this_thread::sleep_for(20ms);  // let them block
  EXPECT_EQ(woken, 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  JoinThreads();
  EXPECT_EQ(woken, 3);

  LARGE_INTEGER poll{};
  EXPECT_EQ(Wait(&event, &poll), STATUS_WAIT_0);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(Wait(&event, &poll), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, SynchronizationEventReleasesOneWaiterPerSignalAndWaitsTimeOut) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::atomic<int> woken{0};
  for (int i = 0; i < 2; ++i) OnThread([&] { woken += Wait(&event) == STATUS_WAIT_0; });
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  for (int i = 0; i < 2000 && woken == 0; ++i) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);  // the released waiter took the signal
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  JoinThreads();
  EXPECT_EQ(woken, 2);

  LARGE_INTEGER timeout = RelativeMs(30);  // nothing left for a third waiter
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Wait(&event, &timeout), STATUS_TIMEOUT);
  // A relative time-out runs from the last clock tick, so it may end up to a tick early.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms - sim::kernel::ClockTick());
}

// Timers expire at clock ticks: each 1 ms delay of a loop ends at the next tick, so the loop
// takes a tick per pass, and a wait's time-out ends at the tick after its length, counted from
// the last tick. (Lower bounds only, with room for a thread that wakes late.)
TEST_F(DispatcherTest, DelaysAndTimeOutsLastUntilAClockTick) {
  auto tick = sim::kernel::ClockTick();
  sim::kernel::SetClockTick(50ms);
  LARGE_INTEGER oneMs = RelativeMs(1);
  KeDelayExecutionThread(KernelMode, FALSE, &oneMs);  // onto a tick
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; ++i) KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 3 * 50ms);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = RelativeMs(60);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(Wait(&event, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 75ms);  // at the second tick: 100 ms
  sim::kernel::SetClockTick(tick);
}

// A kernel mutex belongs to the thread that took it, which may take it again; another thread
// waits until every acquisition is released; a release by a thread that does not own it is
// the platform's STATUS_MUTANT_NOT_OWNED.
TEST_F(DispatcherTest, AKernelMutexIsOwnedRecursivelyByOneThread) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  LARGE_INTEGER poll{};
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);
  std::atomic<NTSTATUS> other{STATUS_PENDING};
  OnThread([&] { other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll); });
  JoinThreads();
  EXPECT_EQ(other, STATUS_TIMEOUT);
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(KeReadStateMutex(&mutex), 0);  // still owned once
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  OnThread([&] {
    other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex, FALSE);
  });
  JoinThreads();
  EXPECT_EQ(other, STATUS_WAIT_0);
  EXPECT_TRUE(TakeRules().empty());
  OnThread([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); });
  JoinThreads();
  KeReleaseMutex(&mutex, FALSE);  // owned by the thread that ended
  EXPECT_EQ(TakeRules(), Rules{"MutexNotOwned"});
}

// The deadlock watchdog stops only kernel waits: a user-mode infinite wait outlasts it.
TEST_F(DispatcherTest, AUserModeInfiniteWaitOutlastsTheDeadlockLimit) {
  auto limit = sim::kernel::DeadlockLimit();
  sim::kernel::SetDeadlockLimit(50ms);
  sim::nt::Handle event = 0;
  ASSERT_EQ(sim::nt::CreateEvent(true, false, &event), STATUS_SUCCESS);
  OnThread([event] {
    std::this_thread::sleep_for(500ms);  // two and a half watchdog rounds past the limit
    sim::nt::SetEvent(event);
  });
  EXPECT_EQ(sim::nt::WaitForSingleObject(event, -1), STATUS_SUCCESS);
  JoinThreads();
  sim::nt::Close(event);
  sim::kernel::SetDeadlockLimit(limit);
}

TEST_F(DispatcherTest, CallsAreRefusedAboveTheirIrql) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = RelativeMs(1), poll{};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PAGED_CODE();
  EXPECT_EQ(Wait(&event, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(Wait(&event, &poll), STATUS_TIMEOUT);  // polling is allowed
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0, kTag), nullptr);
  KeLowerIrql(old);
  EXPECT_EQ(TakeRules(), (Rules{"PagedCode", "IrqlKeWaitForSingleObject", "IrqlExAllocatePool",
                                "ZeroPoolAllocation"}));

  KeRaiseIrql(APC_LEVEL, &old);  // still fine for pageable code and paged pool
  PAGED_CODE();
  ExFreePool(ExAllocatePoolWithTag(PagedPool, 16, kTag));
  KeLowerIrql(old);
}

TEST_F(DispatcherTest, SpinLockExcludesOtherThreadsAtDispatchLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // guarded by the lock only
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      ++counter;
      KeReleaseSpinLock(&lock, old);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  };
  OnThread(work);
  OnThread(work);
  JoinThreads();
  EXPECT_EQ(counter, 4000);
}

TEST_F(DispatcherTest, SpinLockMisuseIsReported) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old, again;
  KeAcquireSpinLock(&lock, &old);
  KeAcquireSpinLock(&lock, &again);  // would spin forever on the platform
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(TakeRules(), Rules{"SpinLock"});

  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLockFromDpcLevel(&lock);  // not held
  KeLowerIrql(old);
  EXPECT_EQ(TakeRules(), Rules{"SpinLock"});

  KeAcquireSpinLockAtDpcLevel(&lock);  // at PASSIVE_LEVEL
  KeReleaseSpinLockFromDpcLevel(&lock);
  EXPECT_EQ(TakeRules(), (Rules{"SpinLockSafe", "SpinLockSafe"}));
  EXPECT_EQ(lock, 0u);

  // Legal on the platform: the AtDpcLevel forms above DISPATCH_LEVEL (an ISR's own lock), and
  // a zero time-out poll under a spin lock.
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER poll{};
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  KeReleaseSpinLock(&lock, old);
  KeRaiseIrql(16, &old);
  KSPIN_LOCK inner;
  KeInitializeSpinLock(&inner);
  KeAcquireSpinLockAtDpcLevel(&inner);
  KeReleaseSpinLockFromDpcLevel(&inner);
  KeLowerIrql(old);
  EXPECT_EQ(TakeRules(), Rules{});
}

struct DpcRecord {
  std::atomic<int> runs{0};
  KIRQL irql = 0;
  std::thread::id thread;
  PVOID context = nullptr, argument1 = nullptr, argument2 = nullptr;
};

void NTAPI RecordDpc(PKDPC, PVOID context, PVOID argument1, PVOID argument2) {
  auto* record = static_cast<DpcRecord*>(context);
  record->irql = KeGetCurrentIrql();
  record->thread = std::this_thread::get_id();
  record->context = context;
  record->argument1 = argument1;
  record->argument2 = argument2;
  ++record->runs;
}

// Holds a DPC processor until released; both are held so that a queued DPC stays queued.
struct DpcGate {
  std::counting_semaphore<2> gate{0};
  std::atomic<int> held{0};
};

void NTAPI BlockDpcThread(PKDPC, PVOID context, PVOID, PVOID) {
  auto* gate = static_cast<DpcGate*>(context);
  ++gate->held;
  gate->gate.acquire();
}

TEST_F(DispatcherTest, DpcQueuesOnceAndRunsOnTheDpcThreadAtDispatchLevel) {
  DpcGate gate;
  KDPC blockers[2], dpc;
  DpcRecord record;
  for (KDPC& blocker : blockers) KeInitializeDpc(&blocker, BlockDpcThread, &gate);
  KeInitializeDpc(&dpc, RecordDpc, &record);
  int first = 1, second = 2;

  for (KDPC& blocker : blockers) {
    ASSERT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    while (gate.held < 1) std::this_thread::yield();  // processor 1 helps only a busy 0
  }
  while (gate.held < 2) std::this_thread::yield();
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, &first, &second));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, &second, &first));  // already queued
  gate.gate.release(2);
  sim::kernel::WaitForDpcsIdle();
  EXPECT_EQ(record.runs, 1);
  EXPECT_EQ(record.irql, DISPATCH_LEVEL);
  EXPECT_NE(record.thread, std::this_thread::get_id());
  EXPECT_EQ(record.context, &record);
  EXPECT_EQ(record.argument1, &first);  // the arguments of the insert that queued it
  EXPECT_EQ(record.argument2, &second);

  EXPECT_TRUE(KeInsertQueueDpc(&dpc, &second, nullptr));  // it ran, so it queues again
  sim::kernel::WaitForDpcsIdle();
  EXPECT_EQ(record.runs, 2);
  EXPECT_EQ(record.argument1, &second);
}

}  // namespace
}  // namespace kernel_test
