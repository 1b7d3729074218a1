// The rendezvous through the Win32 calls: one thread parks a wait, another signals it with a
// 32-bit value; cancellation, clean-up of the waiter's handle, and signals racing cancels.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <optional>
#include <thread>

#include "sim/machine.h"
#include "tarvik_ioctl.h"

namespace {

class NotifyTest : public testing::Test {
 protected:
  void SetUp() override {
    machine_.emplace();
    ASSERT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), 0);
    ASSERT_EQ(machine_->AddDevice(), 0);
    ASSERT_EQ(machine_->StartDevice(), 0);
    waiter_ = Open(FILE_FLAG_OVERLAPPED);
    signaller_ = Open(0);
    overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    CloseHandle(overlapped_.hEvent);
    if (waiter_ != INVALID_HANDLE_VALUE) CloseHandle(waiter_);
    CloseHandle(signaller_);
    machine_.reset();
  }
  static HANDLE Open(DWORD flags) {
    return CreateFileW(L"\\\\.\\Tarvik", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       flags, nullptr);
  }
  // Parks a wait on the waiter's handle; true when it is pending.
  bool Wait(DWORD outputLength = 4) {
    ResetEvent(overlapped_.hEvent);
    value_ = 0;
    BOOL done = DeviceIoControl(waiter_, IOCTL_DAQ_WAIT_EVENT, nullptr, 0, &value_, outputLength,
                                nullptr, &overlapped_);
    return !done && GetLastError() == ERROR_IO_PENDING;
  }
  // The wait's outcome: its Win32 error (0 for success) once it completes.
  DWORD WaitResult(DWORD* bytes = nullptr) {
    DWORD transferred = 0;
    BOOL ok = GetOverlappedResult(waiter_, &overlapped_, &transferred, TRUE);
    if (bytes != nullptr) *bytes = transferred;
    return ok ? 0 : GetLastError();
  }
  bool WaitStillParked() { return WaitForSingleObject(overlapped_.hEvent, 20) == WAIT_TIMEOUT; }
  BOOL Signal(uint32_t value, DWORD inputLength = 4) {
    DWORD bytes = 0;
    return DeviceIoControl(signaller_, IOCTL_DAQ_SET_EVENT, &value, inputLength, nullptr, 0,
                           &bytes, nullptr);
  }

  std::optional<sim::Machine> machine_;
  HANDLE waiter_ = INVALID_HANDLE_VALUE;
  HANDLE signaller_ = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped_{};
  uint32_t value_ = 0;
};

TEST_F(NotifyTest, ASignalCompletesTheParkedWaitWithItsFourBytes) {
  ASSERT_TRUE(Wait());
  EXPECT_TRUE(WaitStillParked());
  std::thread signaller([this] { EXPECT_TRUE(Signal(0x04030201)); });
  DWORD bytes = 0;
  EXPECT_EQ(WaitResult(&bytes), 0u);
  signaller.join();
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(value_, 0x04030201u);
}

TEST_F(NotifyTest, SignalsWithoutAWaitAndSecondWaitsAreRefused) {
  EXPECT_FALSE(Signal(1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));  // STATUS_UNSUCCESSFUL
  ASSERT_TRUE(Wait());
  // A second wait fails at once; the first stays parked and is the one a signal completes.
  uint32_t second = 0;
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(signaller_, IOCTL_DAQ_WAIT_EVENT, nullptr, 0, &second, 4, &bytes,
                               nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  // Short buffers: the wait is refused, the signal too, and the parked wait is undisturbed.
  EXPECT_FALSE(DeviceIoControl(signaller_, IOCTL_DAQ_WAIT_EVENT, nullptr, 0, &second, 3, &bytes,
                               nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(Signal(7, 3));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(WaitStillParked());
  EXPECT_TRUE(Signal(9));
  EXPECT_EQ(WaitResult(), 0u);
  EXPECT_EQ(value_, 9u);
}

TEST_F(NotifyTest, CancellingTheWaitCompletesItAndFreesTheSlot) {
  ASSERT_TRUE(Wait());
  EXPECT_TRUE(CancelIoEx(waiter_, &overlapped_));
  EXPECT_EQ(WaitResult(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  ASSERT_TRUE(Wait());  // the slot is free again
  EXPECT_TRUE(Signal(3));
  EXPECT_EQ(WaitResult(), 0u);
}

TEST_F(NotifyTest, CleanupCancelsOnlyTheWaitsOfTheClosedHandle) {
  ASSERT_TRUE(Wait());
  HANDLE other = Open(0);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  CloseHandle(other);
  EXPECT_TRUE(WaitStillParked());
  CloseHandle(waiter_);
  waiter_ = INVALID_HANDLE_VALUE;
  ASSERT_EQ(WaitForSingleObject(overlapped_.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(static_cast<int32_t>(overlapped_.Internal), static_cast<int32_t>(0xC0000120));
  EXPECT_FALSE(Signal(1));  // nobody is waiting any more
}

// A signal and a cancellation race for the same parked wait: exactly one of them completes it,
// every round, and the slot is free for the next round.
TEST_F(NotifyTest, ASignalRacingACancelCompletesTheWaitExactlyOnce) {
  int signalled = 0, cancelled = 0;
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(Wait());
    std::atomic<bool> go{false};
    BOOL signalWon = FALSE;
    std::thread signaller([&] {
      while (!go) std::this_thread::yield();
      signalWon = Signal(round);
    });
    go = true;
    CancelIoEx(waiter_, &overlapped_);
    signaller.join();
    DWORD result = WaitResult();
    if (signalWon) {
      EXPECT_EQ(result, 0u);
      EXPECT_EQ(value_, static_cast<uint32_t>(round));
      ++signalled;
    } else {
      EXPECT_EQ(result, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
      ++cancelled;
    }
  }
  EXPECT_EQ(signalled + cancelled, 200);
}

TEST_F(NotifyTest, StopAndRemovalCancelTheWaitAndRefuseNewOnes) {
  ASSERT_TRUE(Wait());
  ASSERT_EQ(machine_->StopDevice(), 0);
  EXPECT_EQ(WaitResult(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  // Refused at once with STATUS_CANCELLED while stopped: an error that was never pended
  // reaches the caller as the call's own result, with no status block and no event.
  EXPECT_FALSE(Wait());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  // A restarted device accepts waits again.
  ASSERT_EQ(machine_->StartDevice(), 0);
  ASSERT_TRUE(Wait());
  // Removal with the wait parked and handles open: the wait is cancelled at once, and the
  // removal goes on when the handles are closed.
  std::thread removal([this] { EXPECT_EQ(machine_->RemoveDevice(), 0); });
  EXPECT_EQ(WaitResult(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  CloseHandle(waiter_);
  waiter_ = INVALID_HANDLE_VALUE;
  CloseHandle(signaller_);
  removal.join();
  EXPECT_FALSE(machine_->DevicePresent());
  signaller_ = Open(0);
  EXPECT_EQ(signaller_, INVALID_HANDLE_VALUE);
}

}  // namespace
