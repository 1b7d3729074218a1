// Raw port requests: one access to an I/O port that the device owns.
//
// A caller names an absolute port. Only ports inside the device's own assigned I/O-space
// ranges are served, with the whole access (port and width) inside one range; anything else
// is refused before the port is touched, so user mode cannot reach other devices' ports
// through this driver. Buffers too short for the port number, the value or the result are
// refused too. The check and the access are made under AcquisitionLock, which resource release
// and assignment also take, so the ranges the port was found in are still the device's when it
// is touched; the bridge's interrupt control register is reached under the interrupt's lock,
// its driver-owned bits kept (AccessPortForCaller).
#include "hw/caller_port_access.h"
#include "hw/hardware_lock.h"
#include "hw/registers.h"
#include "hw/resources.h"
#include "ioctl/control.h"

namespace {

enum PORT_DIRECTION { PortIn, PortOut };

/*
 * PortRequest: clears LastError, checks the buffers and the port, then makes exactly one
 * access of Width bytes. An input request returns the value read at the start of the buffer.
 * Refusals: DAQ_ERR_PORT_BUFFER with STATUS_INVALID_PARAMETER for short buffers,
 * DAQ_ERR_NO_HARDWARE while no resources are assigned (never started, or stopped) or when a
 * write to the interrupt control register finds the bridge gone, and DAQ_ERR_PORT_RANGE with
 * STATUS_ACCESS_DENIED for a port outside the device's ranges.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS PortRequest(DEVICE_EXTENSION* Extension, PORT_DIRECTION Direction,
                                      ULONG Width, ULONG InputLength, PVOID Buffer,
                                      ULONG OutputLength) {
  PAGED_CODE();
  RecordLastError(Extension, DAQ_OK);
  ULONG minimumInput = Direction == PortIn ? PORT_IN_MIN_INPUT : 4 + Width;
  ULONG minimumOutput = Direction == PortIn ? Width : 0;
  if (Buffer == nullptr || InputLength < minimumInput || OutputLength < minimumOutput) {
    RecordLastError(Extension, DAQ_ERR_PORT_BUFFER);
    return STATUS_INVALID_PARAMETER;
  }
  auto* request = static_cast<PORT_IO_REQUEST*>(Buffer);
  ULONG port = request->Port;
  // Only the value's own bytes are read: a byte request's buffer may end after byte 4.
  ULONG value = Direction == PortIn ? 0
                : Width == 1        ? request->Value.Byte
                : Width == 2        ? request->Value.Word
                                    : request->Value.Dword;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG error = DAQ_OK;
  LockAcquisition(Extension);
  if (!ResourcesAssigned(Extension)) {
    error = DAQ_ERR_NO_HARDWARE;
    status = STATUS_UNSUCCESSFUL;
  } else if (!PortAccessAssigned(Extension, port, Width)) {
    error = DAQ_ERR_PORT_RANGE;
    status = STATUS_ACCESS_DENIED;
  } else {
    error = AccessPortForCaller(Extension, Direction == PortOut, port, Width, &value);
    if (error != DAQ_OK) status = STATUS_UNSUCCESSFUL;
  }
  UnlockAcquisition(Extension);
  if (error != DAQ_OK) {
    RecordLastError(Extension, error);
    return status;
  }
  if (Direction == PortIn) RtlCopyMemory(Buffer, &value, Width);  // little-endian: low bytes first
  return STATUS_SUCCESS;
}

}  // namespace

// The six raw port requests: IOCTL_DAQ_PORT_IN_* and IOCTL_DAQ_PORT_OUT_*. PASSIVE_LEVEL.
TARVIK_PAGE_CODE NTSTATUS PortInByte(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                     PVOID InputBuffer, ULONG OutputLength, PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(OutputBuffer);
  return PortRequest(Extension, PortIn, 1, InputLength, InputBuffer, OutputLength);
}

TARVIK_PAGE_CODE NTSTATUS PortInWord(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                     PVOID InputBuffer, ULONG OutputLength, PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(OutputBuffer);
  return PortRequest(Extension, PortIn, 2, InputLength, InputBuffer, OutputLength);
}

TARVIK_PAGE_CODE NTSTATUS PortInDword(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                      PVOID InputBuffer, ULONG OutputLength, PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(OutputBuffer);
  return PortRequest(Extension, PortIn, 4, InputLength, InputBuffer, OutputLength);
}

TARVIK_PAGE_CODE NTSTATUS PortOutByte(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                      PVOID InputBuffer, ULONG OutputLength, PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(OutputBuffer);
  return PortRequest(Extension, PortOut, 1, InputLength, InputBuffer, OutputLength);
}

TARVIK_PAGE_CODE NTSTATUS PortOutWord(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                      PVOID InputBuffer, ULONG OutputLength, PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(OutputBuffer);
  return PortRequest(Extension, PortOut, 2, InputLength, InputBuffer, OutputLength);
}

TARVIK_PAGE_CODE NTSTATUS PortOutDword(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                       PVOID InputBuffer, ULONG OutputLength,
                                       PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(OutputBuffer);
  return PortRequest(Extension, PortOut, 4, InputLength, InputBuffer, OutputLength);
}
