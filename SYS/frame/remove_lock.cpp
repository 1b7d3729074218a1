// Remove lock operations. No spin lock: one interlocked counter, one flag and one event.
#include "frame/remove_lock.h"

/*
 * InitializeRemoveLock: a fresh lock holds only its own reference.
 * PASSIVE_LEVEL; AddDevice calls it once, before the device joins the stack.
 */
TARVIK_PAGE_CODE void InitializeRemoveLock(REMOVE_LOCK* Lock) {
  PAGED_CODE();
  KeInitializeEvent(&Lock->StopEvent, NotificationEvent, FALSE);
  Lock->Removing = FALSE;
  Lock->Count = 1;
}

/*
 * AcquireRemoveLock: takes a reference, or refuses with STATUS_DELETE_PENDING once removal has
 * begun (then nothing is held).
 *
 * The increment comes before the test of Removing: an acquirer counted before removal began
 * is waited for, and one that finds Removing set takes its increment back and, when that
 * brings the count to zero, signals the waiter itself, so the wait never hangs on a
 * reference nobody holds. Any IRQL up to DISPATCH_LEVEL.
 */
NTSTATUS AcquireRemoveLock(REMOVE_LOCK* Lock) {
  InterlockedIncrement(&Lock->Count);
  if (!__atomic_load_n(&Lock->Removing, __ATOMIC_SEQ_CST)) return STATUS_SUCCESS;
  if (InterlockedDecrement(&Lock->Count) == 0) {
    KeSetEvent(&Lock->StopEvent, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_DELETE_PENDING;
}

/*
 * ReleaseRemoveLock: gives back one reference taken by a successful AcquireRemoveLock.
 * Any IRQL up to DISPATCH_LEVEL.
 */
void ReleaseRemoveLock(REMOVE_LOCK* Lock) {
  if (InterlockedDecrement(&Lock->Count) == 0) {
    KeSetEvent(&Lock->StopEvent, IO_NO_INCREMENT, FALSE);
  }
}

/*
 * ReleaseRemoveLockAndWait: starts removal, gives back the caller's reference and the lock's
 * own, then waits until every other holder has released. The interlocked decrement after the
 * plain store of Removing is a full barrier, so every later acquirer sees it.
 * PASSIVE_LEVEL; only the removal handler calls it, once per device. Blocks.
 */
TARVIK_PAGE_CODE void ReleaseRemoveLockAndWait(REMOVE_LOCK* Lock) {
  PAGED_CODE();
  __atomic_store_n(&Lock->Removing, TRUE, __ATOMIC_RELAXED);
  ReleaseRemoveLock(Lock);
  ReleaseRemoveLock(Lock);
  KeWaitForSingleObject(&Lock->StopEvent, Executive, KernelMode, FALSE, nullptr);
}
