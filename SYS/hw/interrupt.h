// Interrupt service and deferred processing.
#pragma once

#include "frame/device_extension.h"

KSERVICE_ROUTINE InterruptService;
void DispatchFrame(DEVICE_EXTENSION* Extension);
KDEFERRED_ROUTINE InterruptDpc;
void WaitForRunningDpcs(DEVICE_EXTENSION* Extension);
