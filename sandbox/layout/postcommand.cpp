// postcommand.exe TITLE ID [TIMEOUT-MS]: waits (5000 ms by default) for a
// top-level window with the exact title TITLE, visible or not, and posts it
// WM_COMMAND with the command id ID. Exit code 0 when posted, 1 when no such
// window appeared in time, 2 for a wrong command line.
#include "diagnostics/win32.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || argc > 4) {
        std::fputs("usage: postcommand.exe TITLE ID [TIMEOUT-MS]\n", stderr);
        return 2;
    }
    const unsigned long id = std::wcstoul(argv[2], nullptr, 0);
    const unsigned long timeoutMs = argc == 4 ? std::wcstoul(argv[3], nullptr, 0) : 5000;
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (true) {
        if (HWND window = ::FindWindowW(nullptr, argv[1])) {
            if (::PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0)) return 0;
        }
        if (::GetTickCount64() >= end) break;
        ::Sleep(100);
    }
    std::fwprintf(stderr, L"postcommand: no window titled '%ls'\n", argv[1]);
    return 1;
}
