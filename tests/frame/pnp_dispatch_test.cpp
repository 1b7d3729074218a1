// PnP routing through the I/O manager: codes the driver does not handle go down unchanged,
// every request gives its remove-lock reference back, and ForwardAndWait waits for a lower
// driver that completes later from another thread.
#include <chrono>

#include "driver_test.h"

namespace {

using namespace std::chrono_literals;

class PnpDispatchTest : public DriverTest {};

// Codes from 0x18 up, and query-interface, which other drivers send to the stack at any time
// after AddDevice (this one exports no interface of its own).
TEST_F(PnpDispatchTest, UnhandledCodesArePassedDownUnchanged) {
  BootWithDevice();
  size_t enumeration = Machine().BusPnpRequests().size();  // before AddDevice
  for (UCHAR minor : {IRP_MN_QUERY_INTERFACE, 0x18, 0x19, 0x7F, 0xFF}) {
    // The bus driver leaves an unknown code's status as it came: untouched on the way down.
    EXPECT_EQ(Machine().SendPnp(minor), STATUS_NOT_SUPPORTED) << int(minor);
    EXPECT_EQ(RemoveLockCount(), 1) << int(minor);
  }
  auto all = Machine().BusPnpRequests();
  std::vector<sim::BusPnpRecord> requests(all.begin() + enumeration, all.end());
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].minor, IRP_MN_QUERY_INTERFACE);
  EXPECT_EQ(requests[4].minor, 0xFF);
  for (const auto& request : requests) EXPECT_EQ(request.statusOnArrival, STATUS_NOT_SUPPORTED);
}

TEST_F(PnpDispatchTest, ALowerFailureIsReturnedAsIs) {
  BootWithDevice();
  Machine().SetBusPnpAnswer(0x18, sim::BusAnswer::Fail(STATUS_INVALID_DEVICE_REQUEST));
  Machine().SetBusPnpAnswer(IRP_MN_QUERY_ID, sim::BusAnswer::Later(STATUS_NOT_SUPPORTED, 20ms));
  EXPECT_EQ(Machine().SendPnp(0x18), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Machine().SendPnp(IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(RemoveLockCount(), 1);
}

// WMI requests for the bus driver's provider are passed down under a remove-lock reference,
// and refused once removal has begun.
TEST_F(PnpDispatchTest, WmiRequestsArePassedDownUntilRemovalBegins) {
  BootWithDevice();
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);  // registers the bus driver's provider
  EXPECT_EQ(Machine().SendWmiRequest(IRP_MN_QUERY_ALL_DATA), STATUS_SUCCESS);
  EXPECT_EQ(Machine().BusWmiRequests(), (std::vector<UCHAR>{IRP_MN_REGINFO, IRP_MN_QUERY_ALL_DATA}));
  EXPECT_EQ(RemoveLockCount(), 1);
  Extension()->RemoveLock.Removing = TRUE;
  EXPECT_EQ(Machine().SendWmiRequest(IRP_MN_QUERY_ALL_DATA), STATUS_DELETE_PENDING);
  Extension()->RemoveLock.Removing = FALSE;
}

// Query-capabilities is forwarded and waited for; the copy must see what the bus driver
// filled in, which it does only when it completes, later, on its own thread.
TEST_F(PnpDispatchTest, ForwardAndWaitReturnsOnlyAfterTheLowerDriverCompletes) {
  BootWithDevice();
  Machine().SetBusPnpAnswer(IRP_MN_QUERY_CAPABILITIES, sim::BusAnswer::Later(STATUS_SUCCESS, 50ms));
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  NTSTATUS status = sim::SendPnpRequest(Machine(), IRP_MN_QUERY_CAPABILITIES,
                                        [&](PIO_STACK_LOCATION stack) {
                                          stack->Parameters.DeviceCapabilities.Capabilities = &caps;
                                        });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Extension()->DeviceCaps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(Extension()->DeviceCaps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
  EXPECT_EQ(Extension()->DeviceCaps.Version, 1);
  EXPECT_EQ(RemoveLockCount(), 1);
}

TEST_F(PnpDispatchTest, ForwardAndWaitKeepsTheLowerFailureAndCopiesNothing) {
  BootWithDevice();
  Machine().SetBusPnpAnswer(IRP_MN_QUERY_CAPABILITIES, sim::BusAnswer::Fail(STATUS_UNSUCCESSFUL));
  DEVICE_CAPABILITIES caps{};
  caps.Version = 1;
  caps.Address = 0x1234;
  EXPECT_EQ(sim::SendPnpRequest(Machine(), IRP_MN_QUERY_CAPABILITIES,
                                [&](PIO_STACK_LOCATION stack) {
                                  stack->Parameters.DeviceCapabilities.Capabilities = &caps;
                                }),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Extension()->DeviceCaps.Address, 0u);
  EXPECT_EQ(Extension()->DeviceCaps.Version, 0);
}

TEST_F(PnpDispatchTest, AVersionZeroCapabilitiesRecordIsOnlyPassedDown) {
  BootWithDevice();
  DEVICE_CAPABILITIES caps{};
  caps.Version = 0;
  EXPECT_EQ(sim::SendPnpRequest(Machine(), IRP_MN_QUERY_CAPABILITIES,
                                [&](PIO_STACK_LOCATION stack) {
                                  stack->Parameters.DeviceCapabilities.Capabilities = &caps;
                                }),
            STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);  // the bus filled it in
  EXPECT_EQ(Extension()->DeviceCaps.DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
}

TEST_F(PnpDispatchTest, RemovalPassedDownToASlowBusStillCompletesAndDeletesTheDevice) {
  BootWithDevice();
  Machine().SetBusPnpAnswer(IRP_MN_REMOVE_DEVICE, sim::BusAnswer::Later(STATUS_SUCCESS, 30ms));
  EXPECT_EQ(Machine().SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(Machine().DevicePresent());
}

}  // namespace
