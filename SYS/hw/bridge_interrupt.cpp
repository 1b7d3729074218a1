// Bridge interrupt control. Every write is a read-modify-write of the whole register: bits
// not named in a step go back as they were read.
#include "hw/bridge_interrupt.h"

#include "frame/device_extension.h"
#include "hw/registers.h"

namespace {

inline ULONG ReadInterruptControl(const DEVICE_EXTENSION* Extension) {
  return READ_PORT_ULONG(PortDword(Extension->BridgePort, BRIDGE_INTERRUPT_CONTROL));
}

inline void WriteInterruptControl(const DEVICE_EXTENSION* Extension, ULONG Value) {
  WRITE_PORT_ULONG(PortDword(Extension->BridgePort, BRIDGE_INTERRUPT_CONTROL), Value);
}

}  // namespace

/*
 * ClaimBridgeInterrupt: decides whether the interrupt on the (possibly shared) line is this
 * card's and acknowledges it. Not ours (no ranges, PCI interrupt disabled, or neither local
 * interrupt active): FALSE after at most one read and no write. Ours: the PCI interrupt is
 * switched off until EnableBridgeInterrupt, IntSource records which local interrupts were
 * active, and each is acknowledged (edge clear for an active-high edge-triggered input,
 * otherwise its enable is cleared); both acknowledgements derive from the same read.
 * Device IRQL under the interrupt's lock (the ISR, or KeSynchronizeExecution).
 */
BOOLEAN NTAPI ClaimBridgeInterrupt(PVOID Context) {
  auto* extension = static_cast<DEVICE_EXTENSION*>(Context);
  if (extension->BridgePort == 0 || extension->BoardPort == 0) return FALSE;
  ULONG value = ReadInterruptControl(extension);
  if (!(value & INTCSR_PCI_INTERRUPT_ENABLE)) return FALSE;
  if (!(value & (INTCSR_LINT1_ACTIVE | INTCSR_LINT2_ACTIVE))) return FALSE;
  WriteInterruptControl(extension, value & ~INTCSR_PCI_INTERRUPT_ENABLE);

  extension->IntSource = 0;
  ULONG status = ReadInterruptControl(extension);
  if (status & INTCSR_LINT1_ACTIVE) {
    extension->IntSource |= 1;
    bool edge = (status & INTCSR_LINT1_ACTIVE_HIGH) && (status & INTCSR_LINT1_EDGE_TRIGGERED);
    WriteInterruptControl(extension, edge ? status | INTCSR_LINT1_EDGE_CLEAR
                                          : status & ~INTCSR_LINT1_ENABLE);
  }
  if (status & INTCSR_LINT2_ACTIVE) {
    extension->IntSource |= 2;
    bool edge = (status & INTCSR_LINT2_ACTIVE_HIGH) && (status & INTCSR_LINT2_EDGE_TRIGGERED);
    WriteInterruptControl(extension, edge ? status | INTCSR_LINT2_EDGE_CLEAR
                                          : status & ~INTCSR_LINT2_ENABLE);
  }
  return TRUE;
}

/*
 * EnableBridgeInterrupt: lets local interrupt 1 through and enables the PCI interrupt. Local
 * interrupt 2 stays as it is. Device IRQL under the interrupt's lock. Returns TRUE.
 */
BOOLEAN NTAPI EnableBridgeInterrupt(PVOID Context) {
  auto* extension = static_cast<DEVICE_EXTENSION*>(Context);
  ULONG value = ReadInterruptControl(extension);
  WriteInterruptControl(extension, value | INTCSR_LINT1_ENABLE | INTCSR_PCI_INTERRUPT_ENABLE);
  return TRUE;
}

/*
 * DisableBridgeInterrupt: clears both local interrupt enables and the PCI interrupt enable,
 * so nothing on the line is claimed afterwards. Under the interrupt's lock, or before the
 * interrupt is connected. Returns TRUE.
 */
BOOLEAN NTAPI DisableBridgeInterrupt(PVOID Context) {
  auto* extension = static_cast<DEVICE_EXTENSION*>(Context);
  ULONG value = ReadInterruptControl(extension);
  WriteInterruptControl(extension, value & INTCSR_DISABLE_KEEP);
  return TRUE;
}
