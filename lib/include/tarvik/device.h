// The Tarvik client library: a typed, RAII handle over the driver's device (\\.\Tarvik).
//
// It uses only the Win32 calls the emulated machine provides (CreateFileA, DeviceIoControl,
// GetOverlappedResult, CancelIo, CreateEventA, WaitForSingleObject, CloseHandle,
// GetLastError), so it builds unchanged for Windows; the ANSI calls, because the Windows
// 98/Me family implements those and only stubs the wide ones. Every failure throws tarvik::Error with
// the request, the NTSTATUS behind it, the Win32 error, the driver's last-error code with its
// name, and a sentence a person understands.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarvik_ioctl.h"

namespace tarvik {

using Frame = std::array<uint16_t, TARVIK_FRAME_WORDS>;

class Error : public std::runtime_error {
 public:
  Error(std::string operation, uint32_t win32Error, uint32_t lastError);
  // For requests whose failures the driver tells by status alone: `detail` replaces the
  // sentence the Win32 error would give.
  Error(std::string operation, uint32_t win32Error, std::string detail);

  const std::string& Operation() const { return operation_; }
  uint32_t Win32Error() const { return win32_; }
  // The NTSTATUS the Win32 error came from, where it is known (0 otherwise).
  int32_t Status() const { return status_; }
  // The driver's last-error code read after the failure (DAQ_OK when it kept none).
  uint32_t LastError() const { return lastError_; }
  // "DAQ_ERR_NOT_OPEN", or "code 1234" for a code this library does not know.
  std::string LastErrorName() const;
  // What went wrong, for a person: e.g. "start acquisition failed: the board has not been
  // opened (DAQ_ERR_NOT_OPEN, Win32 error 31)".
  static std::string Describe(const std::string& operation, uint32_t win32Error,
                              uint32_t lastError);
  // The sentence for a last-error code ("the board has not been opened"), or for a Win32
  // error ("the device is not there"); a generic sentence for codes not in the tables.
  static std::string LastErrorSentence(uint32_t lastError);
  static std::string Win32Sentence(uint32_t win32Error);
  // The NTSTATUS behind a Win32 error where only one status maps to it, 0 otherwise.
  static int32_t StatusFromWin32(uint32_t win32Error);

 private:
  std::string operation_;
  uint32_t win32_;
  int32_t status_;
  uint32_t lastError_;
};

// A block as the driver hands it over: its sequence number and its frames.
struct Block {
  uint16_t sequence = 0;
  std::vector<Frame> frames;
};

// A snapshot of the continuous ring: the newest whole frames, oldest first.
struct StreamSnapshot {
  uint16_t wraps = 0;              // times the ring went round, modulo 65536
  uint32_t newestFrameIndex = 0;   // ring index of the newest frame
  std::vector<Frame> frames;
};

struct StartOptions {
  uint32_t framesPerBlock = 64;  // in continuous mode: the ring's length in frames
  int32_t rate = 10000;          // frames per second; negative: one frame in 10000 x -rate
  int16_t blockCount = 8;        // ignored in continuous mode
  uint16_t gain = 1;             // 1, 2, 4, 8 or 1, 10, 100, 1000
};

// CMD_BOARD_SUMMARY: the card window's base port and the interrupt counters.
struct BoardSummary {
  uint32_t boardPort = 0;
  uint16_t irqLine = 0;
  uint16_t frameInterrupts = 0;
  uint16_t otherInterrupts = 0;
};

// CMD_RESOURCE_SUMMARY: the port ranges the driver recorded at start (all six entries, whatever
// portCount says).
struct PortRange {
  uint32_t base = 0;
  uint32_t length = 0;
  bool mapped = false;  // a memory-space range mapped into system space
};
struct ResourceSummary {
  uint16_t portCount = 0;
  uint16_t memoryCount = 0;
  std::array<PortRange, RESOURCE_SUMMARY_PORTS> ports{};
};

enum class RegisterWidth : uint16_t {
  Byte = REGISTER_WIDTH_BYTE,
  Word = REGISTER_WIDTH_WORD,
  Dword = REGISTER_WIDTH_DWORD,
};

// The 100-byte buffer of a sub-command, byte 0 its number.
using CommandBuffer = std::array<uint8_t, DAQ_SUBCOMMAND_LENGTH>;

// A Win32 auto-reset event, owned.
class Event {
 public:
  Event();
  ~Event();
  Event(Event&& other) noexcept;
  Event& operator=(Event&& other) noexcept;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Waits until set or the time-out passes; true when set.
  bool Wait(std::chrono::milliseconds timeout) const;
  void* Handle() const { return handle_; }

 private:
  void* handle_ = nullptr;
};

// A wait parked in the driver's rendezvous, on its own overlapped handle: the request, its
// event and the four bytes a signal delivers. Destroying it while the wait is parked cancels
// the wait and waits for it to complete.
class PendingWait {
 public:
  ~PendingWait();
  PendingWait(PendingWait&& other) noexcept;
  PendingWait& operator=(PendingWait&& other) noexcept;
  PendingWait(const PendingWait&) = delete;
  PendingWait& operator=(const PendingWait&) = delete;

