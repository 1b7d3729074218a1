// The device's Plug and Play life through the PnP manager: start with the resources it
// assigns, the stop and removal sequences and their state table, the resource cases, and the
// quiescing of a running acquisition when the resources go.
#include <chrono>
#include <future>
#include <thread>

#include "driver_test.h"

#include "sim/io.h"
#include "sim/kernel.h"
#include "sim/schedule.h"

namespace {

using namespace std::chrono_literals;
using sim::ResourceLayout;

class PnpLifecycleTest : public DriverTest {
 protected:
  void Boot(ResourceLayout layout = ResourceLayout::Standard,
            sim::kernel::WdmSupport wdm = sim::kernel::WdmSupport::Wdm110) {
    sim::MachineOptions options;
    options.wdm = wdm;
    options.resources = layout;
    machine_.emplace(options);
    ASSERT_EQ(Machine().LoadDriver(sim::TarvikDriverImage()), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  }
  void StartAcquisition() {
    UCHAR open[16] = {};
    ASSERT_EQ(Control(IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0), STATUS_SUCCESS);
    START_PARAMETERS start = AcquisitionParameters(2, 4);
    ASSERT_EQ(Control(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0), STATUS_SUCCESS);
  }
  LONG State() { return Extension()->PnpState; }
};

TEST_F(PnpLifecycleTest, StartAssignsTheCardsResourcesAndTheCardWorks) {
  Boot();
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  DEVICE_EXTENSION* e = Extension();
  EXPECT_EQ(State(), StateStarted);
  EXPECT_EQ(e->PortCount, 2);
  EXPECT_EQ(e->MemCount, 1);
  EXPECT_EQ(e->BridgePort, 0xE000u);
  EXPECT_EQ(e->BoardPort, 0xE400u);
  EXPECT_EQ(e->PortMapped[0] + e->PortMapped[1], 0);
  EXPECT_EQ(e->IrqLine, 11);
  EXPECT_NE(e->InterruptObject, nullptr);
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 1u);  // the memory range
  EXPECT_EQ(e->DeviceCaps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  // The bridge is silent after assignment; an acquisition brings the interrupts.
  EXPECT_EQ(Machine().Card().bridge().ReadPort(0x4C, 4) & 0x49, 0u);
  StartAcquisition();
  Machine().Card().window().Step(2 + 2 * 4);
  EXPECT_EQ(e->FrameIntCount, 10);
  USHORT count = 0;
  ASSERT_EQ(Control(IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &count, 2), STATUS_SUCCESS);
  EXPECT_EQ(count, 2);
}

TEST_F(PnpLifecycleTest, StopAndRestartFollowTheStateTable) {
  Boot();
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  PKINTERRUPT interrupt = Extension()->InterruptObject;
  ASSERT_EQ(Machine().QueryStopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(State(), StateStopPending);
  ASSERT_EQ(Machine().CancelStopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(State(), StateStarted);
  EXPECT_EQ(Extension()->InterruptObject, interrupt);  // nothing was released
  ASSERT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(State(), StateStopped);
  EXPECT_EQ(Extension()->InterruptObject, nullptr);
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 0u);
  EXPECT_EQ(Extension()->PendingRejectStatus, STATUS_CANCELLED);
  // Stopped: nothing touches the card, though the old window addresses are kept.
  EXPECT_EQ(Extension()->BoardPort, 0xE400u);
  ULONG serial = 0;
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_HARDWARE);
  PORT_IO_REQUEST request{0xE04C, 0, {0}};
  EXPECT_EQ(Control(IOCTL_DAQ_PORT_IN_DWORD, &request, 2, &request, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_HARDWARE);
  // A new start assigns again and lets waits in again.
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(State(), StateStarted);
  EXPECT_EQ(Extension()->PendingRejectStatus, 0);
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_SERIAL);  // reached the (blank) EEPROM
}

TEST_F(PnpLifecycleTest, QueryRemoveSavesAndCancelRemoveRestoresTheState) {
  Boot();
  // From stopped (never started): cancel-remove goes back to stopped, not to started.
  ASSERT_EQ(Machine().SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), StateRemovePending);
  // A second query-remove saves the remove-pending state itself.
  ASSERT_EQ(Machine().SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->PrevPnpState, StateRemovePending);
  ASSERT_EQ(Machine().SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), StateRemovePending);
  Extension()->PrevPnpState = StateStopped;
  ASSERT_EQ(Machine().SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), StateStopped);
  // A query-stop while stopped is passed down and leaves the state.
  ASSERT_EQ(Machine().SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(State(), StateStopped);
  // A start the lower drivers fail is followed by the removal.
  Machine().SetBusPnpAnswer(IRP_MN_START_DEVICE, sim::BusAnswer::Fail(STATUS_UNSUCCESSFUL));
  EXPECT_EQ(Machine().StartDevice(), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(Machine().DevicePresent());
}

TEST_F(PnpLifecycleTest, Win98RefusesRemovalWhileHandlesAreOpen) {
  Boot(ResourceLayout::Standard, sim::kernel::WdmSupport::Wdm10Only);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  sim::nt::Handle handle = 0;
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  EXPECT_EQ(Machine().QueryRemoveDevice(), STATUS_DEVICE_BUSY);
  EXPECT_EQ(State(), StateStarted);
  ASSERT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_FALSE(Machine().DevicePresent());
}

TEST_F(PnpLifecycleTest, TheLayoutsThatCannotStart) {
  // Port ranges in memory space are mapped and recorded, but a mapped address is no port
  // number: with the bridge and the window only there, the card cannot be driven. A first
  // range of 64 bytes (WindowFirst) ends before the bridge's interrupt control, which the
  // start and every interrupt would touch outside the device's ranges.
  for (auto layout : {ResourceLayout::ShortWindow, ResourceLayout::NoMemoryRange,
                      ResourceLayout::OnePortRange, ResourceLayout::NoLists,
                      ResourceLayout::MemorySpacePorts, ResourceLayout::WindowFirst,
                      ResourceLayout::BridgeInMemorySpace}) {
    Boot(layout);
    EXPECT_EQ(Machine().StartDevice(), STATUS_DEVICE_CONFIGURATION_ERROR) << int(layout);
    // What the failed start mapped is unmapped by the release that the removal runs.
    EXPECT_FALSE(Machine().DevicePresent());
    EXPECT_EQ(sim::kernel::LiveMappingCount(), 0u) << int(layout);
    machine_.reset();
  }
}

TEST_F(PnpLifecycleTest, UnusualLayoutsThatStillStart) {
  Boot(ResourceLayout::TwoInterrupts);  // the second interrupt is the one connected
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->IrqLine, 12);
  machine_.reset();

  Boot(ResourceLayout::SevenPortRanges);  // the seventh has no slot and is skipped
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->PortCount, MAX_PORT_RANGES);
  EXPECT_EQ(Extension()->BoardPort, Machine().Options().card.windowBase);  // the first 64 bytes
  machine_.reset();

  Boot(ResourceLayout::FiveMemoryRanges);  // likewise the fifth memory range: not mapped
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->MemCount, MAX_MEMORY_RANGES);
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 4u);
  machine_.reset();

  Boot(ResourceLayout::TranslatedOnly);  // no raw list: the translated vector stands in
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->IrqLine, Machine().Options().interrupt.vector);
}

