// Dispatcher objects: notification and synchronization events with real blocking waits.
//
// One dispatcher lock guards every signal state, as the platform's dispatcher database lock
// does; waiters sleep on one condition variable and re-check their object when woken.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "kernel_internal.h"
#include "sim/kernel.h"

namespace sim::kernel {
namespace {

constexpr UCHAR kEventNotificationObject = 0;
constexpr UCHAR kEventSynchronizationObject = 1;

std::mutex g_dispatcherLock;
std::condition_variable g_dispatcherCv;
std::atomic<long long> g_deadlockLimitMs{30000};
// Threads blocked in an infinite wait, per object (under the dispatcher lock).
std::map<const void*, size_t> g_blockedWaiters;

// Waits are satisfied under the dispatcher lock; a synchronization event resets itself.
bool TrySatisfy(DISPATCHER_HEADER* header) {
  if (header->SignalState <= 0) return false;
  if (header->Type == kEventSynchronizationObject) header->SignalState = 0;
  return true;
}

}  // namespace

// Rule WaitAfterSetEvent: KeSetEvent with Wait TRUE returns holding the dispatcher lock at
// DISPATCH_LEVEL, on the promise that the thread's next call is a KeWaitFor* call; any other
// call is made with it still held. Checked at the entry of every service (EnterService) and
// when a dispatch routine returns.
void CheckNoWaitOwed(const char* call) {
  auto& thread = CurrentThread();
  if (!thread.WaitOwed) return;
  thread.WaitOwed = false;
  verifier::Report("WaitAfterSetEvent", std::string(call) +
                                            " after KeSetEvent with Wait TRUE: the next kernel "
                                            "call of that thread must be a KeWaitFor* call");
}

void SetDeadlockLimit(std::chrono::milliseconds limit) { g_deadlockLimitMs = limit.count(); }

size_t BlockedWaiters(const void* object) {
  std::lock_guard lock(g_dispatcherLock);
  auto found = g_blockedWaiters.find(object);
  return found == g_blockedWaiters.end() ? 0 : found->second;
}
std::chrono::milliseconds DeadlockLimit() { return std::chrono::milliseconds(g_deadlockLimitMs); }

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  EnterService("KeInitializeEvent");
  std::lock_guard guard(g_dispatcherLock);
  Event->Header.Type =
      Type == NotificationEvent ? kEventNotificationObject : kEventSynchronizationObject;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  EnterService("KeSetEvent");
  (void)Increment;
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  // Rule IrqlKeSetEvent: the wait that Wait TRUE promises must be possible, so at most APC_LEVEL.
  if (Wait && CurrentThread().Irql > APC_LEVEL && CurrentThread().Irql <= DISPATCH_LEVEL) {
    sim::verifier::Report("IrqlKeSetEvent", "KeSetEvent with Wait TRUE at IRQL " +
                                                std::to_string(CurrentThread().Irql));
  }
  if (Wait) CurrentThread().WaitOwed = true;
  if (IsReleasedEventObject(Event)) {
    sim::verifier::Report("SignalReleasedEvent",
                          "KeSetEvent on event " + Describe(Event) +
                              " after the driver dropped its reference to it");
    return 0;
  }
  LONG previous;
  {
    std::lock_guard guard(g_dispatcherLock);
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  }
  g_dispatcherCv.notify_all();
  return previous;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
  EnterService("KeResetEvent");
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  std::lock_guard guard(g_dispatcherLock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

extern "C" void NTAPI KeClearEvent(PRKEVENT Event) {
  EnterService("KeClearEvent");
  std::lock_guard guard(g_dispatcherLock);
  Event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  EnterService("KeReadStateEvent");
  std::lock_guard guard(g_dispatcherLock);
  return Event->Header.SignalState;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
  EnterService("KeWaitForSingleObject");
  (void)WaitReason;
  (void)Alertable;
  CurrentThread().WaitOwed = false;  // the wait KeSetEvent with Wait TRUE promised
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  KIRQL irql = CurrentThread().Irql;
  bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !zeroTimeout)) {
    sim::verifier::Report("IrqlKeWaitForSingleObject",
                          "a wait with a non-zero time-out at IRQL " + std::to_string(irql));
    return STATUS_TIMEOUT;  // the platform would crash; the caller must not sleep here
  }
  // A zero time-out only polls: legal at DISPATCH_LEVEL, so also under a spin lock.
  if (!zeroTimeout && !CurrentThread().HeldSpinLocks.empty()) {
    sim::verifier::Report("SpinLock", "KeWaitForSingleObject while holding a spin lock");
  }

  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(g_dispatcherLock);
  if (Timeout != nullptr) {
    // Negative: relative, in 100 ns units. Positive (absolute) times are treated as relative
    // to now, which is all the driver's waits need.
    long long units = Timeout->QuadPart < 0 ? -Timeout->QuadPart : Timeout->QuadPart;
    auto deadline = Clock::now() + std::chrono::microseconds(units / 10);
    if (TrySatisfy(header)) return STATUS_WAIT_0;
    if (units != 0) NoteBlocking();  // a wait that does not complete at once
    while (!TrySatisfy(header)) {
      if (g_dispatcherCv.wait_until(lock, deadline) == std::cv_status::timeout) {
        return TrySatisfy(header) ? STATUS_WAIT_0 : STATUS_TIMEOUT;
      }
    }
    return STATUS_WAIT_0;
  }

  // Only a kernel wait can be a deadlock of the code under test; a user-mode thread may wait
  // forever, as a program waiting for its next block does.
  auto start = Clock::now();
  if (TrySatisfy(header)) return STATUS_WAIT_0;
  NoteBlocking();  // a wait that does not complete at once
  ++g_blockedWaiters[Object];
  while (!TrySatisfy(header)) {
    g_dispatcherCv.wait_for(lock, std::chrono::milliseconds(200));
    if (WaitMode == KernelMode && Clock::now() - start > DeadlockLimit()) {
      std::fprintf(stderr,
                   "emulated kernel: an infinite wait on object %p lasted longer than %lld ms; "
                   "stopping instead of hanging (deadlock in the code under test?)\n",
                   Object, static_cast<long long>(DeadlockLimit().count()));
      std::abort();
    }
  }
  if (--g_blockedWaiters[Object] == 0) g_blockedWaiters.erase(Object);
  return STATUS_WAIT_0;
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval) {
  EnterService("KeDelayExecutionThread");
  (void)WaitMode;
  (void)Alertable;
  if (!CheckIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread")) return STATUS_SUCCESS;
  long long units = Interval->QuadPart < 0 ? -Interval->QuadPart : Interval->QuadPart;
  NoteBlocking();
  std::this_thread::sleep_for(std::chrono::microseconds(units / 10));
  return STATUS_SUCCESS;
}
