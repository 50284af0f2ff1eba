#include "app/tray_app.h"

#include "app/elevated_copy.h"
#include "app/exit_message.h"
#include "app/running_monitors.h"
#include "app/message_loop.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/text.h"
#include "resource_ids.h"
#include "security/sid.h"

#include <commctrl.h>

#include <cwchar>
#include <string>
#include <vector>

TrayApp::~TrayApp() {
    if (dialog_) icon_.removeTrayIcon();
}

void TrayApp::open() {
    INITCOMMONCONTROLSEX controls{sizeof(controls), 0xFF};
    ::InitCommonControlsEx(&controls);

    dialog_ = std::make_unique<ControlDlg>(this);
    dialog_->create(IDD_CONTROL_DLG, nullptr);
    icon_.setWindow(dialog_->handle());
    icon_.addTrayIcon();
    icon_.refreshTrayIcon();
    live_ = std::make_unique<LiveServiceState>(*dialog_, icon_);
    live_->start();
}

DWORD TrayApp::runElevatedCommand(const ElevatedCommand& command) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), 0xFF};
    ::InitCommonControlsEx(&controls);
    icon_.keepOffNotificationArea();
    dialog_ = std::make_unique<ControlDlg>(this);
    dialog_->setBoxOwner(command.owner);
    dialog_->create(IDD_CONTROL_DLG, nullptr);
    return dialog_->runElevatedCommand(command);
}

int TrayApp::run() {
    open();
    return runMessageLoop(dialog_->handle());
}

namespace {
constexpr ContextSite kRunProgramSite{"runProgram", 47};
}

int runProgram(int argc, wchar_t** argv) {
    if (argc > 1 && std::wcscmp(argv[1], L"exit") == 0) {
        broadcastExit();
        return 0;
    }
    if (argc > 1 && std::wcscmp(argv[1], kElevatedArgument) == 0)
        return static_cast<int>(runElevatedCopy(std::vector<std::wstring>(argv + 2, argv + argc)));
    if (argc > 1) {
        const int code = runInstallerCommand(argv[1]);
        if (code >= 0) return code;
    }
    bool administrator = false;
    try {
        administrator = isCurrentUserAdministrator();
    } catch (const vexception& error) {
        LogManager::logError(LogError, error);
        return 0;
    } catch (const std::exception& error) {
        LogManager::logError(LogError,
                             vexception(wstr(error.what()), kRunProgramSite.entry(L"isCurrentUserAdministrator")));
        return 0;
    }
    if (!administrator) return 0;
    LogManager::print(LogInfo, L"Quarn Services Monitor started");
    // Restart Manager may close the monitor for an update of its program
    // (WM_ENDSESSION with ENDSESSION_CLOSEAPP) and start it again afterwards,
    // without arguments. After a crash, a hang or a reboot the logon entry
    // starts it, so those restarts are not asked for.
    ::RegisterApplicationRestart(nullptr, RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
    TrayApp app;
    app.run();
    return 0;
}
