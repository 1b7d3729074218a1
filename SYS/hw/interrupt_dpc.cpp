// Deferred processing of the card's interrupt.
#include "hw/interrupt.h"

/*
 * InterruptDpc: the device object's DPC, queued by the interrupt service routine when a block
 * of samples is complete. Nothing queues it until interrupts are connected at device start.
 * DISPATCH_LEVEL.
 */
void NTAPI InterruptDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                        PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(DeferredContext);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
}
