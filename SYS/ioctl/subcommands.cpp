// The device command's 100-byte form: byte 0 selects a sub-command that runs a short register
// sequence on the card, or reads or sets a field the acquisition uses. Every one runs with
// AcquisitionLock held (see device_command.cpp), the card's base read once under it.
#include "ioctl/device_command.h"

#include "hw/registers.h"

namespace {

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
 * SetInput: SUB_SET_INPUT. Range r (byte 1), channel count c (byte 2), channel k (byte 3):
 * RangeCode = r AND 3, GainBits = its range bits alone, ChannelCount = c, and register +9 =
 * channel and range. The count must be 1..16 (DAQ_ERR_COMMAND), as buffering divides by it and
 * a frame holds 16; and it cannot change under a running acquisition, whose blocks are laid
 * out by it (DAQ_ERR_RUNNING; the same count is accepted). PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG SetInput(DEVICE_EXTENSION* Extension, const UCHAR* Input) {
  PAGED_CODE();
  UCHAR range = Input[1] & RANGE_MASK;
  UCHAR channels = Input[2];
  UCHAR channel = Input[3];
  if (channels < CHANNELS_MIN || channels > CHANNELS_MAX) return DAQ_ERR_COMMAND;
  if (Extension->Running && Extension->ChannelCount != channels) return DAQ_ERR_RUNNING;
  ULONG error = CheckBoardBytes(Extension, CARD_MUX, 1);
  if (error != DAQ_OK) return error;
  Extension->RangeCode = range;
  Extension->GainBits = static_cast<USHORT>(range << RANGE_SHIFT);
  Extension->ChannelCount = channels;
  WriteBoard(AssignedPorts(Extension).Board, CARD_MUX,
             static_cast<UCHAR>((channel & GAIN_CHANNEL_BITS) | (range << RANGE_SHIFT)));
  return DAQ_OK;
}

/*
 * SetGainBits: SUB_SET_RANGE_BITS (byte 1 replaces the range bits of GainBits) and
 * SUB_SET_CHANNEL_BITS (byte 1 replaces the channel bits); the result goes to register +9.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG SetGainBits(DEVICE_EXTENSION* Extension, UCHAR Number, UCHAR Value) {
  PAGED_CODE();
  ULONG error = CheckBoardBytes(Extension, CARD_MUX, 1);
  if (error != DAQ_OK) return error;
  USHORT gain = Extension->GainBits;
  if (Number == SUB_SET_RANGE_BITS) {
    gain = static_cast<USHORT>(((Value & RANGE_MASK) << RANGE_SHIFT) | (gain & GAIN_CHANNEL_BITS));
  } else {
    gain = static_cast<USHORT>((gain & GAIN_RANGE_BITS) | (Value & GAIN_CHANNEL_BITS));
  }
  Extension->GainBits = gain;
  WriteBoard(AssignedPorts(Extension).Board, CARD_MUX, static_cast<UCHAR>(gain));
  return DAQ_OK;
}

/*
 * GetLastFrame: SUB_GET_LAST_FRAME. ChannelCount words of the last captured frame from byte
 * 0; none for a count of 0 or below. A count above 16 (a failed start leaves the record's
 * count behind) would read past the frame: DAQ_ERR_COMMAND. While an acquisition runs the copy
 * is taken under the interrupt's lock. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG GetLastFrame(DEVICE_EXTENSION* Extension, UCHAR* Output) {
  PAGED_CODE();
  LONG count = Extension->ChannelCount;
  if (count > FRAME_WORDS) return DAQ_ERR_COMMAND;
  if (count <= 0) return DAQ_OK;
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
  return DAQ_OK;
}

/*
 * WriteIndexedPairs: loads Count internal registers through the card's index/data pair, each
 * pair of Pairs an index and its data. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG WriteIndexedPairs(DEVICE_EXTENSION* Extension, const UCHAR (*Pairs)[2],
                                         ULONG Count) {
  PAGED_CODE();
  const ULONG registers[] = {CARD_INDEX, CARD_DATA};
  ULONG error = CheckBoardRegisters(Extension, registers, 2);
  if (error != DAQ_OK) return error;
  const ULONG_PTR board = AssignedPorts(Extension).Board;
  for (ULONG i = 0; i < Count; ++i) {
    WriteBoard(board, CARD_INDEX, Pairs[i][0]);
    WriteBoard(board, CARD_DATA, Pairs[i][1]);
  }
  return DAQ_OK;
}

/*
 * Span: SUB_READ_SPAN and SUB_WRITE_SPAN: a signed count of registers from a signed offset,
 * read into the output or written from byte 3 on. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG Span(DEVICE_EXTENSION* Extension, const UCHAR* Input, UCHAR* Output) {
  PAGED_CODE();
  LONG count = static_cast<SCHAR>(Input[1]);
  ULONG offset = SignExtendedOffset(Input[2]);
  bool read = Input[0] == SUB_READ_SPAN;
  if (count > (read ? SPAN_READ_MAX : SPAN_WRITE_MAX)) return DAQ_ERR_COMMAND;
  if (count <= 0) return DAQ_OK;
  ULONG error = CheckBoardBytes(Extension, offset, static_cast<ULONG>(count));
  if (error != DAQ_OK) return error;
  const ULONG_PTR board = AssignedPorts(Extension).Board;
  for (LONG i = 0; i < count; ++i) {
    if (read) {
      Output[i] = ReadBoard(board, offset + i);
    } else {
      WriteBoard(board, offset + i, Input[3 + i]);
    }
  }
  return DAQ_OK;
}

/*
 * Repeat: SUB_READ_REPEAT and SUB_WRITE_REPEAT: an unsigned count of accesses to one register
 * at an unsigned offset, read into the output or written from byte 4 on. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG Repeat(DEVICE_EXTENSION* Extension, const UCHAR* Input, UCHAR* Output) {
  PAGED_CODE();
  ULONG count = Input[1];
  ULONG offset = Input[2];
  bool read = Input[0] == SUB_READ_REPEAT;
  if (count > (read ? REPEAT_READ_MAX : REPEAT_WRITE_MAX)) return DAQ_ERR_COMMAND;
  ULONG error = CheckBoardBytes(Extension, offset, count != 0 ? 1 : 0);
  if (error != DAQ_OK) return error;
  const ULONG_PTR board = AssignedPorts(Extension).Board;
  for (ULONG i = 0; i < count; ++i) {
    if (read) {
      Output[i] = ReadBoard(board, offset);
    } else {
      WriteBoard(board, offset, Input[4 + i]);
    }
  }
  return DAQ_OK;
}

/*
 * ReadRegisters: reads Count card registers in the order listed into the output (the
 * snapshot). PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG ReadRegisters(DEVICE_EXTENSION* Extension, const ULONG* Offsets,
                                     ULONG Count, UCHAR* Output) {
  PAGED_CODE();
  ULONG error = CheckBoardRegisters(Extension, Offsets, Count);
  if (error != DAQ_OK) return error;
  const ULONG_PTR board = AssignedPorts(Extension).Board;
  for (ULONG i = 0; i < Count; ++i) Output[i] = ReadBoard(board, Offsets[i]);
  return DAQ_OK;
}

/*
 * ReadRegisterPair: SUB_READ_PAIR and SUB_READ_PAIR_CLEAR: +4, then +5 (its low nibble), and for the
 * clearing form a 0 written to +10. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG ReadRegisterPair(DEVICE_EXTENSION* Extension, bool Clear, UCHAR* Output) {
  PAGED_CODE();
  const ULONG registers[] = {CARD_FRAME1_HIGH, CARD_RESULT_LOW, CARD_STROBE_B};
  ULONG error = CheckBoardRegisters(Extension, registers, Clear ? 3 : 2);
  if (error != DAQ_OK) return error;
  const ULONG_PTR board = AssignedPorts(Extension).Board;
  UCHAR first = ReadBoard(board, CARD_FRAME1_HIGH);
  UCHAR second = ReadBoard(board, CARD_RESULT_LOW);
  if (Clear) WriteBoard(board, CARD_STROBE_B, 0);
  Output[0] = first;
  Output[1] = second & HIGH_PART_MASK;
  return DAQ_OK;
}

/*
 * WriteRegisters: writes Count values to card registers in the order listed. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG WriteRegisters(DEVICE_EXTENSION* Extension, const ULONG* Offsets,
                                      const UCHAR* Values, ULONG Count) {
  PAGED_CODE();
  ULONG error = CheckBoardRegisters(Extension, Offsets, Count);
  if (error != DAQ_OK) return error;
  const ULONG_PTR board = AssignedPorts(Extension).Board;
  for (ULONG i = 0; i < Count; ++i) WriteBoard(board, Offsets[i], Values[i]);
  return DAQ_OK;
}

/*
 * ReadIdBlock: SUB_READ_ID_BLOCK: a signed count (cut to 64) of identification bytes, each
 * selected through +1 and read from +0. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG ReadIdBlock(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                   UCHAR* Output) {
  PAGED_CODE();
  LONG count = static_cast<SCHAR>(Input[1]);
  if (count > BLOCK_MAX) count = BLOCK_MAX;
  if (count <= 0) return DAQ_OK;
  const ULONG registers[] = {CARD_ID_SELECT, CARD_INDEX};
  ULONG error = CheckBoardRegisters(Extension, registers, 2);
  if (error != DAQ_OK) return error;
  const ULONG_PTR board = AssignedPorts(Extension).Board;
  for (LONG i = 0; i < count; ++i) {
    WriteBoard(board, CARD_ID_SELECT, static_cast<UCHAR>(i));
    Output[i] = ReadBoard(board, CARD_INDEX);
  }
  return DAQ_OK;
}

}  // namespace

/*
 * Subcommand: the 100-byte form; byte 0 selects the sub-command. Signed counts of 0 or below
 * do nothing; counts are taken once, before the first access, and the parameters are read
 * before any output overwrites them. Register accesses run in the documented order.
 * PASSIVE_LEVEL, with AcquisitionLock held.
 */
TARVIK_PAGE_CODE ULONG Subcommand(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                  UCHAR* Output) {
  PAGED_CODE();
  switch (Input[0]) {
    case SUB_READ_SPAN:
    case SUB_WRITE_SPAN:
      return Span(Extension, Input, Output);
    case SUB_SET_INPUT:
      return SetInput(Extension, Input);
    case SUB_GET_LAST_FRAME:
      return GetLastFrame(Extension, Output);
    case SUB_READ_PAIR_CLEAR:
    case SUB_READ_PAIR:
      return ReadRegisterPair(Extension, Input[0] == SUB_READ_PAIR_CLEAR, Output);
    case SUB_SET_RANGE_BITS:
    case SUB_SET_CHANNEL_BITS:
      return SetGainBits(Extension, Input[0], Input[1]);
    case SUB_CLEAR: {
      const ULONG registers[] = {CARD_STROBE_B};
      const UCHAR values[] = {0};
      return WriteRegisters(Extension, registers, values, 1);
    }
    case SUB_READ_SNAPSHOT: {
      const ULONG registers[] = {CARD_ID_SELECT, CARD_DATA,   CARD_CONTROL,  CARD_FRAME1_HIGH,
                                 CARD_AUXILIARY, CARD_FRAME9, CARD_COUNTER0, CARD_STROBE,
                                 CARD_MUX,       CARD_STROBE_B};
      return ReadRegisters(Extension, registers, sizeof registers / sizeof registers[0], Output);
    }
    case SUB_WRITE_INDEXED: {
      UCHAR index = Input[1];
      // Only these internal registers may be loaded; any other index is accepted and ignored.
      if (index != 0 && index != 1 && index != 9 && index != 10 && index != 11) return DAQ_OK;
      const UCHAR pairs[][2] = {{index, Input[2]}};
      return WriteIndexedPairs(Extension, pairs, 1);
    }
    case SUB_WRITE_12BIT: {
      // Selector bit 0 picks the register pair +4/+5 (clear) or +6/+7 (set); +8 = 0 ends it.
      ULONG low = (Input[1] & 1) ? CARD_12BIT_PAIR_B : CARD_12BIT_PAIR_A;
      const ULONG registers[] = {low, low + 1, CARD_STROBE};
      const UCHAR values[] = {Input[2], static_cast<UCHAR>(Input[3] & HIGH_PART_MASK), 0};
      return WriteRegisters(Extension, registers, values, 3);
    }
    case SUB_WRITE_CONTROL_PAIR: {
      ULONG target = Input[1] & CARD_REGISTER_MASK;
      const ULONG registers[] = {CARD_CONTROL, target, target};
      const UCHAR values[] = {Input[2], Input[3], Input[4]};
      return WriteRegisters(Extension, registers, values, 3);
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
    case SUB_WRITE_REPEAT:
      return Repeat(Extension, Input, Output);
    case SUB_GET_PORT_BASE:
      StoreWord(Output, 0, static_cast<USHORT>(Extension->BoardPort));
      return DAQ_OK;
    case SUB_READ_ID_BLOCK:
      return ReadIdBlock(Extension, Input, Output);
    case SUB_WRITE_INDEXED_BLOCK: {
      LONG count = Input[1];
      if (count > BLOCK_MAX) count = BLOCK_MAX;
      if (count == 0) return DAQ_OK;
      UCHAR first = Input[2];
      UCHAR pairs[BLOCK_MAX][2];
      for (LONG i = 0; i < count; ++i) {
        pairs[i][0] = static_cast<UCHAR>(first + i);
        pairs[i][1] = Input[4 + i];
      }
      return WriteIndexedPairs(Extension, pairs, static_cast<ULONG>(count));
    }
    case SUB_GET_RUNNING:
      Output[0] = static_cast<UCHAR>(Extension->Running);
      return DAQ_OK;
    default:
      return DAQ_ERR_COMMAND;
  }
}
