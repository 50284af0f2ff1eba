// The services monitor dialog: the program's only window. Hidden most of the
// time, it receives the tray icon's notifications and the menu's commands,
// and when shown presents the service catalogue as a check-box tree.
#pragma once

#include "app/elevated_command.h"
#include "app/elevated_launcher.h"
#include "app/live_service_state.h"
#include "app/service_catalogue.h"
#include "diagnostics/handles.h"
#include "ui/dialog.h"
#include "ui/display_scale.h"

#include <commctrl.h>

#include <list>
#include <optional>
#include <string>

class TrayApp;

class ControlDlg : public VDlg {
public:
    explicit ControlDlg(TrayApp* owner);

    // Handles only messages addressed to the dialog's own window.
    LRESULT processMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

    // Shows the dialog in front and posts itself a refresh.
    void showMonitor();
    // Rebuilds the catalogue and the tree, keeping check marks by name, then
    // clears the status line and refreshes the tray icon. When the catalogue
    // cannot be built the tree stays empty, no catalogue is held and the
    // error leaves.
    void refreshServices();
    // Sets every item's check box; the timer carries it into the catalogue.
    void checkAll(bool check);
    // One tick of the 100 ms timer: a group whose check box changed passes
    // its state to its services; every 101st tick refreshes the tray icon.
    void onTimer();

    // Starts (or stops) the selected services up to three passes; the last
    // pass asks the user about each failure. Selected: every service when
    // `all`, else the checked ones and those named in `extraNames` (which
    // also collects the dependents a stop takes down). Ends with a refresh.
    // Does nothing once the session ends.
    void controlServices(bool start, bool all, std::list<std::wstring>* extraNames);
    // One service of a pass: true when the pass may go on (done, nothing to
    // do, access denied, or the user ignored the failure), false when it
    // failed in an earlier pass or the user aborted in the last one. The
    // session ending while the question is open counts as Abort.
    bool controlService(const std::wstring& name, bool start, bool lastPass, std::list<std::wstring>* extraNames);
    // Restart button: stops the checked services and their dependents, then
    // starts the checked services and every dependent stopped.
    void restartChecked();
    // Tray menu Restart: stops then starts every catalogue service.
    void restartAll();

    // Starts "W3SVC" with its dependencies and runs sitectl
    // --start-quarn-website while "quarnsrv" is held running; refreshes the
    // tree and says so. A product error is shown in the command's box.
    void startWebsite();
    // Runs sitectl --stop-quarn-website while "W3SVC" runs (holding
    // "quarnsrv" running); reports success also when it does not run.
    void stopWebsite();
    // Deletes every row of the product database's sessions table; shows only
    // a failure.
    void deleteSessions();

    // The window moved to a monitor of scale `dpi` (WM_DPICHANGED): scales
    // the font and the controls, draws every picture of the tree, the window
    // and the tray icon again at the new size and takes `suggested` (the
    // window rectangle the platform proposes, when given).
    void onDpiChanged(UINT dpi, const RECT* suggested);
    // The DPI the dialog is laid out and its pictures are drawn for.
    UINT dpi() const { return dpi_; }

    // The current catalogue; null until a refresh has succeeded and after a
    // refresh has failed.
    ServiceGroups* catalogue() const { return catalogue_; }
    HWND tree() const { return tree_.handle(); }
    HIMAGELIST imageList() const { return images_.get(); }
    // True while a service command runs (nested commands are refused).
    bool commandRunning() const { return commandRunning_; }

    // With rights held back (security/token_elevation.h), the commands that
    // change services, the website or the database run in an elevated copy
    // of the program; the dialog waits for it without blocking its messages,
    // refuses other commands meanwhile and refreshes when it has ended.
    // True while such a copy runs.
    bool elevatedCopyRunning() const { return elevated_.running(); }
    // True when the buttons and menu items of those commands carry the
    // shield, decided when the dialog was created.
    bool showsShields() const { return shields_; }
    // Posted to the dialog when the elevated copy has ended.
    static constexpr UINT kElevatedCopyEnded = WM_APP + 16;

    // In an elevated copy: the monitor's dialog, which owns the command's
    // boxes and shows its status line. Set before create().
    void setBoxOwner(HWND owner) { boxOwner_ = owner; }
    // In an elevated copy: checks the named services that the catalogue
    // built here holds (no other), runs the command as the dialog does and
    // gives the copy's exit code.
    DWORD runElevatedCommand(const ElevatedCommand& command);

    // The progress callback given to the start/stop engine.
    static int onServiceProgress(int stage, const wchar_t* service, void* dialog);

private:
    LRESULT onInitDialog();
    // True when the command was one of the dialog's.
    bool onCommand(WORD id);
    void onTrayNotify(LPARAM mouseMessage);
    void hide();
    // A command that only changes this window, which goes on while an
    // elevated copy works.
    static bool windowOnlyCommand(WORD id);
    // A command or a copy is under way: the exit message waits for its end.
    bool busy() const { return commandRunning_ || elevated_.running(); }
    // Under a limited token, starts the elevated copy for command `id` when
    // it is one that needs it; true when the command was taken care of so.
    bool handOverToElevatedCopy(WORD id);
    void elevatedCopyEnded();
    void showShields();
    void shieldMenuItems(HMENU popup);
    HWND boxOwner() const { return boxOwner_ ? boxOwner_ : handle(); }
    // The session ends or Restart Manager closes the program (WM_ENDSESSION).
    void endSession();
    void startStop(const std::wstring& name, bool start, std::list<std::wstring>* extraNames);
    void setStatus(const std::wstring& text);
    void showBox(const std::wstring& text, const wchar_t* caption, UINT icon);
    bool isChecked(HTREEITEM item) const;
    void setChecked(HTREEITEM item, bool check);
    void fillTree(std::list<std::wstring> remembered);
    // A new image list at the dialog's DPI with the fixed pictures and, when
    // a catalogue exists, its group pictures at the indices the tree uses.
    void buildImageList();
    void setWindowIcons();

    VTreeView tree_;
    UniqueImageList images_;
    TrayApp* owner_;
    ServiceGroups* catalogue_ = nullptr;
    bool commandRunning_ = false;
    // The exit message came while a command ran: quit once it is done.
    bool exitAfterCommand_ = false;
    // WM_ENDSESSION came: the session ends, no service is started or stopped any more.
    bool sessionEnding_ = false;
    UINT dpi_ = kDefaultDpi;
    ScaledLayout layout_;
    // The services the running startStop acts on, named by its progress.
    LiveServiceState::OwnChanges* ownChanges_ = nullptr;
    // The tray notification that a mouse click already answered, when the
    // notification area follows it with its keyboard-aware form.
    LPARAM answeredClick_ = 0;
    ElevatedLauncher elevated_;
    ElevatedVerb copyVerb_ = ElevatedVerb::Start;
    // The changes of the copy's command are this monitor's own.
    std::optional<LiveServiceState::OwnChanges> copyOwnChanges_;
    bool shields_ = false;
    UniqueBitmap menuShield_;
    HWND boxOwner_ = nullptr;
    // Set when a command of an elevated copy shows an error.
    bool errorShown_ = false;
};
