// I/O verification: what a dispatch routine does with its request (the lower driver's status,
// WMI requests), requests a driver still holds when its file is cleaned up, its device deleted
// or it unloads, the life of a deleted device that file objects still refer to, and the I/O
// manager's check of a control code's access bits.
#include <atomic>

#include "kernel_test_support.h"
#include "sim/nt_api.h"

namespace kernel_test {
namespace {

using IoVerificationTest = StackTest;

NTSTATUS NTAPI StopWalk(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

TEST_F(IoVerificationTest, UpperDriversReturnTheLowerStatusAndPassWmiRequestsDown) {
  Build(2);
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_NOT_SUPPORTED); };
  auto send = [this](UCHAR major) {
    PIRP irp = NewIrp();
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    sim::io::CallAndWait(Top(), irp);
  };
  dispatch_[1] = [this](PDEVICE_OBJECT, PIRP irp) {
    PassDown(1)(nullptr, irp);
    return STATUS_SUCCESS;  // not what the lower driver returned
  };
  send(IRP_MJ_READ);
  EXPECT_EQ(TakeRules(), Rules{"LowerDriverReturn"});

  dispatch_[1] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  send(IRP_MJ_SYSTEM_CONTROL);
  EXPECT_EQ(TakeRules(), Rules{"WmiForward"});
  dispatch_[1] = PassDown(1);
  send(IRP_MJ_SYSTEM_CONTROL);
  send(IRP_MJ_READ);
  EXPECT_EQ(TakeRules(), Rules{});
}

TEST_F(IoVerificationTest, RequestsHeldAtCleanupDeletionAndUnloadAreNamed) {
  Build(1, L"\\Device\\HoldingProbe");
  std::atomic<PIRP> held{nullptr};
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE)
      return Complete(irp, STATUS_SUCCESS);  // a cleanup that leaves the parked request alone
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  sim::nt::Handle file = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\Device\\HoldingProbe", false, &file), STATUS_SUCCESS);
  sim::nt::IoStatus iosb{};
  EXPECT_EQ(sim::nt::DeviceIoControlFile(file, 0, &iosb, 0x00222000, nullptr, 0, nullptr, 0),
            STATUS_PENDING);
  sim::nt::Close(file);
  std::vector<sim::verifier::Violation> violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "RequestOutstanding");
  EXPECT_NE(violations[0].message.find("cleanup"), std::string::npos) << violations[0].message;
  Complete(held.exchange(nullptr), STATUS_CANCELLED);  // the close follows

  // A request the driver built, held by the device when it is deleted and when it unloads.
  PIRP irp = NewIrp();
  IoSetCompletionRoutine(irp, StopWalk, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(Top(), irp), STATUS_PENDING);
  IoDeleteDevice(devices_[0]);
  devices_.clear();
  EXPECT_TRUE(sim::kernel::UnloadDriver(driver_));
  driver_ = nullptr;
  EXPECT_EQ(TakeRules(), (Rules{"RequestOutstanding", "RequestOutstanding"}));
  Complete(held.exchange(nullptr), STATUS_CANCELLED);
  IoFreeIrp(irp);
}

// Blocks both kernel workers until released, so that work queued meanwhile waits.
class HeldWorkers {
 public:
  HeldWorkers() {
    for (auto& item : items_) {
      ExInitializeWorkItem(&item, Hold, this);
      int before = running_;
      ExQueueWorkItem(&item, DelayedWorkQueue);
      while (running_ == before) std::this_thread::yield();
    }
  }
  ~HeldWorkers() { Release(); }
  void Release() {
    release_ = true;
    sim::kernel::WaitForWorkItemsIdle();
  }

 private:
  static void NTAPI Hold(PVOID context) {
    auto* self = static_cast<HeldWorkers*>(context);
    ++self->running_;
    while (!self->release_) std::this_thread::yield();
  }
  WORK_QUEUE_ITEM items_[2];
  std::atomic<int> running_{0};
  std::atomic<bool> release_{false};
};

// The last reference of a file object dropped raised defers its close to a worker; the device
// deleted and the driver unloaded meanwhile stay until that close has reached the driver.
TEST_F(IoVerificationTest, ADeletedDeviceKeepsItsDriverUntilItsLastFileIsClosed) {
  Build(1, L"\\Device\\LifetimeProbe");
  static std::atomic<int> closes{0}, unloads{0};
  closes = 0;
  unloads = 0;
  driver_->DriverUnload = [](PDRIVER_OBJECT) NTAPI { unloads += closes == 1 ? 1 : 100; };
  PFILE_OBJECT referenced = nullptr;
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
      referenced = stack->FileObject;
      ObReferenceObject(referenced);
    }
    if (stack->MajorFunction == IRP_MJ_CLOSE) ++closes;
    return Complete(irp, STATUS_SUCCESS);
  };
  sim::nt::Handle file = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\Device\\LifetimeProbe", true, &file), STATUS_SUCCESS);
  sim::nt::Close(file);
  {
    HeldWorkers held;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ObDereferenceObject(referenced);  // the close is queued behind the held workers
    KeLowerIrql(old);
    IoDeleteDevice(devices_[0]);
    devices_.clear();
    EXPECT_TRUE(sim::kernel::UnloadDriver(driver_));
    driver_ = nullptr;
    EXPECT_EQ(unloads, 0);
  }
  sim::kernel::WaitForWorkItemsIdle();
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(unloads, 1);  // after the close
}

TEST_F(IoVerificationTest, AControlCodesAccessBitsMustBeGrantedByTheHandle) {
  Build(1, L"\\Device\\AccessProbe");
  int requests = 0;
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) ++requests;
    return Complete(irp, STATUS_SUCCESS);
  };
  sim::nt::Handle file = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\Device\\AccessProbe", true, &file, FILE_READ_DATA),
            STATUS_SUCCESS);
  sim::nt::IoStatus iosb{};
  auto send = [&](ULONG access) {
    return sim::nt::DeviceIoControlFile(
        file, 0, &iosb, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, access), nullptr, 0,
        nullptr, 0);
  };
  EXPECT_EQ(send(FILE_WRITE_ACCESS), STATUS_ACCESS_DENIED);
  EXPECT_EQ(send(FILE_READ_ACCESS), STATUS_SUCCESS);
  EXPECT_EQ(send(FILE_ANY_ACCESS), STATUS_SUCCESS);
  EXPECT_EQ(requests, 2);
  sim::nt::Close(file);
}

}  // namespace
}  // namespace kernel_test
