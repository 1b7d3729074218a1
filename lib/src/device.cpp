// tarvik::Device: the handle, the acquisition requests, diagnostics and raw port I/O, and the
// request helper every call goes through.
#include <windows.h>

#include <array>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "control.h"
#include "tarvik/device.h"

namespace tarvik {
namespace detail {

Outcome TryControl(HANDLE handle, uint32_t code, const void* input, uint32_t inputLength,
                   void* output, uint32_t outputLength) {
  DWORD bytes = 0;
  if (DeviceIoControl(handle, code, const_cast<void*>(input), inputLength, output, outputLength,
                      &bytes, nullptr)) {
    return {true, 0, DAQ_OK};
  }
  Outcome outcome{false, static_cast<uint32_t>(GetLastError()), DAQ_OK};
  bool keepsLastError = code != IOCTL_DAQ_WAIT_EVENT && code != IOCTL_DAQ_SET_EVENT &&
                        code != IOCTL_DAQ_GET_LAST_ERROR;
  if (keepsLastError) {
    uint32_t lastError = DAQ_OK;
    DWORD ignored = 0;
    if (DeviceIoControl(handle, IOCTL_DAQ_GET_LAST_ERROR, nullptr, 0, &lastError,
                        sizeof lastError, &ignored, nullptr)) {
      outcome.lastError = lastError;
    }
  }
  return outcome;
}

void Control(HANDLE handle, const char* operation, uint32_t code, const void* input,
             uint32_t inputLength, void* output, uint32_t outputLength) {
  Outcome outcome = TryControl(handle, code, input, inputLength, output, outputLength);
  if (!outcome.ok) throw Error(operation, outcome.win32, outcome.lastError);
}

// The device's name for CreateFileA: the ANSI call is the one both platform families implement
// (the 98/Me family only stubs CreateFileW). The name is ASCII.
constexpr auto kDeviceNameA = [] {
  constexpr std::wstring_view wide = TARVIK_USER_DEVICE_NAME;
  std::array<char, wide.size() + 1> narrow{};
  for (size_t i = 0; i < wide.size(); ++i) narrow[i] = static_cast<char>(wide[i]);
  return narrow;
}();

HANDLE OpenDevice(uint32_t flags, const char* operation) {
  HANDLE handle = CreateFileA(kDeviceNameA.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    throw Error(operation, static_cast<uint32_t>(GetLastError()), DAQ_OK);
  }
  return handle;
}

DWORD WaitMilliseconds(int64_t milliseconds) {
  if (milliseconds <= 0) return 0;
  if (milliseconds >= static_cast<int64_t>(INFINITE)) return INFINITE;
  return static_cast<DWORD>(milliseconds);
}

}  // namespace detail

namespace {

std::optional<Block> ReadBlock(HANDLE handle, uint32_t code, uint32_t framesPerBlock,
                               const char* operation) {
  if (framesPerBlock == 0 || framesPerBlock > (std::numeric_limits<uint32_t>::max() - 2) /
                                                  (2 * TARVIK_FRAME_WORDS)) {
    throw std::invalid_argument(std::string(operation) + ": frames per block out of range");
  }
  std::vector<uint16_t> raw(1 + static_cast<size_t>(TARVIK_FRAME_WORDS) * framesPerBlock);
  detail::Outcome outcome =
      detail::TryControl(handle, code, nullptr, 0, raw.data(), TarvikBlockBytes(framesPerBlock));
  if (!outcome.ok) {
    if (outcome.lastError == DAQ_ERR_NO_BLOCK) return std::nullopt;
    throw Error(operation, outcome.win32, outcome.lastError);
  }
  Block block;
  block.sequence = raw[0];
  block.frames.resize(framesPerBlock);
  std::memcpy(block.frames.data(), raw.data() + 1, framesPerBlock * sizeof(Frame));
  return block;
}

START_PARAMETERS StartRecord(const StartOptions& options, bool continuous) {
  START_PARAMETERS start{};
  start.FramesPerBlock = options.framesPerBlock;
  start.RequestedRate = options.rate;
  start.RangeCode = options.gain;
  start.BlockCount = continuous ? int16_t{1} : options.blockCount;
  start.ChannelCount = static_cast<int16_t>(TARVIK_FRAME_WORDS);
  start.ContinuousFlag = continuous ? 1 : 0;
  return start;
}

struct PortCodes {
  uint32_t in;
  uint32_t out;
  uint32_t outLength;
};

PortCodes PortCodesFor(unsigned width) {
  switch (width) {
    case 1: return {IOCTL_DAQ_PORT_IN_BYTE, IOCTL_DAQ_PORT_OUT_BYTE, PORT_OUT_BYTE_MIN_INPUT};
    case 2: return {IOCTL_DAQ_PORT_IN_WORD, IOCTL_DAQ_PORT_OUT_WORD, PORT_OUT_WORD_MIN_INPUT};
    case 4: return {IOCTL_DAQ_PORT_IN_DWORD, IOCTL_DAQ_PORT_OUT_DWORD, PORT_OUT_DWORD_MIN_INPUT};
    default: throw std::invalid_argument("port width must be 1, 2 or 4");
  }
}

// EEPROM words through the device command: 64 words, addressed by byte in a signed byte.
constexpr uint32_t kEepromWords = 64;

void CheckEepromRange(uint16_t firstWord, size_t count) {
  if (firstWord >= kEepromWords || count > kEepromWords - firstWord) {
    throw std::out_of_range("EEPROM words " + std::to_string(firstWord) + " + " +
                            std::to_string(count) + " run past word 63");
  }
}

}  // namespace

Device::Device() : handle_(detail::OpenDevice(0, "open \\\\.\\Tarvik")) {}

Device::~Device() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

Device::Device(Device&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      ringFrames_(std::exchange(other.ringFrames_, 0)) {}

Device& Device::operator=(Device&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    ringFrames_ = std::exchange(other.ringFrames_, 0);
  }
  return *this;
}

void Device::OpenBoard() {
  std::array<uint8_t, 16> open{};
  detail::Control(handle_, "open the board", IOCTL_DAQ_OPEN_BOARD, open.data(), open.size(),
                  nullptr, 0);
}

// The block event as the driver takes it. A Win32 handle on the 98/Me family means nothing
// to a driver: there kernel32 exports OpenVxDHandle, which makes a ring-0 handle of it (it
// lives until the process ends); it is looked up at run time, so the same program runs on
// Windows 2000/XP, which has no such export and takes the Win32 handle itself. The module is
// named in ANSI: 98/Me's GetModuleHandleW is a stub that fails. Handle values
// fit in 32 bits on every platform the record is used on.
namespace {

uint32_t DriverEventHandle(HANDLE event) {
  using OpenVxDHandleRoutine = DWORD(WINAPI*)(HANDLE);
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  FARPROC routine = kernel32 != nullptr ? GetProcAddress(kernel32, "OpenVxDHandle") : nullptr;
  if (routine == nullptr) return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
  auto open = reinterpret_cast<OpenVxDHandleRoutine>(reinterpret_cast<void (*)()>(routine));
  DWORD ring0 = open(event);
  if (ring0 == 0) {
    throw Error("make a ring-0 handle of the block event", static_cast<uint32_t>(GetLastError()),
                DAQ_OK);
  }
  return ring0;
}

}  // namespace

void Device::StartBlocks(const StartOptions& options, const Event& blockDone) {
  START_PARAMETERS start = StartRecord(options, false);
  start.EventHandle = DriverEventHandle(blockDone.Handle());
  detail::Control(handle_, "start acquisition", IOCTL_DAQ_START, &start, sizeof start, nullptr,
                  0);
  ringFrames_ = 0;
}

void Device::StartContinuous(const StartOptions& options) {
  START_PARAMETERS start = StartRecord(options, true);
  detail::Control(handle_, "start acquisition", IOCTL_DAQ_START, &start, sizeof start, nullptr,
                  0);
  ringFrames_ = options.framesPerBlock;
}

void Device::Stop() {
  detail::Control(handle_, "stop acquisition", IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0);
}

uint16_t Device::BlockCount() {
  uint16_t count = 0;
  detail::Control(handle_, "read the block count", IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &count,
                  sizeof count);
  return count;
}

std::optional<Block> Device::ReadOldestBlock(uint32_t framesPerBlock) {
  return ReadBlock(handle_, IOCTL_DAQ_READ_OLDEST_BLOCK, framesPerBlock, "read the oldest block");
}

std::optional<Block> Device::ReadNewestBlock(uint32_t framesPerBlock) {
  return ReadBlock(handle_, IOCTL_DAQ_READ_NEWEST_BLOCK, framesPerBlock, "read the newest block");
}

StreamSnapshot Device::ReadStream(uint32_t frames) {
  if (ringFrames_ != 0 && frames > ringFrames_) frames = ringFrames_;
  if (frames > (std::numeric_limits<uint32_t>::max() - 64) / (2 * TARVIK_FRAME_WORDS)) {
    throw std::invalid_argument("read the stream: too many frames");
  }
  // The leading wrap count, the frames, the trailing ring index.
  uint32_t length = TARVIK_STREAM_OVERHEAD + 2 * TARVIK_FRAME_WORDS * frames;
  std::vector<uint8_t> raw(length);
  for (int attempt = 1;; ++attempt) {
    detail::Outcome outcome =
        detail::TryControl(handle_, IOCTL_DAQ_READ_STREAM, nullptr, 0, raw.data(), length);
    if (outcome.ok) break;
    // The writer overtook the copy: the ring is as it was, and a new read takes a new moment.
    if (outcome.lastError != DAQ_ERR_STREAM_OVERRUN || attempt == kStreamReadAttempts) {
      throw Error("read the stream", outcome.win32, outcome.lastError);
    }
  }
  StreamSnapshot snapshot;
  std::memcpy(&snapshot.wraps, raw.data(), 2);
  snapshot.frames.resize(frames);
  if (frames != 0) std::memcpy(snapshot.frames.data(), raw.data() + 2, frames * sizeof(Frame));
  std::memcpy(&snapshot.newestFrameIndex, raw.data() + 2 + frames * sizeof(Frame), 4);
  return snapshot;
}

uint32_t Device::LastError() {
  uint32_t code = 0;
  detail::Control(handle_, "read the last error", IOCTL_DAQ_GET_LAST_ERROR, nullptr, 0, &code,
                  sizeof code);
  return code;
}

uint32_t Device::SerialNumber() {
  uint32_t serial = 0;
  detail::Control(handle_, "read the serial number", IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial,
                  sizeof serial);
  return serial;
}

std::vector<uint16_t> Device::ReadEeprom(uint16_t firstWord, uint16_t count) {
  CheckEepromRange(firstWord, count);
  std::array<uint8_t, DAQ_EEPROM_READ_INPUT> input{static_cast<uint8_t>(firstWord * 2),
                                                   static_cast<uint8_t>(count)};
  std::vector<uint16_t> words(count);
  Command("read EEPROM words", input.data(), input.size(), words.data(), 2u * count);
  return words;
}

void Device::WriteEeprom(uint16_t firstWord, const std::vector<uint16_t>& words) {
  CheckEepromRange(firstWord, words.size());
  std::vector<uint8_t> input(2 + 2 * words.size());
  input[0] = static_cast<uint8_t>(firstWord * 2);
  input[1] = static_cast<uint8_t>(words.size());
  if (!words.empty()) std::memcpy(input.data() + 2, words.data(), 2 * words.size());
  Command("write EEPROM words", input.data(), static_cast<uint32_t>(input.size()), nullptr, 0);
}

uint32_t Device::PortIn(uint16_t port, unsigned width) {
  PortCodes codes = PortCodesFor(width);
  PORT_IO_REQUEST request{};
  request.Port = port;
  detail::Control(handle_, "read a port", codes.in, &request, PORT_IN_MIN_INPUT, &request, width);
  uint32_t value = 0;
  std::memcpy(&value, &request, width);  // the value read overwrites the buffer's start
  return value;
}

void Device::PortOut(uint16_t port, unsigned width, uint32_t value) {
  PortCodes codes = PortCodesFor(width);
  PORT_IO_REQUEST request{};
  request.Port = port;
  switch (width) {
    case 1: request.Value.Byte = static_cast<uint8_t>(value); break;
    case 2: request.Value.Word = static_cast<uint16_t>(value); break;
    default: request.Value.Dword = value; break;
  }
  detail::Control(handle_, "write a port", codes.out, &request, codes.outLength, nullptr, 0);
}

}  // namespace tarvik
