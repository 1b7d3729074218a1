// Emulated kernel: <ntddk.h> is <wdm.h> plus what non-WDM drivers see; Tarvik needs nothing
// beyond the WDM subset.
#pragma once
#include "wdm.h"
