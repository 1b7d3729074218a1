// Spin locks: a real lock word, an owner check and the IRQL rules of the platform.
#include <algorithm>
#include <thread>

#include "kernel_internal.h"

namespace sim::kernel {
bool AcquireLockWord(PKSPIN_LOCK lock, const char* routine);
bool ReleaseLockWord(PKSPIN_LOCK lock, const char* routine);
}  // namespace sim::kernel

namespace {

using sim::kernel::CurrentThread;

// The lock word holds the owning thread's state address (never 0) while held.
ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(&CurrentThread()); }

bool Holds(PKSPIN_LOCK lock) {
  auto& held = CurrentThread().HeldSpinLocks;
  return std::find(held.begin(), held.end(), lock) != held.end();
}

// Takes the lock word; the caller has already checked and set the IRQL.
bool TakeLock(PKSPIN_LOCK lock, const char* routine) {
  if (Holds(lock)) {
    sim::verifier::Report("SpinLock", std::string(routine) + ": spin lock " +
                                          sim::kernel::Describe(lock) +
                                          " acquired twice by one thread (deadlock)");
    return false;
  }
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

}  // namespace

namespace sim::kernel {

// The lock word alone, for locks taken above DISPATCH_LEVEL (interrupt objects).
bool AcquireLockWord(PKSPIN_LOCK lock, const char* routine) { return TakeLock(lock, routine); }
bool ReleaseLockWord(PKSPIN_LOCK lock, const char* routine) { return DropLock(lock, routine); }

}  // namespace sim::kernel

extern "C" void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  EnterService("KeInitializeSpinLock");
  *SpinLock = 0;
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  EnterService("KfAcquireSpinLock");
  KIRQL old = CurrentThread().Irql;
  if (old > DISPATCH_LEVEL) {
    sim::verifier::Report("SpinLock", "KeAcquireSpinLock at IRQL " + std::to_string(old) +
                                          ", above DISPATCH_LEVEL");
    return old;
  }
  CurrentThread().Irql = DISPATCH_LEVEL;
  if (!TakeLock(SpinLock, "KeAcquireSpinLock")) CurrentThread().Irql = old;
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
  if (NewIrql > thread.Irql) {
    sim::verifier::Report("SpinLock", "KeReleaseSpinLock restores IRQL " +
                                          std::to_string(NewIrql) + ", above the current one");
    return;
  }
  thread.Irql = NewIrql;
}

extern "C" void FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  EnterService("KefAcquireSpinLockAtDpcLevel");
  if (CurrentThread().Irql != DISPATCH_LEVEL) {
    sim::verifier::Report("SpinLockSafe", "KeAcquireSpinLockAtDpcLevel at IRQL " +
                                              std::to_string(CurrentThread().Irql));
  }
  TakeLock(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" void FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  EnterService("KefReleaseSpinLockFromDpcLevel");
  if (CurrentThread().Irql != DISPATCH_LEVEL) {
    sim::verifier::Report("SpinLockSafe", "KeReleaseSpinLockFromDpcLevel at IRQL " +
                                              std::to_string(CurrentThread().Irql));
  }
  DropLock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}
