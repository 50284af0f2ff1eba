#include "app/tray_app.h"

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return runProgram(__argc, __wargv);
}
