#include "app/message_loop.h"

namespace {

// Dispatches what is queued now. False when WM_QUIT was taken, with its
// wParam in `exitCode`, or when `done` answered true.
bool dispatchQueued(HWND dialog, const std::function<bool()>* done, int& exitCode, bool& finished) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            exitCode = static_cast<int>(message.wParam);
            return false;
        }
        if (!dialog || !::IsDialogMessageW(dialog, &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        if (done && (*done)()) {
            finished = true;
            return false;
        }
    }
    return true;
}

// Sleeps until input arrives or an APC has run. MWMO_INPUTAVAILABLE also
// returns for input that an earlier peek saw but left in the queue, which a
// plain wait would sleep through; MWMO_ALERTABLE lets queued APCs run and
// then returns WAIT_IO_COMPLETION.
void waitForWork(DWORD timeoutMs) {
    ::MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
}

}  // namespace

int runMessageLoop(HWND dialog) {
    int exitCode = 0;
    bool finished = false;
    while (dispatchQueued(dialog, nullptr, exitCode, finished)) waitForWork(INFINITE);
    return exitCode;
}

bool runMessageLoopUntil(HWND dialog, const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    int exitCode = 0;
    bool finished = done();
    while (!finished) {
        if (!dispatchQueued(dialog, &done, exitCode, finished)) {
            if (!finished) ::PostQuitMessage(exitCode);
            break;
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end) break;
        waitForWork(static_cast<DWORD>(end - now));
        finished = done();
    }
    return finished;
}
