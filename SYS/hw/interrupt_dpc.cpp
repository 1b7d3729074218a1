// Deferred processing of the card's interrupt: waking the user when a block completes.
#include "hw/interrupt.h"

/*
 * InterruptDpc: the device object's DPC, queued by block buffering with the DEVICE_EXTENSION
 * as second system argument. Sets the user's event. It reads UserEvent under EventLock, which
 * the stop holds while it clears the field before releasing the event, so a released event is
 * never set. Its last touch of the extension counts it out of DpcsOutstanding, which the
 * removal waits on. DISPATCH_LEVEL.
 */
void NTAPI InterruptDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                        PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(DeferredContext);
  UNREFERENCED_PARAMETER(SystemArgument1);
  auto* extension = static_cast<DEVICE_EXTENSION*>(SystemArgument2);
  KeAcquireSpinLockAtDpcLevel(&extension->EventLock);
  if (extension->UserEvent != nullptr) KeSetEvent(extension->UserEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLockFromDpcLevel(&extension->EventLock);
  InterlockedDecrement(&extension->DpcsOutstanding);  // the last touch of the extension
}

/*
 * WaitForRunningDpcs: returns once no block DPC is queued or running. The caller has made sure
 * no new one is queued (Running cleared, or the interrupt disconnected) and removed a queued
 * one; a DPC another processor already took off the queue may still be running and is waited
 * for, 1 ms at a time. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE void WaitForRunningDpcs(DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  LARGE_INTEGER interval;
  interval.QuadPart = -10000;  // 1 ms
  while (InterlockedCompareExchange(&Extension->DpcsOutstanding, 0, 0) != 0) {
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}
