// Executive pool: per-allocation bookkeeping, fault injection, misuse and leaks at unload.
#include "kernel_test_support.h"

namespace kernel_test {
namespace {

using PoolTest = KernelTest;

TEST_F(PoolTest, RecordsTagTypeAndSizeOfEachAllocation) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 8, kOtherTag);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(sim::kernel::PoolAllocationSize(a), 24u);
  EXPECT_EQ(sim::kernel::PoolAllocationTag(a), kTag);
  EXPECT_EQ(sim::kernel::PoolAllocationType(a), NonPagedPool);
  EXPECT_EQ(sim::kernel::PoolAllocationTag(b), kOtherTag);
  EXPECT_EQ(sim::kernel::PoolAllocationType(b), PagedPool);
  EXPECT_EQ(sim::kernel::PoolAllocationSize(static_cast<char*>(a) + 1), 0u);
  EXPECT_EQ(static_cast<unsigned char*>(a)[0], 0xA5);  // fresh pool is not zeroed
  auto stats = sim::kernel::GetPoolStats();
  EXPECT_EQ(stats.outstandingAllocations, 2u);
  EXPECT_EQ(stats.outstandingBytes, 32u);

  ExFreePoolWithTag(a, kTag);
  ExFreePool(b);
  stats = sim::kernel::GetPoolStats();
  EXPECT_EQ(stats.outstandingAllocations, 0u);
  EXPECT_EQ(stats.outstandingBytes, 0u);
  EXPECT_EQ(stats.totalAllocations, 2u);
  EXPECT_EQ(sim::kernel::PoolAllocationTag(a), 0u);
  EXPECT_EQ(sim::kernel::PoolAllocationType(a), -1);
}

TEST_F(PoolTest, FailNthAllocationFailsExactlyThatOne) {
  sim::kernel::FailNthPoolAllocation(3);
  std::vector<void*> blocks;
  for (int i = 0; i < 5; ++i) blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 4, kTag));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(blocks[i] == nullptr, i == 2) << "allocation " << i + 1;
  auto stats = sim::kernel::GetPoolStats();
  EXPECT_EQ(stats.failedAllocations, 1u);
  EXPECT_EQ(stats.outstandingAllocations, 4u);
  for (void* p : blocks) {
    if (p != nullptr) ExFreePool(p);
  }
  sim::kernel::FailNthPoolAllocation(1);
  sim::kernel::FailNthPoolAllocation(0);  // disarmed
  void* p = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
}

TEST_F(PoolTest, BadFreesAreReported) {
  int local = 0;
  ExFreePool(&local);
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  ExFreePoolWithTag(p, kOtherTag);  // wrong tag: reported, still freed
  ExFreePool(p);                    // twice
  EXPECT_EQ(TakeRules(), (Rules{"BadPoolFree", "BadPoolFree", "BadPoolFree"}));
  EXPECT_EQ(sim::kernel::GetPoolStats().outstandingAllocations, 0u);
}

void* g_driverBlock = nullptr;

NTSTATUS NTAPI AllocatingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  g_driverBlock = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  return g_driverBlock != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void NTAPI FreeingUnload(PDRIVER_OBJECT) { ExFreePool(g_driverBlock); }

NTSTATUS NTAPI TidyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  driver->DriverUnload = FreeingUnload;
  return AllocatingEntry(driver, path);
}

TEST_F(PoolTest, PoolLeftAfterUnloadIsALeak) {
  PDRIVER_OBJECT driver;
  ASSERT_EQ(sim::kernel::LoadDriver(TidyEntry, u"\\Driver\\Tidy", kRegistryPath, &driver),
            STATUS_SUCCESS);
  EXPECT_TRUE(sim::kernel::UnloadDriver(driver));  // its unload routine freed the block
  EXPECT_EQ(sim::verifier::PendingCount(), 0u);

  ASSERT_EQ(sim::kernel::LoadDriver(AllocatingEntry, u"\\Driver\\Leaky", kRegistryPath, &driver),
            STATUS_SUCCESS);
  EXPECT_TRUE(sim::kernel::UnloadDriver(driver));
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "PoolLeak");
  EXPECT_NE(violations[0].message.find("\\Driver\\Leaky"), std::string::npos);
  EXPECT_NE(violations[0].message.find("\"Test\""), std::string::npos);
  EXPECT_EQ(sim::kernel::GetPoolStats().outstandingAllocations, 0u);

  sim::kernel::FailNthPoolAllocation(1);  // an entry that fails leaves no driver behind
  EXPECT_EQ(sim::kernel::LoadDriver(AllocatingEntry, u"\\Driver\\Leaky", kRegistryPath, &driver),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(driver, nullptr);
}

}  // namespace
}  // namespace kernel_test
