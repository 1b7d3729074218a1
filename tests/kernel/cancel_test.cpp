// Cancellation: the cancel spin lock, IoCancelIrp's call of the cancel routine, the verifier's
// checks on cancel routines, and a cancel racing the driver's own completion.
#include <atomic>
#include <random>

#include "kernel_test_support.h"
#include "sim/nt_api.h"

namespace kernel_test {
namespace {

// The driver's one-slot queue for a parked request, and what its cancel routine saw.
struct Parking {
  KSPIN_LOCK lock = 0;
  PIRP parked = nullptr;
  enum class Release { Proper, Forget, WrongIrql } release = Release::Proper;
  PDEVICE_OBJECT seenDevice = nullptr;
  KIRQL seenIrql = 0;
  KIRQL seenCancelIrql = 0xFF;
  bool seenCancel = false;
  bool seenRoutineCleared = false;
  std::atomic<int> completions{0};
};
Parking* g_parking = nullptr;

NTSTATUS CompleteCounted(PIRP irp, NTSTATUS status) {
  g_parking->completions++;
  return Complete(irp, status);
}

// Takes the request out of the queue unless the cancel routine has already claimed it.
PIRP Unpark() {
  KIRQL irql;
  KeAcquireSpinLock(&g_parking->lock, &irql);
  PIRP irp = g_parking->parked;
  if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    __atomic_store_n(&g_parking->parked, nullptr, __ATOMIC_RELEASE);
  } else {
    irp = nullptr;
  }
  KeReleaseSpinLock(&g_parking->lock, irql);
  return irp;
}

void NTAPI CancelParked(PDEVICE_OBJECT device, PIRP irp) {
  Parking& p = *g_parking;
  p.seenDevice = device;
  p.seenIrql = KeGetCurrentIrql();
  p.seenCancelIrql = irp->CancelIrql;
  p.seenCancel = irp->Cancel != FALSE;
  p.seenRoutineCleared = __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) == nullptr;
  if (p.release == Parking::Release::Forget) return;  // the test completes it afterwards
  IoReleaseCancelSpinLock(p.release == Parking::Release::Proper ? irp->CancelIrql
                                                                : KIRQL{DISPATCH_LEVEL});
  if (p.release == Parking::Release::WrongIrql) return;
  KIRQL irql;
  KeAcquireSpinLock(&p.lock, &irql);
  if (p.parked == irp) __atomic_store_n(&p.parked, nullptr, __ATOMIC_RELEASE);
  KeReleaseSpinLock(&p.lock, irql);
  CompleteCounted(irp, STATUS_CANCELLED);
}

// Parks the request as drivers must: the routine is set before Cancel is looked at, so a
// cancel that came earlier is seen, and one that comes later finds the routine.
NTSTATUS Park(PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&g_parking->lock, &irql);
  IoSetCancelRoutine(irp, CancelParked);
  bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
  if (cancelled && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    KeReleaseSpinLock(&g_parking->lock, irql);
    return CompleteCounted(irp, STATUS_CANCELLED);
  }
  IoMarkIrpPending(irp);
  __atomic_store_n(&g_parking->parked, irp, __ATOMIC_RELEASE);
  KeReleaseSpinLock(&g_parking->lock, irql);
  return STATUS_PENDING;
}

class CancelTest : public StackTest {
 protected:
  void SetUp() override {
    StackTest::SetUp();
    g_parking = &parking_;
  }
  void TearDown() override {
    StackTest::TearDown();
    g_parking = nullptr;
  }

  // Sends a request from another thread; returns once the driver has parked it.
  void SendParked(IO_STATUS_BLOCK* result) {
    OnThread([this, result] {
      PIRP irp = NewIrp();
      *result = sim::io::CallAndWait(Top(), irp);
    });
    while (Parked() == nullptr) std::this_thread::yield();
  }

  PIRP Parked() { return __atomic_load_n(&parking_.parked, __ATOMIC_ACQUIRE); }

  Parking parking_;
};

TEST_F(CancelTest, CancelRoutineRunsUnderTheLockWithTheCallersIrqlAsCancelIrql) {
  Build(2);
  dispatch_[1] = PassDown(1);
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); };
  for (KIRQL callerIrql : {KIRQL{PASSIVE_LEVEL}, KIRQL{DISPATCH_LEVEL}}) {
    SCOPED_TRACE(int(callerIrql));
    parking_.seenCancelIrql = 0xFF;
    IO_STATUS_BLOCK result{};
    SendParked(&result);
    KIRQL old;
    KeRaiseIrql(callerIrql, &old);
    EXPECT_TRUE(IoCancelIrp(Parked()));
    EXPECT_EQ(KeGetCurrentIrql(), callerIrql);
    KeLowerIrql(old);
    JoinThreads();
    // The routine gets the device whose location the request stands at, the bottom one here.
    EXPECT_EQ(parking_.seenDevice, devices_[0]);
    EXPECT_EQ(parking_.seenIrql, DISPATCH_LEVEL);
    EXPECT_EQ(parking_.seenCancelIrql, callerIrql);
    EXPECT_TRUE(parking_.seenCancel);
    EXPECT_TRUE(parking_.seenRoutineCleared);
    EXPECT_EQ(result.Status, STATUS_CANCELLED);
  }
  EXPECT_EQ(parking_.completions.load(), 2);
}

