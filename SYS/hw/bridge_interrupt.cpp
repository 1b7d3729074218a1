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

// Sets (Set) and clears (Clear) bits of the register, unless the bridge no longer answers: an
// all-ones value is nothing's state, and written back it would turn on every enable.
inline void ModifyInterruptControl(const DEVICE_EXTENSION* Extension, ULONG Set, ULONG Clear) {
  ULONG value = ReadInterruptControl(Extension);
  if (!BridgeAbsent(value)) WriteInterruptControl(Extension, (value | Set) & ~Clear);
}

// Whether a local interrupt is both enabled and active in a value of the register.
inline bool Lint1Pending(ULONG Value) {
  return (Value & INTCSR_LINT1_ENABLE) && (Value & INTCSR_LINT1_ACTIVE);
}

inline bool Lint2Pending(ULONG Value) {
  return (Value & INTCSR_LINT2_ENABLE) && (Value & INTCSR_LINT2_ACTIVE);
}

}  // namespace

/*
 * ClaimBridgeInterrupt: decides whether the interrupt on the (possibly shared) line is this
 * card's and acknowledges it. Not ours (no ranges, PCI interrupt disabled, or no local
 * interrupt both enabled and active): FALSE after at most one read and no write. A disabled
 * input can be active (the card holds local interrupt 1 until its capture strobe), but it
 * cannot drive the line, so it never makes another device's interrupt ours. Ours: the PCI
 * interrupt is switched off until it is enabled again, IntSource records which enabled local
 * interrupts were active, and each is acknowledged (edge clear for an active-high
 * edge-triggered input, otherwise its enable is cleared). Both acknowledgements derive from
 * the same read, the second keeping the first's cleared enable, so it never re-enables an
 * input the first silenced. A status of all ones is a bridge that no longer answers (the card
 * was pulled, or stopped decoding in D3), never this card's interrupt: claiming it would take
 * every interrupt on the shared line from its owner. A bridge that stops answering between
 * the two reads was interrupting: the interrupt is claimed with nothing acknowledged
 * (IntSource 0). Device IRQL under the interrupt's lock (the ISR, or KeSynchronizeExecution).
 */
BOOLEAN NTAPI ClaimBridgeInterrupt(PVOID Context) {
  auto* extension = static_cast<DEVICE_EXTENSION*>(Context);
  if (extension->BridgePort == 0 || extension->BoardPort == 0) return FALSE;
  // Read once: every port call is opaque to the compiler.
  PULONG control = PortDword(extension->BridgePort, BRIDGE_INTERRUPT_CONTROL);
  ULONG value = READ_PORT_ULONG(control);
  if (BridgeAbsent(value) || !(value & INTCSR_PCI_INTERRUPT_ENABLE)) return FALSE;
  if (!Lint1Pending(value) && !Lint2Pending(value)) return FALSE;
  WRITE_PORT_ULONG(control, value & ~INTCSR_PCI_INTERRUPT_ENABLE);

  ULONG source = 0;
  ULONG status = READ_PORT_ULONG(control);
  if (BridgeAbsent(status)) {
    extension->IntSource = 0;
    return TRUE;
  }
  ULONG kept = status;  // the enables as the acknowledgements leave them
  if (Lint1Pending(status)) {
    source |= 1;
    if ((status & INTCSR_LINT1_ACTIVE_HIGH) && (status & INTCSR_LINT1_EDGE_TRIGGERED)) {
      WRITE_PORT_ULONG(control, kept | INTCSR_LINT1_EDGE_CLEAR);
    } else {
      kept &= ~INTCSR_LINT1_ENABLE;
      WRITE_PORT_ULONG(control, kept);
    }
  }
  if (Lint2Pending(status)) {
    source |= 2;
    if ((status & INTCSR_LINT2_ACTIVE_HIGH) && (status & INTCSR_LINT2_EDGE_TRIGGERED)) {
      WRITE_PORT_ULONG(control, kept | INTCSR_LINT2_EDGE_CLEAR);
    } else {
      kept &= ~INTCSR_LINT2_ENABLE;
      WRITE_PORT_ULONG(control, kept);
    }
  }
  extension->IntSource = source;
  return TRUE;
}

/*
 * EnableBridgeInterrupt: lets local interrupt 1 through and enables the PCI interrupt. Local
 * interrupt 2 stays as it is. Like the two routines below, it writes nothing to a bridge that
 * no longer answers. Device IRQL under the interrupt's lock. Returns TRUE.
 */
BOOLEAN NTAPI EnableBridgeInterrupt(PVOID Context) {
  ModifyInterruptControl(static_cast<DEVICE_EXTENSION*>(Context),
                         INTCSR_LINT1_ENABLE | INTCSR_PCI_INTERRUPT_ENABLE, 0);
  return TRUE;
}

/*
 * EnableBridgePciInterrupt: enables the PCI interrupt again and leaves both local enables as
 * they are. For an interrupt after which the card was not acknowledged: local interrupt 1
 * stays active until the capture's strobe, so letting it through again would storm the line.
 * Device IRQL under the interrupt's lock. Returns TRUE.
 */
BOOLEAN NTAPI EnableBridgePciInterrupt(PVOID Context) {
  ModifyInterruptControl(static_cast<DEVICE_EXTENSION*>(Context), INTCSR_PCI_INTERRUPT_ENABLE, 0);
  return TRUE;
}

/*
 * DisableBridgeInterrupt: clears both local interrupt enables and the PCI interrupt enable,
 * so nothing on the line is claimed afterwards. Under the interrupt's lock, or before the
 * interrupt is connected. Returns TRUE.
 */
BOOLEAN NTAPI DisableBridgeInterrupt(PVOID Context) {
  ModifyInterruptControl(static_cast<DEVICE_EXTENSION*>(Context), 0, ~INTCSR_DISABLE_KEEP);
  return TRUE;
}
