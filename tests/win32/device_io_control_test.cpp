// DeviceIoControl as a user-mode client sees it: buffered copies, out-direct buffers,
// overlapped requests and events, against a fake device with known behaviour.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "fake_device.h"
#include "sim/kernel.h"
#include "sim/verifier.h"

namespace {

class DeviceIoControlTest : public testing::Test {
 protected:
  void SetUp() override {
    sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110);
    fake_device::Install();
  }
  void TearDown() override {
    for (HANDLE handle : handles_) CloseHandle(handle);
    fake_device::Remove();
    sim::kernel::Shutdown();
  }

  HANDLE Open(DWORD flags = 0) {
    HANDLE handle = CreateFileW(L"\\\\.\\FakeDevice", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    handles_.push_back(handle);
    return handle;
  }
  HANDLE NewEvent(BOOL manual) {
    HANDLE event = CreateEventW(nullptr, manual, FALSE, nullptr);
    EXPECT_NE(event, nullptr);
    handles_.push_back(event);
    return event;
  }

  std::vector<HANDLE> handles_;
};

TEST_F(DeviceIoControlTest, BufferedRequestsCopyInputInAndInformationBytesBack) {
  HANDLE device = Open();
  std::array<BYTE, 4> input{1, 2, 3, 4};
  std::array<BYTE, 8> output{};
  output.fill(0x11);
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(device, fake_device::kEcho, input.data(), 4, output.data(), 8,
                              &bytes, nullptr));
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(std::memcmp(output.data(), input.data(), 4), 0);
  EXPECT_EQ(output[4], 0x11);  // beyond Information: untouched
}

