// Frame capture: half a frame per interrupt from the card's result registers.
#include "acq/acquisition.h"
#include "hw/registers.h"

namespace {

// The helpers take the card's port base as a value read once per capture: every port call
// is opaque to the compiler, which would otherwise read it from the extension again each time.
inline UCHAR ReadCard(ULONG_PTR Board, ULONG Offset) {
  return READ_PORT_UCHAR(PortByte(Board, Offset));
}

inline void WriteCard(ULONG_PTR Board, ULONG Offset, UCHAR Value) {
  WRITE_PORT_UCHAR(PortByte(Board, Offset), Value);
}

// A 12-bit conversion result: the high nibble from +6 (its upper four bits are not data), then
// the low byte from +5.
inline USHORT ReadResultPair(ULONG_PTR Board) {
  USHORT high = ReadCard(Board, CARD_RESULT_HIGH) & 0x0F;
  return static_cast<USHORT>((high << 8) | ReadCard(Board, CARD_RESULT_LOW));
}

// A 16-bit value, high byte first.
inline USHORT ReadWord(ULONG_PTR Board, ULONG LowOffset, ULONG HighOffset) {
  USHORT high = ReadCard(Board, HighOffset);
  return static_cast<USHORT>((high << 8) | ReadCard(Board, LowOffset));
}

inline void PulseStrobe(ULONG_PTR Board, ULONG Offset) {
  WriteCard(Board, Offset, 0x00);
  WriteCard(Board, Offset, 0x01);
}

// Counters 0, 1, 2, 3 and 5 and their registers; counter 4 has none and reads 0.
constexpr ULONG COUNTER_REGISTERS[COUNTER_COUNT] = {CARD_COUNTER0, CARD_STROBE, CARD_MUX,
                                                   CARD_STROBE_B, 0, CARD_COUNTER5};

// Reads the counters and extends each 8-bit reading: a reading below the previous one is a
// wrap, counted in the high byte (modulo 256). The extended counts go to frame words 10..15.
void ReadCounters(DEVICE_EXTENSION* Extension, ULONG_PTR Board, USHORT* Frame) {
  for (int k = 0; k < COUNTER_COUNT; ++k) {
    USHORT raw = COUNTER_REGISTERS[k] != 0 ? ReadCard(Board, COUNTER_REGISTERS[k]) : 0;
    USHORT extended = Extension->CounterExtended[k];
    if (raw < Extension->CounterPrevious[k]) extended = static_cast<USHORT>(extended + 0x100);
    extended = static_cast<USHORT>((extended & 0xFF00) + raw);
    Extension->CounterExtended[k] = extended;
    Extension->CounterPrevious[k] = raw;
    Extension->RawCounters[k] = raw;
    Frame[10 + k] = extended;
  }
}

// The second call of a frame reads everything else and completes it.
void CompleteFrame(DEVICE_EXTENSION* Extension, ULONG_PTR Board) {
  USHORT* frame = Extension->FrameBuffer;
  frame[5] = ReadResultPair(Board);
  frame[0] = ReadWord(Board, CARD_ID_SELECT, CARD_DATA);
  frame[1] = ReadWord(Board, CARD_CONTROL, CARD_FRAME1_HIGH);
  frame[2] = frame[3] = frame[6] = frame[7] = 0;
  frame[8] = ReadWord(Board, CARD_FRAME8_LOW, CARD_FRAME8_HIGH);
  frame[9] = ReadCard(Board, CARD_FRAME9);
  ReadCounters(Extension, Board, frame);
  Extension->SamplesReady = FRAME_WORDS;
}

}  // namespace

/*
 * CaptureFrame: one interrupt's half of a frame. After a start, two calls only pulse the
 * strobes. Then phase 0 reads two result pairs (the second into word 4) and phase 1 reads a
 * pair into word 5 and every other word, completing the frame with SamplesReady 16. Every
 * call pulses +8 and, alternately, +9 or +10, copies the frame to LastFrame, and applies the
 * decimation, which lets one call in Decimation pass its samples on. A board whose fifth
 * identification byte is not 9 is never touched.
 * Device IRQL, inside InterruptService.
 */
void CaptureFrame(DEVICE_EXTENSION* Extension) {
  if (!CaptureAcknowledgesCard(Extension)) return;
  const ULONG_PTR board = Extension->BoardPort;
  if (Extension->SkipCount > 0) {
    Extension->SkipCount--;
  } else {
    Extension->FrameBuffer[Extension->CapturePhase] = ReadResultPair(board);
    if (Extension->CapturePhase == 0) {
      Extension->CapturePhase = 1;
      Extension->FrameBuffer[4] = ReadResultPair(board);
      Extension->SamplesReady = 0;
    } else {
      Extension->CapturePhase = 0;
      CompleteFrame(Extension, board);
    }
  }
  PulseStrobe(board, CARD_STROBE);
  if (Extension->StrobeToggle >= 1) {
    Extension->StrobeToggle = 0;
    PulseStrobe(board, CARD_STROBE_B);
  } else {
    Extension->StrobeToggle = 1;
    PulseStrobe(board, CARD_MUX);
  }
  RtlCopyMemory(Extension->LastFrame, Extension->FrameBuffer, sizeof Extension->LastFrame);
  if (Extension->Decimation > 1) {
    if (Extension->DecimationCount < Extension->Decimation - 1) {
      Extension->DecimationCount++;
      Extension->SamplesReady = 0;
    } else {
      Extension->DecimationCount = 0;
    }
  }
}
