// Child runs of this test program whose Wine debug channels the test reads,
// and what those channels show of the event-log calls.
//
// Wine prints its debug channels on the Unix standard error of a process,
// which a Windows parent cannot redirect (only standard input and output
// reach a child's Unix side). So the child is started through /bin/sh - Wine
// starts Unix programs handed to CreateProcessW - and the shell sends the
// child's standard output and error into files of a scratch folder.
#pragma once

#include "test_support.h"

#include <string>
#include <vector>

namespace testing_support {

class WineDebugChild {
public:
    // Starts this test program with only the disabled test `test`,
    // QUARN_TEST_CHILD set to `argument` and WINEDEBUG set to `channels`.
    WineDebugChild(const std::string& test, const std::string& argument, const std::string& channels);
    WineDebugChild(const WineDebugChild&) = delete;
    WineDebugChild& operator=(const WineDebugChild&) = delete;

    // Waits for the child's end: its exit code, or -1 when it could not be
    // started or did not end within `timeoutMs`.
    long wait(DWORD timeoutMs = 60000);
    // Standard output and standard error (where Wine's channels print), as
    // far as written when wait returned.
    const std::string& output() const { return output_; }
    const std::string& errors() const { return errors_; }
    // What the child has written to its standard output so far.
    std::string outputSoFar() const;

private:
    ScratchDir folder_;
    bool started_ = false;
    std::string output_;
    std::string errors_;
};

// One ReportEventW call as Wine shows it: the call's arguments on the
// channel "fixme:advapi", then each string on the channel "eventlog" in the
// class Wine gives the event type ("err", "warn" or "trace").
struct TracedEvent {
    unsigned type = 0;
    unsigned category = 0;
    unsigned id = 0;
    unsigned stringCount = 0;
    std::vector<std::string> classes;
    std::vector<std::string> strings;  // as Wine prints them: L"..." with escapes
};

struct EventLogTrace {
    std::vector<std::string> registeredSources;  // RegisterEventSourceW names, L"..."
    std::vector<TracedEvent> events;
    size_t deregistrations = 0;       // DeregisterEventSource calls
    bool deregisteredLast = false;    // the last call seen was a deregistration
};

// Reads the event-log calls from a child's standard error, run with the channels
// "-all,+eventlog,fixme+advapi".
EventLogTrace parseEventLogTrace(const std::string& output);

// `text` as Wine's debug printer shows a wide string: L"..." with
// backslashes, quotes and control characters escaped.
std::string wineDebugString(const std::wstring& text);

}  // namespace testing_support
