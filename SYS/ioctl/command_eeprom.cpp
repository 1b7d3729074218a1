// The device command's EEPROM operations: word reads and writes (input 2 / output 2n, and
// input 2n + 2 / output 0) and the pair sub-commands (73, 74) on the words at byte addresses
// 120 and 122. Their checks run under AcquisitionLock; then each word takes the lock for its
// own sequence (EepromReadWord, EepromWriteWord), so a transfer of many words, each taking
// milliseconds, never keeps the acquisition's requests waiting for more than one, and a PnP stop
// between two words ends the transfer there (DAQ_ERR_NO_HARDWARE) instead of driving ports the
// device no longer owns.
#include "ioctl/device_command.h"

#include "hw/eeprom.h"

namespace {

// The 64-word part that every request addresses holds byte addresses 0..127.
constexpr ULONG EEPROM_SMALL_BYTES = 128;
// The two words that SUB_WRITE_EEPROM_PAIR and SUB_READ_EEPROM_PAIR address (words 60, 61).
constexpr USHORT EEPROM_PAIR_FIRST = 120;
constexpr USHORT EEPROM_PAIR_SECOND = 122;
constexpr USHORT EEPROM_ERASED_WORD = 0xFFFF;

// Count words from byte address Start, every one inside the part: a larger word address
// would spill into the instruction's opcode bits.
TARVIK_PAGE_CODE ULONG CheckEepromSpan(USHORT Start, LONG Count) {
  PAGED_CODE();
  if (Count <= 0) return DAQ_OK;
  ULONG last = Start + 2 * static_cast<ULONG>(Count - 1);
  return last < EEPROM_SMALL_BYTES ? DAQ_OK : DAQ_ERR_COMMAND;
}

// The bridge assigned and its control register inside an assigned range, checked under
// AcquisitionLock.
TARVIK_PAGE_CODE ULONG CheckEepromReachable(DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  LockAcquisition(Extension);
  ULONG error = BridgePresent(Extension);
  if (error == DAQ_OK) error = CheckEepromLines(Extension);
  UnlockAcquisition(Extension);
  return error;
}

// A word primitive's status as a last-error code: a write that never saw ready is
// DAQ_ERR_EEPROM_TIMEOUT (the word may not hold the value); a bridge that went away or stopped
// answering is DAQ_ERR_NO_HARDWARE.
TARVIK_PAGE_CODE ULONG WordError(NTSTATUS Status) {
  PAGED_CODE();
  if (NT_SUCCESS(Status)) return DAQ_OK;
  if (Status == STATUS_IO_TIMEOUT) return DAQ_ERR_EEPROM_TIMEOUT;
  if (Status == STATUS_DEVICE_NOT_CONNECTED) return DAQ_ERR_NO_HARDWARE;
  return DAQ_ERR_COMMAND;
}

TARVIK_PAGE_CODE ULONG ReadCommandWord(DEVICE_EXTENSION* Extension, USHORT ByteAddress, UCHAR* Output,
                                ULONG At) {
  PAGED_CODE();
  USHORT word = 0;
  ULONG error = WordError(EepromReadWord(Extension, EEPROM_TYPE_SMALL, ByteAddress, &word));
  if (error == DAQ_OK) StoreWord(Output, At, word);
  return error;
}

TARVIK_PAGE_CODE ULONG WriteCommandWord(DEVICE_EXTENSION* Extension, USHORT ByteAddress, USHORT Value) {
  PAGED_CODE();
  return WordError(EepromWriteWord(Extension, EEPROM_TYPE_SMALL, ByteAddress, Value));
}

/*
 * EepromRead: byte 1 (signed, checked against the output length by the selection) words from
 * the byte address in byte 0 (signed, sign-extended), two bytes apart, to output bytes 2i.
 * Addresses outside 0..127 are DAQ_ERR_COMMAND. A count of 0 touches nothing. PASSIVE_LEVEL;
 * each word blocks for about a millisecond.
 */
TARVIK_PAGE_CODE ULONG EepromRead(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                  UCHAR* Output) {
  PAGED_CODE();
  USHORT start = SignExtendedOffset(Input[0]);
  LONG count = static_cast<SCHAR>(Input[1]);
  ULONG error = CheckEepromSpan(start, count);
  if (error != DAQ_OK || count <= 0) return error;
  error = CheckEepromReachable(Extension);
  for (LONG i = 0; i < count && error == DAQ_OK; ++i) {
    error = ReadCommandWord(Extension, static_cast<USHORT>(start + 2 * i), Output, 2 * i);
  }
  return error;
}

/*
 * EepromWrite: byte 1 (signed, checked against the input length by the selection) words from
 * input bytes 2 + 2i to the byte addresses from byte 0 (as EepromRead), in order, each a
 * complete enable, write, wait and disable cycle. A word that fails (never ready, or the
 * bridge gone) ends the request with its code: the words after it are not sent.
 * PASSIVE_LEVEL; each word blocks for its programming time.
 */
TARVIK_PAGE_CODE ULONG EepromWrite(DEVICE_EXTENSION* Extension, const UCHAR* Input) {
  PAGED_CODE();
  USHORT start = SignExtendedOffset(Input[0]);
  LONG count = static_cast<SCHAR>(Input[1]);
  ULONG error = CheckEepromSpan(start, count);
  if (error != DAQ_OK || count <= 0) return error;
  error = CheckEepromReachable(Extension);
  for (LONG i = 0; i < count && error == DAQ_OK; ++i) {
    error = WriteCommandWord(Extension, static_cast<USHORT>(start + 2 * i), LoadWord(Input, 2 + 2 * i));
  }
  return error;
}

/*
 * WriteEepromPair: SUB_WRITE_EEPROM_PAIR. Mode 0 erases both words (0xFFFF); mode 1 writes the
 * buffer's A (bytes 4..5) and B (6..7); no other mode is defined (DAQ_ERR_COMMAND, nothing
 * written). The words go to bytes 0..3 of the output as well. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG WriteEepromPair(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                 UCHAR* Output) {
  PAGED_CODE();
  USHORT a = EEPROM_ERASED_WORD;
  USHORT b = EEPROM_ERASED_WORD;
  if (Input[1] == 1) {
    a = LoadWord(Input, 4);
    b = LoadWord(Input, 6);
  } else if (Input[1] != 0) {
    return DAQ_ERR_COMMAND;
  }
  ULONG error = CheckEepromReachable(Extension);
  if (error != DAQ_OK) return error;
  StoreWord(Output, 0, a);
  StoreWord(Output, 2, b);
  error = WriteCommandWord(Extension, EEPROM_PAIR_FIRST, a);
  if (error != DAQ_OK) return error;
  return WriteCommandWord(Extension, EEPROM_PAIR_SECOND, b);
}

/*
 * ReadEepromPair: SUB_READ_EEPROM_PAIR: the two words to output bytes 0..1 and 2..3. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG ReadEepromPair(DEVICE_EXTENSION* Extension, UCHAR* Output) {
  PAGED_CODE();
  ULONG error = CheckEepromReachable(Extension);
  if (error == DAQ_OK) error = ReadCommandWord(Extension, EEPROM_PAIR_FIRST, Output, 0);
  if (error == DAQ_OK) error = ReadCommandWord(Extension, EEPROM_PAIR_SECOND, Output, 2);
  return error;
}

}  // namespace

TARVIK_PAGE_CODE bool UsesEepromWords(DAQ_COMMAND_OPERATION Operation, const UCHAR* Input) {
  PAGED_CODE();
  if (Operation == CMD_EEPROM_READ || Operation == CMD_EEPROM_WRITE) return true;
  return Operation == CMD_SUBCOMMAND &&
         (Input[0] == SUB_WRITE_EEPROM_PAIR || Input[0] == SUB_READ_EEPROM_PAIR);
}

TARVIK_PAGE_CODE ULONG RunEepromOperation(DEVICE_EXTENSION* Extension,
                                          DAQ_COMMAND_OPERATION Operation, const UCHAR* Input,
                                          UCHAR* Output) {
  PAGED_CODE();
  switch (Operation) {
    case CMD_EEPROM_READ: return EepromRead(Extension, Input, Output);
    case CMD_EEPROM_WRITE: return EepromWrite(Extension, Input);
    default:
      return Input[0] == SUB_WRITE_EEPROM_PAIR ? WriteEepromPair(Extension, Input, Output)
                                               : ReadEepromPair(Extension, Output);
  }
}
