// Frame capture: half a frame per interrupt from the card's result registers.
#include "acq/acquisition.h"
#include "hw/registers.h"

namespace {

inline UCHAR ReadCard(const DEVICE_EXTENSION* Extension, ULONG Offset) {
  return READ_PORT_UCHAR(PortByte(Extension->BoardPort, Offset));
}

inline void WriteCard(const DEVICE_EXTENSION* Extension, ULONG Offset, UCHAR Value) {
  WRITE_PORT_UCHAR(PortByte(Extension->BoardPort, Offset), Value);
}

// A 12-bit conversion result: the high nibble from +6 (its upper four bits are not data), then
// the low byte from +5.
inline USHORT ReadResultPair(const DEVICE_EXTENSION* Extension) {
  USHORT high = ReadCard(Extension, CARD_RESULT_HIGH) & 0x0F;
  return static_cast<USHORT>((high << 8) | ReadCard(Extension, CARD_RESULT_LOW));
}

// A 16-bit value, high byte first.
inline USHORT ReadWord(const DEVICE_EXTENSION* Extension, ULONG LowOffset, ULONG HighOffset) {
  USHORT high = ReadCard(Extension, HighOffset);
  return static_cast<USHORT>((high << 8) | ReadCard(Extension, LowOffset));
}

inline void PulseStrobe(const DEVICE_EXTENSION* Extension, ULONG Offset) {
  WriteCard(Extension, Offset, 0x00);
  WriteCard(Extension, Offset, 0x01);
}

// Counters 0, 1, 2, 3 and 5 and their registers; counter 4 has none and reads 0.
constexpr ULONG COUNTER_REGISTERS[COUNTER_COUNT] = {CARD_COUNTER0, CARD_STROBE, CARD_MUX,
                                                   CARD_STROBE_B, 0, CARD_COUNTER5};

// Extends the 8-bit counter readings: a reading below the previous one is a wrap, counted in
// the high byte (modulo 256).
void ExtendCounters(DEVICE_EXTENSION* Extension, const USHORT (&Raw)[COUNTER_COUNT]) {
  for (int k = 0; k < COUNTER_COUNT; ++k) {
    if (Raw[k] < Extension->CounterPrevious[k]) Extension->CounterExtended[k] += 0x100;
    Extension->CounterExtended[k] = (Extension->CounterExtended[k] & 0xFF00) + Raw[k];
    Extension->CounterPrevious[k] = Raw[k];
    Extension->RawCounters[k] = Raw[k];
  }
}

// The second call of a frame reads everything else and completes it.
void CompleteFrame(DEVICE_EXTENSION* Extension) {
  USHORT* frame = Extension->FrameBuffer;
  frame[5] = ReadResultPair(Extension);
  frame[0] = ReadWord(Extension, CARD_ID_SELECT, CARD_DATA);
  frame[1] = ReadWord(Extension, CARD_CONTROL, CARD_FRAME1_HIGH);
  frame[2] = frame[3] = frame[6] = frame[7] = 0;
  frame[8] = ReadWord(Extension, CARD_FRAME8_LOW, CARD_FRAME8_HIGH);
  frame[9] = ReadCard(Extension, CARD_FRAME9);
  USHORT raw[COUNTER_COUNT];
  for (int k = 0; k < COUNTER_COUNT; ++k) {
    raw[k] = COUNTER_REGISTERS[k] != 0 ? ReadCard(Extension, COUNTER_REGISTERS[k]) : 0;
  }
  ExtendCounters(Extension, raw);
  for (int k = 0; k < COUNTER_COUNT; ++k) {
    frame[10 + k] = static_cast<USHORT>(Extension->CounterExtended[k]);
  }
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
  if (Extension->SkipCount > 0) {
    Extension->SkipCount--;
  } else {
    Extension->FrameBuffer[Extension->CapturePhase] = ReadResultPair(Extension);
    if (Extension->CapturePhase == 0) {
      Extension->CapturePhase = 1;
      Extension->FrameBuffer[4] = ReadResultPair(Extension);
      Extension->SamplesReady = 0;
    } else {
      Extension->CapturePhase = 0;
      CompleteFrame(Extension);
    }
  }
  PulseStrobe(Extension, CARD_STROBE);
  if (Extension->StrobeToggle >= 1) {
    Extension->StrobeToggle = 0;
    PulseStrobe(Extension, CARD_STROBE_B);
  } else {
    Extension->StrobeToggle = 1;
    PulseStrobe(Extension, CARD_MUX);
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
