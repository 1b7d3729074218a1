// Driver code sections on the host: PAGE and INIT code that raises the IRQL, routines that
// run raised while pageable, and INIT code run after DriverEntry returned.
#include "kernel_test_support.h"
#include "platform.h"

namespace kernel_test {
namespace {

using SectionsTest = KernelTest;

// Placed as driver code is; noinline keeps each the caller of what it calls.
#define TEST_PAGE_CODE TARVIK_PAGE_CODE __attribute__((noinline))
#define TEST_INIT_CODE TARVIK_INIT_CODE __attribute__((noinline))

KSPIN_LOCK g_lock;

TEST_PAGE_CODE void PagedLockTaker() {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  KeReleaseSpinLock(&g_lock, irql);
}

TEST_PAGE_CODE void PagedRaiser() {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  KeLowerIrql(irql);
  irql = KeRaiseIrqlToDpcLevel();
  KeLowerIrql(irql);
  IoAcquireCancelSpinLock(&irql);
  IoReleaseCancelSpinLock(irql);
}

__attribute__((noinline)) void ResidentLockTaker() {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  KeReleaseSpinLock(&g_lock, irql);
}

TEST_PAGE_CODE void PagedCallerOfResident() {
  PAGED_CODE();
  ResidentLockTaker();
}

BOOLEAN NTAPI ResidentSynchronizeRoutine(PVOID) { return TRUE; }
TEST_PAGE_CODE BOOLEAN NTAPI PagedSynchronizeRoutine(PVOID) { return TRUE; }
TEST_PAGE_CODE BOOLEAN NTAPI PagedService(PKINTERRUPT, PVOID) { return TRUE; }
TEST_PAGE_CODE void NTAPI PagedDpc(PKDPC, PVOID, PVOID, PVOID) {}

// The caller of KeSynchronizeExecution may be pageable; only its routine runs raised.
TEST_PAGE_CODE void PagedSynchronizer(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine) {
  PAGED_CODE();
  KeSynchronizeExecution(interrupt, routine, nullptr);
}

TEST_INIT_CODE void InitHelper() { PAGED_CODE(); }

TEST_INIT_CODE NTSTATUS NTAPI InitDispatch(PDEVICE_OBJECT, PIRP irp) {
  return Complete(irp, STATUS_SUCCESS);
}

TEST_INIT_CODE NTSTATUS NTAPI InitEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  InitHelper();  // init code during DriverEntry: allowed
  driver->MajorFunction[IRP_MJ_CREATE] = InitDispatch;
  return STATUS_SUCCESS;
}

// An entry that takes a spin lock in its own INIT body.
TEST_INIT_CODE NTSTATUS NTAPI InitLockingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  KeReleaseSpinLock(&g_lock, irql);
  return STATUS_SUCCESS;
}

TEST_INIT_CODE void NTAPI InitWorkRoutine(PVOID) {}
TEST_PAGE_CODE void NTAPI PagedCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
}

// Expects count violations of the rule since the last check, each naming the routine.
void ExpectReported(const std::string& rule, const std::string& routine, size_t count = 1) {
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), count);
  for (const auto& v : violations) {
    EXPECT_EQ(v.rule, rule);
    EXPECT_NE(v.message.find(routine + "("), std::string::npos) << v.message;
  }
}

TEST_F(SectionsTest, PageCodeThatRaisesTheIrqlIsReportedByName) {
  PagedLockTaker();
  ExpectReported("PageCodeRaisesIrql", "PagedLockTaker");
  PagedRaiser();  // KeRaiseIrql, KeRaiseIrqlToDpcLevel, the cancel lock
  ExpectReported("PageCodeRaisesIrql", "PagedRaiser", 3);
  // A resident helper holding the lock is what pageable code must call instead.
  PagedCallerOfResident();
  EXPECT_EQ(TakeRules(), Rules{});
}

TEST_F(SectionsTest, RoutinesThatRunRaisedMustBeResident) {
  constexpr ULONG kVector = 0x3C;
  PKINTERRUPT interrupt = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&interrupt, PagedService, nullptr, nullptr, kVector, 16, 16,
                               LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  PagedSynchronizer(interrupt, ResidentSynchronizeRoutine);
  EXPECT_EQ(TakeRules(), Rules{});
  PagedSynchronizer(interrupt, PagedSynchronizeRoutine);
  ExpectReported("PageCodeRaisesIrql", "PagedSynchronizeRoutine");

  std::atomic<bool> asserted{true};  // one interrupt, claimed, then the line drops
  auto source =
      sim::kernel::AttachInterruptSource(kVector, [&asserted] { return asserted.exchange(false); });
  sim::kernel::NotifyInterruptLine(source);
  ExpectReported("PageCodeRaisesIrql", "PagedService");
  sim::kernel::DetachInterruptSource(source);
  IoDisconnectInterrupt(interrupt);

  KDPC dpc;
  KeInitializeDpc(&dpc, PagedDpc, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  sim::kernel::WaitForDpcsIdle();
  ExpectReported("PageCodeRaisesIrql", "PagedDpc");
}

TEST_F(SectionsTest, InitCodeRunAfterDriverEntryReturnedIsReported) {
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(sim::kernel::LoadDriver(InitEntry, u"\\Driver\\InitTest", kRegistryPath, &driver),
            STATUS_SUCCESS);
  // The helper ran during the entry; the dispatch routine it left behind is discarded with it.
  ExpectReported("InitCodeAfterEntry", "InitDispatch");
  InitHelper();
  ExpectReported("InitCodeAfterEntry", "InitHelper");
  sim::kernel::UnloadDriver(driver);

  // INIT code may run during the entry, but never raised.
  ASSERT_EQ(sim::kernel::LoadDriver(InitLockingEntry, u"\\Driver\\InitLockTest", kRegistryPath,
                                    &driver),
            STATUS_SUCCESS);
  ExpectReported("InitCodeRaisesIrql", "InitLockingEntry");
  sim::kernel::UnloadDriver(driver);
}

// Routines the kernel calls back later are checked when they run, not only when registered.
TEST_F(SectionsTest, CallbacksAreCheckedWhenTheyRun) {
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, InitWorkRoutine, nullptr);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  sim::kernel::WaitForWorkItemsIdle();
  ExpectReported("InitCodeAfterEntry", "InitWorkRoutine");

  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCancelRoutine(irp, PagedCancelRoutine);
  EXPECT_TRUE(IoCancelIrp(irp));  // cancel routines run holding the cancel spin lock
  ExpectReported("PageCodeRaisesIrql", "PagedCancelRoutine");
  IoFreeIrp(irp);
}

}  // namespace
}  // namespace kernel_test