TEST_F(DeviceIoControlTest, AnErrorCopiesNothingBackButAWarningDoes) {
  HANDLE device = Open();
  std::array<BYTE, 8> output{};
  DWORD bytes = 77;
  EXPECT_FALSE(DeviceIoControl(device, fake_device::kFailAfterWriting, nullptr, 0, output.data(),
                               8, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(output, (std::array<BYTE, 8>{}));
  EXPECT_EQ(bytes, 77u);

  EXPECT_FALSE(DeviceIoControl(device, fake_device::kWarnAfterWriting, nullptr, 0, output.data(),
                               8, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(bytes, 8u);
  EXPECT_EQ(output[7], 0xEE);
}

TEST_F(DeviceIoControlTest, InformationBeyondTheOutputBufferIsAVerifierViolation) {
  HANDLE device = Open();
  std::array<BYTE, 4> output{};
  DWORD bytes = 0;
  DeviceIoControl(device, fake_device::kOverstate, nullptr, 0, output.data(), 4, &bytes, nullptr);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "InformationTooLarge");
}

TEST_F(DeviceIoControlTest, OutDirectRequestsReachTheCallersBufferThroughTheMdl) {
  HANDLE device = Open();
  std::array<BYTE, 2> input{100, 100};
  std::array<BYTE, 300> output{};
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(device, fake_device::kFillDirect, input.data(), 2, output.data(),
                              300, &bytes, nullptr));
  EXPECT_EQ(bytes, 300u);
  EXPECT_EQ(output[0], 100);
  EXPECT_EQ(output[1], 101);
  EXPECT_EQ(output[2], 2);
  EXPECT_EQ(output[299], static_cast<BYTE>(299));
}

TEST_F(DeviceIoControlTest, OverlappedRequestsPendAndCompleteThroughTheirEvent) {
  HANDLE device = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  overlapped.hEvent = NewEvent(TRUE);
  std::array<BYTE, 4> input{9, 8, 7, 6};
  std::array<BYTE, 4> output{};
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(device, fake_device::kPendThenEcho, input.data(), 4,
                               output.data(), 4, &bytes, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

  ASSERT_TRUE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(output, input);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
}

TEST_F(DeviceIoControlTest, RequestsThatCompleteAtOnceSucceedAtOnceEvenWhenOverlapped) {
  HANDLE device = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  overlapped.hEvent = NewEvent(FALSE);
  BYTE value = 42, echoed = 0;
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(device, fake_device::kEcho, &value, 1, &echoed, 1, &bytes,
                              &overlapped));
  EXPECT_EQ(echoed, 42);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_TIMEOUT);  // auto-reset
}

TEST_F(DeviceIoControlTest, SynchronousHandlesWaitForPendedRequests) {
  for (DWORD flags : {DWORD{0}, DWORD{FILE_FLAG_OVERLAPPED}}) {
    HANDLE device = Open(flags);
    BYTE value = 5, echoed = 0;
    DWORD bytes = 0;
    // A synchronous handle waits; so does an asynchronous one used without an OVERLAPPED.
    ASSERT_TRUE(DeviceIoControl(device, fake_device::kPendThenEcho, &value, 1, &echoed, 1,
                                &bytes, nullptr));
    EXPECT_EQ(echoed, 5);
    EXPECT_EQ(bytes, 1u);
  }
}

TEST_F(DeviceIoControlTest, BadHandlesAndUnknownCodesFailWithThePlatformsErrors) {
  HANDLE device = Open();
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(device, fake_device::Code(0x9FF, 0), nullptr, 0, nullptr, 0,
                               &bytes, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  HANDLE event = NewEvent(TRUE);
  EXPECT_FALSE(DeviceIoControl(event, fake_device::kEcho, nullptr, 0, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(uintptr_t{0x7777}), fake_device::kEcho,
                               nullptr, 0, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceIoControlTest, EventsSignalResetAndTimeOut) {
  HANDLE manual = NewEvent(TRUE);
  HANDLE automatic = NewEvent(FALSE);
  EXPECT_EQ(WaitForSingleObject(manual, 10), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_TRUE(SetEvent(automatic));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"Named"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

}  // namespace

namespace {

TEST_F(DeviceIoControlTest, EventHandlesGrantOnlyTheAccessTheyWereDuplicatedWith) {
  HANDLE event = NewEvent(TRUE);
  HANDLE waitOnly = nullptr, same = nullptr, wider = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &waitOnly,
                              SYNCHRONIZE, FALSE, 0));
  handles_.push_back(waitOnly);
  EXPECT_FALSE(SetEvent(waitOnly));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), waitOnly, GetCurrentProcess(), &wider,
                               EVENT_ALL_ACCESS, FALSE, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &same, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  handles_.push_back(same);
  EXPECT_TRUE(SetEvent(same));
  EXPECT_EQ(WaitForSingleObject(waitOnly, 0), WAIT_OBJECT_0);

  // The I/O manager sets an overlapped request's event: a wait-only handle is refused.
  HANDLE device = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  overlapped.hEvent = waitOnly;
  BYTE value = 1;
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(device, fake_device::kEcho, &value, 1, &value, 1, &bytes,
                               &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(DeviceIoControlTest, ASynchronousErrorOnAnOverlappedHandleSetsNeitherStatusNorEvent) {
  HANDLE device = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  overlapped.hEvent = NewEvent(TRUE);
  std::array<BYTE, 4> output{};
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(device, fake_device::kFailAfterWriting, nullptr, 0, output.data(),
                               4, &bytes, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(overlapped.Internal, 0x103u);  // still STATUS_PENDING, as DeviceIoControl left it
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // A warning is no error: the status block and the event report it.
  EXPECT_FALSE(DeviceIoControl(device, fake_device::kWarnAfterWriting, nullptr, 0, output.data(),
                               4, &bytes, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
}

TEST_F(DeviceIoControlTest, RequestsOnASynchronousHandleReachTheDriverOneAtATime) {
  HANDLE device = Open();
  std::atomic<bool> echoed{false};
  std::thread parked([&] {
    BYTE value = 0;
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(device, fake_device::kParkUntilCancelled, nullptr, 0, &value, 1,
                                 &bytes, nullptr));
  });
  while (fake_device::ParkedCount() == 0) std::this_thread::yield();
  std::thread second([&] {
    BYTE value = 3, out = 0;
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, fake_device::kEcho, &value, 1, &out, 1, &bytes, nullptr));
    echoed = true;
  });
  // Never while the first request is parked in the driver.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(echoed);
  EXPECT_TRUE(CancelIoEx(device, nullptr));
  parked.join();
  second.join();
  EXPECT_TRUE(echoed);
}

TEST_F(DeviceIoControlTest, OutputTheDriverNeverWroteIsAnInformationLeak) {
  HANDLE device = Open();
  std::array<BYTE, 16> output{};
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(device, fake_device::kClaimUnwritten, nullptr, 0, output.data(), 16,
                              &bytes, nullptr));
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "InformationLeak");
  // Written bytes, the caller's own input bytes and out-direct output are never reported.
  std::array<BYTE, 16> input{};
  input.fill(0x42);
  ASSERT_TRUE(DeviceIoControl(device, fake_device::kClaimUnwritten, input.data(), 16,
                              output.data(), 16, &bytes, nullptr));
  ASSERT_TRUE(DeviceIoControl(device, fake_device::kFillDirect, nullptr, 0, output.data(), 16,
                              &bytes, nullptr));
  EXPECT_TRUE(sim::verifier::TakeViolations().empty());
}

}  // namespace
