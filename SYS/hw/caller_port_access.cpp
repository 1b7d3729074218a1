// Port accesses on a caller's behalf. Two of the bridge's registers have owners: interrupt
// control/status (0x4C), read-modified-written by the interrupt path under the interrupt's
// lock, and the control register (0x50), whose EEPROM lines a word sequence drives under
// EepromLock. An access that covers any byte of either is made under that owner's lock, so
// that a caller's read-modify-write never tears the driver's own (and one that covers bytes
// of both takes both, EepromLock first).
#include "hw/caller_port_access.h"

#include "acq/acquisition.h"
#include "hw/eeprom.h"
#include "hw/registers.h"
#include "hw/resources.h"

namespace {

constexpr ULONG BRIDGE_REGISTER_BYTES = 4;

struct CALLER_ACCESS {
  bool Write;
  ULONG_PTR Port;
  ULONG Width;
  ULONG* Value;
};

// Whether the access's bytes meet the bridge register at Offset.
inline bool CoversRegister(const DEVICE_EXTENSION* Extension, ULONG_PTR Port, ULONG Width,
                           ULONG Offset) {
  ULONG_PTR first = Extension->BridgePort + Offset;
  return Port < first + BRIDGE_REGISTER_BYTES && first < Port + Width;
}

/*
 * MakeCallerAccess: the access itself; through KeSynchronizeExecution at device IRQL for the
 * interrupt control register, otherwise at PASSIVE_LEVEL. Resident.
 */
BOOLEAN NTAPI MakeCallerAccess(PVOID Context) {
  auto* access = static_cast<CALLER_ACCESS*>(Context);
  if (access->Write) {
    WritePortOfWidth(access->Port, access->Width, *access->Value);
  } else {
    *access->Value = ReadPortOfWidth(access->Port, access->Width);
  }
  return TRUE;
}

}  // namespace

/*
 * AccessPortForCaller: see the header. The interrupt control register is reached only with
 * the acquisition lock held, under which a resource release cannot disconnect the interrupt
 * object in the middle. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG AccessPortForCaller(DEVICE_EXTENSION* Extension, bool Write,
                                           ULONG_PTR Port, ULONG Width, ULONG* Value) {
  PAGED_CODE();
  CALLER_ACCESS access{Write, Port, Width, Value};
  bool eepromLines = CoversRegister(Extension, Port, Width, BRIDGE_CONTROL);
  bool interruptControl = CoversRegister(Extension, Port, Width, BRIDGE_INTERRUPT_CONTROL);
  ULONG error = DAQ_OK;
  if (eepromLines) LockEeprom(Extension);
  if (interruptControl) {
    LockAcquisition(Extension);
    if (ResourcesAssigned(Extension) && Extension->InterruptObject != nullptr) {
      KeSynchronizeExecution(Extension->InterruptObject, MakeCallerAccess, &access);
    } else {
      error = DAQ_ERR_NO_HARDWARE;
    }
    UnlockAcquisition(Extension);
  } else {
    MakeCallerAccess(&access);
  }
  if (eepromLines) UnlockEeprom(Extension);
  return error;
}
