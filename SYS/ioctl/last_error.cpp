// The last-error register as user mode reads it.
#include "ioctl/control.h"

/*
 * ReadLastError: IOCTL_DAQ_GET_LAST_ERROR. With no input and exactly four bytes of output,
 * returns LastError (little-endian) without clearing it; any other lengths fail with
 * STATUS_UNSUCCESSFUL and leave both the buffer and LastError alone. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS ReadLastError(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                        PVOID InputBuffer, ULONG OutputLength,
                                        PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputBuffer);
  if (InputLength != 0 || OutputLength != sizeof(ULONG)) return STATUS_UNSUCCESSFUL;
  *static_cast<ULONG*>(OutputBuffer) = CurrentLastError(Extension);
  return STATUS_SUCCESS;
}
