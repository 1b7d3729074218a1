// IOCTL_DAQ_COMMAND: board and resource summaries, single card-register and bridge-register
// accesses, EEPROM words, and the numbered sub-commands that run short register sequences on
// the card. The pair of buffer lengths selects the operation, byte 0 the sub-command.
//
// Every check runs before the first access, so a refused request changes nothing but
// LastError: first the selection and the operation's own format (DAQ_ERR_COMMAND: lengths,
// width codes, counts that would run past the 100-byte buffer or the frame, EEPROM addresses
// beyond the part), then the hardware. A card whose resources are not assigned (never
// started, stopped, removed; BoardPort and BridgePort keep their old values then) is
// DAQ_ERR_NO_HARDWARE, and every port the operation is about to touch must lie inside one of
// the device's assigned I/O-space ranges (DAQ_ERR_PORT_RANGE), the rule the raw port requests
// follow: an offset or a count in the request must never reach another device's ports.
// Operations that make no access (summaries, the last frame, a count of 0) need neither.
//
// The selection, the checks and every register operation run under AcquisitionLock, which
// resource assignment and release take too: the bases an operation checked are the ones it
// drives, and a PnP stop waits for it. Accesses to the card's index and data registers (+0..+2)
// never land between the open's, the start's or another request's index write and its data.
#include "ioctl/device_command.h"

#include "hw/caller_port_access.h"
#include "hw/registers.h"
#include "hw/resources.h"

TARVIK_PAGE_CODE ULONG BoardPresent(const DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  return AssignedPorts(Extension).Board != 0 ? DAQ_OK : DAQ_ERR_NO_HARDWARE;
}

TARVIK_PAGE_CODE ULONG BridgePresent(const DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  return AssignedPorts(Extension).Bridge != 0 ? DAQ_OK : DAQ_ERR_NO_HARDWARE;
}

TARVIK_PAGE_CODE ULONG CheckBoardBytes(const DEVICE_EXTENSION* Extension, ULONG Offset,
                                       ULONG Count) {
  PAGED_CODE();
  if (Count == 0) return DAQ_OK;
  ULONG error = BoardPresent(Extension);
  if (error != DAQ_OK) return error;
  for (ULONG i = 0; i < Count; ++i) {
    if (!PortAccessAssigned(Extension, Extension->BoardPort + Offset + i, 1)) {
      return DAQ_ERR_PORT_RANGE;
    }
  }
  return DAQ_OK;
}

TARVIK_PAGE_CODE ULONG CheckBoardRegisters(const DEVICE_EXTENSION* Extension,
                                           const ULONG* Offsets, ULONG Count) {
  PAGED_CODE();
  for (ULONG i = 0; i < Count; ++i) {
    ULONG error = CheckBoardBytes(Extension, Offsets[i], 1);
    if (error != DAQ_OK) return error;
  }
  return DAQ_OK;
}

TARVIK_PAGE_CODE ULONG CheckEepromLines(const DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  return PortAccessAssigned(Extension, Extension->BridgePort + BRIDGE_CONTROL, sizeof(ULONG))
             ? DAQ_OK
             : DAQ_ERR_PORT_RANGE;
}

