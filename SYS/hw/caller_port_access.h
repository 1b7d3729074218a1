// One port access made on a caller's behalf (the raw port requests, the device command's
// register operations), serialised with the driver's own users of the bridge's registers.
#pragma once

#include "frame/device_extension.h"

// Reads (Write false: *Value receives the value) or writes (*Value) Width bytes at Port. The
// caller holds AcquisitionLock with the resources assigned and has found the port inside the
// device's ranges. A write to the bridge's interrupt control register keeps the bits the
// interrupt handling owns. Returns DAQ_OK, or DAQ_ERR_NO_HARDWARE when a write to that
// register finds the bridge not answering (nothing written). PASSIVE_LEVEL.
ULONG AccessPortForCaller(DEVICE_EXTENSION* Extension, bool Write, ULONG_PTR Port, ULONG Width,
                          ULONG* Value);
