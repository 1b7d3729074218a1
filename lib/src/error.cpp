// tarvik::Error: the words for the driver's last-error codes and for the Win32 errors a
// client meets, and the NTSTATUS behind a Win32 error where that is unambiguous.
#include <windows.h>

#include <utility>

#include "tarvik/device.h"

namespace tarvik {
namespace {

struct Sentence {
  uint32_t code;
  const char* text;
};

constexpr Sentence kLastErrorSentences[] = {
    {DAQ_OK, "no error was recorded"},
    {DAQ_ERR_CHANNEL_COUNT, "the channel count must be 16"},
    {DAQ_ERR_NO_BLOCK, "no completed block is waiting"},
    {DAQ_ERR_OPEN_LENGTH, "the open request must carry 16 bytes"},
    {DAQ_ERR_RUNNING, "an acquisition is already running"},
    {DAQ_ERR_NO_HARDWARE, "the card's or the bridge's registers are not assigned to the device, or the card does not answer (removed or powered down)"},
    {DAQ_ERR_NO_INTERRUPT, "the card has no interrupt line"},
    {DAQ_ERR_NOT_OPEN, "the board has not been opened"},
    {DAQ_ERR_START_LENGTH, "the start parameters must be 32 bytes"},
    {DAQ_ERR_NO_MEMORY, "the driver could not allocate the block pool"},
    {DAQ_ERR_NOT_RUNNING, "no acquisition is running"},
    {DAQ_ERR_NOT_BLOCK_MODE, "the acquisition is not in block mode"},
    {DAQ_ERR_BUFFER_SIZE, "the buffer does not match the acquisition's block or ring size"},
    {DAQ_ERR_NOT_STREAM_MODE, "the acquisition is not in continuous mode"},
    {DAQ_ERR_COMMAND, "the driver has no device command that matches the request"},
    {DAQ_ERR_SERIAL_LENGTH, "the serial number request has the wrong buffer lengths"},
    {DAQ_ERR_PORT_RANGE, "the port lies outside the I/O ranges assigned to the device"},
    {DAQ_ERR_PORT_BUFFER, "the port request's buffers are too short"},
    {DAQ_ERR_EEPROM_TIMEOUT, "the EEPROM never reported ready; the word may not have been written"},
    {DAQ_ERR_EVENT_HANDLE, "the event handle does not name an event this process may set"},
    {DAQ_ERR_BLOCK_GEOMETRY, "the frames per block or the block count are zero, negative or too large"},
    {DAQ_ERR_NO_SERIAL, "the EEPROM holds no serial number (both words are erased)"},
    {DAQ_ERR_RATE, "the requested slow-mode rate is below the slowest the driver can divide down"},
    {DAQ_ERR_STREAM_OVERRUN, "the card overwrote the ring faster than the read could copy it; read again"},
};

constexpr Sentence kWin32Sentences[] = {
    {ERROR_SUCCESS, "no error was reported"},
    {ERROR_INVALID_FUNCTION, "the driver does not serve this request"},
    {ERROR_FILE_NOT_FOUND, "the device is not there (no driver, or the card is not started)"},
    {ERROR_PATH_NOT_FOUND, "the device path does not exist"},
    {ERROR_ACCESS_DENIED, "access was denied (the device may be going away)"},
    {ERROR_INVALID_HANDLE, "the handle is not valid"},
    {ERROR_NOT_READY, "the device is not ready (stopped or powered down)"},
    {ERROR_GEN_FAILURE, "the driver refused the request"},
    {ERROR_NOT_SUPPORTED, "the request is not supported"},
    {ERROR_DEV_NOT_EXIST, "the device has been removed"},
    {ERROR_INVALID_PARAMETER, "the driver refused a parameter or a buffer length"},
    {ERROR_INSUFFICIENT_BUFFER, "the buffer is too small"},
    {ERROR_INVALID_NAME, "the device name is not valid"},
    {ERROR_BUSY, "the device is busy"},
    {ERROR_MORE_DATA, "more data is available than the buffer holds"},
    {ERROR_OPERATION_ABORTED, "the request was cancelled"},
    {ERROR_IO_INCOMPLETE, "the request has not completed yet"},
    {ERROR_NOT_FOUND, "there was no such request to cancel"},
    {ERROR_NO_SYSTEM_RESOURCES, "the system is out of resources"},
};

// Win32 errors that exactly one NTSTATUS maps to (as the platform maps the statuses a device
// request can end with). ERROR_FILE_NOT_FOUND, ERROR_INVALID_FUNCTION, ERROR_INVALID_HANDLE,
// ERROR_ACCESS_DENIED and ERROR_NOT_READY each come from two or more statuses and give 0.
constexpr struct {
  uint32_t win32;
  uint32_t status;
} kStatuses[] = {
    {ERROR_SUCCESS, 0x00000000},
    {ERROR_IO_PENDING, 0x00000103},          // STATUS_PENDING
    {ERROR_MORE_DATA, 0x80000005},           // STATUS_BUFFER_OVERFLOW
    {ERROR_GEN_FAILURE, 0xC0000001},         // STATUS_UNSUCCESSFUL
    {ERROR_INVALID_PARAMETER, 0xC000000D},   // STATUS_INVALID_PARAMETER
    {ERROR_INSUFFICIENT_BUFFER, 0xC0000023}, // STATUS_BUFFER_TOO_SMALL
    {ERROR_INVALID_NAME, 0xC0000033},        // STATUS_OBJECT_NAME_INVALID
    {ERROR_PATH_NOT_FOUND, 0xC000003A},      // STATUS_OBJECT_PATH_NOT_FOUND
    {ERROR_NO_SYSTEM_RESOURCES, 0xC000009A}, // STATUS_INSUFFICIENT_RESOURCES
    {ERROR_NOT_SUPPORTED, 0xC00000BB},       // STATUS_NOT_SUPPORTED
    {ERROR_OPERATION_ABORTED, 0xC0000120},   // STATUS_CANCELLED
    {ERROR_NOT_FOUND, 0xC0000225},           // STATUS_NOT_FOUND
    {ERROR_DEV_NOT_EXIST, 0xC00002B6},       // STATUS_DEVICE_REMOVED
};

const char* Find(const Sentence* begin, const Sentence* end, uint32_t code) {
  for (const Sentence* entry = begin; entry != end; ++entry) {
    if (entry->code == code) return entry->text;
  }
  return nullptr;
}

std::string Tail(uint32_t win32Error, uint32_t lastError) {
  std::string tail = " (";
  if (lastError != DAQ_OK) {
    const char* name = DaqLastErrorName(lastError);
    tail += name != nullptr ? std::string(name) : "code " + std::to_string(lastError);
    tail += ", ";
  }
  return tail + "Win32 error " + std::to_string(win32Error) + ")";
}

}  // namespace

Error::Error(std::string operation, uint32_t win32Error, uint32_t lastError)
    : std::runtime_error(Describe(operation, win32Error, lastError)),
      operation_(std::move(operation)),
      win32_(win32Error),
      status_(StatusFromWin32(win32Error)),
      lastError_(lastError) {}

Error::Error(std::string operation, uint32_t win32Error, std::string detail)
    : std::runtime_error(operation + " failed: " + detail + Tail(win32Error, DAQ_OK)),
      operation_(std::move(operation)),
      win32_(win32Error),
      status_(StatusFromWin32(win32Error)),
      lastError_(DAQ_OK) {}

std::string Error::LastErrorName() const {
  const char* name = DaqLastErrorName(lastError_);
  return name != nullptr ? name : "code " + std::to_string(lastError_);
}

std::string Error::LastErrorSentence(uint32_t lastError) {
  const char* text = Find(std::begin(kLastErrorSentences), std::end(kLastErrorSentences), lastError);
  return text != nullptr ? text : "the driver reported error code " + std::to_string(lastError);
}

std::string Error::Win32Sentence(uint32_t win32Error) {
  const char* text = Find(std::begin(kWin32Sentences), std::end(kWin32Sentences), win32Error);
  return text != nullptr ? text : "the system reported an unexpected error";
}

int32_t Error::StatusFromWin32(uint32_t win32Error) {
  for (const auto& entry : kStatuses) {
    if (entry.win32 == win32Error) return static_cast<int32_t>(entry.status);
  }
  return 0;
}

std::string Error::Describe(const std::string& operation, uint32_t win32Error,
                            uint32_t lastError) {
  std::string sentence =
      lastError != DAQ_OK ? LastErrorSentence(lastError) : Win32Sentence(win32Error);
  return operation + " failed: " + sentence + Tail(win32Error, lastError);
}

}  // namespace tarvik
