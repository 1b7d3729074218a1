// Interrupt service and deferred processing.
#pragma once

#include "platform.h"

KDEFERRED_ROUTINE InterruptDpc;
