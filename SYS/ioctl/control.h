// Device-control handlers: every handler has the same form, so the dispatcher can hand each
// code's lengths and buffers over uniformly.
#pragma once

#include "frame/device_extension.h"
#include "tarvik_ioctl.h"

// (device context, input length, input buffer, output length, output buffer). For buffered
// codes both buffers are the one system buffer, so output overwrites input.
typedef NTSTATUS CONTROL_HANDLER(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                 PVOID InputBuffer, ULONG OutputLength, PVOID OutputBuffer);

DRIVER_DISPATCH DispatchDeviceControl;

CONTROL_HANDLER ReadLastError;
CONTROL_HANDLER PortInByte;
CONTROL_HANDLER PortInWord;
CONTROL_HANDLER PortInDword;
CONTROL_HANDLER PortOutByte;
CONTROL_HANDLER PortOutWord;
CONTROL_HANDLER PortOutDword;
CONTROL_HANDLER ReadSerialNumber;
CONTROL_HANDLER DeviceCommand;
