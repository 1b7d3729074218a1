// The card's sample clock: a divisor of its 12 MHz base clock, reached through the card's
// index/data register pair; and the split of a requested rate into clock rate and decimation.
#include "acq/acquisition.h"
#include "hw/registers.h"

namespace {

constexpr LONG MAXIMUM_RATE = 100000;
constexpr LONG MINIMUM_CLOCK_RATE = 10000;

inline void WriteClockRegister(const DEVICE_EXTENSION* Extension, UCHAR Index, UCHAR Data) {
  WRITE_PORT_UCHAR(PortByte(Extension->BoardPort, CARD_INDEX), Index);
  WRITE_PORT_UCHAR(PortByte(Extension->BoardPort, CARD_DATA), Data);
}

}  // namespace

/*
 * SplitRate: turns a requested rate into a clock rate of at least 10000 and a decimation
 * (one capture call in Decimation passes its samples on). Rates above 100000 are clamped, 0
 * counts as 1, and a negative rate -k asks for one call in 10000 k at a 10 kHz clock.
 * Signed 32-bit arithmetic throughout. Any IRQL.
 */
void SplitRate(LONG RequestedRate, PLONG ClockRate, PLONG Decimation) {
  LONG rate = RequestedRate == 0 ? 1 : RequestedRate;
  if (rate > MAXIMUM_RATE) rate = MAXIMUM_RATE;
  if (rate >= MINIMUM_CLOCK_RATE) {
    *ClockRate = rate;
    *Decimation = 1;
  } else if (rate < 0) {
    *ClockRate = MINIMUM_CLOCK_RATE;
    *Decimation = static_cast<LONG>(static_cast<ULONG>(rate) * static_cast<ULONG>(-10000));
  } else {
    *Decimation = (rate + MINIMUM_CLOCK_RATE - 1) / rate;
    *ClockRate = *Decimation * rate;
  }
}

/*
 * StopSampleClock: clock control 0x00. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE void StopSampleClock(DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  WriteClockRegister(Extension, CARD_INTERNAL_CLOCK_CONTROL, CARD_CLOCK_STOP);
}

/*
 * ProgramSampleClock: stops the clock, loads the divisor for ClockRate (12 MHz / rate - 1,
 * never below 1) low byte then high byte, and runs the clock. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE void ProgramSampleClock(DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  ULONG divisor = static_cast<ULONG>(static_cast<LONG>(CARD_BASE_CLOCK_HZ) / Extension->ClockRate);
  if (divisor < 2) divisor = 2;
  divisor -= 1;
  WriteClockRegister(Extension, CARD_INTERNAL_CLOCK_CONTROL, CARD_CLOCK_STOP);
  WriteClockRegister(Extension, CARD_INTERNAL_DIVISOR_LOW, static_cast<UCHAR>(divisor & 0xFF));
  WriteClockRegister(Extension, CARD_INTERNAL_DIVISOR_HIGH, static_cast<UCHAR>((divisor >> 8) & 0xFF));
  WriteClockRegister(Extension, CARD_INTERNAL_CLOCK_CONTROL, CARD_CLOCK_RUN);
}
