// The application object: owns the monitor dialog and the tray icon, and
// runs the message loop on the entry thread.
#pragma once

#include "app/control_dlg.h"
#include "app/live_service_state.h"
#include "app/tray_icon.h"

#include <memory>

class TrayApp {
public:
    TrayApp() = default;
    TrayApp(const TrayApp&) = delete;
    TrayApp& operator=(const TrayApp&) = delete;
    // Takes the icon off the notification area when a dialog exists, also
    // when run() is left by an error.
    ~TrayApp();

    // Creates the dialog (hidden), adds the tray icon with its state and
    // starts following the services' changes.
    void open();
    // open(), then pumps messages until WM_QUIT; returns the quit message's
    // wParam.
    int run();
    // In an elevated copy: creates the hidden dialog, without a tray icon or
    // live state, and runs `command` in it; returns the copy's exit code.
    DWORD runElevatedCommand(const ElevatedCommand& command);

    TrayIcon& trayIcon() { return icon_; }
    ControlDlg* dialog() { return dialog_.get(); }
    // Null until open() has made it.
    LiveServiceState* liveState() { return live_.get(); }

private:
    std::unique_ptr<ControlDlg> dialog_;
    TrayIcon icon_;
    // Declared last: it refers to the dialog and the icon, so it goes first.
    std::unique_ptr<LiveServiceState> live_;
};

// The program entry without the process around it: `exit` as the first
// argument broadcasts the exit message; an installer command
// (running_monitors.h) runs and gives its exit code; `elevated` runs an
// elevated copy's command (elevated_copy.h) and gives its exit code;
// otherwise the monitor runs for an administrator. 0 except for a failed
// installer command and an elevated copy.
int runProgram(int argc, wchar_t** argv);