  // The signalled value, or nullopt when the time-out passes with the wait still parked.
  // Throws Error when the wait ended otherwise (cancelled: ERROR_OPERATION_ABORTED).
  std::optional<uint32_t> Wait(std::chrono::milliseconds timeout);
  // Cancels a parked wait and waits for it to complete. True when the cancel ended it, false
  // when it had already ended (a signal's value is then still there for Wait). From the
  // thread that began the wait it cancels the request; from any other it closes the wait's
  // handle, which ends the wait the same way (the driver's targets have no CancelIoEx).
  bool Cancel();
  // True once the wait has completed, whichever way.
  bool Completed();

 private:
  friend class Device;
  struct State;
  explicit PendingWait(std::unique_ptr<State> state);
  void Collect(bool block);
  std::unique_ptr<State> state_;
};

class Device {
 public:
  // Opens \\.\Tarvik; throws Error when the device is not there.
  Device();
  ~Device();
  Device(Device&& other) noexcept;
  Device& operator=(Device&& other) noexcept;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Acquisition.
  void OpenBoard();
  void StartBlocks(const StartOptions& options, const Event& blockDone);
  void StartContinuous(const StartOptions& options);
  void Stop();
  uint16_t BlockCount();
  // The oldest (or newest) complete block; nullopt when none is waiting. framesPerBlock is the
  // value the acquisition was started with.
  std::optional<Block> ReadOldestBlock(uint32_t framesPerBlock);
  std::optional<Block> ReadNewestBlock(uint32_t framesPerBlock);
  // Up to `frames` of the newest whole frames of the ring (at most its length). A read the
  // card's writer overtook (DAQ_ERR_STREAM_OVERRUN: nothing is lost) is sent again, up to
  // kStreamReadAttempts times in all, before the error is thrown.
  static constexpr int kStreamReadAttempts = 8;
  StreamSnapshot ReadStream(uint32_t frames);

  // Diagnostics.
  uint32_t LastError();
  uint32_t SerialNumber();
  std::vector<uint16_t> ReadEeprom(uint16_t firstWord, uint16_t count);
  void WriteEeprom(uint16_t firstWord, const std::vector<uint16_t>& words);
  uint32_t PortIn(uint16_t port, unsigned width);              // width 1, 2 or 4
  void PortOut(uint16_t port, unsigned width, uint32_t value);

  // Device command (IOCTL_DAQ_COMMAND), one call per operation.
  BoardSummary ReadBoardSummary();
  ResourceSummary ReadResourceSummary();
  // One access at the card's register window + offset.
  uint32_t ReadRegister(uint16_t offset, RegisterWidth width);
  void WriteRegister(uint16_t offset, RegisterWidth width, uint32_t value);
  // A 32-bit read at the bridge's registers + offset (0..127).
  uint32_t ReadBridgeRegister(uint8_t offset);
  // (ReadEeprom and WriteEeprom above go through the command: 64 words, addresses 0..63.)

  // Sub-commands. "+n" is the card register at the window's base + n.
  CommandBuffer SubCommand(const CommandBuffer& buffer);               // any, raw
  std::vector<uint8_t> ReadSpan(int8_t offset, uint8_t count);          // +offset.. (<= 100)
  void WriteSpan(int8_t offset, std::span<const uint8_t> data);         // (<= 97 bytes)
  void SetInput(uint8_t range, uint8_t channelCount, uint8_t channel);  // range code 0..3
  // The last captured frame: the first channel-count words are its samples.
  Frame ReadLastFrame();
  uint16_t ReadConversion();          // +4 | (+5 & 0x0F) << 8
  uint16_t ReadConversionAndClear();  // the same, then +10 = 0
  void SetRangeBits(uint8_t range);
  void SetChannelBits(uint8_t channel);
  void ClearConversion();  // +10 = 0
  std::array<uint8_t, 10> ReadRegisterSnapshot();  // +1, +2, +3, +4, +15, +14, +7, +8, +9, +10
  void WriteIndexed(uint8_t index, uint8_t data);   // index 0, 1, 9, 10 or 11 (others: no-op)
  void Write12Bit(uint8_t selector, uint16_t value);
  void WriteControlPair(uint8_t reg, uint8_t control, uint8_t first, uint8_t second);
  void WriteIndexedWords(uint16_t a, uint16_t b);
  std::vector<uint8_t> ReadRepeated(uint8_t offset, uint8_t count);    // (<= 100)
  void WriteRepeated(uint8_t offset, std::span<const uint8_t> data);   // (<= 96 bytes)
  uint16_t ReadPortBase();
  std::vector<uint8_t> ReadIdentification(uint8_t count);                 // (<= 64)
  void WriteIndexedBlock(uint8_t firstIndex, std::span<const uint8_t> data);  // (<= 64 bytes)
  void WriteEepromPair(uint16_t first, uint16_t second);  // EEPROM words 60 and 61
  void EraseEepromPair();                                 // both to 0xFFFF
  std::array<uint16_t, 2> ReadEepromPair();
  bool AcquisitionRunning();

  // Rendezvous: a wait for another client's signal, and the signal.
  PendingWait BeginWait();
  void Signal(uint32_t value);

  void* Handle() const { return handle_; }

 private:
  uint32_t Command(const char* operation, const void* input, uint32_t inputLength,
                   void* output, uint32_t outputLength);
  CommandBuffer Sub(const char* operation, const CommandBuffer& buffer);

  void* handle_ = nullptr;
  uint32_t ringFrames_ = 0;  // the ring's length after StartContinuous through this handle
};

}  // namespace tarvik
