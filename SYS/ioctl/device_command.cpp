// IOCTL_DAQ_COMMAND: board and resource summaries, single card-register and bridge-register
// accesses, EEPROM words, and the numbered sub-commands that run short register sequences on
// the card. The pair of buffer lengths selects the operation, byte 0 the sub-command.
//
// Every check runs before the first access, so a refused request changes nothing but
// LastError: first the selection and the operation's own format (DAQ_ERR_COMMAND: lengths,
// width codes, counts that would run past the 100-byte buffer or the frame, EEPROM addresses
// beyond the part), then the hardware. A card whose resources are not assigned (never
// started, stopped, removed; BoardPort and BridgePort keep their old values then) is
// DAQ_ERR_NO_HARDWARE, and every port the operation is about to touch must lie inside one of
// the device's assigned I/O-space ranges (DAQ_ERR_PORT_RANGE), the rule the raw port requests
// follow: an offset or a count in the request must never reach another device's ports.
// Operations that make no access (summaries, the last frame, a count of 0) need neither.
#include "acq/acquisition.h"
#include "hw/caller_port_access.h"
#include "hw/eeprom.h"
#include "hw/registers.h"
#include "hw/resources.h"
#include "ioctl/control.h"

namespace {

// The 64-word part that every request addresses holds byte addresses 0..127.
constexpr ULONG EEPROM_SMALL_BYTES = 128;
// The two words that SUB_WRITE_EEPROM_PAIR and SUB_READ_EEPROM_PAIR address (words 60, 61).
constexpr USHORT EEPROM_PAIR_FIRST = 120;
constexpr USHORT EEPROM_PAIR_SECOND = 122;
constexpr USHORT EEPROM_ERASED_WORD = 0xFFFF;

// Longest counts the 100-byte sub-command buffer holds: the output of the span and repeated
// reads, the data of the span write (from byte 3) and of the repeated write (from byte 4).
constexpr LONG SPAN_READ_MAX = DAQ_SUBCOMMAND_LENGTH;
constexpr LONG SPAN_WRITE_MAX = DAQ_SUBCOMMAND_LENGTH - 3;
constexpr ULONG REPEAT_READ_MAX = DAQ_SUBCOMMAND_LENGTH;
constexpr ULONG REPEAT_WRITE_MAX = DAQ_SUBCOMMAND_LENGTH - 4;
// Identification and indexed blocks are cut to 64 entries.
constexpr LONG BLOCK_MAX = 64;
// SUB_SET_INPUT: the acquisition engine handles 1 to 16 channels, a frame's worth.
constexpr UCHAR CHANNELS_MIN = 1;
constexpr UCHAR CHANNELS_MAX = FRAME_WORDS;

constexpr UCHAR RANGE_MASK = 0x03;
constexpr UCHAR RANGE_SHIFT = 5;
constexpr USHORT GAIN_CHANNEL_BITS = 0x1F;
constexpr USHORT GAIN_RANGE_BITS = 0xE0;
constexpr UCHAR HIGH_PART_MASK = 0x0F;
// SUB_WRITE_12BIT's two write pairs (low byte, high part), chosen by selector bit 0.
constexpr ULONG CARD_12BIT_PAIR_A = 0x04;
constexpr ULONG CARD_12BIT_PAIR_B = 0x06;
// SUB_WRITE_CONTROL_PAIR names its data register by the low four bits: the byte registers.
constexpr UCHAR CARD_REGISTER_MASK = 0x0F;

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
// 0xFF80..0xFFFF. The offset is then added to the base as an unsigned value, as the HAL's
// port address.
inline USHORT SignExtendedOffset(UCHAR Byte) {
  return static_cast<USHORT>(static_cast<SHORT>(static_cast<SCHAR>(Byte)));
}

// DAQ_OK when the card's window is there to be driven now, otherwise DAQ_ERR_NO_HARDWARE.
TARVIK_PAGE_CODE ULONG BoardPresent(const DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  return Extension->BoardPort != 0 && ResourcesAssigned(Extension) ? DAQ_OK
                                                                   : DAQ_ERR_NO_HARDWARE;
}

// The same for the bridge's registers (bridge reads and the EEPROM lines).
TARVIK_PAGE_CODE ULONG BridgePresent(const DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  return Extension->BridgePort != 0 && ResourcesAssigned(Extension) ? DAQ_OK
                                                                    : DAQ_ERR_NO_HARDWARE;
}

/*
 * CheckBoardBytes: the checks for Count one-byte accesses at BoardPort + Offset + i: none to
 * make when Count is 0; DAQ_ERR_NO_HARDWARE without the window, DAQ_ERR_PORT_RANGE when any of
 * the ports lies outside the device's I/O ranges; DAQ_OK otherwise. Offset is added unsigned,
 * exactly as the access will add it. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG CheckBoardBytes(const DEVICE_EXTENSION* Extension, ULONG Offset,
                                       ULONG Count) {
  PAGED_CODE();
  if (Count == 0) return DAQ_OK;
  ULONG error = BoardPresent(Extension);
  if (error != DAQ_OK) return error;
  for (ULONG i = 0; i < Count; ++i) {
    if (!PortAccessAssigned(Extension, Extension->BoardPort + Offset + i, 1)) return DAQ_ERR_PORT_RANGE;
  }
  return DAQ_OK;
}

// The checks for one-byte accesses at a list of card registers.
TARVIK_PAGE_CODE ULONG CheckBoardRegisters(const DEVICE_EXTENSION* Extension,
                                           const ULONG* Offsets, ULONG Count) {
  PAGED_CODE();
  for (ULONG i = 0; i < Count; ++i) {
    ULONG error = CheckBoardBytes(Extension, Offsets[i], 1);
    if (error != DAQ_OK) return error;
  }
  return DAQ_OK;
}

// The EEPROM's lines are bits of the bridge's control register; the caller has found the
// bridge present.
TARVIK_PAGE_CODE ULONG CheckEepromLines(const DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  return PortAccessAssigned(Extension, Extension->BridgePort + BRIDGE_CONTROL, sizeof(ULONG))
             ? DAQ_OK
             : DAQ_ERR_PORT_RANGE;
}

// Count words from byte address Start, every one inside the part: a larger word address
// would spill into the instruction's opcode bits.
TARVIK_PAGE_CODE ULONG CheckEepromSpan(USHORT Start, LONG Count) {
  PAGED_CODE();
  if (Count <= 0) return DAQ_OK;
  ULONG last = Start + 2 * static_cast<ULONG>(Count - 1);
  return last < EEPROM_SMALL_BYTES ? DAQ_OK : DAQ_ERR_COMMAND;
}

// One word written, its failure as a last-error code: a write that never saw ready is
// DAQ_ERR_EEPROM_TIMEOUT (the word may not hold the value).
TARVIK_PAGE_CODE ULONG WriteEepromWord(DEVICE_EXTENSION* Extension, USHORT ByteAddress,
                                       USHORT Value) {
  PAGED_CODE();
  NTSTATUS status = EepromWriteWord(Extension, EEPROM_TYPE_SMALL, ByteAddress, Value);
  if (status == STATUS_IO_TIMEOUT) return DAQ_ERR_EEPROM_TIMEOUT;
  return NT_SUCCESS(status) ? DAQ_OK : DAQ_ERR_COMMAND;
}

TARVIK_PAGE_CODE ULONG ReadEepromWord(DEVICE_EXTENSION* Extension, USHORT ByteAddress,
                                      UCHAR* Output, ULONG At) {
  PAGED_CODE();
  USHORT word = 0;
  NTSTATUS status = EepromReadWord(Extension, EEPROM_TYPE_SMALL, ByteAddress, &word);
  if (!NT_SUCCESS(status)) return DAQ_ERR_COMMAND;
  StoreWord(Output, At, word);
  return DAQ_OK;
}

inline UCHAR ReadBoard(const DEVICE_EXTENSION* Extension, ULONG Offset) {
  return READ_PORT_UCHAR(PortByte(Extension->BoardPort, Offset));
}
inline void WriteBoard(const DEVICE_EXTENSION* Extension, ULONG Offset, UCHAR Value) {
  WRITE_PORT_UCHAR(PortByte(Extension->BoardPort, Offset), Value);
}

// Width in bytes of a register operation's width code, 0 for a code that names none.
inline ULONG WidthOf(USHORT WidthCode) {
  switch (WidthCode) {
    case REGISTER_WIDTH_BYTE: return 1;
    case REGISTER_WIDTH_WORD: return 2;
    case REGISTER_WIDTH_DWORD: return 4;
    default: return 0;
  }
}

struct LAST_FRAME_COPY {
  DEVICE_EXTENSION* Extension;
  USHORT Frame[FRAME_WORDS];
};

/*
 * CopyLastFrame: copies LastFrame under the interrupt object's lock, so that the copy never
 * holds half of one frame and half of the next. Runs at the device's IRQL through
 * KeSynchronizeExecution; resident.
 */
BOOLEAN NTAPI CopyLastFrame(PVOID Context) {
  auto* copy = static_cast<LAST_FRAME_COPY*>(Context);
  for (int i = 0; i < FRAME_WORDS; ++i) copy->Frame[i] = copy->Extension->LastFrame[i];
  return TRUE;
}

/*
 * BoardSummary, ResourceSummary: the window's base and the interrupt counters; the port
 * ranges recorded at start (all six entries; addresses as 32-bit values, as on the platform).
 * They touch no register. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG BoardSummary(const DEVICE_EXTENSION* Extension, PVOID Output) {
  PAGED_CODE();
  auto* summary = static_cast<BOARD_SUMMARY*>(Output);
  summary->BoardPort = static_cast<uint32_t>(Extension->BoardPort);
  summary->IrqLine = Extension->IrqLine;
  summary->FrameIntCount = Extension->FrameIntCount;
  summary->OtherIntCount = Extension->OtherIntCount;
  return DAQ_OK;
}

TARVIK_PAGE_CODE ULONG ResourceSummary(const DEVICE_EXTENSION* Extension, PVOID Output) {
  PAGED_CODE();
  auto* summary = static_cast<RESOURCE_SUMMARY*>(Output);
  summary->PortCount = Extension->PortCount;
  summary->MemCount = Extension->MemCount;
  for (ULONG i = 0; i < RESOURCE_SUMMARY_PORTS; ++i) {
    summary->Port[i].Base = static_cast<uint32_t>(Extension->PortBase[i]);
    summary->Port[i].Length = Extension->PortLength[i];
    summary->Port[i].Mapped = Extension->PortMapped[i];
  }
  return DAQ_OK;
}

/*
 * ResolveRegister: the port and width of a register operation, checked before any access:
 * the width code, the board's presence and the device's assigned ranges. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG ResolveRegister(const DEVICE_EXTENSION* Extension,
                                       const REGISTER_OPERATION* Operation, ULONG_PTR* Port,
                                       ULONG* Width) {
  PAGED_CODE();
  *Width = WidthOf(Operation->WidthCode);
  if (*Width == 0) return DAQ_ERR_COMMAND;
  ULONG error = BoardPresent(Extension);
  if (error != DAQ_OK) return error;
  *Port = Extension->BoardPort + Operation->Offset;
  if (!PortAccessAssigned(Extension, *Port, *Width)) return DAQ_ERR_PORT_RANGE;
  return DAQ_OK;
}

/*
 * RegisterRead, RegisterWrite: one access of 1, 2 or 4 bytes at BoardPort + offset (the
 * offset zero-extended). The read answers with the value zero-extended to 32 bits; the write
 * with output byte 0 = 1. A width code other than 1, 2, 3 is DAQ_ERR_COMMAND. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG RegisterRead(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                    UCHAR* Output) {
  PAGED_CODE();
  const auto* operation = reinterpret_cast<const REGISTER_OPERATION*>(Input);
  ULONG_PTR port;
  ULONG width;
  ULONG error = ResolveRegister(Extension, operation, &port, &width);
  if (error != DAQ_OK) return error;
  ULONG value = 0;
  error = AccessPortForCaller(Extension, false, port, width, &value);
  if (error == DAQ_OK) StoreDword(Output, 0, value);
  return error;
}

TARVIK_PAGE_CODE ULONG RegisterWrite(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                     UCHAR* Output) {
  PAGED_CODE();
  const auto* operation = reinterpret_cast<const REGISTER_OPERATION*>(Input);
  ULONG_PTR port;
  ULONG width;
  ULONG error = ResolveRegister(Extension, operation, &port, &width);
  if (error != DAQ_OK) return error;
  ULONG value = operation->Value.Dword;
  error = AccessPortForCaller(Extension, true, port, width, &value);
  if (error == DAQ_OK) Output[0] = 1;
  return error;
}

/*
 * BridgeRead: the dword at BridgePort + byte 0 (a signed offset, sign-extended to 16 bits).
 * The caller has found the bridge present. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG BridgeRead(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                  UCHAR* Output) {
  PAGED_CODE();
  ULONG_PTR port = Extension->BridgePort + SignExtendedOffset(Input[0]);
  if (!PortAccessAssigned(Extension, port, sizeof(ULONG))) return DAQ_ERR_PORT_RANGE;
  StoreDword(Output, 0, READ_PORT_ULONG(reinterpret_cast<PULONG>(port)));
  return DAQ_OK;
}

/*
 * EepromRead: byte 1 (signed, checked against the output length by the caller) words from
 * the byte address in byte 0 (signed, sign-extended), two bytes apart, to output bytes 2i.
 * Addresses outside 0..127 are DAQ_ERR_COMMAND. A count of 0 touches nothing. The caller has
 * found the bridge present. PASSIVE_LEVEL; each word blocks for about a millisecond.
 */
TARVIK_PAGE_CODE ULONG EepromRead(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                  UCHAR* Output) {
  PAGED_CODE();
  USHORT start = SignExtendedOffset(Input[0]);
  LONG count = static_cast<SCHAR>(Input[1]);
  ULONG error = CheckEepromSpan(start, count);
  if (error != DAQ_OK || count <= 0) return error;
  error = CheckEepromLines(Extension);
  if (error != DAQ_OK) return error;
  for (LONG i = 0; i < count; ++i) {
    error = ReadEepromWord(Extension, static_cast<USHORT>(start + 2 * i), Output, 2 * i);
    if (error != DAQ_OK) return error;
  }
  return DAQ_OK;
}

/*
 * EepromWrite: byte 1 (signed, checked against the input length by the caller) words from
 * input bytes 2 + 2i to the byte addresses from byte 0 (as EepromRead), in order, each a
 * complete enable, write, wait and disable cycle. A word that never reports ready ends the
 * request with DAQ_ERR_EEPROM_TIMEOUT: the words after it are not sent to a part still busy.
 * PASSIVE_LEVEL; each word blocks for its programming time.
 */
TARVIK_PAGE_CODE ULONG EepromWrite(DEVICE_EXTENSION* Extension, const UCHAR* Input) {
  PAGED_CODE();
  USHORT start = SignExtendedOffset(Input[0]);
  LONG count = static_cast<SCHAR>(Input[1]);
  ULONG error = CheckEepromSpan(start, count);
  if (error != DAQ_OK || count <= 0) return error;
  error = CheckEepromLines(Extension);
  if (error != DAQ_OK) return error;
  for (LONG i = 0; i < count; ++i) {
    error = WriteEepromWord(Extension, static_cast<USHORT>(start + 2 * i),
                            LoadWord(Input, 2 + 2 * i));
    if (error != DAQ_OK) return error;
  }
  return DAQ_OK;
}

/*
 * SetInput: SUB_SET_INPUT. Range r (byte 1), channel count c (byte 2), channel k (byte 3):
 * RangeCode = r AND 3, GainBits = its range bits alone, ChannelCount = c, and register +9 =
 * channel and range. The count must be 1..16 (DAQ_ERR_COMMAND), as buffering divides by it and
 * a frame holds 16; and it cannot change under a running acquisition, whose blocks are laid
 * out by it (DAQ_ERR_RUNNING; the same count is accepted). PASSIVE_LEVEL; serialised with the
 * acquisition requests, which write the same fields.
 */
TARVIK_PAGE_CODE ULONG SetInput(DEVICE_EXTENSION* Extension, const UCHAR* Input) {
  PAGED_CODE();
  UCHAR range = Input[1] & RANGE_MASK;
  UCHAR channels = Input[2];
  UCHAR channel = Input[3];
  if (channels < CHANNELS_MIN || channels > CHANNELS_MAX) return DAQ_ERR_COMMAND;
  LockAcquisition(Extension);
  ULONG error = DAQ_OK;
  if (Extension->Running && Extension->ChannelCount != channels) {
    error = DAQ_ERR_RUNNING;
  } else {
    error = CheckBoardBytes(Extension, CARD_MUX, 1);
  }
  if (error == DAQ_OK) {
    Extension->RangeCode = range;
    Extension->GainBits = static_cast<USHORT>(range << RANGE_SHIFT);
    Extension->ChannelCount = channels;
    WriteBoard(Extension, CARD_MUX,
               static_cast<UCHAR>((channel & GAIN_CHANNEL_BITS) | (range << RANGE_SHIFT)));
  }
  UnlockAcquisition(Extension);
  return error;
}

/*
 * SetGainBits: SUB_SET_RANGE_BITS (byte 1 replaces the range bits of GainBits) and
 * SUB_SET_CHANNEL_BITS (byte 1 replaces the channel bits); the result goes to register +9.
 * PASSIVE_LEVEL; serialised with the acquisition requests.
 */
TARVIK_PAGE_CODE ULONG SetGainBits(DEVICE_EXTENSION* Extension, UCHAR Number, UCHAR Value) {
  PAGED_CODE();
  LockAcquisition(Extension);
  ULONG error = CheckBoardBytes(Extension, CARD_MUX, 1);
  if (error == DAQ_OK) {
    USHORT gain = Extension->GainBits;
    if (Number == SUB_SET_RANGE_BITS) {
      gain = static_cast<USHORT>(((Value & RANGE_MASK) << RANGE_SHIFT) |
                                 (gain & GAIN_CHANNEL_BITS));
    } else {
      gain = static_cast<USHORT>((gain & GAIN_RANGE_BITS) | (Value & GAIN_CHANNEL_BITS));
    }
    Extension->GainBits = gain;
    WriteBoard(Extension, CARD_MUX, static_cast<UCHAR>(gain));
  }
  UnlockAcquisition(Extension);
  return error;
}

/*
 * GetLastFrame: SUB_GET_LAST_FRAME. ChannelCount words of the last captured frame from byte
 * 0; none for a count of 0 or below. A count above 16 (a failed start leaves the record's
 * count behind) would read past the frame: DAQ_ERR_COMMAND. While an acquisition runs the copy
 * is taken under the interrupt's lock. PASSIVE_LEVEL; serialised with the acquisition requests.
 */
TARVIK_PAGE_CODE ULONG GetLastFrame(DEVICE_EXTENSION* Extension, UCHAR* Output) {
  PAGED_CODE();
  LockAcquisition(Extension);
  LONG count = Extension->ChannelCount;
  ULONG error = count > FRAME_WORDS ? DAQ_ERR_COMMAND : DAQ_OK;
  if (error == DAQ_OK && count > 0) {
    LAST_FRAME_COPY copy{};
    copy.Extension = Extension;
    // Frames are captured only while an acquisition runs, and with the acquisition lock held
    // a running acquisition keeps its interrupt connected (a stop or a resource release ends
    // it under the lock first). Otherwise nothing writes LastFrame, and the interrupt object
    // may be on its way to being disconnected: it is not touched.
    if (Extension->Running && Extension->InterruptObject != nullptr) {
      KeSynchronizeExecution(Extension->InterruptObject, CopyLastFrame, &copy);
    } else {
      CopyLastFrame(&copy);
    }
    for (LONG i = 0; i < count; ++i) StoreWord(Output, 2 * i, copy.Frame[i]);
  }
  UnlockAcquisition(Extension);
  return error;
}

/*
 * WriteIndexedPairs: loads Count internal registers through the card's index/data pair, each
 * pair of Pairs an index and its data. The open and the start program the sample clock
 * through the same pair, so the sequence runs under the acquisition lock: never between
 * their index and data writes. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG WriteIndexedPairs(DEVICE_EXTENSION* Extension, const UCHAR (*Pairs)[2],
                                         ULONG Count) {
  PAGED_CODE();
  const ULONG registers[] = {CARD_INDEX, CARD_DATA};
  LockAcquisition(Extension);
  ULONG error = CheckBoardRegisters(Extension, registers, 2);
  if (error == DAQ_OK) {
    for (ULONG i = 0; i < Count; ++i) {
      WriteBoard(Extension, CARD_INDEX, Pairs[i][0]);
      WriteBoard(Extension, CARD_DATA, Pairs[i][1]);
    }
  }
  UnlockAcquisition(Extension);
  return error;
}

/*
 * Subcommand: the 100-byte form; byte 0 selects the sub-command. Signed counts of 0 or below
 * do nothing; counts are taken once, before the first access, and the parameters are read
 * before any output overwrites them. Register accesses run in the documented order.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG Subcommand(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                  UCHAR* Output) {
  PAGED_CODE();
  ULONG error = DAQ_OK;
  switch (Input[0]) {
    case SUB_READ_SPAN:
    case SUB_WRITE_SPAN: {
      LONG count = static_cast<SCHAR>(Input[1]);
      ULONG offset = SignExtendedOffset(Input[2]);
      bool read = Input[0] == SUB_READ_SPAN;
      if (count > (read ? SPAN_READ_MAX : SPAN_WRITE_MAX)) return DAQ_ERR_COMMAND;
      if (count <= 0) return DAQ_OK;
      error = CheckBoardBytes(Extension, offset, static_cast<ULONG>(count));
      if (error != DAQ_OK) return error;
      for (LONG i = 0; i < count; ++i) {
        if (read) {
          Output[i] = ReadBoard(Extension, offset + i);
        } else {
          WriteBoard(Extension, offset + i, Input[3 + i]);
        }
      }
      return DAQ_OK;
    }
    case SUB_SET_INPUT:
      return SetInput(Extension, Input);
    case SUB_GET_LAST_FRAME:
      return GetLastFrame(Extension, Output);
    case SUB_READ_PAIR_CLEAR:
    case SUB_READ_PAIR: {
      const ULONG registers[] = {CARD_FRAME1_HIGH, CARD_RESULT_LOW, CARD_STROBE_B};
      bool clear = Input[0] == SUB_READ_PAIR_CLEAR;
      error = CheckBoardRegisters(Extension, registers, clear ? 3 : 2);
      if (error != DAQ_OK) return error;
      UCHAR first = ReadBoard(Extension, CARD_FRAME1_HIGH);
      UCHAR second = ReadBoard(Extension, CARD_RESULT_LOW);
      if (clear) WriteBoard(Extension, CARD_STROBE_B, 0);
      Output[0] = first;
      Output[1] = second & HIGH_PART_MASK;
      return DAQ_OK;
    }
    case SUB_SET_RANGE_BITS:
    case SUB_SET_CHANNEL_BITS:
      return SetGainBits(Extension, Input[0], Input[1]);
    case SUB_CLEAR:
      error = CheckBoardBytes(Extension, CARD_STROBE_B, 1);
      if (error == DAQ_OK) WriteBoard(Extension, CARD_STROBE_B, 0);
      return error;
    case SUB_READ_SNAPSHOT: {
      const ULONG registers[] = {CARD_ID_SELECT, CARD_DATA,   CARD_CONTROL,  CARD_FRAME1_HIGH,
                                 CARD_AUXILIARY, CARD_FRAME9, CARD_COUNTER0, CARD_STROBE,
                                 CARD_MUX,       CARD_STROBE_B};
      constexpr ULONG count = sizeof registers / sizeof registers[0];
      error = CheckBoardRegisters(Extension, registers, count);
      if (error != DAQ_OK) return error;
      for (ULONG i = 0; i < count; ++i) Output[i] = ReadBoard(Extension, registers[i]);
      return DAQ_OK;
    }
    case SUB_WRITE_INDEXED: {
      UCHAR index = Input[1];
      UCHAR data = Input[2];
      // Only these internal registers may be loaded; any other index is accepted and ignored.
      if (index != 0 && index != 1 && index != 9 && index != 10 && index != 11) return DAQ_OK;
      const UCHAR pairs[][2] = {{index, data}};
      return WriteIndexedPairs(Extension, pairs, 1);
    }
    case SUB_WRITE_12BIT: {
      // Selector bit 0 picks the register pair +4/+5 (clear) or +6/+7 (set); +8 = 0 ends it.
      ULONG low = (Input[1] & 1) ? CARD_12BIT_PAIR_B : CARD_12BIT_PAIR_A;
      UCHAR lowByte = Input[2];
      UCHAR highPart = Input[3] & HIGH_PART_MASK;
      const ULONG registers[] = {low, low + 1, CARD_STROBE};
      error = CheckBoardRegisters(Extension, registers, 3);
      if (error != DAQ_OK) return error;
      WriteBoard(Extension, low, lowByte);
      WriteBoard(Extension, low + 1, highPart);
      WriteBoard(Extension, CARD_STROBE, 0);
      return DAQ_OK;
    }
    case SUB_WRITE_CONTROL_PAIR: {
      ULONG target = Input[1] & CARD_REGISTER_MASK;
      UCHAR control = Input[2];
      UCHAR first = Input[3];
      UCHAR second = Input[4];
      const ULONG registers[] = {CARD_CONTROL, target};
      error = CheckBoardRegisters(Extension, registers, 2);
      if (error != DAQ_OK) return error;
      WriteBoard(Extension, CARD_CONTROL, control);
      WriteBoard(Extension, target, first);
      WriteBoard(Extension, target, second);
      return DAQ_OK;
    }
    case SUB_WRITE_INDEXED_WORDS: {
      if (Input[1] != 0) return DAQ_OK;  // only form 0 is defined; others do nothing
      // Each value less one, low byte first, into internal registers 5, 6 (A) and 7, 8 (B).
      USHORT a = static_cast<USHORT>(LoadWord(Input, 2) - 1);
      USHORT b = static_cast<USHORT>(LoadWord(Input, 4) - 1);
      const UCHAR values[][2] = {{5, static_cast<UCHAR>(a)},
                                 {6, static_cast<UCHAR>(a >> 8)},
                                 {7, static_cast<UCHAR>(b)},
                                 {8, static_cast<UCHAR>(b >> 8)}};
      return WriteIndexedPairs(Extension, values, 4);
    }
    case SUB_READ_REPEAT:
    case SUB_WRITE_REPEAT: {
      ULONG count = Input[1];
      ULONG offset = Input[2];
      bool read = Input[0] == SUB_READ_REPEAT;
      if (count > (read ? REPEAT_READ_MAX : REPEAT_WRITE_MAX)) return DAQ_ERR_COMMAND;
      error = CheckBoardBytes(Extension, offset, count != 0 ? 1 : 0);
      if (error != DAQ_OK) return error;
      for (ULONG i = 0; i < count; ++i) {
        if (read) {
          Output[i] = ReadBoard(Extension, offset);
        } else {
          WriteBoard(Extension, offset, Input[4 + i]);
        }
      }
      return DAQ_OK;
    }
    case SUB_GET_PORT_BASE:
      StoreWord(Output, 0, static_cast<USHORT>(Extension->BoardPort));
      return DAQ_OK;
    case SUB_READ_ID_BLOCK: {
      LONG count = static_cast<SCHAR>(Input[1]);
      if (count > BLOCK_MAX) count = BLOCK_MAX;
      if (count <= 0) return DAQ_OK;
      const ULONG registers[] = {CARD_ID_SELECT, CARD_INDEX};
      error = CheckBoardRegisters(Extension, registers, 2);
      if (error != DAQ_OK) return error;
      for (LONG i = 0; i < count; ++i) {
        WriteBoard(Extension, CARD_ID_SELECT, static_cast<UCHAR>(i));
        Output[i] = ReadBoard(Extension, CARD_INDEX);
      }
      return DAQ_OK;
    }
    case SUB_WRITE_INDEXED_BLOCK: {
      LONG count = Input[1];
      if (count > BLOCK_MAX) count = BLOCK_MAX;
      UCHAR first = Input[2];
      if (count == 0) return DAQ_OK;
      UCHAR pairs[BLOCK_MAX][2];
      for (LONG i = 0; i < count; ++i) {
        pairs[i][0] = static_cast<UCHAR>(first + i);
        pairs[i][1] = Input[4 + i];
      }
      return WriteIndexedPairs(Extension, pairs, static_cast<ULONG>(count));
    }
    case SUB_WRITE_EEPROM_PAIR: {
      // Mode 0 erases both words (0xFFFF); mode 1 writes the buffer's; no other is defined.
      USHORT a = EEPROM_ERASED_WORD;
      USHORT b = EEPROM_ERASED_WORD;
      if (Input[1] == 1) {
        a = LoadWord(Input, 4);
        b = LoadWord(Input, 6);
      } else if (Input[1] != 0) {
        return DAQ_ERR_COMMAND;
      }
      error = BridgePresent(Extension);
      if (error == DAQ_OK) error = CheckEepromLines(Extension);
      if (error != DAQ_OK) return error;
      StoreWord(Output, 0, a);
      StoreWord(Output, 2, b);
      error = WriteEepromWord(Extension, EEPROM_PAIR_FIRST, a);
      if (error != DAQ_OK) return error;
      return WriteEepromWord(Extension, EEPROM_PAIR_SECOND, b);
    }
    case SUB_READ_EEPROM_PAIR:
      error = BridgePresent(Extension);
      if (error == DAQ_OK) error = CheckEepromLines(Extension);
      if (error == DAQ_OK) error = ReadEepromWord(Extension, EEPROM_PAIR_FIRST, Output, 0);
      if (error == DAQ_OK) error = ReadEepromWord(Extension, EEPROM_PAIR_SECOND, Output, 2);
      return error;
    case SUB_GET_RUNNING:
      LockAcquisition(Extension);
      Output[0] = static_cast<UCHAR>(Extension->Running);
      UnlockAcquisition(Extension);
      return DAQ_OK;
    default:
      return DAQ_ERR_COMMAND;
  }
}

/*
 * SelectOperation: the operation that the pair of lengths names, tested in this order: input
 * 0 (output 10 or 80: the summaries), input 8 / output 1 (register write), input 4 / output 4
 * (register read), input 1 (output 4, then a bridge: bridge read), input 2 (a bridge, then
 * output 2n: EEPROM read), output 0 (a bridge, then input 2n + 2: EEPROM write), input and
 * output 100 (sub-command). Returns DAQ_OK with the operation, or the code of the failure;
 * so a request with input 1 and output 8 is DAQ_ERR_COMMAND even without a bridge.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG SelectOperation(const DEVICE_EXTENSION* Extension, ULONG InputLength,
                                       const UCHAR* Input, ULONG OutputLength,
                                       DAQ_COMMAND_OPERATION* Operation) {
  PAGED_CODE();
  if (InputLength == 0) {
    if (OutputLength == sizeof(BOARD_SUMMARY)) {
      *Operation = CMD_BOARD_SUMMARY;
    } else if (OutputLength == sizeof(RESOURCE_SUMMARY)) {
      *Operation = CMD_RESOURCE_SUMMARY;
    } else {
      return DAQ_ERR_COMMAND;
    }
    return DAQ_OK;
  }
  if (InputLength == DAQ_REGISTER_WRITE_INPUT && OutputLength == DAQ_REGISTER_WRITE_OUTPUT) {
    *Operation = CMD_REGISTER_WRITE;
    return DAQ_OK;
  }
  if (InputLength == DAQ_REGISTER_READ_INPUT && OutputLength == DAQ_REGISTER_READ_OUTPUT) {
    *Operation = CMD_REGISTER_READ;
    return DAQ_OK;
  }
  if (InputLength == DAQ_BRIDGE_READ_INPUT) {
    if (OutputLength != DAQ_BRIDGE_READ_OUTPUT) return DAQ_ERR_COMMAND;
    *Operation = CMD_BRIDGE_READ;
    return BridgePresent(Extension);
  }
  // The EEPROM operations: byte 1 is a signed word count that the other length must match.
  if (InputLength == DAQ_EEPROM_READ_INPUT || OutputLength == 0) {
    ULONG error = BridgePresent(Extension);
    if (error != DAQ_OK) return error;
    LONGLONG words = static_cast<SCHAR>(Input[1]);
    bool read = InputLength == DAQ_EEPROM_READ_INPUT;
    LONGLONG expected = read ? 2 * words : 2 * words + 2;
    if (static_cast<LONGLONG>(read ? OutputLength : InputLength) != expected) {
      return DAQ_ERR_COMMAND;
    }
    *Operation = read ? CMD_EEPROM_READ : CMD_EEPROM_WRITE;
    return DAQ_OK;
  }
  if (InputLength == DAQ_SUBCOMMAND_LENGTH && OutputLength == DAQ_SUBCOMMAND_LENGTH) {
    *Operation = CMD_SUBCOMMAND;
    return DAQ_OK;
  }
  return DAQ_ERR_COMMAND;
}

/*
 * RunCommand: selects the operation and runs it. Returns DAQ_OK or the last-error code of the
 * failure. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG RunCommand(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                  const UCHAR* Input, ULONG OutputLength, UCHAR* Output) {
  PAGED_CODE();
  DAQ_COMMAND_OPERATION operation = CMD_SUBCOMMAND;
  ULONG error = SelectOperation(Extension, InputLength, Input, OutputLength, &operation);
  if (error != DAQ_OK) return error;
  switch (operation) {
    case CMD_BOARD_SUMMARY: return BoardSummary(Extension, Output);
    case CMD_RESOURCE_SUMMARY: return ResourceSummary(Extension, Output);
    case CMD_REGISTER_WRITE: return RegisterWrite(Extension, Input, Output);
    case CMD_REGISTER_READ: return RegisterRead(Extension, Input, Output);
    case CMD_BRIDGE_READ: return BridgeRead(Extension, Input, Output);
    case CMD_EEPROM_READ: return EepromRead(Extension, Input, Output);
    case CMD_EEPROM_WRITE: return EepromWrite(Extension, Input);
    case CMD_SUBCOMMAND: return Subcommand(Extension, Input, Output);
  }
  return DAQ_ERR_COMMAND;
}

}  // namespace

/*
 * DeviceCommand: IOCTL_DAQ_COMMAND. Clears LastError, runs the operation that the pair of
 * lengths selects, and on a failure leaves its code in LastError and returns
 * STATUS_UNSUCCESSFUL; refusals (DAQ_ERR_COMMAND, DAQ_ERR_NO_HARDWARE, DAQ_ERR_PORT_RANGE) are
 * made before any register or EEPROM access. Runs whether or not the board is open or an
 * acquisition runs. PASSIVE_LEVEL, called by the dispatcher holding a remove-lock reference;
 * EEPROM operations block the caller for milliseconds.
 */
TARVIK_PAGE_CODE NTSTATUS DeviceCommand(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                        PVOID InputBuffer, ULONG OutputLength,
                                        PVOID OutputBuffer) {
  PAGED_CODE();
  RecordLastError(Extension, DAQ_OK);
  ULONG error = DAQ_ERR_COMMAND;
  if ((InputLength == 0 || InputBuffer != nullptr) &&
      (OutputLength == 0 || OutputBuffer != nullptr)) {
    error = RunCommand(Extension, InputLength, static_cast<const UCHAR*>(InputBuffer),
                       OutputLength, static_cast<UCHAR*>(OutputBuffer));
  }
  if (error == DAQ_OK) return STATUS_SUCCESS;
  RecordLastError(Extension, error);
  return STATUS_UNSUCCESSFUL;
}
