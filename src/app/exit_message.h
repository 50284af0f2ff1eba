// The registered window message on which every running monitor quits.
#pragma once

#include "diagnostics/win32.h"

// The number of "QuarnTrayIconExitMsg", registered on first use and cached.
UINT exitMessage();

// How long the broadcast waits for any one window that is slow to answer
// but not hung.
inline constexpr UINT kExitAnswerLimitMs = 5000;
// How long `exit` waits for the monitors that took the message to end.
inline constexpr DWORD kExitEndLimitMs = 10000;

// Sends the exit message to every top-level window, the monitors' last, and
// returns once every responsive one has handled it and the monitors that did
// have ended (up to kExitEndLimitMs). A window whose thread
// does not take its messages (a hung program) is skipped instead of waited
// for (SMTO_ABORTIFHUNG), and one slower than kExitAnswerLimitMs is left; a
// monitor among them gets the message posted, so that one busy with a
// command quits once it is done.
void broadcastExit();
