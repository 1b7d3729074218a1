// The rendezvous through the library: a PendingWait parked on its own handle, completed by
// another client's Signal, cancelled explicitly or by going out of scope.
#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

#include "lib_fixture.h"

namespace {

using namespace std::chrono_literals;
using lib_test::Failure;
using lib_test::LibTest;
using tarvik::Error;
using tarvik::PendingWait;

TEST_F(LibTest, ASignalFromAnotherClientCompletesTheWaitWithItsValue) {
  PendingWait wait = device_->BeginWait();
  EXPECT_EQ(wait.Wait(20ms), std::nullopt);
  EXPECT_FALSE(wait.Completed());
  std::thread other([] {
    tarvik::Device signaller;
    signaller.Signal(0x04030201);
  });
  EXPECT_EQ(wait.Wait(5s), 0x04030201u);
  other.join();
  EXPECT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Wait(0ms), 0x04030201u);  // the value stays
  EXPECT_FALSE(wait.Cancel());             // nothing left to cancel
}

TEST_F(LibTest, SignalsWithoutAWaitAndSecondWaitsAreRefusedInWords) {
  Error nobody = Failure([&] { device_->Signal(1); });
  EXPECT_STREQ(nobody.what(),
               "signal the waiting client failed: no client is waiting (Win32 error 31)");
  EXPECT_EQ(nobody.LastError(), DAQ_OK);  // the rendezvous keeps no last error
  PendingWait first = device_->BeginWait();
  Error second = Failure([&] { device_->BeginWait(); });
  EXPECT_NE(std::string(second.what()).find("another wait is already parked"), std::string::npos);
  device_->Signal(9);
  EXPECT_EQ(first.Wait(5s), 9u);
}

TEST_F(LibTest, CancellingOrDroppingAWaitFreesTheSlot) {
  PendingWait wait = device_->BeginWait();
  EXPECT_TRUE(wait.Cancel());
  EXPECT_TRUE(wait.Completed());
  Error cancelled = Failure([&] { wait.Wait(1s); });
  EXPECT_EQ(cancelled.Win32Error(), static_cast<uint32_t>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(cancelled.Status(), static_cast<int32_t>(0xC0000120));
  EXPECT_NE(std::string(cancelled.what()).find("the request was cancelled"), std::string::npos);

  { PendingWait dropped = device_->BeginWait(); }  // cancelled by its destructor
  EXPECT_THROW(device_->Signal(1), Error);         // nobody waits any more

  // Moved, the wait keeps its request; the moved-to object gets the value.
  PendingWait moved = device_->BeginWait();
  PendingWait target = std::move(moved);
  device_->Signal(77);
  EXPECT_EQ(target.Wait(5s), 77u);
  EXPECT_THROW(moved.Wait(0ms), std::logic_error);
}

// The driver's targets have no CancelIoEx, and CancelIo reaches the calling thread's requests
// only: a wait begun on one thread and cancelled or dropped on another still ends.
TEST_F(LibTest, AWaitCancelledOrDroppedOnAnotherThreadEnds) {
  PendingWait wait = device_->BeginWait();
  bool cancelled = false;
  std::thread([&] { cancelled = wait.Cancel(); }).join();
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(Failure([&] { wait.Wait(1s); }).Win32Error(),
            static_cast<uint32_t>(ERROR_OPERATION_ABORTED));
  EXPECT_THROW(device_->Signal(1), Error);  // the slot is free

  std::thread([waitThere = device_->BeginWait()]() mutable { PendingWait gone = std::move(waitThere); })
      .join();
  EXPECT_THROW(device_->Signal(2), Error);

  // A signal that won before the cancel keeps its value.
  PendingWait signalled = device_->BeginWait();
  device_->Signal(3);
  std::thread([&] { cancelled = signalled.Cancel(); }).join();
  EXPECT_FALSE(cancelled);
  EXPECT_EQ(signalled.Wait(0ms), 3u);
}

TEST_F(LibTest, StoppingTheDeviceCancelsTheWaitAndRefusesNewOnes) {
  PendingWait wait = device_->BeginWait();
  ASSERT_EQ(machine_->StopDevice(), 0);
  EXPECT_EQ(Failure([&] { wait.Wait(5s); }).Win32Error(),
            static_cast<uint32_t>(ERROR_OPERATION_ABORTED));
  EXPECT_THROW(device_->BeginWait(), Error);
  ASSERT_EQ(machine_->StartDevice(), 0);
  PendingWait again = device_->BeginWait();
  device_->Signal(5);
  EXPECT_EQ(again.Wait(5s), 5u);
}

}  // namespace
