// I/O space mappings: MmMapIoSpace and MmUnmapIoSpace in pairs, leaks at unload and at
// shutdown, and a mapping refused by fault injection.
#include <cstring>

#include "kernel_test_support.h"

namespace kernel_test {
namespace {

PHYSICAL_ADDRESS Physical(LONGLONG address) { return PHYSICAL_ADDRESS{.QuadPart = address}; }

class IoSpaceTest : public KernelTest {};

TEST_F(IoSpaceTest, MappingsAreZeroedDistinctAndUnmappedInPairs) {
  auto* first = static_cast<UCHAR*>(MmMapIoSpace(Physical(0xFEB00000), 256, MmNonCached));
  auto* second = static_cast<UCHAR*>(MmMapIoSpace(Physical(0xFEB00000), 16, MmNonCached));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 2u);
  UCHAR zeros[256] = {};
  EXPECT_EQ(std::memcmp(first, zeros, sizeof zeros), 0);
  std::memset(first, 0x5A, 256);  // the whole length is usable
  EXPECT_EQ(second[0], 0);
  MmUnmapIoSpace(first, 256);
  MmUnmapIoSpace(second, 16);
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 0u);
}

TEST_F(IoSpaceTest, UnmappingWhatWasNotMappedOrWithAnotherLengthIsReported) {
  PVOID mapping = MmMapIoSpace(Physical(0xE0000000), 64, MmNonCached);
  MmUnmapIoSpace(mapping, 32);
  EXPECT_EQ(TakeRules(), Rules{"MappingMismatch"});
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 0u);
  MmUnmapIoSpace(mapping, 64);  // the second unmap of one mapping
  EXPECT_EQ(TakeRules(), Rules{"MappingMismatch"});
  UCHAR notMapped[8];
  MmUnmapIoSpace(notMapped, sizeof notMapped);
  EXPECT_EQ(TakeRules(), Rules{"MappingMismatch"});
}

TEST_F(IoSpaceTest, MappingsLeftAtUnloadOrShutdownAreLeaks) {
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(sim::kernel::LoadDriver(FakeDriverEntry, u"\\Driver\\Fake", kRegistryPath, &driver),
            STATUS_SUCCESS);
  MmMapIoSpace(Physical(0xE0000000), 64, MmNonCached);
  EXPECT_TRUE(sim::kernel::UnloadDriver(driver));
  EXPECT_EQ(TakeRules(), Rules{"MappingLeak"});
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 0u);

  MmMapIoSpace(Physical(0xE0001000), 8, MmNonCached);
  sim::kernel::Shutdown();
  EXPECT_EQ(TakeRules(), Rules{"MappingLeak"});
  sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110);
}

TEST_F(IoSpaceTest, FaultInjectionFailsOnlyTheNextMapping) {
  sim::kernel::FailNextMapIoSpace();
  EXPECT_EQ(MmMapIoSpace(Physical(0xE0000000), 64, MmNonCached), nullptr);
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 0u);
  PVOID mapping = MmMapIoSpace(Physical(0xE0000000), 64, MmNonCached);
  EXPECT_NE(mapping, nullptr);
  MmUnmapIoSpace(mapping, 64);
}

TEST_F(IoSpaceTest, MappingAboveDispatchLevelIsRefused) {
  KIRQL old;
  KeRaiseIrql(PROFILE_LEVEL, &old);
  EXPECT_EQ(MmMapIoSpace(Physical(0xE0000000), 64, MmNonCached), nullptr);
  KeLowerIrql(old);
  EXPECT_EQ(TakeRules(), Rules{"IrqlTooHigh"});
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 0u);
}

}  // namespace
}  // namespace kernel_test
