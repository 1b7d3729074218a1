// The board's serial number, kept in two EEPROM words.
#include "hw/eeprom.h"
#include "hw/hardware_lock.h"
#include "hw/registers.h"
#include "hw/resources.h"
#include "ioctl/control.h"

/*
 * ReadSerialNumber: IOCTL_DAQ_READ_SERIAL. Needs the bridge range, assigned now
 * (DAQ_ERR_NO_HARDWARE, also after a stop), covering the control register at 0x50..0x53
 * (DAQ_ERR_PORT_RANGE), no input and four bytes of output (DAQ_ERR_SERIAL_LENGTH); returns
 * the low word (byte address 116) and the high word (118) as one 32-bit value. Both words
 * erased is no serial number (DAQ_ERR_NO_SERIAL). A bridge that goes away before either word
 * is read, or stops answering (all ones, which would otherwise read as an erased serial), is
 * DAQ_ERR_NO_HARDWARE: each word checks the resources again under AcquisitionLock. Failures
 * return STATUS_UNSUCCESSFUL. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS ReadSerialNumber(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                           PVOID InputBuffer, ULONG OutputLength,
                                           PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputBuffer);
  RecordLastError(Extension, DAQ_OK);
  LockAcquisition(Extension);
  CARD_PORTS ports = AssignedPorts(Extension);
  ULONG error = DAQ_OK;
  if (ports.Bridge == 0) {
    error = DAQ_ERR_NO_HARDWARE;
  } else if (!PortAccessAssigned(Extension, ports.Bridge + BRIDGE_CONTROL, sizeof(ULONG))) {
    // The EEPROM lines are bits of the bridge's control register, which must lie inside the
    // bridge's range as assigned, as for the device command's EEPROM operations.
    error = DAQ_ERR_PORT_RANGE;
  } else if (InputLength != 0 || OutputLength != sizeof(ULONG)) {
    error = DAQ_ERR_SERIAL_LENGTH;
  }
  UnlockAcquisition(Extension);
  if (error == DAQ_OK) {
    USHORT low = 0;
    USHORT high = 0;
    if (!NT_SUCCESS(EepromReadWord(Extension, EEPROM_TYPE_SMALL, EEPROM_SERIAL_LOW, &low)) ||
        !NT_SUCCESS(EepromReadWord(Extension, EEPROM_TYPE_SMALL, EEPROM_SERIAL_HIGH, &high))) {
      error = DAQ_ERR_NO_HARDWARE;
    } else {
      ULONG serial = (static_cast<ULONG>(high) << 16) | low;
      *static_cast<ULONG*>(OutputBuffer) = serial;
      if (serial == 0xFFFFFFFF) error = DAQ_ERR_NO_SERIAL;
    }
  }
  if (error == DAQ_OK) return STATUS_SUCCESS;
  RecordLastError(Extension, error);
  return STATUS_UNSUCCESSFUL;
}
