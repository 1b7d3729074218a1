// Calling into loaded images, which needs the i686 build: the test images' DriverEntry runs
// through the emulated kernel's fastcall spin-lock exports, and the broken variants are caught.
#include "loader_test_support.h"
#include "sim/loaded_driver.h"

namespace loader_test {
namespace {

#if defined(__i386__)

using ImageCallTest = BootedKernel;

struct EntryRun {
  NTSTATUS status;
  std::vector<sim::verifier::Violation> violations;
};

EntryRun RunEntry(const sim::loader::LoadedDriver& driver) {
  PDRIVER_OBJECT object = nullptr;
  NTSTATUS status = sim::kernel::LoadDriver(reinterpret_cast<PDRIVER_INITIALIZE>(driver.Entry()),
                                            u"\\Driver\\Stub", u"\\Registry\\Stub", &object);
  if (object != nullptr) {
    EXPECT_TRUE(sim::kernel::UnloadDriver(object));
  }
  return {status, sim::verifier::TakeViolations()};
}

TEST_F(ImageCallTest, EntryRunsAndPageIsPagedBackInAtPassiveLevel) {
  auto driver = sim::loader::LoadedDriver::Load(StubImage("stub.sys"), true);
  EntryRun run = RunEntry(*driver);
  EXPECT_EQ(run.status, STATUS_SUCCESS);  // the relocated counter went from 40 to 41
  EXPECT_TRUE(run.violations.empty()) << run.violations[0].message;
  // INIT is gone now: the entry's code faults and is named.
  using Entry = NTSTATUS(NTAPI*)(void*, void*);
  reinterpret_cast<Entry>(driver->Image().Entry())(nullptr, nullptr);
  auto violations = sim::verifier::TakeViolations();
  EXPECT_TRUE(Reported(violations, "InitCodeAfterEntry", "DriverEntry")) << violations.size();
}

TEST_F(ImageCallTest, LockHolderPlacedInPageIsCaught) {
  auto driver = sim::loader::LoadedDriver::Load(StubImage("stub_page_lock.sys"), true);
  EntryRun run = RunEntry(*driver);
  EXPECT_EQ(run.status, STATUS_SUCCESS);
  // The raise trims PAGE; the holder's next instruction, run at DISPATCH_LEVEL, faults.
  EXPECT_TRUE(Reported(run.violations, "PageFaultAtRaisedIrql", "CountUnderLock"));
  EXPECT_TRUE(Reported(run.violations, "PageCodeRaisesIrql", "CountUnderLock"));
}

TEST_F(ImageCallTest, EntryWithTheWrongCallingConventionIsCaught) {
  auto driver = sim::loader::LoadedDriver::Load(StubImage("stub_cdecl_entry.sys"), true);
  EntryRun run = RunEntry(*driver);
  EXPECT_EQ(run.status, STATUS_SUCCESS);
  ASSERT_EQ(run.violations.size(), 1u);
  EXPECT_TRUE(Reported(run.violations, "CallingConvention", "moved by -8 bytes"))
      << run.violations[0].message;
}

// Special pool on an image, where AddressSanitizer cannot look: the overrun faults at once and
// names the image's routine and the allocation's tag; the other is found at the free.
TEST_F(ImageCallTest, PoolOverrunsInTheImageAreCaughtBySpecialPool) {
  auto driver = sim::loader::LoadedDriver::Load(StubImage("stub_pool_overrun.sys"), true);
  EntryRun run = RunEntry(*driver);
  EXPECT_EQ(run.status, STATUS_SUCCESS);
  EXPECT_TRUE(Reported(run.violations, "SpecialPoolOverrun", "WritePastEnd"));
  EXPECT_TRUE(Reported(run.violations, "SpecialPoolOverrun", "tagged \"Wdm \""));
  EXPECT_TRUE(Reported(run.violations, "SpecialPoolCorruption", "past its end"));
}

TEST(ImageLoadTest, ShippedImageBindsToTheEmulatedKernel) {
  auto driver = sim::loader::LoadedDriver::Load(TARVIK_SHIPPED_IMAGE, false);
  EXPECT_NE(driver->Entry(), nullptr);
}

#else

TEST(ImageLoadTest, RunningAnImageNeedsTheI686Build) {
  EXPECT_THROW(sim::loader::LoadedDriver::Load(StubImage("stub.sys"), true), sim::loader::ImageError);
}

#endif

}  // namespace
}  // namespace loader_test
