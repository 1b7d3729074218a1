// Plug and Play state changes, kept in one place.
#pragma once

#include "frame/device_extension.h"

inline void SetPnpState(DEVICE_EXTENSION* Extension, PNP_STATE_CODE State) {
  Extension->PnpState = State;
}

// Query-remove saves the state it leaves, for cancel-remove to restore.
inline void EnterRemovePending(DEVICE_EXTENSION* Extension) {
  Extension->PrevPnpState = Extension->PnpState;
  Extension->PnpState = StateRemovePending;
}

inline void RestorePreviousPnpState(DEVICE_EXTENSION* Extension) {
  Extension->PnpState = Extension->PrevPnpState;
}
