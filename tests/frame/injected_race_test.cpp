// Races between the driver's request paths, landed deterministically with injections at chosen
// kernel calls. Each reproduces a fault the driver once had (it crashed there) and guards its
// mend.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "driver_test.h"

#include "sim/io_bus.h"
#include "sim/schedule.h"

namespace {

using namespace std::chrono_literals;
using sim::schedule::Role;

// Stands in for the card's window on the bus and notes, for every write, its offset and whether
// the device's resources were assigned at that moment.
class WindowWatch : public sim::PortDevice {
 public:
  WindowWatch(sim::PortDevice& window, DEVICE_EXTENSION* extension)
      : window_(window), extension_(extension) {}
  uint32_t ReadPort(uint32_t offset, unsigned width) override {
    return window_.ReadPort(offset, width);
  }
  void WritePort(uint32_t offset, unsigned width, uint32_t value) override {
    writes.push_back({offset, extension_->ResourcesAssigned != FALSE});
    window_.WritePort(offset, width, value);
  }
  std::vector<std::pair<uint32_t, bool>> writes;

 private:
  sim::PortDevice& window_;
  DEVICE_EXTENSION* extension_;
};

class InjectedRaceTest : public DriverTest {
 protected:
  void SetUp() override {
    BootWithDevice();
    ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  }
  void TearDown() override {
    sim::schedule::WaitForInjections();
    sim::schedule::DisarmInjections();
    DriverTest::TearDown();
  }
};

// Once: PendNotifyRequest installed NotifyCancelRoutine and makes the next stack location
// current before it writes the device object into that location. A cancel landing right after
// the location moved hands NotifyCancelRoutine a null device object.
TEST_F(InjectedRaceTest, ACancelWhileAWaitIsBeingParkedFindsItsDevice) {
  sim::nt::Handle waiter = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\??\\Tarvik", false, &waiter), STATUS_SUCCESS);
  sim::schedule::Inject({Role::Test, 1, "IoSetNextIrpStackLocation"},
                        sim::schedule::CancelRequest(IOCTL_DAQ_WAIT_EVENT),
                        "IoCancelIrp of the WAIT_EVENT being parked");
  sim::nt::IoStatus iosb{};
  ULONG value = 0;
  NTSTATUS status = sim::nt::DeviceIoControlFile(waiter, 0, &iosb, IOCTL_DAQ_WAIT_EVENT, nullptr,
                                                 0, &value, sizeof value);
  sim::schedule::WaitForInjections();
  EXPECT_TRUE(sim::schedule::AllInjectionsFired());
  if (status == STATUS_PENDING) {
    EXPECT_EQ(sim::nt::WaitForSingleObject(waiter, 5000), STATUS_SUCCESS);
  }
  EXPECT_EQ(iosb.status, STATUS_CANCELLED);
  sim::nt::Close(waiter);
}

// Once: the stop's release quiesced the acquisition under AcquisitionLock and disconnects the
// interrupt outside it. A start waiting for the lock gets it between the two and calls
// KeSynchronizeExecution on the interrupt the stop then frees.
TEST_F(InjectedRaceTest, AStartRacingAPnpStopNeverUsesTheDisconnectedInterrupt) {
  UCHAR open[16] = {};
  ASSERT_EQ(Control(IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0), STATUS_SUCCESS);
  START_PARAMETERS start = AcquisitionParameters(2, 4);
  ASSERT_EQ(Control(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0), STATUS_SUCCESS);

  // The stop's first synchronized call (clearing Running, under AcquisitionLock) lets a start
  // in, which waits for the lock. The stop, about to disconnect, is held until the start has
  // the lock and reaches its first synchronized call; that call is held until the stop's next
  // kernel call after the disconnect.
  NTSTATUS raced = STATUS_PENDING;
  std::atomic<bool> startAtSync{false};
  std::atomic<bool> disconnected{false};
  auto waitFor = [](const std::atomic<bool>& flag) {
    auto deadline = std::chrono::steady_clock::now() + 1s;  // never reached once mended
    while (!flag && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  };
  sim::schedule::Inject(
      {Role::Test, 1, "KeSynchronizeExecution"},
      [&] { raced = Control(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0); },
      "IOCTL_DAQ_START during the PnP stop");
  sim::schedule::Inject({Role::Test, 1, "IoDisconnectInterrupt"}, [&] {
    waitFor(startAtSync);
    sim::schedule::Inject({Role::Test, 1}, [&] { disconnected = true; });
  });
  sim::schedule::Inject({Role::Injector, 1, "KeSynchronizeExecution"}, [&] {
    startAtSync = true;
    waitFor(disconnected);
  });
  ASSERT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  sim::schedule::WaitForInjections();
  EXPECT_NE(raced, STATUS_SUCCESS);  // no start on a stopped device
  EXPECT_EQ(Extension()->Running, 0);
}

// Once: the removal deleted the device while a block's DPC, taken off the queue by the other
// DPC processor, had yet to touch the extension. The DPC is held at its first kernel call
// while the handles close and the device is removed; the removal must wait for it.
TEST_F(InjectedRaceTest, ARemovalWaitsForABlockDpcAlreadyRunning) {
  UCHAR open[16] = {};
  ASSERT_EQ(Control(IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0), STATUS_SUCCESS);
  START_PARAMETERS start = AcquisitionParameters(1, 4);
  ASSERT_EQ(Control(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0), STATUS_SUCCESS);
  NTSTATUS removed = STATUS_PENDING;
  sim::schedule::Inject({Role::Dpc0, 1}, [&] {
    sim::nt::Close(controlHandle_);
    controlHandle_ = 0;
    removed = Machine().RemoveDevice();
  }, "removal while the block DPC runs");
  Machine().Card().window().Step(8);  // past the skipped captures: blocks and their DPCs
  sim::kernel::WaitForDpcsIdle();     // the injection fires in the first DPC
  sim::schedule::WaitForInjections();
  EXPECT_TRUE(sim::schedule::AllInjectionsFired());
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_FALSE(Machine().DevicePresent());
}

// Once: a restart rewrote the window addresses, counts and interrupt object without the
// acquisition lock the requests read them under. An open landing while the start connects its
// interrupt found the resources half assigned and read no identification bytes.
TEST_F(InjectedRaceTest, AnOpenDuringARestartWaitsForTheWholeAssignment) {
  ASSERT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  for (USHORT& byte : Extension()->IdBytes) byte = 0;
  NTSTATUS opened = STATUS_PENDING;
  UCHAR open[16] = {};
  sim::schedule::Inject({Role::Test, 1, "IoConnectInterrupt"},
                        [&] { opened = Control(IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0); },
                        "IOCTL_DAQ_OPEN_BOARD during the restart's assignment");
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  sim::schedule::WaitForInjections();
  EXPECT_EQ(opened, STATUS_SUCCESS);
  EXPECT_EQ(Extension()->IdBytes[4], 9);
}

// Once: a wait read PendingRejectStatus twice, to test it and to return it. A start clearing it
// between the two reads completed the wait at once with STATUS_SUCCESS and no value written.
// The injection lands at the wait's next interlocked read after its first.
TEST_F(InjectedRaceTest, AWaitReadsTheRejectStatusOnce) {
  sim::nt::Handle waiter = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\??\\Tarvik", false, &waiter), STATUS_SUCCESS);
  InterlockedExchange(&Extension()->PendingRejectStatus, STATUS_DEVICE_POWERED_OFF);
  sim::schedule::Inject({Role::Test, 2, "InterlockedCompareExchange"},
                        [&] { InterlockedExchange(&Extension()->PendingRejectStatus, 0); },
                        "the reject status cleared as the wait reads it");
  sim::nt::IoStatus iosb{};
  ULONG value = 0;
  NTSTATUS status = sim::nt::DeviceIoControlFile(waiter, 0, &iosb, IOCTL_DAQ_WAIT_EVENT, nullptr,
                                                 0, &value, sizeof value);
  EXPECT_EQ(status, STATUS_DEVICE_POWERED_OFF);
  sim::nt::Close(waiter);
}

// The same with no kernel call between the two reads: one to test the status and one to
// return it. A power-down refusing waits right after the first read made the second return
// STATUS_SUCCESS for a wait that was neither parked nor refused. The injection lands as the
// wait's interlocked read returns.
TEST_F(InjectedRaceTest, AWaitActsOnTheRejectStatusItRead) {
  sim::nt::Handle waiter = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\??\\Tarvik", false, &waiter), STATUS_SUCCESS);
  sim::schedule::InjectionPoint afterRead{Role::Test, 1, "InterlockedCompareExchange"};
  afterRead.afterReturn = true;
  sim::schedule::Inject(afterRead, [&] {
    InterlockedExchange(&Extension()->PendingRejectStatus, STATUS_DEVICE_POWERED_OFF);
  }, "waits refused as the wait reads the status");
  sim::nt::IoStatus iosb{};
  ULONG value = 0;
  NTSTATUS status = sim::nt::DeviceIoControlFile(waiter, 0, &iosb, IOCTL_DAQ_WAIT_EVENT, nullptr,
                                                 0, &value, sizeof value);
  EXPECT_EQ(status, STATUS_PENDING);  // parked: the status it read let it in
  sim::nt::Close(waiter);             // cleanup cancels it
  EXPECT_EQ(iosb.status, STATUS_CANCELLED);
}

// Once: the stop released the run's event while a block DPC, taken off the queue by the other
// DPC processor, had yet to read UserEvent; the next start stored its own event without the
// DPC's lock, and the old run's DPC signalled a block the new run never completed.
TEST_F(InjectedRaceTest, AnOldRunsBlockDpcNeverSignalsTheNextRunsEvent) {
  UCHAR open[16] = {};
  ASSERT_EQ(Control(IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0), STATUS_SUCCESS);
  START_PARAMETERS first = AcquisitionParameters(1, 4);
  ASSERT_EQ(Control(IOCTL_DAQ_START, &first, sizeof first, nullptr, 0), STATUS_SUCCESS);
  sim::nt::Handle nextEvent = 0;
  ASSERT_EQ(sim::nt::CreateEvent(false, false, &nextEvent), STATUS_SUCCESS);
  START_PARAMETERS next = first;
  next.EventHandle = nextEvent;
  NTSTATUS restarted = STATUS_PENDING;
  sim::schedule::Inject({Role::Dpc0, 1}, [&] {
    Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0);
    restarted = Control(IOCTL_DAQ_START, &next, sizeof next, nullptr, 0);
  }, "stop and start while the block DPC runs");
  Machine().Card().window().Step(8);  // past the skipped captures: blocks and their DPCs
  sim::kernel::WaitForDpcsIdle();
  sim::schedule::WaitForInjections();
  EXPECT_TRUE(sim::schedule::AllInjectionsFired());
  EXPECT_EQ(restarted, STATUS_SUCCESS);
  EXPECT_EQ(sim::nt::WaitForSingleObject(nextEvent, 0), STATUS_TIMEOUT) << "no block completed yet";
  Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0);
  sim::nt::Close(nextEvent);
}

