// Window messages that must reach the program's window from processes of a
// lower integrity level. When the monitor runs elevated (started by an
// installer run as administrator, or by an administrator's elevated prompt),
// User Interface Privilege Isolation drops every message that a process of a
// lower level sends or posts to its window unless the window lets it through.
#pragma once

#include "diagnostics/win32.h"

// Lets `message` through to `window` from any process of the desktop
// (ChangeWindowMessageFilterEx with MSGFLT_ALLOW). False when the platform
// refused; where there is no such isolation the call changes nothing.
bool allowFromAnyIntegrityLevel(HWND window, UINT message);

// The platform call, replaceable by tests: Wine has no integrity levels, so
// what the window lets through is observed here.
namespace message_filter_detail {
using ChangeFilter = BOOL(WINAPI*)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT);
ChangeFilter& changeFilterCall();
}  // namespace message_filter_detail