BOOLEAN NTAPI NeverClaims(PKINTERRUPT, PVOID) { return FALSE; }

TEST_F(PnpLifecycleTest, AFailedConnectUnmapsEverythingAndASecondReleaseDoesNothing) {
  Boot();
  // Another driver holds the vector without sharing it: the card's connect fails.
  const auto& irq = Machine().Options().interrupt;
  PKINTERRUPT squatter = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&squatter, NeverClaims, nullptr, nullptr, irq.vector, irq.irql,
                               irq.irql, LevelSensitive, FALSE, 1, FALSE),
            STATUS_SUCCESS);
  // The failed connect unmaps everything itself: seen as the PnP manager allocates the
  // removal (its third request, after the requirements filter and the start).
  DEVICE_EXTENSION* extension = Extension();
  sim::schedule::Inject({sim::schedule::Role::Test, 3, "IoAllocateIrp"}, [&] {
    EXPECT_EQ(sim::kernel::LiveMappingCount(), 0u);
    EXPECT_EQ(extension->PortCount, 0);
    EXPECT_EQ(extension->MemCount, 0);
  });
  EXPECT_EQ(Machine().StartDevice(), STATUS_INVALID_PARAMETER);
  sim::schedule::WaitForInjections();
  EXPECT_TRUE(sim::schedule::AllInjectionsFired());
  sim::schedule::DisarmInjections();
  EXPECT_FALSE(Machine().DevicePresent());
  IoDisconnectInterrupt(squatter);
  // The device added again starts for real, then surprise removal and removal: two releases,
  // one unmapping.
  ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().SurpriseRemoveDevice(), STATUS_SUCCESS);
  EXPECT_FALSE(Machine().DevicePresent());
  EXPECT_EQ(sim::kernel::LiveMappingCount(), 0u);
}

TEST_F(PnpLifecycleTest, StopQuiescesARunningAcquisition) {
  Boot();
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  StartAcquisition();
  Machine().Card().window().Step(6);
  ASSERT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->Running, 0);
  EXPECT_EQ(Extension()->UserEvent, nullptr);  // released (a leak would fail at shutdown)
  EXPECT_FALSE(Machine().Card().window().GetStatus().clockRunning);
  EXPECT_EQ(Machine().Card().bridge().ReadPort(0x4C, 4) & 0x49, 0u);
  EXPECT_EQ(Machine().Card().window().Step(10), 0u);  // the clock stands
  EXPECT_EQ(Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NOT_RUNNING);
}

