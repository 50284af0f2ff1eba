// Tells the administrator of services that stopped without a command of this
// monitor: each stop is written to the product log at once (Warning), and
// the stops of one gathering period are shown together in one balloon of
// the tray icon, unless the user turned the balloons off.
#pragma once

#include "diagnostics/win32.h"

#include <string>
#include <vector>

class TrayIcon;

struct UnexpectedStop {
    std::wstring name;
    std::wstring displayName;
    DWORD win32ExitCode = 0;
    DWORD specificExitCode = 0;
};

class StopAnnouncer {
public:
    static constexpr const wchar_t* kSettingsKey = L"Software\\Quarn\\Services Monitor";
    static constexpr const wchar_t* kBalloonSetting = L"NotifyUnexpectedStops";
    // Stops within this period of the first one share its balloon.
    static constexpr DWORD kGatheringMs = 2000;

    explicit StopAnnouncer(TrayIcon& icon) : icon_(icon) {}

    // Logs the stop and keeps it for the balloon. True when it opened a new
    // gathering period: the caller calls showGathered once it has passed.
    bool announce(const UnexpectedStop& stop);
    // Shows the balloon of the stops gathered so far (when balloons are on)
    // and starts a new period. Nothing when none was gathered.
    void showGathered();
    bool gathering() const { return !gathered_.empty(); }

    // "Quarn service stopped" and its text, for the stops of one period.
    static std::wstring balloonTitle() { return L"Quarn service stopped"; }
    static std::wstring balloonText(const std::vector<UnexpectedStop>& stops);
    // The exit code the log line and the balloon give: the service-specific
    // code when the service reported one (ERROR_SERVICE_SPECIFIC_ERROR),
    // otherwise the Win32 code.
    static DWORD reportedExitCode(const UnexpectedStop& stop);
    // The per-user switch: off only for a DWORD 0; missing, unreadable or
    // of another type counts as on.
    static bool balloonsEnabled();

    // What was handed to the notification area (whether it showed it or
    // not), and how many balloons were.
    unsigned balloonCount() const { return balloons_; }
    const std::wstring& lastBalloonText() const { return lastText_; }

private:
    TrayIcon& icon_;
    std::vector<UnexpectedStop> gathered_;
    unsigned balloons_ = 0;
    std::wstring lastText_;
};
