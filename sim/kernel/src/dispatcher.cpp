// Dispatcher objects: notification and synchronization events and kernel mutexes, with real
// blocking waits.
//
// One dispatcher lock guards every signal state, as the platform's dispatcher database lock
// does; waiters sleep on one condition variable and re-check their object when woken.
//
// Time passes in clock ticks ("Timer Accuracy" in the platform's kernel documentation). The
// system time a relative expiration is added to is updated only at a tick, and timers expire
// only while a tick is processed: a delay or time-out of t started between two ticks ends at
// the first tick at or after (the last tick + t). A 1 ms KeDelayExecutionThread made just after
// a tick therefore lasts a whole tick, and a loop of them takes a tick per pass. Ticks fall on
// multiples of the period counted from boot.
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
constexpr UCHAR kMutantObject = 2;

std::mutex g_dispatcherLock;
std::condition_variable g_dispatcherCv;
std::atomic<long long> g_deadlockLimitMs{30000};
// The time threads asked KeDelayExecutionThread for, in 100 ns units, since boot.
std::atomic<uint64_t> g_requestedDelay{0};
std::atomic<long long> g_clockTickUs{kDefaultClockTick.count()};
std::atomic<std::chrono::steady_clock::rep> g_clockOrigin{0};  // steady_clock at boot
// Threads blocked in an infinite wait, per object (under the dispatcher lock).
std::map<const void*, size_t> g_blockedWaiters;

// The calling thread as a mutex's owner.
_KTHREAD* ThisThread() { return reinterpret_cast<_KTHREAD*>(&CurrentThread()); }

// Waits are satisfied under the dispatcher lock; a synchronization event resets itself. A
// mutex is free at signal state 1 and counts its owner's recursive acquisitions below it; its
// owner may take it again.
bool TrySatisfy(DISPATCHER_HEADER* header) {
  if (header->Type == kMutantObject) {
    auto* mutex = reinterpret_cast<PKMUTEX>(header);
    if (header->SignalState <= 0 && mutex->OwnerThread != ThisThread()) return false;
    if (header->SignalState == 1) {
      mutex->OwnerThread = ThisThread();
      CurrentThread().OwnedMutexes++;
    }
    header->SignalState = header->SignalState - 1;
    return true;
  }
  if (header->SignalState <= 0) return false;
  if (header->Type == kEventSynchronizationObject) header->SignalState = 0;
  return true;
}

}  // namespace

std::chrono::steady_clock::time_point TimerExpiry(std::chrono::steady_clock::duration delay) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point now = Clock::now();
  long long tickUs = g_clockTickUs;
  if (tickUs <= 0 || delay <= Clock::duration::zero()) return now + delay;
  Clock::time_point origin{Clock::duration(g_clockOrigin.load())};
  auto tick = std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(tickUs));
  Clock::time_point lastTick = origin + ((now - origin) / tick) * tick;
  auto ticks = (lastTick + delay - origin + tick - Clock::duration(1)) / tick;
  return origin + ticks * tick;
}

void StartClock() { g_clockOrigin = std::chrono::steady_clock::now().time_since_epoch().count(); }

void SetClockTick(std::chrono::microseconds period) { g_clockTickUs = period.count(); }

std::chrono::microseconds ClockTick() { return std::chrono::microseconds(g_clockTickUs); }

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

uint64_t RequestedDelay() { return g_requestedDelay.load(std::memory_order_relaxed); }

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

extern "C" void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  EnterService("KeInitializeMutex");
  (void)Level;
  std::lock_guard guard(g_dispatcherLock);
  Mutex->Header.Type = kMutantObject;
  Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  Mutex->Header.SignalState = 1;
  InitializeListHead(&Mutex->Header.WaitListHead);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

// Releases one acquisition by its owner; the last one frees the mutex. A thread that does not
// own it makes the platform raise STATUS_MUTANT_NOT_OWNED, which crashes the kernel.
extern "C" LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  EnterService("KeReleaseMutex");
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
  LONG previous;
  bool owned;
  {
    std::lock_guard guard(g_dispatcherLock);
    previous = Mutex->Header.SignalState;
    owned = previous <= 0 && Mutex->OwnerThread == ThisThread();
    if (owned) {
      Mutex->Header.SignalState = previous + 1;
      if (previous == 0) {
        Mutex->OwnerThread = nullptr;
        CurrentThread().OwnedMutexes--;
      }
    }
  }
  if (!owned) {
    sim::verifier::Report("MutexNotOwned", "KeReleaseMutex of mutex " + Describe(Mutex) +
                                               " by a thread that does not own it");
    return previous;
  }
  if (Wait) CurrentThread().WaitOwed = true;
  g_dispatcherCv.notify_all();
  return previous;
}

extern "C" LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
  EnterService("KeReadStateMutex");
  std::lock_guard guard(g_dispatcherLock);
  return Mutex->Header.SignalState;
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
    auto deadline = TimerExpiry(std::chrono::nanoseconds(units * 100));
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
  g_requestedDelay.fetch_add(static_cast<uint64_t>(units), std::memory_order_relaxed);
  NoteBlocking();
  std::this_thread::sleep_until(TimerExpiry(std::chrono::nanoseconds(units * 100)));
  return STATUS_SUCCESS;
}
