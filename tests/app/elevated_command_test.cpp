#include "app/elevated_command.h"

#include "resource_ids.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

// The arguments as the copy receives them: the text split by the rules of
// CommandLineToArgvW, less the program name and "elevated".
std::vector<std::wstring> received(const std::wstring& arguments) {
    int count = 0;
    const std::wstring line = L"svcsentry.exe " + arguments;
    wchar_t** split = ::CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> result;
    for (int i = 2; i < count; ++i) result.emplace_back(split[i]);
    ::LocalFree(split);
    return result;
}

TEST(ElevatedCommandLine, EveryCommandComesBackAsItWasSent) {
    // The second: a handle with its 32nd bit set, sign-extended in a 64-bit
    // process as the platform does.
    for (const HWND window : {reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x4A0F2)),
                              reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<LONG>(0x8000ABCDu)))}) {
        struct Case {
            WORD command;
            std::vector<std::wstring> services;
        } cases[] = {
            {IDC_START, {L"plain", L"with blank", L"quote\"inside", L"trailing blank "}},
            {IDC_STOP, {L"one"}},
            {IDC_RESTART, {L"a", L"b"}},
            {ID_TRAY_START, {}},
            {ID_TRAY_STOP, {}},
            {ID_TRAY_RESTART, {}},
            {IDC_START_WEBSITE, {}},
            {IDC_STOP_WEBSITE, {}},
            {IDC_DELETE_SESSIONS, {}},
        };
        for (const Case& c : cases) {
            const std::optional<ElevatedVerb> verb = elevatedVerbOf(c.command);
            ASSERT_TRUE(verb) << c.command;
            EXPECT_EQ(commandOf(*verb), c.command);
            const std::wstring text = elevatedArguments({*verb, window, c.services});
            ASSERT_EQ(text.rfind(L"elevated ", 0), 0u);
            std::wstring refusal;
            const std::optional<ElevatedCommand> back = parseElevatedArguments(received(text), refusal);
            ASSERT_TRUE(back) << std::wstring(text + L": " + refusal).c_str();
            EXPECT_EQ(back->verb, *verb);
            EXPECT_EQ(back->owner, window);
            EXPECT_EQ(back->services, c.services);
        }
    }
    // The commands that need no rights have no verb.
    for (WORD other : {IDC_REFRESH, IDC_HIDE, IDC_SELECT_ALL, ID_TRAY_EXIT, ID_TRAY_CONTROL_PANEL})
        EXPECT_FALSE(elevatedVerbOf(other)) << other;
}

// The copy takes nothing it was not made for: no settings, no passwords, no
// connection strings, no paths, and service names only where the verb acts
// on services.
TEST(ElevatedCommandLine, AnythingElseIsRefused) {
    const std::vector<std::vector<std::wstring>> refused = {
        {},
        {L"start"},
        {L"START", L"12"},
        {L"start-all-and-more", L"12"},
        {L"start", L"0", L"svc"},
        {L"start", L"-12", L"svc"},
        {L"start", L"0x12", L"svc"},
        {L"start", L"12a", L"svc"},
        {L"start", L"99999999999", L"svc"},
        {L"start", L"12", L""},
        {L"start", L"12", L"..\\svc"},
        {L"start", L"12", L"a/b"},
        {L"start", L"12", L"tab\there"},
        {L"start", L"12", std::wstring(257, L's')},
        {L"delete-sessions", L"12", L"Provider=MSDASQL;Data Source=x;Password=secret"},
        {L"delete-sessions", L"12", L"--db-password=secret"},
        {L"start-website", L"12", L"C:\\Quarn"},
        {L"start-all", L"12", L"svc"},
    };
    for (const auto& arguments : refused) {
        std::wstring refusal;
        std::wstring shown;
        for (const auto& a : arguments) shown += L"[" + a + L"]";
        EXPECT_FALSE(parseElevatedArguments(arguments, refusal)) << std::string(shown.begin(), shown.end());
        EXPECT_FALSE(refusal.empty());
    }
    std::wstring refusal;
    std::vector<std::wstring> many = {L"start", L"12"};
    many.resize(2 + 1025, L"svc");
    EXPECT_FALSE(parseElevatedArguments(many, refusal));
    many.resize(2 + 1024);
    EXPECT_TRUE(parseElevatedArguments(many, refusal));
}

}  // namespace
