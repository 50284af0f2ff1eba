#include "app/tray_app.h"

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    runProgram(__argc, __wargv);
    return 0;
}
