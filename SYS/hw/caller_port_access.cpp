// Port accesses on a caller's behalf (the raw port requests, the device command's register
// operations). The caller holds AcquisitionLock and has found the port inside the device's
// assigned ranges; so the resources stay assigned, and no register sequence of the driver's own
// made from a request (the sample clock's index/data pairs, EEPROM bits on the control
// register) is in progress.
//
// The bridge's interrupt control/status register (0x4C) is also the interrupt path's, which
// read-modify-writes it under the interrupt's lock: a caller's access to it is made there too,
// and a write keeps the bits the interrupt handling owns (both local interrupts' enables,
// polarities and edge selects, the PCI interrupt enable, the read-only status bits) as they
// are, with the edge-clear bits written 0. Only the rest (bit 7 and bits 12..31) is the
// caller's to set. A polarity or an enable of the caller's choosing would otherwise leave an
// interrupt the ISR cannot acknowledge asserted on the shared line for good, and an edge clear
// would throw away an interrupt the ISR has yet to see.
#include "hw/caller_port_access.h"

#include "hw/registers.h"
#include "tarvik_ioctl.h"

namespace {

constexpr ULONG BRIDGE_REGISTER_BYTES = 4;
// Kept from the register's current value on a caller's write.
constexpr ULONG INTCSR_DRIVER_OWNED =
    INTCSR_LINT1_ENABLE | INTCSR_LINT1_ACTIVE_HIGH | INTCSR_LINT1_ACTIVE | INTCSR_LINT2_ENABLE |
    INTCSR_LINT2_ACTIVE_HIGH | INTCSR_LINT2_ACTIVE | INTCSR_PCI_INTERRUPT_ENABLE |
    INTCSR_LINT1_EDGE_TRIGGERED | INTCSR_LINT2_EDGE_TRIGGERED;
// Written as 0 on a caller's write: writing 1 acknowledges an edge interrupt.
constexpr ULONG INTCSR_EDGE_CLEARS = INTCSR_LINT1_EDGE_CLEAR | INTCSR_LINT2_EDGE_CLEAR;

struct CALLER_ACCESS {
  bool Write;
  ULONG_PTR Port;
  ULONG Width;
  ULONG* Value;
  ULONG_PTR InterruptControl;  // the register's port
  bool BridgeAnswered;
};

/*
 * CallerWriteValue: the value a caller's write of Width bytes at Port is made with: the
 * caller's bytes, except those of the interrupt control register at Register, which take the
 * driver's bits from Current. Any IRQL.
 */
ULONG CallerWriteValue(ULONG_PTR Port, ULONG Width, ULONG Value, ULONG_PTR Register,
                       ULONG Current) {
  ULONG result = Value;
  for (ULONG i = 0; i < Width; ++i) {
    ULONG_PTR port = Port + i;
    if (port < Register || port >= Register + BRIDGE_REGISTER_BYTES) continue;
    ULONG shift = 8 * static_cast<ULONG>(port - Register);
    ULONG owned = (INTCSR_DRIVER_OWNED >> shift) & 0xFF;
    ULONG clears = (INTCSR_EDGE_CLEARS >> shift) & 0xFF;
    ULONG current = (Current >> shift) & 0xFF;
    ULONG byte = (Value >> (8 * i)) & 0xFF;
    byte = ((byte & ~owned) | (current & owned)) & ~clears;
    result = (result & ~(0xFFu << (8 * i))) | (byte << (8 * i));
  }
  return result;
}

/*
 * MakeCallerAccess: the access itself; through KeSynchronizeExecution at device IRQL for the
 * interrupt control register, otherwise at PASSIVE_LEVEL. A write to the interrupt control
 * register is made only while the bridge answers. Resident.
 */
BOOLEAN NTAPI MakeCallerAccess(PVOID Context) {
  auto* access = static_cast<CALLER_ACCESS*>(Context);
  access->BridgeAnswered = true;
  if (!access->Write) {
    *access->Value = ReadPortOfWidth(access->Port, access->Width);
    return TRUE;
  }
  ULONG value = *access->Value;
  if (access->InterruptControl != 0) {
    ULONG current = READ_PORT_ULONG(reinterpret_cast<PULONG>(access->InterruptControl));
    if (BridgeAbsent(current)) {
      access->BridgeAnswered = false;
      return TRUE;
    }
    value = CallerWriteValue(access->Port, access->Width, value, access->InterruptControl,
                             current);
  }
  WritePortOfWidth(access->Port, access->Width, value);
  return TRUE;
}

}  // namespace

/*
 * AccessPortForCaller: see the header. PASSIVE_LEVEL, with AcquisitionLock held.
 */
TARVIK_PAGE_CODE ULONG AccessPortForCaller(DEVICE_EXTENSION* Extension, bool Write,
                                           ULONG_PTR Port, ULONG Width, ULONG* Value) {
  PAGED_CODE();
  ULONG_PTR interruptControl = Extension->BridgePort + BRIDGE_INTERRUPT_CONTROL;
  bool coversInterruptControl =
      Port < interruptControl + BRIDGE_REGISTER_BYTES && interruptControl < Port + Width;
  CALLER_ACCESS access{Write, Port, Width, Value, coversInterruptControl ? interruptControl : 0,
                       true};
  if (!coversInterruptControl) {
    MakeCallerAccess(&access);
    return DAQ_OK;
  }
  // Assigned resources include the connected interrupt (see AssignResources).
  KeSynchronizeExecution(Extension->InterruptObject, MakeCallerAccess, &access);
  return access.BridgeAnswered ? DAQ_OK : DAQ_ERR_NO_HARDWARE;
}
