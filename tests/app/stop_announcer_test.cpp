#include "app/stop_announcer.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(StopAnnouncer, BalloonTextNamesTheStopsAndTheirExitCodes) {
    const std::wstring terminated = testing_support::systemText(ERROR_PROCESS_ABORTED);
    const struct {
        std::vector<UnexpectedStop> stops;
        std::wstring text;
        DWORD logged;
    } cases[] = {
        {{{L"QuarnMail", L"Quarn Mail", 0, 0}}, L"Quarn Mail stopped unexpectedly.", 0},
        // Without a display name the service name is shown.
        {{{L"QuarnMail", L"", 0, 0}}, L"QuarnMail stopped unexpectedly.", 0},
        {{{L"QuarnMail", L"Quarn Mail", ERROR_PROCESS_ABORTED, 0}},
         L"Quarn Mail stopped unexpectedly. Exit code 1067: " + terminated, ERROR_PROCESS_ABORTED},
        {{{L"quarnsrv", L"Quarn Management Service", ERROR_SERVICE_SPECIFIC_ERROR, 42}},
         L"Quarn Management Service stopped unexpectedly. Exit code 42: service-specific error.", 42},
        {{{L"a", L"Alpha", 0, 0}, {L"b", L"", ERROR_PROCESS_ABORTED, 0}, {L"c", L"Gamma", 0, 0}},
         L"3 Quarn services stopped unexpectedly: Alpha, b, Gamma", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StopAnnouncer::balloonText(c.stops), c.text);
        EXPECT_EQ(StopAnnouncer::reportedExitCode(c.stops.front()), c.logged) << c.text;
    }
    EXPECT_EQ(StopAnnouncer::balloonText({}), L"");
}

}  // namespace
