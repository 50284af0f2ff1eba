#include "app/stop_announcer.h"

#include "app/tray_icon.h"
#include "config/registry.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/text.h"

#include <shellapi.h>

#include <algorithm>
#include <iterator>

namespace {

std::wstring shownName(const UnexpectedStop& stop) {
    return stop.displayName.empty() ? stop.name : stop.displayName;
}

// Copies `text` into a fixed field of the notification data, cut to fit.
template <size_t N>
void copyField(wchar_t (&field)[N], const std::wstring& text) {
    const size_t length = std::min(text.size(), N - 1);
    std::copy_n(text.c_str(), length, field);
    field[length] = L'\0';
}

}  // namespace

DWORD StopAnnouncer::reportedExitCode(const UnexpectedStop& stop) {
    return stop.win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? stop.specificExitCode : stop.win32ExitCode;
}

std::wstring StopAnnouncer::balloonText(const std::vector<UnexpectedStop>& stops) {
    if (stops.empty()) return std::wstring();
    if (stops.size() == 1) {
        const UnexpectedStop& stop = stops.front();
        std::wstring text = shownName(stop) + L" stopped unexpectedly.";
        if (stop.win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
            text += format(L" Exit code %lu: service-specific error.", stop.specificExitCode);
        else if (stop.win32ExitCode != 0)
            text += format(L" Exit code %lu: %s", stop.win32ExitCode, systemErrorText(stop.win32ExitCode).c_str());
        return text;
    }
    std::wstring names;
    for (const UnexpectedStop& stop : stops) {
        if (!names.empty()) names += L", ";
        names += shownName(stop);
    }
    return format(L"%u Quarn services stopped unexpectedly: %s", static_cast<unsigned>(stops.size()), names.c_str());
}

bool StopAnnouncer::balloonsEnabled() {
    try {
        DWORD value = 1;
        if (registry::lookup(HKEY_CURRENT_USER, kSettingsKey, kBalloonSetting, value, registry::ProcessView) != 0)
            return true;
        return value != 0;
    } catch (const vexception&) {
        // A value of another type or size: the default holds.
        return true;
    }
}

bool StopAnnouncer::announce(const UnexpectedStop& stop) {
    LogManager::print(LogWarning, L"Service %s stopped unexpectedly (exit code %lu)", stop.name.c_str(),
                      reportedExitCode(stop));
    gathered_.push_back(stop);
    return gathered_.size() == 1;
}

void StopAnnouncer::showGathered() {
    if (gathered_.empty()) return;
    const std::wstring text = balloonText(gathered_);
    gathered_.clear();
    if (!balloonsEnabled()) return;
    ++balloons_;
    lastText_ = text;
    if (!icon_.addTrayIcon()) return;
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = icon_.window();
    data.uID = kTrayIconId;
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_WARNING;
    copyField(data.szInfoTitle, balloonTitle());
    copyField(data.szInfo, text);
    ::Shell_NotifyIconW(NIM_MODIFY, &data);
}
