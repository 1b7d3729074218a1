// Serial EEPROM access: Microwire instructions shifted most significant bit first through the
// bridge control register's clock, chip-select and data-in lines, data read back on data out.
// No delay separates two register accesses: their own duration sets the clock rate.
#include "hw/eeprom.h"

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

// One word sequence (or one caller's access to the control register) at a time per device;
// PASSIVE_LEVEL.
void LockEeprom(DEVICE_EXTENSION* Extension) {
  KeWaitForSingleObject(&Extension->EepromLock, Executive, KernelMode, FALSE, nullptr);
}

void UnlockEeprom(DEVICE_EXTENSION* Extension) {
  KeSetEvent(&Extension->EepromLock, IO_NO_INCREMENT, FALSE);
}

/*
 * EepromClockPulse: one clock pulse, high then low, on the value the register holds now.
 */
void EepromClockPulse(DEVICE_EXTENSION* Extension) {
  ULONG value = ReadControl(Extension) | EEPROM_CLOCK;
  WriteControl(Extension, value);
  WriteControl(Extension, value & ~EEPROM_CLOCK);
}

/*
 * EepromSendCommand: deselects the chip (ending any instruction before), selects it and
 * shifts the low BitCount bits of Command out, most significant first. The chip stays
 * selected. A count of 0 or below sends nothing and touches no register.
 */
void EepromSendCommand(DEVICE_EXTENSION* Extension, ULONG Command, SCHAR BitCount) {
  if (BitCount <= 0) return;
  ULONG value = ReadControl(Extension) & ~EEPROM_LINES;
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
 * PASSIVE_LEVEL; serialised per device.
 */
NTSTATUS EepromReadWord(DEVICE_EXTENSION* Extension, ULONG Type, USHORT ByteAddress,
                        PUSHORT Result) {
  const EEPROM_ORGANISATION* part = OrganisationOf(Type);
  ULONG word = ByteAddress >> 1;
  if (part == nullptr || word >= part->Words) {
    *Result = 0xFFFF;
    return STATUS_INVALID_PARAMETER;
  }
  LockEeprom(Extension);
  EepromSendCommand(Extension, part->Read | word, part->InstructionBits);
  WriteControl(Extension, ReadControl(Extension) | EEPROM_DATA_IN);
  DelayMilliseconds(1);
  USHORT data = 0;
  ULONG value = 0;
  for (int bit = 0; bit < 16; ++bit) {
    EepromClockPulse(Extension);
    value = ReadControl(Extension);
    data = static_cast<USHORT>((data << 1) | ((value & EEPROM_DATA_OUT) ? 1 : 0));
  }
  WriteControl(Extension, value & ~EEPROM_LINES);
  UnlockEeprom(Extension);
  *Result = data;
  return STATUS_SUCCESS;
}

/*
 * EepromWriteWord: one complete cycle per word: EWEN, WRITE with the address and sixteen data
 * bits, a chip-select pulse that starts programming, polling data out until the part reports
 * ready (at most 10000 reads), EWDS, deselect, 1 ms. The part is left write-disabled.
 * Returns STATUS_IO_TIMEOUT when ready never came: the word may not hold the value.
 * PASSIVE_LEVEL; serialised per device.
 */
NTSTATUS EepromWriteWord(DEVICE_EXTENSION* Extension, ULONG Type, USHORT ByteAddress,
                         USHORT Value) {
  const EEPROM_ORGANISATION* part = OrganisationOf(Type);
  ULONG word = ByteAddress >> 1;
  if (part == nullptr || word >= part->Words) return STATUS_INVALID_PARAMETER;
  LockEeprom(Extension);
  EepromSendCommand(Extension, part->EraseWriteEnable, part->InstructionBits);
  EepromSendCommand(Extension, part->Write | word, part->InstructionBits);
  ULONG data = (ReadControl(Extension) & ~(EEPROM_CLOCK | EEPROM_DATA_IN | EEPROM_DATA_OUT)) |
               EEPROM_SELECT;
  for (int bit = 15; bit >= 0; --bit) {
    WriteControl(Extension, WithDataIn(data, (Value >> bit) & 1));
    EepromClockPulse(Extension);
  }
  WriteControl(Extension, data & ~EEPROM_SELECT);
  WriteControl(Extension, data);
  ULONG value = 0;
  bool ready = false;
  for (ULONG poll = 0; poll < READY_POLLS && !ready; ++poll) {
    value = ReadControl(Extension);
    ready = (value & EEPROM_DATA_OUT) != 0;
  }
  EepromSendCommand(Extension, part->EraseWriteDisable, part->InstructionBits);
  WriteControl(Extension, value & ~EEPROM_LINES);
  DelayMilliseconds(1);
  UnlockEeprom(Extension);
  return ready ? STATUS_SUCCESS : STATUS_IO_TIMEOUT;
}
