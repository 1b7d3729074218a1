// Create and close through the I/O manager: the handle's remove-lock reference, and removal
// that waits for open handles outside the 98/Me family.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "driver_test.h"

namespace {

using namespace std::chrono_literals;
using sim::kernel::WdmSupport;

class CreateCloseTest : public DriverTest {};

// Windows 2000/XP lets nobody open the device before its first start has succeeded ("Starting
// a Device"); 98/Me does.
TEST_F(CreateCloseTest, OpensWaitForTheFirstStartOnWindows2000) {
  BootWithDevice(WdmSupport::Wdm110);
  sim::nt::Handle handle = 0;
  EXPECT_EQ(Open(&handle), STATUS_NO_SUCH_DEVICE);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
  machine_.reset();
  BootWithDevice(WdmSupport::Wdm10Only);
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
}

TEST_F(CreateCloseTest, EachHandleHoldsAReferenceUntilClose) {
  BootWithDevice(WdmSupport::Wdm110);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  sim::nt::Handle first = 0, second = 0;
  ASSERT_EQ(Open(&first), STATUS_SUCCESS);
  ASSERT_EQ(Open(&second), STATUS_SUCCESS);
  EXPECT_EQ(RemoveLockCount(), 3);
  EXPECT_EQ(sim::nt::Close(first), STATUS_SUCCESS);
  EXPECT_EQ(RemoveLockCount(), 2);
  EXPECT_EQ(sim::nt::Close(second), STATUS_SUCCESS);
  EXPECT_EQ(RemoveLockCount(), 1);
}

TEST_F(CreateCloseTest, AReferenceKeptWithTheDeviceIdleIsReported) {
  BootWithDevice(WdmSupport::Wdm110);
  ASSERT_EQ(AcquireRemoveLock(&Extension()->RemoveLock), STATUS_SUCCESS);  // never released
  CheckRemoveLockIdle();
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "RemoveLock");
  ReleaseRemoveLock(&Extension()->RemoveLock);
}

TEST_F(CreateCloseTest, Win98HandlesHoldNoReference) {
  BootWithDevice(WdmSupport::Wdm10Only);
  sim::nt::Handle handle = 0;
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  EXPECT_EQ(RemoveLockCount(), 1);
  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(RemoveLockCount(), 1);
}

TEST_F(CreateCloseTest, RemovalWaitsForTheLastOpenHandle) {
  BootWithDevice(WdmSupport::Wdm110);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  sim::nt::Handle handle = 0;
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);

  auto removal = std::async(std::launch::async, [this] {
    return Machine().SendPnp(IRP_MN_REMOVE_DEVICE);
  });
  // The removal has been passed down to the bus driver; the handler now waits for the handle.
  auto removalPassedDown = [this] {
    for (const auto& request : Machine().BusPnpRequests()) {
      if (request.minor == IRP_MN_REMOVE_DEVICE) return true;
    }
    return false;
  };
  while (!removalPassedDown()) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(removal.wait_for(100ms), std::future_status::timeout);

  // While it waits, new opens and PnP requests are refused; the open handle's close is not.
  sim::nt::Handle late = 0;
  EXPECT_EQ(Open(&late), STATUS_DELETE_PENDING);
  EXPECT_EQ(Machine().SendPnp(0x18), STATUS_DELETE_PENDING);
  EXPECT_EQ(removal.wait_for(0ms), std::future_status::timeout);

  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(removal.get(), STATUS_SUCCESS);
  EXPECT_FALSE(Machine().DevicePresent());
}

// After a surprise removal the platform sends the removal only once the last handle is closed.
TEST_F(CreateCloseTest, TheRemovalAfterASurpriseRemovalWaitsForTheLastHandle) {
  BootWithDevice(WdmSupport::Wdm110);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  sim::nt::Handle handle = 0;
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  auto removal = std::async(std::launch::async, [this] { return Machine().SurpriseRemoveDevice(); });
  auto busMinors = [this] {
    std::vector<UCHAR> minors;
    for (const auto& request : Machine().BusPnpRequests()) minors.push_back(request.minor);
    return minors;
  };
  while (busMinors().back() != IRP_MN_SURPRISE_REMOVAL) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(removal.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(busMinors().back(), IRP_MN_SURPRISE_REMOVAL);  // no removal yet

  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(removal.get(), STATUS_SUCCESS);
  EXPECT_EQ(busMinors().back(), IRP_MN_REMOVE_DEVICE);
  EXPECT_FALSE(Machine().DevicePresent());
}

TEST_F(CreateCloseTest, Win98RemovalDoesNotWaitAndTheLateCloseStillSucceeds) {
  BootWithDevice(WdmSupport::Wdm10Only);
  sim::nt::Handle handle = 0;
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  EXPECT_EQ(Machine().SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(Machine().DevicePresent());
  // The device object lives on, deleted, until its last file object is closed.
  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
}

}  // namespace
