// The board's serial number, kept in two EEPROM words.
#include "hw/eeprom.h"
#include "hw/registers.h"
#include "hw/resources.h"
#include "ioctl/control.h"

/*
 * ReadSerialNumber: IOCTL_DAQ_READ_SERIAL. Needs the bridge range, assigned now
 * (DAQ_ERR_NO_HARDWARE, also after a stop) covering the control register at 0x50..0x53
 * (DAQ_ERR_PORT_RANGE), no
 * input and four bytes of output (DAQ_ERR_SERIAL_LENGTH); returns the low word (byte address
 * 116) and the high word (118) as one 32-bit value. Both words erased is no serial number
 * (DAQ_ERR_NO_SERIAL). Failures return STATUS_UNSUCCESSFUL. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS ReadSerialNumber(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                           PVOID InputBuffer, ULONG OutputLength,
                                           PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputBuffer);
  RecordLastError(Extension, DAQ_OK);
  if (Extension->BridgePort == 0 || !ResourcesAssigned(Extension)) {
    RecordLastError(Extension, DAQ_ERR_NO_HARDWARE);
    return STATUS_UNSUCCESSFUL;
  }
  // The EEPROM lines are bits of the bridge's control register, which must lie inside the
  // bridge's range as assigned, as for the device command's EEPROM operations.
  if (!PortAccessAssigned(Extension, Extension->BridgePort + BRIDGE_CONTROL, sizeof(ULONG))) {
    RecordLastError(Extension, DAQ_ERR_PORT_RANGE);
    return STATUS_UNSUCCESSFUL;
  }
  if (InputLength != 0 || OutputLength != sizeof(ULONG)) {
    RecordLastError(Extension, DAQ_ERR_SERIAL_LENGTH);
    return STATUS_UNSUCCESSFUL;
  }
  USHORT low = 0;
  USHORT high = 0;
  EepromReadWord(Extension, EEPROM_TYPE_SMALL, EEPROM_SERIAL_LOW, &low);
  EepromReadWord(Extension, EEPROM_TYPE_SMALL, EEPROM_SERIAL_HIGH, &high);
  ULONG serial = (static_cast<ULONG>(high) << 16) | low;
  *static_cast<ULONG*>(OutputBuffer) = serial;
  if (serial == 0xFFFFFFFF) {
    RecordLastError(Extension, DAQ_ERR_NO_SERIAL);
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}
