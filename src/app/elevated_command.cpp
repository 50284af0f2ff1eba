#include "app/elevated_command.h"

#include "process/command_line.h"
#include "resource_ids.h"

#include <cwchar>
#include <cwctype>

namespace {

struct VerbInfo {
    ElevatedVerb verb;
    const wchar_t* text;
    WORD command;
    const wchar_t* title;
};

constexpr VerbInfo kVerbs[] = {
    {ElevatedVerb::Start, L"start", IDC_START, L"Start services"},
    {ElevatedVerb::Stop, L"stop", IDC_STOP, L"Stop services"},
    {ElevatedVerb::Restart, L"restart", IDC_RESTART, L"Restart services"},
    {ElevatedVerb::StartAll, L"start-all", ID_TRAY_START, L"Start all services"},
    {ElevatedVerb::StopAll, L"stop-all", ID_TRAY_STOP, L"Stop all services"},
    {ElevatedVerb::RestartAll, L"restart-all", ID_TRAY_RESTART, L"Restart all services"},
    {ElevatedVerb::StartWebsite, L"start-website", IDC_START_WEBSITE, L"Start Quarn Control Panel website"},
    {ElevatedVerb::StopWebsite, L"stop-website", IDC_STOP_WEBSITE, L"Stop Quarn Control Panel website"},
    {ElevatedVerb::DeleteSessions, L"delete-sessions", IDC_DELETE_SESSIONS, L"Delete All Sessions"},
};

// The service manager's limit for a service name.
constexpr size_t kMaxServiceName = 256;
// More than any catalogue holds.
constexpr size_t kMaxServices = 1024;

const VerbInfo& infoOf(ElevatedVerb verb) {
    for (const VerbInfo& info : kVerbs)
        if (info.verb == verb) return info;
    return kVerbs[0];
}

bool acceptableServiceName(const std::wstring& name) {
    if (name.empty() || name.size() > kMaxServiceName) return false;
    for (wchar_t c : name)
        if (c == L'/' || c == L'\\' || std::iswcntrl(c)) return false;
    return true;
}

// A window handle as the decimal number of its low 32 bits: window handles
// mean the same in 32-bit and 64-bit processes, truncated one way and
// sign-extended the other.
std::optional<HWND> parseWindow(const std::wstring& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value == 0 || value > 0xFFFFFFFFull) return std::nullopt;
    return reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<LONG>(static_cast<ULONG>(value))));
}

}  // namespace

std::optional<ElevatedVerb> elevatedVerbOf(WORD id) {
    for (const VerbInfo& info : kVerbs)
        if (info.command == id) return info.verb;
    return std::nullopt;
}

WORD commandOf(ElevatedVerb verb) {
    return infoOf(verb).command;
}

bool takesServiceNames(ElevatedVerb verb) {
    return verb == ElevatedVerb::Start || verb == ElevatedVerb::Stop || verb == ElevatedVerb::Restart;
}

const wchar_t* commandTitle(ElevatedVerb verb) {
    return infoOf(verb).title;
}

std::wstring elevatedArguments(const ElevatedCommand& command) {
    std::wstring text = kElevatedArgument;
    text += L' ';
    text += infoOf(command.verb).text;
    text += L' ';
    text += std::to_wstring(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(command.owner)));
    if (takesServiceNames(command.verb))
        for (const std::wstring& name : command.services) text += L' ' + quoteCommandLineArgument(name);
    return text;
}

std::optional<ElevatedCommand> parseElevatedArguments(const std::vector<std::wstring>& arguments,
                                                     std::wstring& refusal) {
    if (arguments.size() < 2) {
        refusal = L"a verb and a window are needed";
        return std::nullopt;
    }
    ElevatedCommand command;
    const VerbInfo* found = nullptr;
    for (const VerbInfo& info : kVerbs)
        if (arguments[0] == info.text) found = &info;
    if (!found) {
        // Arguments are never repeated: whatever was passed stays out of the log.
        refusal = L"the verb is unknown";
        return std::nullopt;
    }
    command.verb = found->verb;
    const std::optional<HWND> owner = parseWindow(arguments[1]);
    if (!owner) {
        refusal = L"the second argument is not a window";
        return std::nullopt;
    }
    command.owner = *owner;
    const size_t names = arguments.size() - 2;
    if (names > 0 && !takesServiceNames(command.verb)) {
        refusal = std::wstring(L"\"") + found->text + L"\" takes no further arguments";
        return std::nullopt;
    }
    if (names > kMaxServices) {
        refusal = L"too many service names";
        return std::nullopt;
    }
    for (size_t i = 2; i < arguments.size(); ++i) {
        if (!acceptableServiceName(arguments[i])) {
            refusal = L"argument " + std::to_wstring(i + 1) + L" is not a service name";
            return std::nullopt;
        }
        command.services.push_back(arguments[i]);
    }
    return command;
}
