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
// STATUS_INVALID_PARAMETER.
NTSTATUS EepromReadWord(DEVICE_EXTENSION* Extension, ULONG Type, USHORT ByteAddress,
                        PUSHORT Result);

// Writes the word that holds the byte address: enable, write, wait for ready, disable.
// STATUS_IO_TIMEOUT when the EEPROM never reported ready; STATUS_INVALID_PARAMETER (and no
// register access) for an unknown type or an address out of range.
NTSTATUS EepromWriteWord(DEVICE_EXTENSION* Extension, ULONG Type, USHORT ByteAddress,
                         USHORT Value);

// EepromLock, held for each word sequence and for a caller's access to the control register.
void LockEeprom(DEVICE_EXTENSION* Extension);
void UnlockEeprom(DEVICE_EXTENSION* Extension);

void EepromSendCommand(DEVICE_EXTENSION* Extension, ULONG Command, SCHAR BitCount);
void EepromClockPulse(DEVICE_EXTENSION* Extension);
void DelayMilliseconds(LONG Milliseconds);
