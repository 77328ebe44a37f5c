// A device's fetch error state as the tree shows it (the error overlay of its entry).
//
// Main thread only.
#pragma once

#include "app/messages.h"

namespace velmora {

// Message WM_APP+6, a device's fetch error state, on the main thread: when the state
// differs from the record's errorShown it is stored, the entry's item is redrawn (its
// overlay) and the message is marked changed for the receivers after the core. The
// same state again, which every decoded frame reports, changes and redraws nothing.
// True when the message was one.
bool HandleFetchErrorMessage(AppMessage& message);

}  // namespace velmora
