// The command line of an elevated copy of the monitor. A monitor whose
// rights are held back (security/token_elevation.h) hands each command that
// changes services, the website or the database to a copy of the program
// started elevated: "svcsentry.exe elevated VERB WINDOW [SERVICE...]". The
// copy trusts none of it beyond what it names: the service names select
// services of the catalogue the copy builds itself, and no setting of any
// kind (database, password, path) is ever read from it.
#pragma once

#include "diagnostics/win32.h"

#include <optional>
#include <string>
#include <vector>

// The first argument that makes the program an elevated copy.
inline constexpr wchar_t kElevatedArgument[] = L"elevated";

enum class ElevatedVerb {
    Start,           // the checked services (dialog button)
    Stop,
    Restart,
    StartAll,        // every catalogue service (tray menu)
    StopAll,
    RestartAll,
    StartWebsite,
    StopWebsite,
    DeleteSessions,
};

struct ElevatedCommand {
    ElevatedVerb verb = ElevatedVerb::Start;
    // The monitor's dialog, which owns the copy's boxes.
    HWND owner = nullptr;
    // Start, Stop and Restart only: the services checked in the monitor.
    std::vector<std::wstring> services;
};

// The verb of the dialog's or the tray menu's command `id`, when that
// command needs administrator rights.
std::optional<ElevatedVerb> elevatedVerbOf(WORD id);
// The dialog command a verb stands for.
WORD commandOf(ElevatedVerb verb);
// True for the verbs that act on the checked services.
bool takesServiceNames(ElevatedVerb verb);
// How the log names the command: "Start services", "Delete All Sessions"...
const wchar_t* commandTitle(ElevatedVerb verb);

// The copy's arguments, "elevated VERB WINDOW [SERVICE...]", each quoted as
// CommandLineToArgvW undoes it.
std::wstring elevatedArguments(const ElevatedCommand& command);

// Reads the arguments that follow "elevated". Accepts exactly one known
// verb, a window number and, for the verbs that take them, service names
// (none empty, none longer than a service name can be, none holding a
// slash, a backslash or a control character). Anything else gives nothing
// and says why in `refusal`.
std::optional<ElevatedCommand> parseElevatedArguments(const std::vector<std::wstring>& arguments,
                                                     std::wstring& refusal);
