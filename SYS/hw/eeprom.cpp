// Serial EEPROM access: Microwire instructions shifted most significant bit first through the
// bridge control register's clock, chip-select and data-in lines, data read back on data out.
// No delay separates two register accesses: their own duration sets the clock rate.
//
// Each word runs whole under AcquisitionLock, which resource assignment and release take too:
// the bridge's registers stay assigned for the whole sequence, and no other request's access to
// the control register (or another word) lands between two of its bits. A control register that
// reads all ones is a bridge that no longer answers: the word fails there, and nothing derived
// from that value is written.
#include "hw/eeprom.h"

#include "hw/hardware_lock.h"
#include "hw/registers.h"

namespace {

struct EEPROM_ORGANISATION {
  SCHAR InstructionBits;  // start bit, opcode and address field
  ULONG Words;            // words the address field can name
  ULONG Read, Write, EraseWriteEnable, EraseWriteDisable;
};

constexpr EEPROM_ORGANISATION SMALL_PART = {9, 64, 0x180, 0x140, 0x130, 0x100};
constexpr EEPROM_ORGANISATION LARGE_PART = {11, 256, 0x600, 0x500, 0x4C0, 0x400};

// The organisation of a type, or null for a type the driver does not know.
const EEPROM_ORGANISATION* OrganisationOf(ULONG Type) {
  if (Type == 0) return &SMALL_PART;
  if (Type == 1 || Type == 2) return &LARGE_PART;
  return nullptr;
}

inline ULONG ReadControl(const DEVICE_EXTENSION* Extension) {
  return READ_PORT_ULONG(PortDword(Extension->BridgePort, BRIDGE_CONTROL));
}

inline void WriteControl(const DEVICE_EXTENSION* Extension, ULONG Value) {
  WRITE_PORT_ULONG(PortDword(Extension->BridgePort, BRIDGE_CONTROL), Value);
}

inline ULONG WithDataIn(ULONG Value, bool Bit) {
  return Bit ? Value | EEPROM_DATA_IN : Value & ~EEPROM_DATA_IN;
}

// Ready polls after a word is written: each is one register read, no delay in between.
constexpr ULONG READY_POLLS = 10000;

}  // namespace

/*
 * EepromClockPulse: one clock pulse, high then low, on the value the register holds now.
 * The caller holds AcquisitionLock with the bridge assigned.
 */
void EepromClockPulse(DEVICE_EXTENSION* Extension) {
  ULONG value = ReadControl(Extension);
  if (BridgeAbsent(value)) return;
  WriteControl(Extension, value | EEPROM_CLOCK);
  WriteControl(Extension, value & ~EEPROM_CLOCK);
}

/*
 * EepromSendCommand: deselects the chip (ending any instruction before), selects it and
 * shifts the low BitCount bits of Command out, most significant first. The chip stays
 * selected. A count of 0 or below sends nothing and touches no register; neither does a bridge
 * that no longer answers. The caller holds AcquisitionLock with the bridge assigned.
 */
void EepromSendCommand(DEVICE_EXTENSION* Extension, ULONG Command, SCHAR BitCount) {
  if (BitCount <= 0) return;
  ULONG value = ReadControl(Extension);
  if (BridgeAbsent(value)) return;
  value &= ~EEPROM_LINES;
  WriteControl(Extension, value);
  value |= EEPROM_SELECT;
  WriteControl(Extension, value);
  for (int bit = BitCount - 1; bit >= 0; --bit) {
    WriteControl(Extension, WithDataIn(value, (Command >> bit) & 1));
    EepromClockPulse(Extension);
  }
}

/*
 * DelayMilliseconds: waits in the calling thread. PASSIVE_LEVEL.
 */
void DelayMilliseconds(LONG Milliseconds) {
  LARGE_INTEGER interval = RtlConvertLongToLargeInteger(Milliseconds * -10000);
  KeDelayExecutionThread(KernelMode, TRUE, &interval);
}

/*
 * EepromReadWord: READ with the word address, then sixteen clocks, taking data out after
 * each (data bit 15 first), then deselect. The byte address is halved: 2w and 2w + 1 both name
 * word w. Addresses beyond the part never reach it, as they would spill into the opcode.
 * Without the bridge (resources not assigned, or a bridge that reads all ones) the word is
 * 0xFFFF and the result STATUS_DEVICE_NOT_CONNECTED. PASSIVE_LEVEL; takes AcquisitionLock.
 */
