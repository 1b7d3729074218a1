// Device objects and stacks, the object namespace, file handles on devices, and the small
// services a driver's entry uses (WDM version, swprintf).
#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "kernel_test_support.h"
#include "sim/nt_api.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;

using DeviceTest = StackTest;

TEST_F(DeviceTest, AttachLandsOnTheTopOfTheStackAndCanBeMadeToFail) {
  Build(2);
  EXPECT_EQ(devices_[0]->StackSize, 1);
  EXPECT_EQ(devices_[1]->StackSize, 2);
  EXPECT_EQ(devices_[0]->AttachedDevice, devices_[1]);
  EXPECT_EQ(sim::io::GetAttachedDevice(devices_[0]), devices_[1]);

  PDEVICE_OBJECT filter = CreateDevice();
  sim::kernel::FailNextAttach();
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, devices_[0]), nullptr);
  EXPECT_EQ(devices_[1]->AttachedDevice, nullptr);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, devices_[0]), devices_[1]);  // only the next one
  EXPECT_EQ(filter->StackSize, 3);
  devices_.push_back(filter);
}

TEST_F(DeviceTest, TearingDownInTheWrongOrderIsReported) {
  Build(2);
  EXPECT_FALSE(sim::kernel::UnloadDriver(driver_));  // it still has devices
  EXPECT_EQ(TakeRules(), Rules{"UnloadWithDevices"});

  IoDeleteDevice(devices_[0]);  // with devices_[1] attached on top
  IoDeleteDevice(devices_[1]);  // never detached
  devices_.clear();
  EXPECT_EQ(TakeRules(), (Rules{"DeleteAttachedDevice", "DeleteDeviceStillAttached"}));
}

TEST_F(DeviceTest, NamesAreCaseInsensitiveAndDosDevicesIsTheSameDirectory) {
  Build(1, L"\\Device\\Tarvik0");
  UNICODE_STRING sameName = Us(L"\\DEVICE\\tarvik0");
  UNICODE_STRING target = Us(L"\\Device\\Tarvik0");
  UNICODE_STRING link = Us(L"\\DosDevices\\Tarvik");
  UNICODE_STRING alias = Us(L"\\??\\TARVIK");
  PDEVICE_OBJECT clash = devices_[0];
  EXPECT_EQ(IoCreateDevice(driver_, 0, &sameName, FILE_DEVICE_UNKNOWN, 0, FALSE, &clash),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(clash, nullptr);

  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_SUCCESS);  // the name is free again
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&target), STATUS_OBJECT_NAME_NOT_FOUND);  // not a link

  IoDeleteDevice(devices_[0]);  // deleting the device frees its name
  devices_.clear();
  PDEVICE_OBJECT again = CreateDevice(&sameName);
  ASSERT_NE(again, nullptr);
  IoDeleteDevice(again);
}

using Call = std::pair<size_t, UCHAR>;  // layer, major function
using Calls = std::vector<Call>;

// Every layer logs what it is sent; the bottom one completes creates with createStatus_ and
// everything else with success, the others pass down.
class FileTest : public StackTest {
 protected:
  void BuildLogged(size_t depth) {
    Build(depth, L"\\Device\\Tarvik0");
    for (size_t i = 0; i < depth; ++i) {
      dispatch_[i] = [this, i](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        calls_.push_back({i, stack->MajorFunction});
        files_.push_back(stack->FileObject);
        if (i > 0) return PassDown(i)(device, irp);
        EXPECT_EQ(stack->FileObject->DeviceObject, device);
        bool create = stack->MajorFunction == IRP_MJ_CREATE;
        return Complete(irp, create ? createStatus_ : STATUS_SUCCESS);
      };
    }
  }

  NTSTATUS createStatus_ = STATUS_SUCCESS;
  Calls calls_;
  std::vector<PFILE_OBJECT> files_;
};

