// Request cancellation: the global cancel spin lock, IoCancelIrp and the verifier's checks on
// cancel routines.
#include <algorithm>

#include "driver_activity.h"
#include "kernel_internal.h"

namespace sim::kernel {
namespace {

KSPIN_LOCK g_cancelSpinLock = 0;

bool HoldsCancelSpinLock() {
  auto& held = CurrentThread().HeldSpinLocks;
  return std::find(held.begin(), held.end(), &g_cancelSpinLock) != held.end();
}

}  // namespace

// A test that ends with the lock held (a cancel routine that never released it and was not
// caught, a driver that returned holding it) must not leave the next boot spinning on it.
void ResetCancelSpinLock() {
  if (__atomic_load_n(&g_cancelSpinLock, __ATOMIC_ACQUIRE) != 0) {
    verifier::Report("CancelSpinLock", "the cancel spin lock is still held when the kernel stops");
    auto& held = CurrentThread().HeldSpinLocks;
    held.erase(std::remove(held.begin(), held.end(), &g_cancelSpinLock), held.end());
    __atomic_store_n(&g_cancelSpinLock, 0, __ATOMIC_RELEASE);
  }
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  EnterService("IoAcquireCancelSpinLock");
  const void* site = CallSite(__builtin_return_address(0));
  CheckRaiseFrom(__builtin_return_address(0), "IoAcquireCancelSpinLock");
  auto& thread = CurrentThread();
  KIRQL old = thread.Irql;
  *Irql = old;
  if (old > DISPATCH_LEVEL) {
    verifier::Report("CancelSpinLock", "IoAcquireCancelSpinLock at IRQL " + std::to_string(old) +
                                           ", above DISPATCH_LEVEL");
    return;
  }
  if (HoldsCancelSpinLock()) {
    verifier::Report("CancelSpinLock",
                     "IoAcquireCancelSpinLock by a thread that already holds it (deadlock)");
    return;
  }
  thread.Irql = DISPATCH_LEVEL;
  AcquireLockWord(&g_cancelSpinLock, "IoAcquireCancelSpinLock", site);
}

extern "C" void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  EnterService("IoReleaseCancelSpinLock");
  auto& thread = CurrentThread();
  if (!HoldsCancelSpinLock()) {
    verifier::Report("CancelSpinLock",
                     "IoReleaseCancelSpinLock by a thread that does not hold the cancel spin lock");
    return;
  }
  if (thread.Irql != DISPATCH_LEVEL) {
    verifier::Report("CancelSpinLock", "IoReleaseCancelSpinLock at IRQL " +
                                           std::to_string(thread.Irql) + ", not DISPATCH_LEVEL");
  }
  ReleaseLockWord(&g_cancelSpinLock, "IoReleaseCancelSpinLock");
  if (Irql > thread.Irql) {
    verifier::Report("CancelSpinLock", "IoReleaseCancelSpinLock restores IRQL " +
                                           std::to_string(Irql) + ", above the current one");
    return;
  }
  thread.Irql = Irql;
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  EnterService("IoCancelIrp");
  auto& thread = CurrentThread();
  if (!CheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp")) return FALSE;
  if (HoldsCancelSpinLock()) {
    verifier::Report("CancelSpinLock",
                     "IoCancelIrp of " + Describe(Irp) +
                         " by a thread that holds the cancel spin lock (deadlock)");
    return FALSE;
  }
  // The request may complete on another thread as soon as its cancel routine is gone, and its
  // originator may free it then; the hold keeps the memory until this call is done with it.
  HoldIrp(Irp);
  size_t locksBefore = thread.HeldSpinLocks.size();
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  Irp->CancelIrql = cancelIrql;
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(cancelIrql);
    ReleaseIrpHold(Irp);
    return FALSE;
  }

  PDEVICE_OBJECT device = nullptr;
  IrpHeader* header = HeaderOf(Irp);
  int location;
  {
    std::lock_guard guard(header->Lock);
    location = Irp->CurrentLocation;
    if (Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount) {
      device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    }
  }
  std::string who = "cancel routine " + Describe(reinterpret_cast<void*>(routine)) + " for " +
                    Describe(Irp);
  CheckRaisedCallback(reinterpret_cast<const void*>(routine), "cancel routine");
  int regionsBefore = thread.CriticalRegions;
  {
    DriverActivity activity(device, "cancel routine", reinterpret_cast<const void*>(routine),
                            nullptr, Irp);
    routine(device, Irp);
  }
  if (thread.CriticalRegions != regionsBefore) CheckCriticalRegionsLeft(regionsBefore, who);

  if (HoldsCancelSpinLock()) {
    verifier::Report("CancelSpinLock", who + " returned without releasing the cancel spin lock");
    IoReleaseCancelSpinLock(cancelIrql);
  }
  if (thread.Irql != cancelIrql) {
    verifier::Report("CancelSpinLock", who + " returned at IRQL " + std::to_string(thread.Irql) +
                                           ", not at the request's CancelIrql " +
                                           std::to_string(cancelIrql));
    thread.Irql = cancelIrql;
  }
  if (thread.HeldSpinLocks.size() != locksBefore) {
    verifier::Report("SpinLock", who + " returned holding a spin lock");
  }
  // Every cancel routine completes its request (with STATUS_CANCELLED): nothing else will.
  bool completed;
  {
    std::lock_guard guard(header->Lock);
    completed = header->CompletionState == IrpHeader::State::Finished || header->WalkLocation > location;
  }
  // (Only for a request in a driver's hands: one never sent has its allocator's routine.)
  if (!completed && location >= 1 && location <= header->StackCount) {
    verifier::Report("CancelWithoutCompletion", who + " returned without completing it");
  }
  ReleaseIrpHold(Irp);
  return TRUE;
}
