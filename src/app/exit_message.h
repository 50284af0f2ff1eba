// The registered window message on which every running monitor quits.
#pragma once

#include "diagnostics/win32.h"

// The number of "QuarnTrayIconExitMsg", registered on first use and cached.
UINT exitMessage();

// Sends the exit message to every top-level window and returns once all of
// them have handled it.
void broadcastExit();