TEST_F(FileTest, HandleSendsCreateToTheTopAndCleanupThenCloseWhenClosed) {
  BuildLogged(2);
  UNICODE_STRING link = Us(L"\\DosDevices\\Tarvik"), target = Us(L"\\Device\\Tarvik0");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  sim::nt::Handle handle = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\??\\tarvik", true, &handle), STATUS_SUCCESS);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(sim::nt::OpenHandleCount(), 1u);
  EXPECT_EQ(calls_, (Calls{{1, IRP_MJ_CREATE}, {0, IRP_MJ_CREATE}}));

  calls_.clear();
  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(calls_, (Calls{{1, IRP_MJ_CLEANUP}, {0, IRP_MJ_CLEANUP}, {1, IRP_MJ_CLOSE},
                           {0, IRP_MJ_CLOSE}}));
  for (PFILE_OBJECT file : files_) EXPECT_EQ(file, files_[0]);
  EXPECT_EQ(sim::nt::OpenHandleCount(), 0u);
  EXPECT_EQ(sim::nt::Close(handle), STATUS_INVALID_HANDLE);

  calls_.clear();  // a failed create gets neither cleanup nor close
  createStatus_ = STATUS_ACCESS_DENIED;
  EXPECT_EQ(sim::nt::CreateFile(u"\\Device\\Tarvik0", true, &handle), STATUS_ACCESS_DENIED);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(sim::nt::OpenHandleCount(), 0u);
  EXPECT_EQ(calls_, (Calls{{1, IRP_MJ_CREATE}, {0, IRP_MJ_CREATE}}));

  // A device still initialising, or on a stack not yet started, is opened by nobody.
  calls_.clear();
  createStatus_ = STATUS_SUCCESS;
  devices_[0]->Flags |= DO_DEVICE_INITIALIZING;
  EXPECT_EQ(sim::nt::CreateFile(u"\\Device\\Tarvik0", true, &handle), STATUS_NO_SUCH_DEVICE);
  devices_[0]->Flags &= ~DO_DEVICE_INITIALIZING;
  sim::io::SetStackStartPending(devices_[0], true);
  EXPECT_EQ(sim::nt::CreateFile(u"\\Device\\Tarvik0", true, &handle), STATUS_NO_SUCH_DEVICE);
  sim::io::SetStackStartPending(devices_[0], false);
  EXPECT_TRUE(calls_.empty());

  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt::CreateFile(u"\\??\\Tarvik", true, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(FileTest, DeviceDeletedWithAHandleOpenLivesUntilTheClose) {
  BuildLogged(1);
  sim::nt::Handle handle = 0, other = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\Device\\Tarvik0", true, &handle), STATUS_SUCCESS);
  IoDeleteDevice(devices_[0]);
  devices_.clear();
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(sim::nt::CreateFile(u"\\Device\\Tarvik0", true, &other), STATUS_OBJECT_NAME_NOT_FOUND);

  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);  // still dispatched to the deleted device
  EXPECT_EQ(calls_, (Calls{{0, IRP_MJ_CREATE}, {0, IRP_MJ_CLEANUP}, {0, IRP_MJ_CLOSE}}));
}

// A driver that drops the file object's last reference at DISPATCH_LEVEL: the close still
// reaches it at PASSIVE_LEVEL, from a worker.
TEST_F(FileTest, ACloseDueAtDispatchLevelIsSentAtPassiveLevelFromAWorker) {
  Build(1, L"\\Device\\Tarvik0");
  std::atomic<int> closeIrql{-1};
  std::atomic<bool> closeOnCaller{false};
  PFILE_OBJECT kept = nullptr;
  auto caller = std::this_thread::get_id();
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
      kept = stack->FileObject;
      ObReferenceObject(kept);
    }
    if (stack->MajorFunction == IRP_MJ_CLOSE) {
      closeOnCaller = std::this_thread::get_id() == caller;
      closeIrql = KeGetCurrentIrql();
    }
    return Complete(irp, STATUS_SUCCESS);
  };
  sim::nt::Handle handle = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\Device\\Tarvik0", true, &handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt::Close(handle), STATUS_SUCCESS);  // cleanup; the driver's reference stays
  EXPECT_EQ(closeIrql, -1);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  ObDereferenceObject(kept);
  KeLowerIrql(old);
  for (int i = 0; i < 2000 && closeIrql == -1; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(closeIrql, PASSIVE_LEVEL);
  EXPECT_FALSE(closeOnCaller);
}

TEST(KernelBoot, WdmVersionFollowsTheBootedPlatform) {
  using sim::kernel::WdmSupport;
  const std::tuple<WdmSupport, BOOLEAN, BOOLEAN> platforms[] = {
      {WdmSupport::None, FALSE, FALSE}, {WdmSupport::Wdm10Only, TRUE, FALSE},
      {WdmSupport::Wdm110, TRUE, TRUE}};
  for (auto [support, has10, has110] : platforms) {
    sim::kernel::Boot(support);
    EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x00), has10);
    EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x10), has110);
    sim::kernel::Shutdown();
  }
}

TEST(KernelRtl, SwprintfFollowsTheKernelConventions) {
  WCHAR buffer[128];
  int n = swprintf(buffer, L"%ws|%s|%S|%hs|%d|%x|%X|%5d|%-4x|%04u|%c|%%", L"wide", L"also",
                   "narrow", "hs", -42, 0xbeefu, 0xbeefu, 7, 10, 33, L'z');
  std::u16string text(reinterpret_cast<const char16_t*>(buffer));
  EXPECT_EQ(text, u"wide|also|narrow|hs|-42|beef|BEEF|    7|a   |0033|z|%");
  EXPECT_EQ(n, static_cast<int>(text.size()));
}

}  // namespace
}  // namespace kernel_test
