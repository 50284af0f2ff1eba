// The services monitor dialog: the program's only window. Hidden most of the
// time, it receives the tray icon's notifications and the menu's commands.
#pragma once

#include "ui/dialog.h"

class TrayApp;

class ControlDlg : public VDlg {
public:
    explicit ControlDlg(TrayApp* owner);

    LRESULT processMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

    // Shows the dialog in front and posts itself a refresh.
    void showMonitor();

private:
    LRESULT onInitDialog();
    // True when the command was one of the dialog's.
    bool onCommand(WORD id);
    void onTrayNotify(LPARAM mouseMessage);
    void hide();

    TrayApp* owner_;
};
