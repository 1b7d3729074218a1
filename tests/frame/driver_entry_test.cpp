// Driver entry: platform detection, the registry-path copy, the dispatch table and unload.
#include "driver_test.h"

#include "sim/kernel.h"

namespace {

using sim::kernel::WdmSupport;

class DriverEntryTest : public DriverTest {};

TEST_F(DriverEntryTest, Win98ModeFollowsTheReportedWdmRevision) {
  Boot(WdmSupport::Wdm10Only);
  EXPECT_TRUE(Win98Mode);
  machine_.reset();
  Boot(WdmSupport::Wdm110);
  EXPECT_FALSE(Win98Mode);
}

TEST_F(DriverEntryTest, RefusesToLoadWithoutWdm10AndAllocatesNothing) {
  machine_.emplace(sim::MachineOptions{WdmSupport::None});
  EXPECT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(machine_->DriverLoaded());
  EXPECT_EQ(sim::kernel::GetPoolStats().totalAllocations, 0u);
}

TEST_F(DriverEntryTest, KeepsATerminatedCopyOfTheRegistryPathInPagedPool) {
  Boot();
  const std::u16string& path = machine_->Options().registryPath;
  const USHORT length = static_cast<USHORT>(path.size() * 2);
  ASSERT_NE(RegistryPathCopy.Buffer, nullptr);
  EXPECT_EQ(RegistryPathCopy.Length, length);
  EXPECT_EQ(RegistryPathCopy.MaximumLength, length + 2);
  // 2-byte characters, as on the platform: the buffer is the path's byte length plus a NUL.
  EXPECT_EQ(sim::kernel::PoolAllocationSize(RegistryPathCopy.Buffer), length + 2u);
  EXPECT_EQ(sim::kernel::PoolAllocationTag(RegistryPathCopy.Buffer), 0x206D6457u);  // "Wdm "
  EXPECT_EQ(sim::kernel::PoolAllocationType(RegistryPathCopy.Buffer), PagedPool);
  std::u16string copy(reinterpret_cast<const char16_t*>(RegistryPathCopy.Buffer), path.size());
  EXPECT_EQ(copy, path);
  EXPECT_EQ(RegistryPathCopy.Buffer[path.size()], 0);
}

TEST_F(DriverEntryTest, RefusesAPathWhoseCopyWouldNotFitSixteenBits) {
  // 0x7FFF characters are 0xFFFE bytes: with the NUL the copy needs 0x10000, which a 16-bit
  // length cannot hold. One character fewer still fits.
  sim::MachineOptions options;
  options.registryPath = std::u16string(0x7FFF, u'A');
  machine_.emplace(options);
  EXPECT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(sim::kernel::GetPoolStats().totalAllocations, 0u);
  machine_.reset();
  options.registryPath.pop_back();
  machine_.emplace(options);
  ASSERT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), STATUS_SUCCESS);
  EXPECT_EQ(RegistryPathCopy.MaximumLength, 0xFFFE);
}

TEST_F(DriverEntryTest, FailsCleanlyWhenThePathCopyCannotBeAllocated) {
  machine_.emplace();
  sim::kernel::FailNthPoolAllocation(1);
  EXPECT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(sim::kernel::GetPoolStats().outstandingAllocations, 0u);
}

TEST_F(DriverEntryTest, SetsOnlyItsOwnEntriesAndUnloadFreesTheCopy) {
  Boot();
  PDRIVER_OBJECT driver = sim::DriverOf(Machine());
  EXPECT_EQ(driver->DriverUnload, &DriverUnload);
  EXPECT_EQ(driver->DriverExtension->AddDevice, &AddDevice);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &DispatchCreate);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &DispatchClose);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], &DispatchPnp);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], &DispatchSystemControl);
  // No read or write entry points: those keep the I/O manager's default handler.
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], driver->MajorFunction[IRP_MJ_WRITE]);
  EXPECT_NE(driver->MajorFunction[IRP_MJ_READ], &DispatchCreate);

  EXPECT_TRUE(machine_->UnloadDriver());  // a leak would be reported by the verifier
  EXPECT_EQ(sim::kernel::GetPoolStats().outstandingAllocations, 0u);
}

}  // namespace
