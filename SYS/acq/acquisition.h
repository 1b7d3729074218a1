// The acquisition engine: board open, start and stop, the sample clock, frame capture,
// buffering into blocks or a ring, and the data reads.
#pragma once

#include "frame/device_extension.h"
#include "hw/hardware_lock.h"
#include "hw/registers.h"
#include "ioctl/control.h"

// Requests (device-control handlers).
CONTROL_HANDLER OpenBoard;
// The start takes the request's requestor mode: the event handle in its record is the
// caller's, and is referenced with the caller's mode.
NTSTATUS StartAcquisition(DEVICE_EXTENSION* Extension, KPROCESSOR_MODE RequestorMode,
                          ULONG InputLength, PVOID InputBuffer);
CONTROL_HANDLER StopAcquisition;
CONTROL_HANDLER GetBlockCount;
CONTROL_HANDLER ReadOldestBlock;
CONTROL_HANDLER ReadNewestBlock;
CONTROL_HANDLER ReadStream;

// The stop, for a caller that holds the acquisition lock; an acquisition must be running.
NTSTATUS StopAcquisitionLocked(DEVICE_EXTENSION* Extension);

// The sample clock. A negative rate -k decimates by 10000 k: below SLOWEST_RATE that
// decimation no longer fits in 32 bits, and the start refuses the rate.
constexpr LONG SLOWEST_RATE = -(0x7FFFFFFF / 10000);
void SplitRate(LONG RequestedRate, PLONG ClockRate, PLONG Decimation);
void ProgramSampleClock(DEVICE_EXTENSION* Extension);
void StopSampleClock(DEVICE_EXTENSION* Extension);

// The interrupt path (device IRQL). The capture strobes (and so acknowledges) only a board
// whose fifth identification byte is a working board's.
inline bool CaptureAcknowledgesCard(const DEVICE_EXTENSION* Extension) {
  return Extension->IdBytes[4] == CARD_GOOD_ID_BYTE4;
}
void CaptureFrame(DEVICE_EXTENSION* Extension);
void BufferBlockFrame(DEVICE_EXTENSION* Extension);
void BufferStreamFrame(DEVICE_EXTENSION* Extension);

// The pool's pointer table: entry i holds the address of block i.
inline PUSHORT* BlockTable(const DEVICE_EXTENSION* Extension) {
  return static_cast<PUSHORT*>(Extension->BlockPool);
}

// Whether the card's window and its connected interrupt are there to be driven.
inline bool HardwarePresent(const DEVICE_EXTENSION* Extension) {
  return Extension->BoardPort != 0 && Extension->InterruptObject != nullptr;
}
