#include "app/exit_message.h"

UINT exitMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"QuarnTrayIconExitMsg");
    return message;
}

void broadcastExit() {
    DWORD_PTR answer = 0;
    ::SendMessageTimeoutW(HWND_BROADCAST, exitMessage(), 0, 0, SMTO_ABORTIFHUNG | SMTO_NORMAL, kExitAnswerLimitMs,
                          &answer);
    // A monitor that already quit on the sent message finds nothing more to do.
    ::PostMessageW(HWND_BROADCAST, exitMessage(), 0, 0);
}
