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
  // Start: a slow-mode rate (negative) below -214748, whose decimation (10000 calls per unit)
  // does not fit in 32 bits.
  DAQ_ERR_RATE = 122,
  // Stream read: the card's writes kept overtaking the copy (the reader was held up for about
  // as long as the ring takes to fill); nothing usable was returned, read again.
  DAQ_ERR_STREAM_OVERRUN = 123,
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
    case DAQ_ERR_RATE: return "DAQ_ERR_RATE";
    case DAQ_ERR_STREAM_OVERRUN: return "DAQ_ERR_STREAM_OVERRUN";
    default: return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// IOCTL_DAQ_COMMAND: one code for a family of small operations. The pair of buffer lengths
// selects the operation (tested in this order):
//   input 0, output 10            CMD_BOARD_SUMMARY     -> BOARD_SUMMARY
//   input 0, output 80            CMD_RESOURCE_SUMMARY  -> RESOURCE_SUMMARY
//   input 8, output 1             CMD_REGISTER_WRITE    REGISTER_OPERATION in, byte 0 = 1 out
//   input 4, output 4             CMD_REGISTER_READ     REGISTER_OPERATION in, value out
//   input 1, output 4             CMD_BRIDGE_READ       byte 0: signed offset; dword out
//   input 2, output 2n            CMD_EEPROM_READ       byte 0: signed start byte address,
//                                                       byte 1: signed word count n; words out
//   input 2n + 2, output 0        CMD_EEPROM_WRITE      as the read, then n words
//   input 100, output 100         CMD_SUBCOMMAND        byte 0: a SUB_* number
// Any other pair fails with DAQ_ERR_COMMAND. The request is buffered: output overwrites input.
enum DAQ_COMMAND_OPERATION : uint32_t {
  CMD_BOARD_SUMMARY = 0,
  CMD_RESOURCE_SUMMARY = 1,
  CMD_REGISTER_WRITE = 2,
  CMD_REGISTER_READ = 3,
  CMD_BRIDGE_READ = 4,
  CMD_EEPROM_READ = 5,
  CMD_EEPROM_WRITE = 6,
  CMD_SUBCOMMAND = 7,
};

#pragma pack(push, 1)

// Output of CMD_BOARD_SUMMARY: the card window's base port and the interrupt counters.
struct BOARD_SUMMARY {
  uint32_t BoardPort;
  uint16_t IrqLine;
  uint16_t FrameIntCount;
  uint16_t OtherIntCount;
};
static_assert(sizeof(BOARD_SUMMARY) == 10);

// Output of CMD_RESOURCE_SUMMARY: the port ranges recorded at start. All six entries are
// written whatever PortCount says; the last four bytes are left as they were.
constexpr uint32_t RESOURCE_SUMMARY_PORTS = 6;
struct RESOURCE_SUMMARY_PORT {
  uint32_t Base;
  uint32_t Length;
  uint32_t Mapped;  // 1: a memory-space range mapped into system space; 0: I/O space
};
struct RESOURCE_SUMMARY {
  uint16_t PortCount;
  uint16_t MemCount;
  RESOURCE_SUMMARY_PORT Port[RESOURCE_SUMMARY_PORTS];
  uint8_t NotWritten[4];
};
static_assert(sizeof(RESOURCE_SUMMARY_PORT) == 12 && sizeof(RESOURCE_SUMMARY) == 80);

// Input of CMD_REGISTER_READ (4 bytes) and CMD_REGISTER_WRITE (8 bytes): one access of the
// given width at BoardPort + Offset. The read answers with the value zero-extended to 32 bits
// in output bytes 0..3; the write answers with output byte 0 = 1.
struct REGISTER_OPERATION {
  uint16_t WidthCode;  // REGISTER_WIDTH_*
  uint16_t Offset;     // from BoardPort
  union {
    uint8_t Byte;
    uint16_t Word;
    uint32_t Dword;
  } Value;  // write only
};
static_assert(sizeof(REGISTER_OPERATION) == 8);

#pragma pack(pop)

constexpr uint16_t REGISTER_WIDTH_BYTE = 1;
constexpr uint16_t REGISTER_WIDTH_WORD = 2;
constexpr uint16_t REGISTER_WIDTH_DWORD = 3;

constexpr uint32_t DAQ_REGISTER_READ_INPUT = 4;
constexpr uint32_t DAQ_REGISTER_READ_OUTPUT = 4;
constexpr uint32_t DAQ_REGISTER_WRITE_INPUT = 8;
constexpr uint32_t DAQ_REGISTER_WRITE_OUTPUT = 1;
constexpr uint32_t DAQ_BRIDGE_READ_INPUT = 1;
constexpr uint32_t DAQ_BRIDGE_READ_OUTPUT = 4;
constexpr uint32_t DAQ_EEPROM_READ_INPUT = 2;
// Input and output of CMD_SUBCOMMAND: one 100-byte buffer, byte 0 the sub-command.
constexpr uint32_t DAQ_SUBCOMMAND_LENGTH = 100;

// Sub-commands (byte 0 of the 100-byte buffer). "+n" is the card register BoardPort + n.
enum DAQ_SUBCOMMAND : uint8_t {
  SUB_READ_SPAN = 0,             // 1: signed count (at most 100), 2: signed offset; reads +(o+i)
  SUB_WRITE_SPAN = 1,            // as 0, count at most 97; data from byte 3
  SUB_SET_INPUT = 2,             // 1: range, 2: channel count (1..16), 3: channel; writes +9
  SUB_GET_LAST_FRAME = 3,        // the last captured frame, ChannelCount words
  SUB_READ_PAIR_CLEAR = 4,       // reads +4, +5, then writes +10 = 0
  SUB_SET_RANGE_BITS = 5,        // 1: range; writes +9
  SUB_SET_CHANNEL_BITS = 6,      // 1: channel; writes +9
  SUB_CLEAR = 7,                 // writes +10 = 0
  SUB_READ_PAIR = 8,             // reads +4, +5
  SUB_READ_SNAPSHOT = 9,         // reads +1, +2, +3, +4, +15, +14, +7, +8, +9, +10
  SUB_WRITE_INDEXED = 10,        // 1: index (0, 1, 9, 10, 11), 2: data; through +0/+2
  SUB_WRITE_12BIT = 11,          // 1: selector, 2: low byte, 3: high part
  SUB_WRITE_CONTROL_PAIR = 12,   // 1: register, 2: control byte, 3, 4: data bytes
  SUB_WRITE_INDEXED_WORDS = 13,  // 1: 0, 2..3: A, 4..5: B; A - 1 and B - 1 to indices 5..8
  SUB_READ_REPEAT = 60,          // 1: count (at most 100), 2: offset; repeated reads of +o
  SUB_WRITE_REPEAT = 61,         // as 60, count at most 96; data from byte 4
  SUB_GET_PORT_BASE = 64,        // bytes 0..1: BoardPort bits 0..15
  SUB_READ_ID_BLOCK = 70,        // 1: signed count (limited to 64); identification bytes
  SUB_WRITE_INDEXED_BLOCK = 71,  // 1: count (limited to 64), 2: first index; data from byte 4
  SUB_WRITE_EEPROM_PAIR = 73,    // 1: mode 0 (erased words) or 1 (4..5, 6..7); EEPROM 120, 122
  SUB_READ_EEPROM_PAIR = 74,     // EEPROM words at byte addresses 120 and 122
  SUB_GET_RUNNING = 75,          // byte 0: whether an acquisition runs
};