// Once: the device command checked the resources once and read BoardPort again at every
// access, holding no lock that the resource release takes. A span write held at its first
// access while a PnP stop and a restart ran (the restart's start completing later, as a bus
// driver may) wrote the rest of the span while the device owned no ports.
TEST_F(InjectedRaceTest, ASpanWriteNeverOutlivesItsResourcesAcrossAPnpRestart) {
  auto& window = Machine().Card().window();
  uint32_t base = Machine().Options().card.windowBase;
  WindowWatch watch(window, Extension());
  sim::PortBus().Release(&window);
  ASSERT_TRUE(sim::PortBus().Claim(base, 64, &watch));
  NTSTATUS restarted = STATUS_PENDING;
  sim::schedule::Inject({Role::Test, 1, "WRITE_PORT_UCHAR"}, [&] {
    Machine().SetBusPnpAnswer(IRP_MN_START_DEVICE, sim::BusAnswer::Later(0, 20ms));
    if (Machine().StopDevice() == STATUS_SUCCESS) restarted = Machine().StartDevice();
  }, "a PnP stop and restart during a span write");
  UCHAR span[DAQ_SUBCOMMAND_LENGTH] = {SUB_WRITE_SPAN, 4, 0x20, 1, 2, 3, 4};
  EXPECT_EQ(Control(IOCTL_DAQ_COMMAND, span, sizeof span, span, sizeof span), STATUS_SUCCESS);
  sim::schedule::WaitForInjections();
  EXPECT_EQ(restarted, STATUS_SUCCESS);
  sim::PortBus().Release(&watch);
  ASSERT_TRUE(sim::PortBus().Claim(base, 64, &window));
  std::vector<std::pair<uint32_t, bool>> expected;
  for (uint32_t offset = 0x20; offset < 0x24; ++offset) expected.push_back({offset, true});
  ASSERT_GE(watch.writes.size(), 4u);
  EXPECT_EQ(std::vector(watch.writes.begin(), watch.writes.begin() + 4), expected);
}

