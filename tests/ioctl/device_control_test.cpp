// The device-control dispatcher and the last-error register, through the I/O manager.
#include <chrono>
#include <future>
#include <thread>

#include "driver_test.h"

namespace {

using namespace std::chrono_literals;

class DeviceControlTest : public DriverTest {
 protected:
  void SetUp() override {
    BootWithDevice();
    AssignCardRanges();
  }
  // A request that fails and leaves a known code: a raw port read outside the card.
  void LeavePortRangeError() {
    PORT_IO_REQUEST request{0x80, 0, {0}};
    ASSERT_EQ(Control(IOCTL_DAQ_PORT_IN_BYTE, &request, sizeof request, &request, sizeof request),
              STATUS_ACCESS_DENIED);
  }
};

TEST_F(DeviceControlTest, InformationIsTheOutputLengthOnEveryCompletion) {
  ULONG_PTR information = 0;
  ULONG value = 0;
  EXPECT_EQ(Control(IOCTL_DAQ_GET_LAST_ERROR, nullptr, 0, &value, 4, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 4u);
  UCHAR big[100] = {};
  EXPECT_EQ(Control(IOCTL_DAQ_GET_LAST_ERROR, nullptr, 0, big, 100, &information),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(information, 100u);
  EXPECT_EQ(Control(0x22200C, nullptr, 0, big, 37, &information), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(information, 37u);
}

TEST_F(DeviceControlTest, UnknownCodesAndCodesNotServedYetTouchNothing) {
  LeavePortRangeError();
  const ULONG unknown[] = {
      0x22200C,                        // function 0x803, not used
      0x222024,                        // function 0x809, not used
      IOCTL_DAQ_GET_LAST_ERROR | 1,    // a used function with another method
      IOCTL_DAQ_PORT_IN_BYTE | 0x4000, // ... or another access
      0x00222030 + 0x10000,            // another device type
  };
  for (ULONG code : unknown) {
    EXPECT_EQ(Control(code, nullptr, 0, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
  }
  EXPECT_EQ(LastError(), DAQ_ERR_PORT_RANGE);
  EXPECT_EQ(RemoveLockCount(), 2);  // the lock's own and the test's open handle
}

TEST_F(DeviceControlTest, LastErrorIsReadWithExactLengthsAndIsNotClearedByReading) {
  LeavePortRangeError();
  ULONG value[2] = {};
  EXPECT_EQ(Control(IOCTL_DAQ_GET_LAST_ERROR, nullptr, 0, value, 8), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Control(IOCTL_DAQ_GET_LAST_ERROR, value, 4, value, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_PORT_RANGE);
  EXPECT_EQ(LastError(), DAQ_ERR_PORT_RANGE);
  // A request that keeps the register clears it when it succeeds.
  PORT_IO_REQUEST request{static_cast<uint16_t>(Machine().Options().card.bridgeBase), 0, {0}};
  ASSERT_EQ(Control(IOCTL_DAQ_PORT_IN_WORD, &request, 2, &request, 2), STATUS_SUCCESS);
  EXPECT_EQ(LastError(), DAQ_OK);
}

TEST_F(DeviceControlTest, RequestsDuringRemovalAreRefusedWithInformationZero) {
  test_support::ReleaseCardResources(Machine());  // as the removal will, before the wait
  sim::nt::Handle handle = 0;
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  auto removal = std::async(std::launch::async, [this] { return Machine().SendPnp(IRP_MN_REMOVE_DEVICE); });
  // The removal passes the request down first, then drains the remove lock, waiting for the
  // handles: requests are refused from the drain on.
  REMOVE_LOCK* lock = &Extension()->RemoveLock;
  while (!__atomic_load_n(&lock->Removing, __ATOMIC_SEQ_CST)) std::this_thread::sleep_for(1ms);
  sim::nt::IoStatus iosb{};
  ULONG value = 0;
  EXPECT_EQ(sim::nt::DeviceIoControlFile(handle, 0, &iosb, IOCTL_DAQ_GET_LAST_ERROR, nullptr, 0,
                                         &value, 4),
            STATUS_DELETE_PENDING);
  EXPECT_EQ(iosb.information, 0u);
  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
  if (controlHandle_ != 0) {
    EXPECT_EQ(sim::nt::Close(controlHandle_), STATUS_SUCCESS);
    controlHandle_ = 0;
  }
  EXPECT_EQ(removal.get(), STATUS_SUCCESS);
}

}  // namespace
