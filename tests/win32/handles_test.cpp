// The Win32 calls a user-mode client makes, on the emulated machine with the driver loaded:
// user-mode code with the host's wchar_t, as the client library will be.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>

#include "sim/machine.h"
#include "tarvik_ioctl.h"

namespace {

constexpr int32_t kStatusSuccess = 0;

HANDLE OpenTarvik() {
  return CreateFileW(L"\\\\.\\Tarvik", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class Win32HandlesTest : public testing::Test {
 protected:
  void Boot(sim::kernel::WdmSupport wdm = sim::kernel::WdmSupport::Wdm110) {
    machine_.emplace(sim::MachineOptions{wdm});
    ASSERT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), kStatusSuccess);
    ASSERT_EQ(machine_->AddDevice(), kStatusSuccess);
    ASSERT_EQ(machine_->StartDevice(), kStatusSuccess);
  }
  std::optional<sim::Machine> machine_;
};

TEST_F(Win32HandlesTest, OpensAndClosesTheDeviceThroughItsLink) {
  Boot();
  HANDLE first = OpenTarvik();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  HANDLE second = OpenTarvik();
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(first, second);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  // A closed handle is gone.
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Win32HandlesTest, ReportsMissingDevicesAndBadNamesAsThePlatformDoes) {
  Boot();
  SetLastError(0);
  EXPECT_EQ(CreateFileW(L"\\\\.\\NoSuchCard", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CreateFileW(L"C:\\data.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Win32HandlesTest, TheDeviceIsGoneAfterRemovalAndHandlesOpenedBeforeCloseCleanly) {
  Boot(sim::kernel::WdmSupport::Wdm10Only);
  HANDLE handle = OpenTarvik();
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  ASSERT_EQ(machine_->SendPnp(0x02 /* IRP_MN_REMOVE_DEVICE */), kStatusSuccess);
  EXPECT_EQ(OpenTarvik(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Win32HandlesTest, HandlesLeftOpenAreClosedWhenTheMachineGoesAway) {
  Boot();
  ASSERT_NE(OpenTarvik(), INVALID_HANDLE_VALUE);
  machine_.reset();  // would hang in the removal if the handle kept its reference
}

// kernel32 offers OpenVxDHandle on 98/Me alone, found at run time. There the driver refuses a
// Win32 event handle and takes the ring-0 handle it makes; on 2000/XP a program passes its
// own handle.
TEST_F(Win32HandlesTest, OnlyThe98FamilyOffersRing0EventHandlesAndItsDriverNeedsThem) {
  using OpenVxDHandleRoutine = DWORD(WINAPI*)(HANDLE);
  for (auto wdm : {sim::kernel::WdmSupport::Wdm110, sim::kernel::WdmSupport::Wdm10Only}) {
    bool win98 = wdm == sim::kernel::WdmSupport::Wdm10Only;
    SCOPED_TRACE(win98 ? "98" : "2000");
    Boot(wdm);
    HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_EQ(GetModuleHandleA("kernel32"), kernel32);
    EXPECT_EQ(GetModuleHandleA("user32.dll"), nullptr);
    FARPROC routine = GetProcAddress(kernel32, "OpenVxDHandle");
    ASSERT_EQ(routine != nullptr, win98);
    if (!win98) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    }

    HANDLE device = OpenTarvik();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD bytes = 0;
    uint8_t open[16] = {};
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_DAQ_OPEN_BOARD, open, 16, nullptr, 0, &bytes, nullptr));
    START_PARAMETERS start{};
    start.FramesPerBlock = 2;
    start.RequestedRate = 10000;
    start.BlockCount = 4;
    start.ChannelCount = 16;
    start.EventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
    EXPECT_EQ(DeviceIoControl(device, IOCTL_DAQ_START, &start, sizeof start, nullptr, 0, &bytes,
                              nullptr) != FALSE,
              !win98);
    if (win98) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      auto openVxDHandle =
          reinterpret_cast<OpenVxDHandleRoutine>(reinterpret_cast<void (*)()>(routine));
      start.EventHandle = openVxDHandle(event);
      ASSERT_NE(start.EventHandle, 0u);
      EXPECT_TRUE(DeviceIoControl(device, IOCTL_DAQ_START, &start, sizeof start, nullptr, 0,
                                  &bytes, nullptr));
    }
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0, &bytes, nullptr));
    CloseHandle(event);
    CloseHandle(device);
    machine_.reset();
  }
}

}  // namespace
