// CancelIo and CancelIoEx as a user-mode client sees them, and closing a handle with a request
// still parked in the driver, against the fake device's cancellable request.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fake_device.h"
#include "sim/kernel.h"

namespace {

class CancelIoTest : public testing::Test {
 protected:
  void SetUp() override {
    sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110);
    fake_device::Install();
    device_ = CreateFileW(L"\\\\.\\FakeDevice", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (device_ != nullptr) CloseHandle(device_);
    for (HANDLE event : events_) CloseHandle(event);
    EXPECT_EQ(fake_device::ParkedCount(), 0u);
    fake_device::Remove();
    sim::kernel::Shutdown();
  }

  // Parks a request in the driver; its OVERLAPPED gets an event of its own.
  void Park(OVERLAPPED* overlapped) {
    *overlapped = OVERLAPPED{};
    overlapped->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    events_.push_back(overlapped->hEvent);
    EXPECT_FALSE(DeviceIoControl(device_, fake_device::kParkUntilCancelled, nullptr, 0, nullptr,
                                 0, nullptr, overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  }

  // The request's result without waiting: ERROR_IO_INCOMPLETE while it is still parked.
  DWORD ErrorOf(OVERLAPPED* overlapped, BOOL wait = FALSE) {
    DWORD bytes = 0;
    if (GetOverlappedResult(device_, overlapped, &bytes, wait)) return ERROR_SUCCESS;
    return GetLastError();
  }

  HANDLE device_ = nullptr;
  std::vector<HANDLE> events_;
};

// Another thread's parked request, issued on the test's handle; the thread stays alive until
// the test lets it go, so its request is never cancelled by the thread's end.
class OtherThread {
 public:
  OtherThread(HANDLE device, OVERLAPPED* overlapped) {
    thread_ = std::thread([this, device, overlapped] {
      DeviceIoControl(device, fake_device::kParkUntilCancelled, nullptr, 0, nullptr, 0, nullptr,
                      overlapped);
      issued_ = true;
      while (!release_) std::this_thread::yield();
    });
    while (!issued_) std::this_thread::yield();
  }
  ~OtherThread() {
    release_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> issued_{false}, release_{false};
  std::thread thread_;
};

TEST_F(CancelIoTest, CancelIoCancelsOnlyThisThreadsRequestsAndWaitsForThem) {
  OVERLAPPED mine, theirs;
  Park(&mine);
  theirs = OVERLAPPED{};
  theirs.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  events_.push_back(theirs.hEvent);
  OtherThread other(device_, &theirs);
  ASSERT_EQ(fake_device::ParkedCount(), 2u);

  EXPECT_TRUE(CancelIo(device_));
  // Done by the time CancelIo returns: no wait needed.
  EXPECT_EQ(ErrorOf(&mine), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(ErrorOf(&theirs), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  EXPECT_EQ(fake_device::ParkedCount(), 1u);

  // CancelIoEx reaches another thread's request through its OVERLAPPED.
  EXPECT_TRUE(CancelIoEx(device_, &theirs));
  EXPECT_EQ(ErrorOf(&theirs, TRUE), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(CancelIoTest, CancelIoExWithAnOverlappedCancelsThatRequestAlone) {
  OVERLAPPED first, second;
  Park(&first);
  Park(&second);
  EXPECT_TRUE(CancelIoEx(device_, &second));
  EXPECT_EQ(ErrorOf(&second, TRUE), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(ErrorOf(&first), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  // The completed one is not outstanding any more.
  EXPECT_FALSE(CancelIoEx(device_, &second));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_TRUE(CancelIoEx(device_, &first));
  EXPECT_EQ(ErrorOf(&first, TRUE), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(CancelIoTest, CancelIoExWithoutOverlappedCancelsEveryThreadsRequests) {
  OVERLAPPED mine, theirs;
  Park(&mine);
  theirs = OVERLAPPED{};
  theirs.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  events_.push_back(theirs.hEvent);
  OtherThread other(device_, &theirs);
  EXPECT_TRUE(CancelIoEx(device_, nullptr));
  EXPECT_EQ(ErrorOf(&mine, TRUE), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(ErrorOf(&theirs, TRUE), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(CancelIoTest, NothingToCancel) {
  EXPECT_TRUE(CancelIo(device_));  // succeeds with nothing outstanding
  EXPECT_FALSE(CancelIoEx(device_, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  OVERLAPPED never{};
  EXPECT_FALSE(CancelIoEx(device_, &never));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

  // Requests on another handle of the same device are not this handle's.
  HANDLE second = CreateFileW(L"\\\\.\\FakeDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  OVERLAPPED parked;
  Park(&parked);
  EXPECT_FALSE(CancelIoEx(second, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  CloseHandle(second);
  EXPECT_EQ(ErrorOf(&parked), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  CancelIo(device_);

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  events_.push_back(event);
  EXPECT_FALSE(CancelIo(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CancelIoEx(reinterpret_cast<HANDLE>(uintptr_t{0x7777}), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(CancelIoTest, ClosingTheHandleCancelsItsParkedRequestsThroughCleanup) {
  OVERLAPPED first, second;
  Park(&first);
  Park(&second);
  ASSERT_TRUE(CloseHandle(device_));
  device_ = nullptr;
  // The OVERLAPPED and its event outlive the handle; the driver's cleanup cancelled both.
  EXPECT_EQ(WaitForSingleObject(first.hEvent, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second.hEvent, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(static_cast<uint32_t>(first.Internal), 0xC0000120u);  // STATUS_CANCELLED
  EXPECT_EQ(static_cast<uint32_t>(second.Internal), 0xC0000120u);
  EXPECT_EQ(fake_device::ParkedCount(), 0u);
}

}  // namespace
