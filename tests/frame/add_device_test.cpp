// AddDevice: the device object, its link and extension, and the failure paths that must
// leave nothing behind.
#include "driver_test.h"

#include "hw/interrupt.h"
#include "sim/kernel.h"

namespace {

class AddDeviceTest : public DriverTest {
 protected:
  // A link owned by someone else, as another driver would create it.
  static NTSTATUS CreateForeignLink(PCWSTR link, PCWSTR target) {
    UNICODE_STRING linkName, targetName;
    RtlInitUnicodeString(&linkName, link);
    RtlInitUnicodeString(&targetName, target);
    return IoCreateSymbolicLink(&linkName, &targetName);
  }
  static void DeleteLink(PCWSTR link) {
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, link);
    IoDeleteSymbolicLink(&linkName);
  }
  size_t DriverDeviceCount() {
    size_t count = 0;
    for (PDEVICE_OBJECT d = sim::DriverOf(Machine())->DeviceObject; d; d = d->NextDevice) ++count;
    return count;
  }
};

TEST_F(AddDeviceTest, CreatesTheNamedDeviceAttachedOnThePdo) {
  BootWithDevice();
  PDEVICE_OBJECT fdo = Fdo();
  ASSERT_NE(fdo, nullptr);
  PDEVICE_OBJECT pdo = sim::PdoOf(Machine());
  EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(fdo->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(fdo->Flags & (DO_EXCLUSIVE | DO_BUFFERED_IO | DO_DIRECT_IO | DO_DEVICE_INITIALIZING), 0u);
  EXPECT_NE(fdo->Flags & DO_POWER_PAGABLE, 0u);
  EXPECT_EQ(fdo->StackSize, pdo->StackSize + 1);

  DEVICE_EXTENSION* extension = Extension();
  EXPECT_EQ(extension->DeviceObject, fdo);
  EXPECT_EQ(extension->Pdo, pdo);
  EXPECT_EQ(extension->LowerDeviceObject, pdo);
  EXPECT_EQ(extension->PnpState, StateStopped);
  EXPECT_EQ(extension->SystemPower, PowerSystemWorking);
  EXPECT_EQ(extension->DevicePower, PowerDeviceD0);
  EXPECT_EQ(sim::kernel::ReportedDevicePowerState(fdo), PowerDeviceD0);  // told the system too
  EXPECT_EQ(extension->RemoveLock.Count, 1);
  EXPECT_FALSE(extension->RemoveLock.Removing);
  EXPECT_TRUE(IsListEmpty(&extension->PendingList));
  EXPECT_EQ(extension->BoardPort, 0u);
  EXPECT_EQ(extension->LastError, 0u);
  EXPECT_EQ(fdo->Dpc.DeferredRoutine, &InterruptDpc);
  EXPECT_EQ(fdo->Dpc.DeferredContext, fdo);

  // The user-visible link leads to the device: an open through it reaches the driver (once
  // the device is started: the platform refuses opens before).
  sim::nt::Handle handle = 0;
  EXPECT_EQ(Open(&handle), STATUS_NO_SUCH_DEVICE);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
}

TEST_F(AddDeviceTest, LinkCollisionReturnsItsStatusAndLeavesNoDeviceNorTouchesTheOtherLink) {
  Boot();
  ASSERT_EQ(CreateForeignLink(L"\\DosDevices\\Tarvik", L"\\Device\\Elsewhere"), STATUS_SUCCESS);
  EXPECT_EQ(Machine().AddDevice(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(DriverDeviceCount(), 0u);
  EXPECT_FALSE(Machine().DevicePresent());
  // The foreign link still stands: opening it finds no device rather than ours.
  sim::nt::Handle handle = 0;
  EXPECT_EQ(Open(&handle), STATUS_OBJECT_NAME_NOT_FOUND);
  DeleteLink(L"\\DosDevices\\Tarvik");
  // With the name free again the card can be added.
  EXPECT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
}

TEST_F(AddDeviceTest, AttachFailureLeavesNoDeviceAndNoLinkSoTheCardCanBeAddedAgain) {
  Boot();
  sim::kernel::FailNextAttach();
  EXPECT_EQ(Machine().AddDevice(), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(DriverDeviceCount(), 0u);
  sim::nt::Handle handle = 0;
  EXPECT_EQ(Open(&handle), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(sim::kernel::GetPoolStats().outstandingAllocations, 1u);  // only the path copy

  EXPECT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  EXPECT_TRUE(Machine().DevicePresent());
}

TEST_F(AddDeviceTest, ExistingDeviceNameFailsAtOnce) {
  Boot();
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Tarvik");
  PDEVICE_OBJECT squatter = nullptr;
  ASSERT_EQ(IoCreateDevice(sim::DriverOf(Machine()), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                           &squatter),
            STATUS_SUCCESS);
  EXPECT_EQ(Machine().AddDevice(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(DriverDeviceCount(), 1u);
  IoDeleteDevice(squatter);
  // No link was made for the failed attempt.
  EXPECT_EQ(CreateForeignLink(L"\\DosDevices\\Tarvik", L"\\Device\\Tarvik"), STATUS_SUCCESS);
  DeleteLink(L"\\DosDevices\\Tarvik");
}

TEST_F(AddDeviceTest, RemovalDeletesTheLinkAndTheCardCanBeAddedAgain) {
  for (auto wdm : {sim::kernel::WdmSupport::Wdm110, sim::kernel::WdmSupport::Wdm10Only}) {
    BootWithDevice(wdm);
    EXPECT_EQ(Machine().SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Machine().DevicePresent());
    EXPECT_EQ(DriverDeviceCount(), 0u);
    sim::nt::Handle handle = 0;
    EXPECT_EQ(Open(&handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    machine_.reset();
  }
}

}  // namespace
