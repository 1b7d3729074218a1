// The interface between Tarvik's driver and user mode: device-control codes, request records
// and last-error codes. Included by the driver (kernel build and host build) and by user-mode
// code, so it uses fixed-width types only.
#pragma once

#include <stdint.h>

// \\.\Tarvik, the name user mode opens.
#define TARVIK_USER_DEVICE_NAME L"\\\\.\\Tarvik"

// Device type 0x22 (unknown) in bits 16..31, any access in bits 14..15, the function number in
// bits 2..13 and the transfer method in bits 0..1. A code matches only when all 32 bits match.
constexpr uint32_t TarvikControlCode(uint32_t function, uint32_t method) {
  return (0x22u << 16) | (0u << 14) | (function << 2) | method;
}
constexpr uint32_t TARVIK_METHOD_BUFFERED = 0;
constexpr uint32_t TARVIK_METHOD_OUT_DIRECT = 2;

constexpr uint32_t IOCTL_DAQ_WAIT_EVENT = TarvikControlCode(0x800, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_SET_EVENT = TarvikControlCode(0x801, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_OPEN_BOARD = TarvikControlCode(0x802, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_GET_BLOCK_COUNT = TarvikControlCode(0x804, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_START = TarvikControlCode(0x805, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_STOP = TarvikControlCode(0x806, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_READ_OLDEST_BLOCK = TarvikControlCode(0x807, TARVIK_METHOD_OUT_DIRECT);
constexpr uint32_t IOCTL_DAQ_READ_NEWEST_BLOCK = TarvikControlCode(0x808, TARVIK_METHOD_OUT_DIRECT);
constexpr uint32_t IOCTL_DAQ_READ_STREAM = TarvikControlCode(0x80A, TARVIK_METHOD_OUT_DIRECT);
constexpr uint32_t IOCTL_DAQ_COMMAND = TarvikControlCode(0x80B, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_PORT_IN_BYTE = TarvikControlCode(0x80C, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_PORT_IN_WORD = TarvikControlCode(0x80D, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_PORT_IN_DWORD = TarvikControlCode(0x80E, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_PORT_OUT_BYTE = TarvikControlCode(0x80F, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_PORT_OUT_WORD = TarvikControlCode(0x810, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_PORT_OUT_DWORD = TarvikControlCode(0x811, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_GET_LAST_ERROR = TarvikControlCode(0x812, TARVIK_METHOD_BUFFERED);
constexpr uint32_t IOCTL_DAQ_READ_SERIAL = TarvikControlCode(0x813, TARVIK_METHOD_BUFFERED);

static_assert(IOCTL_DAQ_WAIT_EVENT == 0x222000 && IOCTL_DAQ_READ_OLDEST_BLOCK == 0x22201E &&
              IOCTL_DAQ_READ_STREAM == 0x22202A && IOCTL_DAQ_READ_SERIAL == 0x22204C);

// Buffer of the six raw port requests. The input requests overwrite its start with the value
// read (byte 0, bytes 0..1 or bytes 0..3).
struct PORT_IO_REQUEST {
  uint16_t Port;  // absolute I/O port number
  uint16_t Reserved;
  union {
    uint8_t Byte;
    uint16_t Word;
    uint32_t Dword;
  } Value;  // value to write (output requests)
};
static_assert(sizeof(PORT_IO_REQUEST) == 8);

// Shortest buffers the raw port requests accept: the port number for input requests, the
// value's last byte for output requests, and the value read for input requests' output.
constexpr uint32_t PORT_IN_MIN_INPUT = 2;
constexpr uint32_t PORT_OUT_BYTE_MIN_INPUT = 5;
constexpr uint32_t PORT_OUT_WORD_MIN_INPUT = 6;
constexpr uint32_t PORT_OUT_DWORD_MIN_INPUT = 8;

// Input of IOCTL_DAQ_START: exactly 32 bytes, little-endian.
struct START_PARAMETERS {
  uint32_t FramesPerBlock;     // frames per block; in continuous mode the ring's length
  int32_t RequestedRate;       // frames per second; negative: one frame in 10000 x -rate
  uint32_t ReservedParameter;  // accepted, no effect
  uint32_t Unused12;
  uint32_t EventHandle;        // block mode: an event the driver sets per completed block
  uint16_t RangeCode;          // input range as a gain factor: 1, 2, 4, 8 or 1, 10, 100, 1000
  int16_t BlockCount;          // blocks in the pool (continuous mode: 1)
  int16_t FirstChannel;        // accepted, not used
  int16_t ChannelCount;        // samples per frame: must be 16
  uint16_t ContinuousFlag;     // 0 block mode, otherwise continuous mode
  uint16_t Unused30;
};
static_assert(sizeof(START_PARAMETERS) == 32);

// A frame is 16 words; a block is a 16-bit sequence number followed by its frames' samples.
constexpr uint32_t TARVIK_FRAME_WORDS = 16;
constexpr uint32_t TarvikBlockBytes(uint32_t framesPerBlock) {
  return 2 + 2 * TARVIK_FRAME_WORDS * framesPerBlock;
}
// IOCTL_DAQ_READ_STREAM answers with the ring's wrap count (2 bytes), whole frames of samples,
// then the ring index of the newest frame (4 bytes); its output is at most one block plus 4.
constexpr uint32_t TARVIK_STREAM_OVERHEAD = 6;

// Last-error codes: IOCTL_DAQ_GET_LAST_ERROR tells the cause of the most recent failure of a
// request that keeps the register (most requests clear it to DAQ_OK when they start).
enum DAQ_LAST_ERROR : uint32_t {
  DAQ_OK = 0,
  DAQ_ERR_CHANNEL_COUNT = 12,     // start: the channel count is not 16
  DAQ_ERR_NO_BLOCK = 18,          // block read: no completed block is waiting
  DAQ_ERR_OPEN_LENGTH = 101,      // open: input length is not 16
  DAQ_ERR_RUNNING = 102,          // an acquisition already runs
  DAQ_ERR_NO_HARDWARE = 103,      // the card's or the bridge's register range is missing
  DAQ_ERR_NO_INTERRUPT = 105,     // open: the card has no interrupt line
  DAQ_ERR_NOT_OPEN = 107,         // the board has not been opened
  DAQ_ERR_START_LENGTH = 108,     // start: input length is not 32
  DAQ_ERR_NO_MEMORY = 109,        // start: the block pool cannot be allocated
  DAQ_ERR_NOT_RUNNING = 110,      // no acquisition runs
  DAQ_ERR_NOT_BLOCK_MODE = 111,   // the acquisition is not in block mode
  DAQ_ERR_BUFFER_SIZE = 112,      // block count, block or stream read: output of the wrong size
  DAQ_ERR_NOT_STREAM_MODE = 113,  // stream read: the acquisition is not in continuous mode
  DAQ_ERR_COMMAND = 114,          // device command: no operation matches the request
  DAQ_ERR_SERIAL_LENGTH = 116,    // serial number: input length not 0 or output length not 4
  // A raw port request (or a device-command register access) outside every I/O port range
  // assigned to the device, or a width running past the end of one: refused untouched.
  DAQ_ERR_PORT_RANGE = 117,
  // A raw port request whose buffers are too short for its port number, value or result.
  DAQ_ERR_PORT_BUFFER = 118,
  // An EEPROM write that never reported ready: the word may not have been written.
  DAQ_ERR_EEPROM_TIMEOUT = 119,
  // Start in block mode: the event handle does not name an event the caller may set.
  DAQ_ERR_EVENT_HANDLE = 120,
  // Start: frames per block or block count of zero or less, or so large that the pool's size
  // does not fit in 32 bits.
  DAQ_ERR_BLOCK_GEOMETRY = 121,
  DAQ_ERR_NO_SERIAL = 1000,       // serial number: both EEPROM words are erased
};

// The code's name ("DAQ_ERR_NOT_OPEN"), or null for a code this header does not know.
constexpr const char* DaqLastErrorName(uint32_t code) {
  switch (code) {
    case DAQ_OK: return "DAQ_OK";
    case DAQ_ERR_CHANNEL_COUNT: return "DAQ_ERR_CHANNEL_COUNT";
    case DAQ_ERR_NO_BLOCK: return "DAQ_ERR_NO_BLOCK";
    case DAQ_ERR_OPEN_LENGTH: return "DAQ_ERR_OPEN_LENGTH";
    case DAQ_ERR_RUNNING: return "DAQ_ERR_RUNNING";
    case DAQ_ERR_NO_HARDWARE: return "DAQ_ERR_NO_HARDWARE";
    case DAQ_ERR_NO_INTERRUPT: return "DAQ_ERR_NO_INTERRUPT";
    case DAQ_ERR_NOT_OPEN: return "DAQ_ERR_NOT_OPEN";
    case DAQ_ERR_START_LENGTH: return "DAQ_ERR_START_LENGTH";
    case DAQ_ERR_NO_MEMORY: return "DAQ_ERR_NO_MEMORY";
    case DAQ_ERR_NOT_RUNNING: return "DAQ_ERR_NOT_RUNNING";
    case DAQ_ERR_NOT_BLOCK_MODE: return "DAQ_ERR_NOT_BLOCK_MODE";
    case DAQ_ERR_BUFFER_SIZE: return "DAQ_ERR_BUFFER_SIZE";
    case DAQ_ERR_NOT_STREAM_MODE: return "DAQ_ERR_NOT_STREAM_MODE";
    case DAQ_ERR_COMMAND: return "DAQ_ERR_COMMAND";
    case DAQ_ERR_SERIAL_LENGTH: return "DAQ_ERR_SERIAL_LENGTH";
    case DAQ_ERR_PORT_RANGE: return "DAQ_ERR_PORT_RANGE";
    case DAQ_ERR_PORT_BUFFER: return "DAQ_ERR_PORT_BUFFER";
    case DAQ_ERR_EEPROM_TIMEOUT: return "DAQ_ERR_EEPROM_TIMEOUT";
    case DAQ_ERR_EVENT_HANDLE: return "DAQ_ERR_EVENT_HANDLE";
    case DAQ_ERR_BLOCK_GEOMETRY: return "DAQ_ERR_BLOCK_GEOMETRY";
    case DAQ_ERR_NO_SERIAL: return "DAQ_ERR_NO_SERIAL";
    default: return nullptr;
  }
}
