// The whole-product commands: start and stop the control panel website,
// delete all control panel sessions. Each ends with a box owned by the
// dialog, also while the dialog is hidden. Only product errors are shown
// here; anything else reaches the dialog procedure's "Runtime error" box.
#include "app/control_dlg.h"

#include "app/quarnsrv_ctrl.h"
#include "app/tray_app.h"
#include "diagnostics/exceptions.h"
#include "database/zrt_database.h"
#include "process/quarn_util.h"
#include "services/service_control.h"

namespace {

const wchar_t* const kWebServer = L"W3SVC";
const wchar_t* const kSiteUtility = L"sitectl";

const wchar_t* const kStartCaption = L"Start Quarn Control Panel website";
const wchar_t* const kStopCaption = L"Stop Quarn Control Panel website";
const wchar_t* const kDeleteCaption = L"Delete All Sessions";

void runSiteUtility(const wchar_t* arguments) { execQuarnUtil(kSiteUtility, arguments, nullptr, true, nullptr); }

}  // namespace

void ControlDlg::showBox(const std::wstring& text, const wchar_t* caption, UINT icon) {
    if (icon == MB_ICONERROR) errorShown_ = true;
    ::MessageBoxW(boxOwner(), text.c_str(), caption, MB_OK | icon);
}

void ControlDlg::startWebsite() {
    // Own are the starts of quarnsrv and W3SVC and the stop of quarnsrv, not
    // what happens while sitectl runs.
    LiveServiceState::OwnChanges own(owner_->liveState());
    try {
        QuarnSrvCtrl management(&LiveServiceState::OwnChanges::progress, &own);
        service::startStopService(kWebServer, true, nullptr, nullptr, &LiveServiceState::OwnChanges::progress, &own);
        own.end();
        runSiteUtility(L"--start-quarn-website");
    } catch (const vexception& error) {
        // The management service is back in its old state by now.
        own.end();
        showBox(error.fullText(), kStartCaption, MB_ICONERROR);
        return;
    }
    own.end();
    refreshServices();
    showBox(L"Quarn Control Panel website was successfully started", kStartCaption, MB_ICONINFORMATION);
}

void ControlDlg::stopWebsite() {
    LiveServiceState::OwnChanges own(owner_->liveState());
    try {
        // A web server that is not running serves no website.
        if (service::isActive(kWebServer)) {
            QuarnSrvCtrl management(&LiveServiceState::OwnChanges::progress, &own);
            own.end();
            runSiteUtility(L"--stop-quarn-website");
        }
    } catch (const vexception& error) {
        own.end();
        showBox(error.fullText(), kStopCaption, MB_ICONERROR);
        return;
    }
    own.end();
    showBox(L"Quarn Control Panel website was successfully stopped", kStopCaption, MB_ICONINFORMATION);
}

void ControlDlg::deleteSessions() {
    // Acts on no service: every change meanwhile is from outside.
    try {
        ZRTDatabase database(true);
        database.execute(L"DELETE FROM sessions");
    } catch (const vexception& error) {
        showBox(error.fullText(), kDeleteCaption, MB_ICONERROR);
    }
}