namespace {

// Width in bytes of a register operation's width code, 0 for a code that names none.
inline ULONG WidthOf(USHORT WidthCode) {
  switch (WidthCode) {
    case REGISTER_WIDTH_BYTE: return 1;
    case REGISTER_WIDTH_WORD: return 2;
    case REGISTER_WIDTH_DWORD: return 4;
    default: return 0;
  }
}

/*
 * BoardSummary, ResourceSummary: the window's base and the interrupt counters; the port
 * ranges recorded at start (all six entries; addresses as 32-bit values, as on the platform).
 * They touch no register. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG BoardSummary(const DEVICE_EXTENSION* Extension, PVOID Output) {
  PAGED_CODE();
  auto* summary = static_cast<BOARD_SUMMARY*>(Output);
  summary->BoardPort = static_cast<uint32_t>(Extension->BoardPort);
  summary->IrqLine = Extension->IrqLine;
  summary->FrameIntCount = Extension->FrameIntCount;
  summary->OtherIntCount = Extension->OtherIntCount;
  return DAQ_OK;
}

TARVIK_PAGE_CODE ULONG ResourceSummary(const DEVICE_EXTENSION* Extension, PVOID Output) {
  PAGED_CODE();
  auto* summary = static_cast<RESOURCE_SUMMARY*>(Output);
  summary->PortCount = Extension->PortCount;
  summary->MemCount = Extension->MemCount;
  for (ULONG i = 0; i < RESOURCE_SUMMARY_PORTS; ++i) {
    summary->Port[i].Base = static_cast<uint32_t>(Extension->PortBase[i]);
    summary->Port[i].Length = Extension->PortLength[i];
    summary->Port[i].Mapped = Extension->PortMapped[i];
  }
  return DAQ_OK;
}

/*
 * ResolveRegister: the port and width of a register operation, checked before any access:
 * the width code, the board's presence and the device's assigned ranges. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG ResolveRegister(const DEVICE_EXTENSION* Extension,
                                       const REGISTER_OPERATION* Operation, ULONG_PTR* Port,
                                       ULONG* Width) {
  PAGED_CODE();
  *Width = WidthOf(Operation->WidthCode);
  if (*Width == 0) return DAQ_ERR_COMMAND;
  ULONG error = BoardPresent(Extension);
  if (error != DAQ_OK) return error;
  *Port = AssignedPorts(Extension).Board + Operation->Offset;
  if (!PortAccessAssigned(Extension, *Port, *Width)) return DAQ_ERR_PORT_RANGE;
  return DAQ_OK;
}

/*
 * RegisterRead, RegisterWrite: one access of 1, 2 or 4 bytes at BoardPort + offset (the
 * offset zero-extended). The read answers with the value zero-extended to 32 bits; the write
 * with output byte 0 = 1. A width code other than 1, 2, 3 is DAQ_ERR_COMMAND. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG RegisterRead(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                    UCHAR* Output) {
  PAGED_CODE();
  const auto* operation = reinterpret_cast<const REGISTER_OPERATION*>(Input);
  ULONG_PTR port;
  ULONG width;
  ULONG error = ResolveRegister(Extension, operation, &port, &width);
  if (error != DAQ_OK) return error;
  ULONG value = 0;
  error = AccessPortForCaller(Extension, false, port, width, &value);
  if (error == DAQ_OK) StoreDword(Output, 0, value);
  return error;
}

TARVIK_PAGE_CODE ULONG RegisterWrite(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                     UCHAR* Output) {
  PAGED_CODE();
  const auto* operation = reinterpret_cast<const REGISTER_OPERATION*>(Input);
  ULONG_PTR port;
  ULONG width;
  ULONG error = ResolveRegister(Extension, operation, &port, &width);
  if (error != DAQ_OK) return error;
  ULONG value = operation->Value.Dword;
  error = AccessPortForCaller(Extension, true, port, width, &value);
  if (error == DAQ_OK) Output[0] = 1;
  return error;
}

/*
 * BridgeRead: the dword at BridgePort + byte 0 (a signed offset, sign-extended to 16 bits).
 * The selection has found the bridge present. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG BridgeRead(DEVICE_EXTENSION* Extension, const UCHAR* Input,
                                  UCHAR* Output) {
  PAGED_CODE();
  ULONG_PTR port = AssignedPorts(Extension).Bridge + SignExtendedOffset(Input[0]);
  if (!PortAccessAssigned(Extension, port, sizeof(ULONG))) return DAQ_ERR_PORT_RANGE;
  StoreDword(Output, 0, READ_PORT_ULONG(reinterpret_cast<PULONG>(port)));
  return DAQ_OK;
}

/*
 * SelectOperation: the operation that the pair of lengths names, tested in this order: input
 * 0 (output 10 or 80: the summaries), input 8 / output 1 (register write), input 4 / output 4
 * (register read), input 1 (output 4, then a bridge: bridge read), input 2 (a bridge, then
 * output 2n: EEPROM read), output 0 (a bridge, then input 2n + 2: EEPROM write), input and
 * output 100 (sub-command). Returns DAQ_OK with the operation, or the code of the failure;
 * so a request with input 1 and output 8 is DAQ_ERR_COMMAND even without a bridge.
 * PASSIVE_LEVEL, with AcquisitionLock held.
 */
TARVIK_PAGE_CODE ULONG SelectOperation(const DEVICE_EXTENSION* Extension, ULONG InputLength,
                                       const UCHAR* Input, ULONG OutputLength,
                                       DAQ_COMMAND_OPERATION* Operation) {
  PAGED_CODE();
  if (InputLength == 0) {
    if (OutputLength == sizeof(BOARD_SUMMARY)) {
      *Operation = CMD_BOARD_SUMMARY;
    } else if (OutputLength == sizeof(RESOURCE_SUMMARY)) {
      *Operation = CMD_RESOURCE_SUMMARY;
    } else {
      return DAQ_ERR_COMMAND;
    }
    return DAQ_OK;
  }
  if (InputLength == DAQ_REGISTER_WRITE_INPUT && OutputLength == DAQ_REGISTER_WRITE_OUTPUT) {
    *Operation = CMD_REGISTER_WRITE;
    return DAQ_OK;
  }
  if (InputLength == DAQ_REGISTER_READ_INPUT && OutputLength == DAQ_REGISTER_READ_OUTPUT) {
    *Operation = CMD_REGISTER_READ;
    return DAQ_OK;
  }
  if (InputLength == DAQ_BRIDGE_READ_INPUT) {
    if (OutputLength != DAQ_BRIDGE_READ_OUTPUT) return DAQ_ERR_COMMAND;
    *Operation = CMD_BRIDGE_READ;
    return BridgePresent(Extension);
  }
  // The EEPROM operations: byte 1 is a signed word count that the other length must match.
  if (InputLength == DAQ_EEPROM_READ_INPUT || OutputLength == 0) {
    ULONG error = BridgePresent(Extension);
    if (error != DAQ_OK) return error;
    LONGLONG words = static_cast<SCHAR>(Input[1]);
    bool read = InputLength == DAQ_EEPROM_READ_INPUT;
    LONGLONG expected = read ? 2 * words : 2 * words + 2;
    if (static_cast<LONGLONG>(read ? OutputLength : InputLength) != expected) {
      return DAQ_ERR_COMMAND;
    }
    *Operation = read ? CMD_EEPROM_READ : CMD_EEPROM_WRITE;
    return DAQ_OK;
  }
  if (InputLength == DAQ_SUBCOMMAND_LENGTH && OutputLength == DAQ_SUBCOMMAND_LENGTH) {
    *Operation = CMD_SUBCOMMAND;
    return DAQ_OK;
  }
  return DAQ_ERR_COMMAND;
}

/*
 * RunRegisterOperation: an operation other than an EEPROM one, with AcquisitionLock held.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG RunRegisterOperation(DEVICE_EXTENSION* Extension,
                                            DAQ_COMMAND_OPERATION Operation, const UCHAR* Input,
                                            UCHAR* Output) {
  PAGED_CODE();
  switch (Operation) {
    case CMD_BOARD_SUMMARY: return BoardSummary(Extension, Output);
    case CMD_RESOURCE_SUMMARY: return ResourceSummary(Extension, Output);
    case CMD_REGISTER_WRITE: return RegisterWrite(Extension, Input, Output);
    case CMD_REGISTER_READ: return RegisterRead(Extension, Input, Output);
    case CMD_BRIDGE_READ: return BridgeRead(Extension, Input, Output);
    case CMD_SUBCOMMAND: return Subcommand(Extension, Input, Output);
    default: return DAQ_ERR_COMMAND;
  }
}

/*
 * RunCommand: selects the operation and runs it: the EEPROM ones word by word, every other
 * one whole under AcquisitionLock. Returns DAQ_OK or the last-error code of the failure.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE ULONG RunCommand(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                  const UCHAR* Input, ULONG OutputLength, UCHAR* Output) {
  PAGED_CODE();
  DAQ_COMMAND_OPERATION operation = CMD_SUBCOMMAND;
  LockAcquisition(Extension);
  ULONG error = SelectOperation(Extension, InputLength, Input, OutputLength, &operation);
  bool words = error == DAQ_OK && UsesEepromWords(operation, Input);
  if (error == DAQ_OK && !words) error = RunRegisterOperation(Extension, operation, Input, Output);
  UnlockAcquisition(Extension);
  if (words) error = RunEepromOperation(Extension, operation, Input, Output);
  return error;
}

}  // namespace

/*
 * DeviceCommand: IOCTL_DAQ_COMMAND. Clears LastError, runs the operation that the pair of
 * lengths selects, and on a failure leaves its code in LastError and returns
 * STATUS_UNSUCCESSFUL; refusals (DAQ_ERR_COMMAND, DAQ_ERR_NO_HARDWARE, DAQ_ERR_PORT_RANGE) are
 * made before any register or EEPROM access. Runs whether or not the board is open or an
 * acquisition runs. PASSIVE_LEVEL, called by the dispatcher holding a remove-lock reference;
 * EEPROM operations block the caller for milliseconds.
 */
TARVIK_PAGE_CODE NTSTATUS DeviceCommand(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                        PVOID InputBuffer, ULONG OutputLength,
                                        PVOID OutputBuffer) {
  PAGED_CODE();
  RecordLastError(Extension, DAQ_OK);
  ULONG error = DAQ_ERR_COMMAND;
  if ((InputLength == 0 || InputBuffer != nullptr) &&
      (OutputLength == 0 || OutputBuffer != nullptr)) {
    error = RunCommand(Extension, InputLength, static_cast<const UCHAR*>(InputBuffer),
                       OutputLength, static_cast<UCHAR*>(OutputBuffer));
  }
  if (error == DAQ_OK) return STATUS_SUCCESS;
  RecordLastError(Extension, error);
  return STATUS_UNSUCCESSFUL;
}
