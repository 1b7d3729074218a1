// One fuzz input played against one booted machine: device-control requests with chosen
// codes, methods, lengths and contents, interleaved with the state changes a driver lives
// through (open board, start and stop, the card's clock stepped, PnP stop and start, surprise
// removal, removal, system sleep and resume, the card pulled from its slot). The session ends
// by cancelling what is still outstanding, closing every handle and shutting the machine down;
// anything left broken is reported by RunFuzzInput's caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik_fuzz {

// Plays one input. Aborts the process (after printing what went wrong) when the driver broke
// a platform rule, leaked pool, or left a request that never completed.
void RunFuzzInput(const uint8_t* data, size_t size);

// The operation numbers an input's bytes select (the byte after an operation's parameters
// selects the next one). A byte below kFirstStateOp is a device-control request; a byte at
// or above it selects the state change (byte - kFirstStateOp) % kStateOpCount.
enum StateOp : uint8_t {
  kOpenBoard,
  kStartBlock,
  kStartContinuous,
  kStop,
  kStep,
  kCancelOne,
  kOpenHandle,
  kCloseHandle,
  kPnpStop,
  kPnpStart,
  kSurpriseRemove,
  kRemove,
  kSleep,
  kResume,
  kSignal,
  kPull,
  kStateOpCount,
};
inline constexpr uint8_t kFirstStateOp = 0x80;

}  // namespace tarvik_fuzz
