// The rendezvous between two clients (a wait parked in the driver, completed by another
// client's signal with four bytes), and the auto-reset event that block mode sets.
#include <windows.h>

#include <thread>
#include <utility>

#include "control.h"
#include "tarvik/device.h"

namespace tarvik {

// Lives on the heap: the driver writes the value and the outcome into it when the wait
// completes, so its address must not move with the PendingWait.
struct PendingWait::State {
  enum class Phase { Parked, Signalled, Failed };

  HANDLE handle = INVALID_HANDLE_VALUE;  // overlapped, used by this wait alone
  std::thread::id issuer;                // the thread that sent the request
  HANDLE event = nullptr;                // manual-reset, set when the wait completes
  OVERLAPPED overlapped{};
  uint32_t value = 0;
  Phase phase = Phase::Parked;
  uint32_t error = 0;  // Win32 error when Failed

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (event != nullptr) CloseHandle(event);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

namespace {
constexpr const char* kWaitOperation = "wait for a signal";
}

PendingWait::PendingWait(std::unique_ptr<State> state) : state_(std::move(state)) {}

PendingWait::PendingWait(PendingWait&& other) noexcept = default;

PendingWait& PendingWait::operator=(PendingWait&& other) noexcept {
  if (this != &other) {
    if (state_ != nullptr) Cancel();
    state_ = std::move(other.state_);
  }
  return *this;
}

PendingWait::~PendingWait() {
  if (state_ != nullptr) Cancel();
}

void PendingWait::Collect(bool block) {
  // Waits on the event rather than through GetOverlappedResult, so that it also works once a
  // cancel from another thread has closed the handle.
  if (block) WaitForSingleObject(state_->event, INFINITE);
  DWORD bytes = 0;
  if (GetOverlappedResult(state_->handle, &state_->overlapped, &bytes, FALSE)) {
    state_->phase = State::Phase::Signalled;
    return;
  }
  uint32_t error = static_cast<uint32_t>(GetLastError());
  if (error == static_cast<uint32_t>(ERROR_IO_INCOMPLETE)) return;  // still parked
  state_->phase = State::Phase::Failed;
  state_->error = error;
}

std::optional<uint32_t> PendingWait::Wait(std::chrono::milliseconds timeout) {
  if (state_ == nullptr) throw std::logic_error("wait on a moved-from PendingWait");
  if (state_->phase == State::Phase::Parked) {
    DWORD result = WaitForSingleObject(state_->event, detail::WaitMilliseconds(timeout.count()));
    if (result == static_cast<DWORD>(WAIT_TIMEOUT)) return std::nullopt;
    if (result != WAIT_OBJECT_0) {
      throw Error(kWaitOperation, static_cast<uint32_t>(GetLastError()), DAQ_OK);
    }
    Collect(true);
  }
  if (state_->phase == State::Phase::Failed) throw Error(kWaitOperation, state_->error, DAQ_OK);
  return state_->value;
}

bool PendingWait::Cancel() {
  if (state_ == nullptr || state_->phase != State::Phase::Parked) return false;
  // The driver's targets have no CancelIoEx. CancelIo cancels the calling thread's requests
  // only, so it serves the thread that sent the wait; any other thread closes the wait's own
  // handle, and the driver's cleanup of its file object cancels the parked wait. Either fails
  // harmlessly when a signal won.
  if (std::this_thread::get_id() == state_->issuer) {
    CancelIo(state_->handle);
  } else {
    CloseHandle(state_->handle);
    state_->handle = INVALID_HANDLE_VALUE;
  }
  Collect(true);
  return state_->phase == State::Phase::Failed &&
         state_->error == static_cast<uint32_t>(ERROR_OPERATION_ABORTED);
}

bool PendingWait::Completed() {
  if (state_ == nullptr) return true;
  if (state_->phase == State::Phase::Parked) Collect(false);
  return state_->phase != State::Phase::Parked;
}

PendingWait Device::BeginWait() {
  auto state = std::make_unique<PendingWait::State>();
  state->handle = detail::OpenDevice(FILE_FLAG_OVERLAPPED, kWaitOperation);
  state->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (state->event == nullptr) {
    throw Error("create an event", static_cast<uint32_t>(GetLastError()), DAQ_OK);
  }
  state->overlapped.hEvent = state->event;
  state->issuer = std::this_thread::get_id();
  if (DeviceIoControl(state->handle, IOCTL_DAQ_WAIT_EVENT, nullptr, 0, &state->value,
                      sizeof state->value, nullptr, &state->overlapped)) {
    state->phase = PendingWait::State::Phase::Signalled;  // completed at once
    return PendingWait(std::move(state));
  }
  uint32_t error = static_cast<uint32_t>(GetLastError());
  if (error == static_cast<uint32_t>(ERROR_IO_PENDING)) return PendingWait(std::move(state));
  // Refused at once: nothing is parked, so the state can simply go.
  if (error == static_cast<uint32_t>(ERROR_GEN_FAILURE)) {
    throw Error(kWaitOperation, error, "another wait is already parked on the device");
  }
  if (error == static_cast<uint32_t>(ERROR_OPERATION_ABORTED)) {
    throw Error(kWaitOperation, error, "the device is stopped or going away");
  }
  throw Error(kWaitOperation, error, DAQ_OK);
}

void Device::Signal(uint32_t value) {
  DWORD bytes = 0;
  if (DeviceIoControl(handle_, IOCTL_DAQ_SET_EVENT, &value, sizeof value, nullptr, 0, &bytes,
                      nullptr)) {
    return;
  }
  uint32_t error = static_cast<uint32_t>(GetLastError());
  if (error == static_cast<uint32_t>(ERROR_GEN_FAILURE)) {
    throw Error("signal the waiting client", error, "no client is waiting");
  }
  throw Error("signal the waiting client", error, DAQ_OK);
}

Event::Event() : handle_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
  if (handle_ == nullptr) {
    throw Error("create an event", static_cast<uint32_t>(GetLastError()), DAQ_OK);
  }
}

Event::~Event() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

Event::Event(Event&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Event& Event::operator=(Event&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

bool Event::Wait(std::chrono::milliseconds timeout) const {
  return WaitForSingleObject(handle_, detail::WaitMilliseconds(timeout.count())) == WAIT_OBJECT_0;
}

}  // namespace tarvik