// The card vanishes while a reader waits for its next block: the acquisition is quiesced,
// the reader's requests fail instead of hanging, and the removal completes once it lets go.
TEST_F(PnpLifecycleTest, SurpriseRemovalDuringARunWithABlockedReader) {
  Boot();
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  StartAcquisition();
  std::promise<void> readerWaiting;
  auto reader = std::async(std::launch::async, [this, &readerWaiting] {
    sim::nt::Handle handle = 0;
    EXPECT_EQ(Open(&handle), STATUS_SUCCESS);
    readerWaiting.set_value();
    sim::nt::WaitForSingleObject(event_, 300);  // no block comes
    USHORT count = 0;
    sim::nt::IoStatus iosb{};
    NTSTATUS status = sim::nt::DeviceIoControlFile(handle, 0, &iosb, IOCTL_DAQ_GET_BLOCK_COUNT,
                                                   nullptr, 0, &count, 2);
    sim::nt::Close(handle);
    return status;
  });
  readerWaiting.get_future().wait();
  if (controlHandle_ != 0) {
    sim::nt::Close(controlHandle_);
    controlHandle_ = 0;
  }
  EXPECT_EQ(Machine().SurpriseRemoveDevice(), STATUS_SUCCESS);
  NTSTATUS readerStatus = reader.get();
  EXPECT_TRUE(readerStatus == STATUS_UNSUCCESSFUL || readerStatus == STATUS_DELETE_PENDING)
      << std::hex << readerStatus;
  EXPECT_FALSE(Machine().DevicePresent());
}

// Windows 98/Me removes a pulled card at once: with handles open, an acquisition running, a
// wait parked and a request inside the driver (the card is pulled as the block count waits for
// the acquisition lock). The removal waits only for that request, which fails instead of
// hanging (the acquisition it asks about is gone); the wait ends cancelled, requests on the
// handles left open are refused, their closes succeed, and nothing is left behind (pool,
// references, mappings: checked at shutdown).
TEST_F(PnpLifecycleTest, Win98RemovalOfAnOpenRunningDevice) {
  Boot(ResourceLayout::Standard, sim::kernel::WdmSupport::Wdm10Only);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  StartAcquisition();
  Machine().Card().window().Step(6);
  sim::nt::Handle waiter = 0, waitEvent = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\??\\Tarvik", false, &waiter), STATUS_SUCCESS);
  ASSERT_EQ(sim::nt::CreateEvent(true, false, &waitEvent), STATUS_SUCCESS);
  sim::nt::IoStatus wait{};
  ULONG value = 0;
  ASSERT_EQ(sim::nt::DeviceIoControlFile(waiter, waitEvent, &wait, IOCTL_DAQ_WAIT_EVENT, nullptr,
                                         0, &value, 4),
            STATUS_PENDING);

  int32_t removal = -1;
  sim::schedule::Inject({sim::schedule::Role::Test, 1, "KeWaitForSingleObject"},
                        [&] {
                          EXPECT_EQ(RemoveLockCount(), 2);  // the lock's own and the request's
                          removal = Machine().UnplugCard();
                        },
                        "the card pulled");
  USHORT count = 0;
  EXPECT_EQ(Control(IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &count, 2), STATUS_UNSUCCESSFUL);
  sim::schedule::WaitForInjections();
  EXPECT_TRUE(sim::schedule::AllInjectionsFired());
  EXPECT_EQ(removal, STATUS_SUCCESS);
  EXPECT_FALSE(Machine().DevicePresent());
  EXPECT_EQ(sim::nt::WaitForSingleObject(waitEvent, 5000), STATUS_SUCCESS);
  EXPECT_EQ(wait.status, STATUS_CANCELLED);
  EXPECT_EQ(Control(IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &count, 2), STATUS_DELETE_PENDING);
  EXPECT_EQ(sim::nt::Close(waiter), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt::Close(waitEvent), STATUS_SUCCESS);
}

TEST_F(PnpLifecycleTest, AWaitThatArrivesCancelledIsCompletedAtOnce) {
  Boot();
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = Fdo();
  PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
  ULONG value = 0;
  irp->AssociatedIrp.SystemBuffer = &value;
  irp->Cancel = TRUE;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_DAQ_WAIT_EVENT;
  stack->Parameters.DeviceIoControl.OutputBufferLength = 4;
  IO_STATUS_BLOCK result = sim::io::CallAndWait(fdo, irp);
  EXPECT_EQ(result.Status, STATUS_CANCELLED);
  EXPECT_EQ(Extension()->NotifyIrp, nullptr);
}

}  // namespace
