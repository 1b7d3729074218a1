// The lock verifier: acquisition orders over spin locks, the cancel spin lock and interrupt
// locks, the IRQL restored at release, and the wait owed after KeSetEvent with Wait TRUE.
#include <sstream>

#include "kernel_test_support.h"

namespace kernel_test {
namespace {

using LockVerifierTest = KernelTest;

// Each order is taken by a routine of its own, so the report can name where it was seen.
__attribute__((noinline)) void TakeInOrder(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL a, b;
  KeAcquireSpinLock(first, &a);
  KeAcquireSpinLock(second, &b);
  KeReleaseSpinLock(second, b);
  KeReleaseSpinLock(first, a);
}

__attribute__((noinline)) void TakeInReverse(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL a, b;
  KeAcquireSpinLock(second, &b);
  KeAcquireSpinLock(first, &a);
  KeReleaseSpinLock(first, a);
  KeReleaseSpinLock(second, b);
}

__attribute__((noinline)) void TakeUnderCancelLock(PKSPIN_LOCK lock) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  KeAcquireSpinLockAtDpcLevel(lock);
  KeReleaseSpinLockFromDpcLevel(lock);
  IoReleaseCancelSpinLock(irql);
}

__attribute__((noinline)) void TakeCancelLockUnder(PKSPIN_LOCK lock) {
  KIRQL irql, cancelIrql;
  KeAcquireSpinLock(lock, &irql);
  IoAcquireCancelSpinLock(&cancelIrql);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(lock, irql);
}

// Synchronizes with one interrupt from inside another's synchronize routine.
struct Nesting {
  PKINTERRUPT inner;
};
BOOLEAN NTAPI Nothing(PVOID) { return TRUE; }
BOOLEAN NTAPI SynchronizeInner(PVOID context) {
  return KeSynchronizeExecution(static_cast<Nesting*>(context)->inner, Nothing, nullptr);
}

std::string Address(const void* p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

std::string TakeLockOrderMessage() {
  auto violations = sim::verifier::TakeViolations();
  if (violations.size() != 1 || violations[0].rule != "LockOrder") return "(no single LockOrder)";
  return violations[0].message;
}

TEST_F(LockVerifierTest, OrdersTakenBothWaysAreReportedEvenWithoutDeadlock) {
  KSPIN_LOCK a = 0, b = 0, c = 0;
  TakeInOrder(&a, &b);
  TakeInOrder(&a, &b);
  EXPECT_EQ(TakeRules(), Rules{});
  TakeInReverse(&a, &b);
  std::string message = TakeLockOrderMessage();
  EXPECT_NE(message.find(Address(&a)), std::string::npos) << message;
  EXPECT_NE(message.find(Address(&b)), std::string::npos) << message;
  EXPECT_NE(message.find("TakeInOrder("), std::string::npos) << message;
  EXPECT_NE(message.find("TakeInReverse("), std::string::npos) << message;

  // A longer cycle: a -> b (above), b -> c, then c -> a.
  TakeInOrder(&b, &c);
  EXPECT_EQ(TakeRules(), Rules{});
  TakeInOrder(&c, &a);
  EXPECT_EQ(TakeRules(), Rules{"LockOrder"});
}

TEST_F(LockVerifierTest, CancelAndInterruptLocksTakePartInTheOrder) {
  KSPIN_LOCK lock = 0;
  TakeUnderCancelLock(&lock);
  TakeCancelLockUnder(&lock);
  std::string message = TakeLockOrderMessage();
  EXPECT_NE(message.find("the cancel spin lock"), std::string::npos) << message;

  PKINTERRUPT first = nullptr, second = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&first, [](PKINTERRUPT, PVOID) NTAPI -> BOOLEAN { return FALSE; },
                               nullptr, nullptr, 0x3D, 16, 16, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  ASSERT_EQ(IoConnectInterrupt(&second, [](PKINTERRUPT, PVOID) NTAPI -> BOOLEAN { return FALSE; },
                               nullptr, nullptr, 0x3E, 16, 16, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  Nesting inFirst{second}, inSecond{first};
  KeSynchronizeExecution(first, SynchronizeInner, &inFirst);
  EXPECT_EQ(TakeRules(), Rules{});
  KeSynchronizeExecution(second, SynchronizeInner, &inSecond);
  message = TakeLockOrderMessage();
  EXPECT_NE(message.find("interrupt lock"), std::string::npos) << message;
  IoDisconnectInterrupt(first);
  IoDisconnectInterrupt(second);
}

TEST_F(LockVerifierTest, LocksAreForgottenWithTheirMemory) {
  // A new lock at a freed lock's address must start without the old one's orders.
  size_t before = sim::kernel::TrackedLockCount();
  auto* pair = static_cast<PKSPIN_LOCK>(
      ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(KSPIN_LOCK), kTag));
  pair[0] = pair[1] = 0;
  TakeInOrder(&pair[0], &pair[1]);
  EXPECT_EQ(sim::kernel::TrackedLockCount(), before + 2);
  ExFreePool(pair);
  EXPECT_EQ(sim::kernel::TrackedLockCount(), before);

  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(sim::kernel::LoadDriver(FakeDriverEntry, u"\\Driver\\Locks", kRegistryPath, &driver),
            STATUS_SUCCESS);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 2 * sizeof(KSPIN_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0,
                           FALSE, &device),
            STATUS_SUCCESS);
  auto* locks = static_cast<PKSPIN_LOCK>(device->DeviceExtension);
  TakeInOrder(&locks[1], &locks[0]);
  EXPECT_EQ(sim::kernel::TrackedLockCount(), before + 2);
  IoDeleteDevice(device);
  EXPECT_EQ(sim::kernel::TrackedLockCount(), before);
  sim::kernel::UnloadDriver(driver);

  KSPIN_LOCK a = 0, b = 0;
  TakeInOrder(&a, &b);
  sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110);
  TakeInReverse(&a, &b);
  EXPECT_EQ(TakeRules(), Rules{});
}

TEST_F(LockVerifierTest, ReleaseRestoresTheIrqlItsAcquireSaved) {
  KSPIN_LOCK lock = 0;
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);  // saves PASSIVE_LEVEL
  KeReleaseSpinLock(&lock, DISPATCH_LEVEL);
  EXPECT_EQ(TakeRules(), Rules{"SpinLockReleaseIrql"});
  KeLowerIrql(PASSIVE_LEVEL);

  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL saved;
  KeAcquireSpinLock(&lock, &saved);  // saves DISPATCH_LEVEL
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  EXPECT_EQ(TakeRules(), Rules{"SpinLockReleaseIrql"});

  // A cancel routine's pattern: taken at DISPATCH_LEVEL, released to the request's CancelIrql.
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeAcquireSpinLockAtDpcLevel(&lock);
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  EXPECT_EQ(TakeRules(), Rules{});
}

TEST_F(LockVerifierTest, SetEventWithWaitMustBeFollowedByAWait) {
  KEVENT event, other;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeInitializeEvent(&other, NotificationEvent, TRUE);
  KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
  KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(TakeRules(), Rules{});

  KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_EQ(TakeRules(), Rules{"WaitAfterSetEvent"});
  ExFreePool(block);
  EXPECT_EQ(TakeRules(), Rules{});

  KeSetEvent(&event, IO_NO_INCREMENT, TRUE);  // any service, not only those that lock
  IoFreeIrp(IoAllocateIrp(1, FALSE));
  EXPECT_EQ(TakeRules(), Rules{"WaitAfterSetEvent"});
}

}  // namespace
}  // namespace kernel_test
