// The device-control dispatcher: one entry for every control code.
#include "acq/acquisition.h"
#include "frame/frame.h"
#include "ioctl/control.h"
#include "ioctl/notify.h"

namespace {

constexpr ULONG NOTIFY_VALUE_LENGTH = sizeof(ULONG);

/*
 * SignalWaiter: IOCTL_DAQ_SET_EVENT. Completes the parked wait with the first four bytes of
 * this request's buffer (STATUS_SUCCESS, information 4); STATUS_UNSUCCESSFUL when none is
 * parked or its cancellation already owns it. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS SignalWaiter(DEVICE_EXTENSION* Extension, PVOID Buffer) {
  PAGED_CODE();
  PIRP waiter = TakeNotifyRequest(Extension, &Extension->NotifyIrp);
  if (waiter == nullptr) return STATUS_UNSUCCESSFUL;
  RtlCopyMemory(waiter->AssociatedIrp.SystemBuffer, Buffer, NOTIFY_VALUE_LENGTH);
  CompleteRequest(waiter, STATUS_SUCCESS, NOTIFY_VALUE_LENGTH);
  return STATUS_SUCCESS;
}

// The caller's output buffer of an out-direct request, mapped into system space; null when
// the request has none (an output length of 0 gives no MDL). PASSIVE_LEVEL.
TARVIK_PAGE_CODE PVOID OutputDirectBuffer(PIRP Irp) {
  PAGED_CODE();
  PMDL mdl = Irp->MdlAddress;
  if (mdl == nullptr) return nullptr;
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    return mdl->MappedSystemVa;
  }
  return MmMapLockedPages(mdl, KernelMode);
}

}  // namespace

/*
 * DispatchDeviceControl: under a remove-lock reference, hands the request's lengths and
 * buffers to the handler its code names and completes it with the handler's status and an
 * information value equal to the output length, whatever the status (a parked wait request is
 * returned STATUS_PENDING untouched instead); output bytes past the input that the handler
 * does not write go back as zeros. The start gets the request's requestor mode, for the event
 * handle its record carries. A refused reference
 * completes the request with STATUS_DELETE_PENDING and information 0. Unknown codes, and
 * codes whose handlers the driver does not have, give STATUS_INVALID_DEVICE_REQUEST and touch
 * nothing, LastError included. PASSIVE_LEVEL, in the caller's thread.
 */
TARVIK_PAGE_CODE NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  NTSTATUS status = AcquireRemoveLock(&extension->RemoveLock);
  if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  // Every buffered request goes back with the output length as its information, so the part
  // of the system buffer past the caller's input is cleared before any handler runs: the I/O
  // manager does not clear it, and what a handler leaves unwritten would carry stale kernel
  // bytes to the caller. Below the input length the bytes are the caller's own.
  if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && buffer != nullptr &&
      outputLength > inputLength) {
    RtlZeroMemory(static_cast<PUCHAR>(buffer) + inputLength, outputLength - inputLength);
  }

  if (code == IOCTL_DAQ_WAIT_EVENT || code == IOCTL_DAQ_SET_EVENT) {
    // Neither touches LastError. A parked wait holds no reference: the lock is given back
    // before STATUS_PENDING goes up, and the request is no longer ours to touch.
    if (code == IOCTL_DAQ_WAIT_EVENT) {
      status = outputLength < NOTIFY_VALUE_LENGTH
                   ? STATUS_INVALID_PARAMETER
                   : PendNotifyRequest(extension, Irp, &extension->NotifyIrp);
    } else {
      status = inputLength < NOTIFY_VALUE_LENGTH ? STATUS_INVALID_PARAMETER
                                                 : SignalWaiter(extension, buffer);
    }
    ReleaseRemoveLock(&extension->RemoveLock);
    if (status == STATUS_PENDING) return status;
    return CompleteRequest(Irp, status, outputLength);
  }

  if (code == IOCTL_DAQ_START) {
    status = StartAcquisition(extension, Irp->RequestorMode, inputLength, buffer);
    ReleaseRemoveLock(&extension->RemoveLock);
    return CompleteRequest(Irp, status, outputLength);
  }

  CONTROL_HANDLER* handler = nullptr;
  PVOID output = buffer;
  switch (code) {
    case IOCTL_DAQ_OPEN_BOARD: handler = OpenBoard; break;
    case IOCTL_DAQ_STOP: handler = StopAcquisition; break;
    case IOCTL_DAQ_GET_BLOCK_COUNT: handler = GetBlockCount; break;
    case IOCTL_DAQ_READ_OLDEST_BLOCK: handler = ReadOldestBlock; output = OutputDirectBuffer(Irp); break;
    case IOCTL_DAQ_READ_NEWEST_BLOCK: handler = ReadNewestBlock; output = OutputDirectBuffer(Irp); break;
    case IOCTL_DAQ_READ_STREAM: handler = ReadStream; output = OutputDirectBuffer(Irp); break;
    case IOCTL_DAQ_PORT_IN_BYTE: handler = PortInByte; break;
    case IOCTL_DAQ_PORT_IN_WORD: handler = PortInWord; break;
    case IOCTL_DAQ_PORT_IN_DWORD: handler = PortInDword; break;
    case IOCTL_DAQ_PORT_OUT_BYTE: handler = PortOutByte; break;
    case IOCTL_DAQ_PORT_OUT_WORD: handler = PortOutWord; break;
    case IOCTL_DAQ_PORT_OUT_DWORD: handler = PortOutDword; break;
    case IOCTL_DAQ_GET_LAST_ERROR: handler = ReadLastError; break;
    case IOCTL_DAQ_READ_SERIAL: handler = ReadSerialNumber; break;
    case IOCTL_DAQ_COMMAND: handler = DeviceCommand; break;
    default:
      break;
  }
  status = handler != nullptr ? handler(extension, inputLength, buffer, outputLength, output)
                              : STATUS_INVALID_DEVICE_REQUEST;
  ReleaseRemoveLock(&extension->RemoveLock);
  return CompleteRequest(Irp, status, outputLength);
}
