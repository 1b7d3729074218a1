// The card's serial configuration EEPROM (16-bit words), driven bit by bit through the
// bridge's control register.
#pragma once

#include "frame/device_extension.h"

// Organisation types: 0 is the 64-word part (byte addresses 0..127) every request uses;
// 1 and 2 the larger parts with 8 address bits (byte addresses 0..511).
constexpr ULONG EEPROM_TYPE_SMALL = 0;

// Byte addresses of known words.
constexpr USHORT EEPROM_SERIAL_LOW = 116;
constexpr USHORT EEPROM_SERIAL_HIGH = 118;

// Reads the word that holds the byte address. An unknown type, or an address the type's
// address field cannot hold, touches no register, stores 0xFFFF and returns
// STATUS_INVALID_PARAMETER; without the bridge (not assigned, or not answering) the word is
// 0xFFFF and the result STATUS_DEVICE_NOT_CONNECTED. Takes AcquisitionLock.
NTSTATUS EepromReadWord(DEVICE_EXTENSION* Extension, ULONG Type, USHORT ByteAddress,
                        PUSHORT Result);

// Writes the word that holds the byte address: enable, write, wait for ready, disable.
// STATUS_IO_TIMEOUT when the EEPROM never reported ready; STATUS_INVALID_PARAMETER (and no
// register access) for an unknown type or an address out of range; STATUS_DEVICE_NOT_CONNECTED
// without the bridge. Takes AcquisitionLock.
NTSTATUS EepromWriteWord(DEVICE_EXTENSION* Extension, ULONG Type, USHORT ByteAddress,
                         USHORT Value);

// The bit-level steps, for a caller that holds AcquisitionLock with the bridge assigned.
void EepromSendCommand(DEVICE_EXTENSION* Extension, ULONG Command, SCHAR BitCount);
void EepromClockPulse(DEVICE_EXTENSION* Extension);
void DelayMilliseconds(LONG Milliseconds);
