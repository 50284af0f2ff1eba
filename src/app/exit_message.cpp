#include "app/exit_message.h"

UINT exitMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"QuarnTrayIconExitMsg");
    return message;
}

void broadcastExit() {
    ::SendMessageW(HWND_BROADCAST, exitMessage(), 0, 0);
}
