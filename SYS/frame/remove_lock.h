// Remove lock: a counted reference that keeps the device context valid while requests use
// it, and lets removal wait until the last reference is gone.
#pragma once

#include "platform.h"

struct REMOVE_LOCK {
  volatile LONG Count;  // 1 (the lock's own reference) + references held
  BOOLEAN Removing;     // set once when removal begins, never cleared
  KEVENT StopEvent;     // notification event, signalled when Count reaches zero
};

void InitializeRemoveLock(REMOVE_LOCK* Lock);
NTSTATUS AcquireRemoveLock(REMOVE_LOCK* Lock);
void ReleaseRemoveLock(REMOVE_LOCK* Lock);
void ReleaseRemoveLockAndWait(REMOVE_LOCK* Lock);
