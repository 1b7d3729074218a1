// A small kernel-side driver for testing the I/O manager and Win32 paths on their own: one
// device, \Device\FakeDevice, opened as \\.\FakeDevice, whose device-control codes each
// behave in one known way. Platform-free, so user-mode tests can use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fake_device {

constexpr uint32_t Code(uint32_t function, uint32_t method) {
  return (0x22u << 16) | (function << 2) | method;
}

// Buffered: copies the input to the output; Information = input length.
constexpr uint32_t kEcho = Code(0x900, 0);
// Out-direct: fills the output (mapped through its MDL) with bytes 0, 1, 2, ...;
// Information = output length. Bytes of the input are added to the first bytes, to show the
// input arrived in the system buffer.
constexpr uint32_t kFillDirect = Code(0x901, 2);
// Buffered: writes 0xEE over the output, then fails with STATUS_INVALID_PARAMETER and
// Information = output length: nothing may reach the caller's buffer.
constexpr uint32_t kFailAfterWriting = Code(0x902, 0);
// Buffered: writes 0xEE over the output and ends with the warning STATUS_BUFFER_OVERFLOW:
// Information bytes reach the caller, and the call still fails.
constexpr uint32_t kWarnAfterWriting = Code(0x903, 0);
// Buffered: pends, then echoes as kEcho from another thread after 30 ms.
constexpr uint32_t kPendThenEcho = Code(0x904, 0);
// Buffered: writes 0xEE over the output and claims one byte more than it holds (a driver bug).
constexpr uint32_t kOverstate = Code(0x905, 0);
// Buffered: parks the request until it is cancelled, then completes it with STATUS_CANCELLED.
// Cleanup of a file object cancels the requests parked for it.
constexpr uint32_t kParkUntilCancelled = Code(0x906, 0);

// Buffered: writes the first output byte only and claims the whole output (a driver bug: the
// rest is whatever the system buffer held).
constexpr uint32_t kClaimUnwritten = Code(0x907, 0);

// Requests parked by kParkUntilCancelled and not yet cancelled.
size_t ParkedCount();

// Loads the driver and creates its device (the emulated kernel must be booted).
void Install();
// Deletes the device and unloads the driver.
void Remove();

}  // namespace fake_device
