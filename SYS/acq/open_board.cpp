// IOCTL_DAQ_OPEN_BOARD: identification and the check that the card's resources are there.
#include "acq/acquisition.h"
#include "hw/registers.h"
#include "hw/resources.h"

namespace {

constexpr ULONG OPEN_INPUT_LENGTH = 16;

}  // namespace

/*
 * OpenBoard: an open while an acquisition runs stops it first; then the five identification
 * bytes are read (when the window is assigned), and an open that found an acquisition running
 * fails (DAQ_ERR_RUNNING); a repeated open only refreshes the bytes; a first open needs the
 * card's window with at least two port ranges (DAQ_ERR_NO_HARDWARE) and an interrupt line
 * (DAQ_ERR_NO_INTERRUPT). Identification bytes that all read 0xFF come from a window where no
 * card answers (pulled, or powered down): the open fails with DAQ_ERR_NO_HARDWARE and the bytes
 * of the last card that answered are kept, so the capture's check of byte 4 is never made
 * against a card that is not there. The input's 16 bytes are not read (DAQ_ERR_OPEN_LENGTH
 * otherwise). PASSIVE_LEVEL; serialised with the other acquisition requests.
 */
TARVIK_PAGE_CODE NTSTATUS OpenBoard(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                    PVOID InputBuffer, ULONG OutputLength, PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputBuffer);
  UNREFERENCED_PARAMETER(OutputLength);
  UNREFERENCED_PARAMETER(OutputBuffer);
  RecordLastError(Extension, DAQ_OK);
  if (InputLength != OPEN_INPUT_LENGTH) {
    RecordLastError(Extension, DAQ_ERR_OPEN_LENGTH);
    return STATUS_INVALID_PARAMETER;
  }
  LockAcquisition(Extension);
  // A running acquisition is stopped before the identification bytes are read: the interrupt
  // path reads IdBytes and the card's registers on another processor while it runs.
  bool wasRunning = Extension->BoardOpen == 1 && Extension->Running;
  if (wasRunning) StopAcquisitionLocked(Extension);  // as IOCTL_DAQ_STOP; result not used
  const ULONG_PTR board = AssignedPorts(Extension).Board;
  bool cardAnswered = true;
  if (board != 0) {
    USHORT bytes[ID_BYTE_COUNT];
    cardAnswered = false;
    for (UCHAR index = 0; index < ID_BYTE_COUNT; ++index) {
      WRITE_PORT_UCHAR(PortByte(board, CARD_ID_SELECT), index);
      bytes[index] = READ_PORT_UCHAR(PortByte(board, CARD_INDEX));
      if (bytes[index] != CARD_ABSENT_ID_BYTE) cardAnswered = true;
    }
    if (cardAnswered) RtlCopyMemory(Extension->IdBytes, bytes, sizeof bytes);
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (wasRunning) {
    RecordLastError(Extension, DAQ_ERR_RUNNING);
    status = STATUS_UNSUCCESSFUL;
  } else if (!cardAnswered) {
    RecordLastError(Extension, DAQ_ERR_NO_HARDWARE);
    status = STATUS_UNSUCCESSFUL;
  } else if (Extension->BoardOpen) {
    // A repeated open only refreshes the identification bytes.
  } else if (board == 0 || Extension->PortCount < 2) {
    RecordLastError(Extension, DAQ_ERR_NO_HARDWARE);
    status = STATUS_UNSUCCESSFUL;
  } else if (Extension->IrqLine == 0) {
    RecordLastError(Extension, DAQ_ERR_NO_INTERRUPT);
    status = STATUS_UNSUCCESSFUL;
  } else {
    Extension->BoardOpen = 1;
  }
  UnlockAcquisition(Extension);
  return status;
}
