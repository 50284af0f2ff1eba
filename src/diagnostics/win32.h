// The one way project code includes the Windows headers. The build defines
// UNICODE, NOMINMAX, WIN32_LEAN_AND_MEAN and the target version (Windows 7);
// this header repeats them for files compiled outside the build's flags.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif

#include <windows.h>