// Once: the identification sub-command selected bytes through +1 without the acquisition
// lock, under which the open selects byte 4 and reads it. Landing between the two, it made
// the open read another byte as byte 4, and every later acquisition delivered nothing.
TEST_F(InjectedRaceTest, AnIdentificationReadNeverSplitsTheOpensSelectAndRead) {
  sim::nt::Handle other = 0;  // requests on one synchronous handle would take turns
  ASSERT_EQ(sim::nt::CreateFile(u"\\??\\Tarvik", false, &other), STATUS_SUCCESS);
  UCHAR ids[DAQ_SUBCOMMAND_LENGTH] = {SUB_READ_ID_BLOCK, 1};
  sim::schedule::Inject({Role::Test, 5, "READ_PORT_UCHAR"}, [&] {
    sim::nt::IoStatus iosb{};
    sim::nt::DeviceIoControlFile(other, 0, &iosb, IOCTL_DAQ_COMMAND, ids, sizeof ids, ids,
                                 sizeof ids);
  }, "the identification sub-command as the open reads byte 4");
  UCHAR open[16] = {};
  ASSERT_EQ(Control(IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0), STATUS_SUCCESS);
  sim::schedule::WaitForInjections();
  EXPECT_EQ(Extension()->IdBytes[4], 9);
  sim::nt::Close(other);
}

}  // namespace