TEST_F(CancelTest, CancelRoutinesThatMishandleTheLockAreReported) {
  Build(1);
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); };
  for (auto release : {Parking::Release::Forget, Parking::Release::WrongIrql}) {
    parking_.release = release;
    IO_STATUS_BLOCK result{};
    SendParked(&result);
    PIRP irp = Parked();
    EXPECT_TRUE(IoCancelIrp(irp));
    // Neither routine completes the request either.
    EXPECT_EQ(TakeRules(), (Rules{"CancelSpinLock", "CancelWithoutCompletion"}));
    // IoCancelIrp put things right: the lock is free and the IRQL the caller's.
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
    __atomic_store_n(&parking_.parked, nullptr, __ATOMIC_RELEASE);
    CompleteCounted(irp, STATUS_CANCELLED);
    JoinThreads();
    EXPECT_EQ(result.Status, STATUS_CANCELLED);
  }
  EXPECT_TRUE(TakeRules().empty());
}

TEST_F(CancelTest, ARequestWithoutCancelRoutineIsMarkedButNotCancelled) {
  Build(1);
  PIRP irp = nullptr;
  dispatch_[0] = [&irp](PDEVICE_OBJECT, PIRP request) {
    IoMarkIrpPending(request);
    __atomic_store_n(&irp, request, __ATOMIC_RELEASE);
    return STATUS_PENDING;
  };
  IO_STATUS_BLOCK result{};
  OnThread([&] {
    PIRP request = NewIrp();
    result = sim::io::CallAndWait(Top(), request);
  });
  while (__atomic_load_n(&irp, __ATOMIC_ACQUIRE) == nullptr) std::this_thread::yield();
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  Complete(irp, STATUS_SUCCESS);
  JoinThreads();
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
}

TEST_F(CancelTest, TheCancelSpinLockRaisesToDispatchAndMustAlternate) {
  KIRQL old = 0xFF;
  IoAcquireCancelSpinLock(&old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL again;
  IoAcquireCancelSpinLock(&again);  // would deadlock on the platform
  EXPECT_EQ(TakeRules(), Rules{"CancelSpinLock"});
  IoReleaseCancelSpinLock(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  IoReleaseCancelSpinLock(old);
  EXPECT_EQ(TakeRules(), Rules{"CancelSpinLock"});

  // Another thread waits for the lock while this one holds it.
  std::atomic<bool> acquired{false};
  IoAcquireCancelSpinLock(&old);
  OnThread([&] {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    acquired = true;
    IoReleaseCancelSpinLock(irql);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(acquired);
  IoReleaseCancelSpinLock(old);
  JoinThreads();
  EXPECT_TRUE(acquired);
}

// The I/O manager's cancel (as CancelIoEx uses it) against the driver completing the same
// request on another thread: whichever clears the cancel routine first completes it, exactly
// once, and the request is freed only after both are done with it.
TEST_F(CancelTest, CancelRacingACompletionCompletesEachRequestOnce) {
  Build(1, L"\\Device\\CancelRace");
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
      return Complete(irp, STATUS_SUCCESS);
    }
    return Park(irp);
  };
  auto busyWait = [](int n) {
    for (int i = 0; i < n; ++i) __asm__ volatile("" ::: "memory");
  };
  // The driver's completion side: each round it waits for the start, spins a random while and
  // completes the parked request unless the cancel routine has claimed it.
  constexpr int kRounds = 1000;
  std::mt19937 random(7);
  std::uniform_int_distribution<int> spin(0, 3000);
  std::uniform_int_distribution<int> cancelSpin(0, 20000);  // the cancel path is the shorter
  std::vector<int> completerSpins(kRounds);
  for (int& n : completerSpins) n = spin(random);
  auto await = [](std::atomic<int>& counter, int round) {
    for (int i = 1; counter.load() < round; ++i) {
      if (i % 1024 == 0) std::this_thread::yield();
    }
  };
  std::atomic<int> started{-1};
  std::atomic<int> finished{-1};
  OnThread([&] {
    for (int round = 0; round < kRounds; ++round) {
      await(started, round);
      busyWait(completerSpins[round]);
      if (PIRP parked = Unpark()) CompleteCounted(parked, STATUS_SUCCESS);
      finished = round;
    }
  });

  sim::nt::Handle file = 0, event = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\Device\\CancelRace", false, &file), STATUS_SUCCESS);
  ASSERT_EQ(sim::nt::CreateEvent(true, false, &event), STATUS_SUCCESS);
  int cancelled = 0, succeeded = 0;
  for (int round = 0; round < kRounds; ++round) {
    sim::nt::IoStatus iosb{};
    ASSERT_EQ(sim::nt::DeviceIoControlFile(file, event, &iosb, 0x222000, nullptr, 0, nullptr, 0),
              STATUS_PENDING);
    started = round;
    busyWait(cancelSpin(random));
    sim::nt::Status status = sim::nt::CancelIoFile(file, true, &iosb);
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_NOT_FOUND) << status;
    sim::nt::WaitForSingleObject(event, -1);
    sim::nt::ResetEvent(event);
    await(finished, round);
    sim::nt::Status final = __atomic_load_n(&iosb.status, __ATOMIC_ACQUIRE);
    if (final == STATUS_CANCELLED) ++cancelled;
    if (final == STATUS_SUCCESS) ++succeeded;
    ASSERT_EQ(parking_.completions.load(), round + 1);
  }
  EXPECT_EQ(cancelled + succeeded, kRounds);
  sim::nt::Close(event);
  sim::nt::Close(file);
}

}  // namespace
}  // namespace kernel_test
