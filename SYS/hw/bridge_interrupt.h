// The bridge's interrupt control/status register: claim, enable, disable. Each has the form
// of a synchronize routine, with the DEVICE_EXTENSION as its context, so that start and stop
// can run them under the interrupt's lock.
#pragma once

#include "platform.h"

KSYNCHRONIZE_ROUTINE ClaimBridgeInterrupt;
KSYNCHRONIZE_ROUTINE EnableBridgeInterrupt;
KSYNCHRONIZE_ROUTINE EnableBridgePciInterrupt;
KSYNCHRONIZE_ROUTINE DisableBridgeInterrupt;
