// One port access made on a caller's behalf (the raw port requests, the device command's
// register operations), serialised with the driver's own users of the bridge's registers.
#pragma once

#include "frame/device_extension.h"

// Reads (Write false: *Value receives the value) or writes (*Value) Width bytes at Port, a
// port the caller has already found inside the device's ranges. Returns DAQ_OK, or
// DAQ_ERR_NO_HARDWARE when the resources went away meanwhile (nothing touched). PASSIVE_LEVEL.
ULONG AccessPortForCaller(DEVICE_EXTENSION* Extension, bool Write, ULONG_PTR Port, ULONG Width,
                          ULONG* Value);
