// IOCTL_DAQ_OPEN_BOARD: identification and the check that the card's resources are there.
#include "acq/acquisition.h"
#include "hw/registers.h"
#include "hw/resources.h"

namespace {

constexpr ULONG OPEN_INPUT_LENGTH = 16;

}  // namespace

/*
 * OpenBoard: reads the five identification bytes (when the window exists), then: an open
 * while an acquisition runs stops it and fails (DAQ_ERR_RUNNING); a repeated open only
 * refreshes the bytes; a first open needs the card's window with at least two port ranges
 * (DAQ_ERR_NO_HARDWARE) and an interrupt line (DAQ_ERR_NO_INTERRUPT). The input's 16 bytes
 * are not read (DAQ_ERR_OPEN_LENGTH otherwise). PASSIVE_LEVEL; serialised with the other
 * acquisition requests.
 */
TARVIK_PAGE_CODE NTSTATUS OpenBoard(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                    PVOID InputBuffer, ULONG OutputLength, PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputBuffer);
  UNREFERENCED_PARAMETER(OutputLength);
  UNREFERENCED_PARAMETER(OutputBuffer);
  Extension->LastError = DAQ_OK;
  if (InputLength != OPEN_INPUT_LENGTH) {
    Extension->LastError = DAQ_ERR_OPEN_LENGTH;
    return STATUS_INVALID_PARAMETER;
  }
  LockAcquisition(Extension);
  if (Extension->BoardPort != 0 && ResourcesAssigned(Extension)) {
    for (UCHAR index = 0; index < ID_BYTE_COUNT; ++index) {
      WRITE_PORT_UCHAR(PortByte(Extension->BoardPort, CARD_ID_SELECT), index);
      Extension->IdBytes[index] = READ_PORT_UCHAR(PortByte(Extension->BoardPort, CARD_INDEX));
    }
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (Extension->BoardOpen == 1 && Extension->Running) {
    StopAcquisitionLocked(Extension);  // as IOCTL_DAQ_STOP stops it; its result is not used
    Extension->LastError = DAQ_ERR_RUNNING;
    status = STATUS_UNSUCCESSFUL;
  } else if (Extension->BoardOpen) {
    // A repeated open only refreshes the identification bytes.
  } else if (Extension->BoardPort == 0 || Extension->PortCount < 2 ||
             !ResourcesAssigned(Extension)) {
    Extension->LastError = DAQ_ERR_NO_HARDWARE;
    status = STATUS_UNSUCCESSFUL;
  } else if (Extension->IrqLine == 0) {
    Extension->LastError = DAQ_ERR_NO_INTERRUPT;
    status = STATUS_UNSUCCESSFUL;
  } else {
    Extension->BoardOpen = 1;
  }
  UnlockAcquisition(Extension);
  return status;
}