NTSTATUS EepromReadWord(DEVICE_EXTENSION* Extension, ULONG Type, USHORT ByteAddress,
                        PUSHORT Result) {
  const EEPROM_ORGANISATION* part = OrganisationOf(Type);
  ULONG word = ByteAddress >> 1;
  *Result = 0xFFFF;
  if (part == nullptr || word >= part->Words) return STATUS_INVALID_PARAMETER;
  LockAcquisition(Extension);
  NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
  if (AssignedPorts(Extension).Bridge != 0) {
    EepromSendCommand(Extension, part->Read | word, part->InstructionBits);
    ULONG value = ReadControl(Extension);
    bool present = !BridgeAbsent(value);
    if (present) WriteControl(Extension, value | EEPROM_DATA_IN);
    DelayMilliseconds(1);
    USHORT data = 0;
    for (int bit = 0; bit < 16 && present; ++bit) {
      EepromClockPulse(Extension);
      value = ReadControl(Extension);
      present = !BridgeAbsent(value);
      data = static_cast<USHORT>((data << 1) | ((value & EEPROM_DATA_OUT) ? 1 : 0));
    }
    if (present) {
      WriteControl(Extension, value & ~EEPROM_LINES);
      *Result = data;
      status = STATUS_SUCCESS;
    }
  }
  UnlockAcquisition(Extension);
  return status;
}

/*
 * EepromWriteWord: one complete cycle per word: EWEN, WRITE with the address and sixteen data
 * bits, a chip-select pulse that starts programming, polling data out until the part reports
 * ready (at most 10000 reads), EWDS, deselect, 1 ms. The part is left write-disabled.
 * Returns STATUS_IO_TIMEOUT when ready never came (the word may not hold the value), and
 * STATUS_DEVICE_NOT_CONNECTED without the bridge, or when it stops answering on the way (an
 * all-ones read is no ready signal). PASSIVE_LEVEL; takes AcquisitionLock for the cycle; the
 * closing millisecond is waited without it.
 */
NTSTATUS EepromWriteWord(DEVICE_EXTENSION* Extension, ULONG Type, USHORT ByteAddress,
                         USHORT Value) {
  const EEPROM_ORGANISATION* part = OrganisationOf(Type);
  ULONG word = ByteAddress >> 1;
  if (part == nullptr || word >= part->Words) return STATUS_INVALID_PARAMETER;
  LockAcquisition(Extension);
  NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
  if (AssignedPorts(Extension).Bridge != 0) {
    EepromSendCommand(Extension, part->EraseWriteEnable, part->InstructionBits);
    EepromSendCommand(Extension, part->Write | word, part->InstructionBits);
    ULONG value = ReadControl(Extension);
    if (!BridgeAbsent(value)) {
      ULONG data = (value & ~(EEPROM_CLOCK | EEPROM_DATA_IN | EEPROM_DATA_OUT)) | EEPROM_SELECT;
      for (int bit = 15; bit >= 0; --bit) {
        WriteControl(Extension, WithDataIn(data, (Value >> bit) & 1));
        EepromClockPulse(Extension);
      }
      WriteControl(Extension, data & ~EEPROM_SELECT);
      WriteControl(Extension, data);
      status = STATUS_IO_TIMEOUT;
      for (ULONG poll = 0; poll < READY_POLLS && status == STATUS_IO_TIMEOUT; ++poll) {
        value = ReadControl(Extension);
        if (BridgeAbsent(value)) {
          status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (value & EEPROM_DATA_OUT) {
          status = STATUS_SUCCESS;
        }
      }
      if (status != STATUS_DEVICE_NOT_CONNECTED) {
        EepromSendCommand(Extension, part->EraseWriteDisable, part->InstructionBits);
        WriteControl(Extension, value & ~EEPROM_LINES);
      }
    }
  }
  UnlockAcquisition(Extension);
  if (status != STATUS_DEVICE_NOT_CONNECTED) DelayMilliseconds(1);
  return status;
}
