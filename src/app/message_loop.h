// The entry thread's message loop. It waits alertably, because the service
// manager delivers status-change notifications as APCs to the thread that
// registered them, and an APC runs only while its thread waits alertably.
// Keyboard messages of the dialog go through IsDialogMessageW, so that Tab,
// the arrow keys and the mnemonics work as in any dialog.
#pragma once

#include "diagnostics/win32.h"

#include <functional>

// Dispatches messages and runs queued APCs until WM_QUIT arrives; returns
// its wParam. `dialog` may be null.
int runMessageLoop(HWND dialog);

// The same loop, left once `done` answers true (asked after every message
// and after every wake-up by an APC) or when `timeoutMs` have passed. A
// WM_QUIT seen meanwhile is posted again for the caller's loop, and ends
// this one. True when `done` answered true.
bool runMessageLoopUntil(HWND dialog, const std::function<bool()>& done, DWORD timeoutMs);
