// Handle tables: the user process's and the kernel's, the access each handle grants, and how
// ObReferenceObjectByHandle honours its access mode.
#include "kernel_test_support.h"
#include "sim/nt_api.h"

namespace kernel_test {
namespace {

HANDLE AsHandle(sim::nt::Handle value) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

NTSTATUS Reference(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode,
                   ACCESS_MASK* granted = nullptr) {
  PVOID object = nullptr;
  OBJECT_HANDLE_INFORMATION info{};
  NTSTATUS status =
      ObReferenceObjectByHandle(handle, access, *ExEventObjectType, mode, &object, &info);
  if (NT_SUCCESS(status)) ObDereferenceObject(object);
  if (granted != nullptr) *granted = info.GrantedAccess;
  return status;
}

class HandleTableTest : public StackTest {};

TEST_F(HandleTableTest, UserModeReferencesCheckTheGrantedAccessAndKernelModeOnesDoNot) {
  sim::nt::Handle full = 0, waitOnly = 0;
  ASSERT_EQ(sim::nt::CreateEvent(true, false, &full), STATUS_SUCCESS);
  ASSERT_EQ(sim::nt::DuplicateHandle(full, SYNCHRONIZE, &waitOnly), STATUS_SUCCESS);
  ACCESS_MASK granted = 0;
  EXPECT_EQ(Reference(AsHandle(full), EVENT_MODIFY_STATE, UserMode, &granted), STATUS_SUCCESS);
  EXPECT_EQ(granted, static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS));
  EXPECT_EQ(Reference(AsHandle(waitOnly), EVENT_MODIFY_STATE, UserMode), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Reference(AsHandle(waitOnly), SYNCHRONIZE, UserMode), STATUS_SUCCESS);
  EXPECT_EQ(Reference(AsHandle(waitOnly), EVENT_MODIFY_STATE, KernelMode), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt::SetEvent(waitOnly), STATUS_ACCESS_DENIED);
  sim::nt::Close(waitOnly);
  sim::nt::Close(full);
}

TEST_F(HandleTableTest, KernelHandlesAreOutOfUserModesReach) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE kernel = nullptr;
  ASSERT_EQ(ZwCreateEvent(&kernel, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE),
            STATUS_SUCCESS);
  auto value = static_cast<sim::nt::Handle>(reinterpret_cast<uintptr_t>(kernel));
  EXPECT_NE(value & 0x80000000u, 0u);
  EXPECT_EQ(Reference(kernel, SYNCHRONIZE, UserMode), STATUS_INVALID_HANDLE);
  EXPECT_EQ(sim::nt::SetEvent(value), STATUS_INVALID_HANDLE);
  EXPECT_EQ(sim::nt::Close(value), STATUS_INVALID_HANDLE);
  EXPECT_EQ(Reference(kernel, EVENT_MODIFY_STATE, KernelMode), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt::OpenHandleCount(), 0u);  // user handles only
  EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);
  // A kernel-mode reference or close of a closed kernel handle stops the platform (0x93).
  EXPECT_EQ(Reference(kernel, SYNCHRONIZE, KernelMode), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(kernel), STATUS_INVALID_HANDLE);
  EXPECT_EQ(TakeRules(), (Rules{"InvalidKernelHandle", "InvalidKernelHandle"}));
  // And its value comes back with the next handle: a kept value names another object.
  HANDLE next = nullptr;
  ASSERT_EQ(ZwCreateEvent(&next, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE),
            STATUS_SUCCESS);
  EXPECT_EQ(next, kernel);
  EXPECT_EQ(ZwClose(next), STATUS_SUCCESS);
}

// A user handle referenced with KernelMode while serving a user-mode request (the platform's
// verifier stops with bug check 0xC4, parameter 0xF6); the same from a kernel-mode request,
// or with the caller's mode, is sound.
TEST_F(HandleTableTest, AKernelModeReferenceOfAUserRequestsHandleIsAViolation) {
  Build(1);
  sim::nt::Handle event = 0;
  ASSERT_EQ(sim::nt::CreateEvent(true, false, &event), STATUS_SUCCESS);
  for (KPROCESSOR_MODE requestor : {KernelMode, UserMode}) {
    for (KPROCESSOR_MODE mode : {UserMode, KernelMode}) {
      dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, Reference(AsHandle(event), EVENT_MODIFY_STATE, mode));
      };
      PIRP irp = NewIrp();
      irp->RequestorMode = requestor;
      EXPECT_EQ(sim::io::CallAndWait(Top(), irp).Status, STATUS_SUCCESS);
      EXPECT_EQ(TakeRules(), requestor == UserMode && mode == KernelMode
                                 ? Rules{"KernelHandleReference"}
                                 : Rules{});
    }
  }
  sim::nt::Close(event);
}

}  // namespace
}  // namespace kernel_test
