// The device command's operation families (device_command.cpp: selection, summaries, single
// register and bridge accesses; subcommands.cpp: the numbered sub-commands; command_eeprom.cpp:
// EEPROM words) and the checks and buffer helpers they share. Every check runs before the first
// access, so a refused request changes nothing but LastError.
#pragma once

#include "acq/acquisition.h"
#include "ioctl/control.h"

// Little-endian fields of the request buffer (buffered: input and output are one buffer).
inline USHORT LoadWord(const UCHAR* Buffer, ULONG At) {
  return static_cast<USHORT>(Buffer[At] | (Buffer[At + 1] << 8));
}
inline void StoreWord(UCHAR* Buffer, ULONG At, USHORT Value) {
  Buffer[At] = static_cast<UCHAR>(Value);
  Buffer[At + 1] = static_cast<UCHAR>(Value >> 8);
}
inline void StoreDword(UCHAR* Buffer, ULONG At, ULONG Value) {
  StoreWord(Buffer, At, static_cast<USHORT>(Value));
  StoreWord(Buffer, At + 2, static_cast<USHORT>(Value >> 16));
}

// A signed byte sign-extended to a 16-bit offset: 0..127 as they are, 128..255 become
// 0xFF80..0xFFFF. The offset is then added to the base as an unsigned value, as the HAL's port
// address.
inline USHORT SignExtendedOffset(UCHAR Byte) {
  return static_cast<USHORT>(static_cast<SHORT>(static_cast<SCHAR>(Byte)));
}

// One byte register of the card's window at Board, the base read under AcquisitionLock.
inline UCHAR ReadBoard(ULONG_PTR Board, ULONG Offset) {
  return READ_PORT_UCHAR(PortByte(Board, Offset));
}
inline void WriteBoard(ULONG_PTR Board, ULONG Offset, UCHAR Value) {
  WRITE_PORT_UCHAR(PortByte(Board, Offset), Value);
}

// The checks, made with AcquisitionLock held (the resources and ranges they look at stay as
// they are until it is given back). DAQ_OK, or the failure's last-error code:
// the card's window / the bridge's registers assigned now (DAQ_ERR_NO_HARDWARE);
ULONG BoardPresent(const DEVICE_EXTENSION* Extension);
ULONG BridgePresent(const DEVICE_EXTENSION* Extension);
// Count one-byte accesses at the window's Offset + i, each inside an assigned I/O range
// (DAQ_ERR_PORT_RANGE); nothing to check for a count of 0;
ULONG CheckBoardBytes(const DEVICE_EXTENSION* Extension, ULONG Offset, ULONG Count);
// one-byte accesses at a list of card registers;
ULONG CheckBoardRegisters(const DEVICE_EXTENSION* Extension, const ULONG* Offsets, ULONG Count);
// the bridge's control register, which carries the EEPROM lines, inside an assigned range.
ULONG CheckEepromLines(const DEVICE_EXTENSION* Extension);

// The sub-commands (the 100-byte form), all but the EEPROM pair, with AcquisitionLock held.
ULONG Subcommand(DEVICE_EXTENSION* Extension, const UCHAR* Input, UCHAR* Output);

// The EEPROM operations (word reads and writes, and the pair sub-commands): run without
// AcquisitionLock, which they take for their checks and which each word takes for itself, so
// a long transfer never keeps the acquisition's requests waiting for more than one word.
bool UsesEepromWords(DAQ_COMMAND_OPERATION Operation, const UCHAR* Input);
ULONG RunEepromOperation(DEVICE_EXTENSION* Extension, DAQ_COMMAND_OPERATION Operation,
                         const UCHAR* Input, UCHAR* Output);
