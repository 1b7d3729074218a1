// Spin locks: a real lock word, an owner check, the IRQL rules of the platform and the
// lock-order graph (lock_order.cpp).
//
// Rule SpinLockReleaseIrql: KeReleaseSpinLock must restore the IRQL its KeAcquireSpinLock
// returned; any other value leaves the processor at a level its caller did not expect.
#include <algorithm>
#include <cstring>
#include <thread>

#include "kernel_internal.h"

namespace {

using sim::kernel::CurrentThread;

// The lock word holds the owning thread's state address (never 0) while held.
ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(&CurrentThread()); }

bool Holds(PKSPIN_LOCK lock) {
  auto& held = CurrentThread().HeldSpinLocks;
  return std::find(held.begin(), held.end(), lock) != held.end();
}

// Takes the lock word; the caller has already checked and set the IRQL. The order is recorded
// before spinning, so a real deadlock is reported too rather than only hanging.
bool TakeLock(PKSPIN_LOCK lock, const char* routine, const char* kind, const void* site) {
  if (Holds(lock)) {
    sim::verifier::Report("SpinLock", std::string(routine) + ": spin lock " +
                                          sim::kernel::Describe(lock) +
                                          " acquired twice by one thread (deadlock)");
    return false;
  }
  sim::kernel::NoteLockAcquired(lock, kind, routine, site);
  ULONG_PTR expected = 0;
  while (!__atomic_compare_exchange_n(lock, &expected, OwnerToken(), false, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED)) {
    expected = 0;
    sim::kernel::NoteBlocking();  // spinning on a lock someone else holds
    std::this_thread::yield();
  }
  CurrentThread().HeldSpinLocks.push_back(lock);
  return true;
}

bool DropLock(PKSPIN_LOCK lock, const char* routine) {
  auto& held = CurrentThread().HeldSpinLocks;
  auto it = std::find(held.begin(), held.end(), lock);
  if (it == held.end()) {
    sim::verifier::Report("SpinLock", std::string(routine) + ": spin lock " +
                                          sim::kernel::Describe(lock) +
                                          " released by a thread that does not hold it");
    return false;
  }
  held.erase(it);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  return true;
}

// The IRQL the lock's KeAcquireSpinLock returned, forgotten as the lock is released; none
// when it was taken at DISPATCH_LEVEL by the AtDpcLevel form (a cancel routine may release
// such a lock with KeReleaseSpinLock and the request's CancelIrql).
bool TakeSavedIrql(PKSPIN_LOCK lock, KIRQL* saved) {
  auto& savedIrqls = CurrentThread().SavedIrqls;
  auto it = std::find_if(savedIrqls.begin(), savedIrqls.end(),
                         [lock](const auto& entry) { return entry.first == lock; });
  if (it == savedIrqls.end()) return false;
  *saved = it->second;
  savedIrqls.erase(it);
  return true;
}

}  // namespace

namespace sim::kernel {

// The lock word alone, for locks taken above DISPATCH_LEVEL (interrupt objects).
bool AcquireLockWord(PKSPIN_LOCK lock, const char* routine, const void* site) {
  bool cancel = std::strcmp(routine, "IoAcquireCancelSpinLock") == 0;
  return TakeLock(lock, routine, cancel ? "the cancel spin lock" : "interrupt lock", site);
}
bool ReleaseLockWord(PKSPIN_LOCK lock, const char* routine) { return DropLock(lock, routine); }

}  // namespace sim::kernel

extern "C" void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  EnterService("KeInitializeSpinLock");
  *SpinLock = 0;
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  EnterService("KfAcquireSpinLock");
  const void* site = sim::kernel::CallSite(__builtin_return_address(0));
  sim::kernel::CheckRaiseFrom(__builtin_return_address(0), "KeAcquireSpinLock");
  KIRQL old = CurrentThread().Irql;
  if (old > DISPATCH_LEVEL) {
    sim::verifier::Report("SpinLock", "KeAcquireSpinLock at IRQL " + std::to_string(old) +
                                          ", above DISPATCH_LEVEL");
    return old;
  }
  CurrentThread().Irql = DISPATCH_LEVEL;
  if (TakeLock(SpinLock, "KeAcquireSpinLock", "spin lock", site)) {
    CurrentThread().SavedIrqls.emplace_back(SpinLock, old);
  } else {
    CurrentThread().Irql = old;
  }
  return old;
}

extern "C" void FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  EnterService("KfReleaseSpinLock");
  auto& thread = CurrentThread();
  if (thread.Irql != DISPATCH_LEVEL) {
    sim::verifier::Report("SpinLock", "KeReleaseSpinLock at IRQL " +
                                          std::to_string(thread.Irql) +
                                          ", not DISPATCH_LEVEL");
  }
  if (!DropLock(SpinLock, "KeReleaseSpinLock")) return;
  KIRQL saved;
  if (TakeSavedIrql(SpinLock, &saved) && saved != NewIrql) {
    sim::verifier::Report("SpinLockReleaseIrql",
                          "KeReleaseSpinLock of " + sim::kernel::Describe(SpinLock) +
                              " restores IRQL " + std::to_string(NewIrql) +
                              ", but its KeAcquireSpinLock saved IRQL " + std::to_string(saved));
  }
  if (NewIrql > thread.Irql) {
    sim::verifier::Report("SpinLock", "KeReleaseSpinLock restores IRQL " +
                                          std::to_string(NewIrql) + ", above the current one");
    return;
  }
  thread.Irql = NewIrql;
}

extern "C" void FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  EnterService("KefAcquireSpinLockAtDpcLevel");
  const void* site = sim::kernel::CallSite(__builtin_return_address(0));
  sim::kernel::CheckRaiseFrom(__builtin_return_address(0), "KeAcquireSpinLockAtDpcLevel");
  // At DISPATCH_LEVEL or above: an ISR or a synchronize routine may take a lock this way.
  if (CurrentThread().Irql < DISPATCH_LEVEL) {
    sim::verifier::Report("SpinLockSafe", "KeAcquireSpinLockAtDpcLevel at IRQL " +
                                              std::to_string(CurrentThread().Irql));
  }
  TakeLock(SpinLock, "KeAcquireSpinLockAtDpcLevel", "spin lock", site);
}

extern "C" void FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  EnterService("KefReleaseSpinLockFromDpcLevel");
  if (CurrentThread().Irql < DISPATCH_LEVEL) {
    sim::verifier::Report("SpinLockSafe", "KeReleaseSpinLockFromDpcLevel at IRQL " +
                                              std::to_string(CurrentThread().Irql));
  }
  KIRQL saved;
  if (DropLock(SpinLock, "KeReleaseSpinLockFromDpcLevel")) TakeSavedIrql(SpinLock, &saved);
}
