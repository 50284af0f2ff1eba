// Helpers shared by the test programs: where the built programs are, and
// running one of them as a child process.
#pragma once

#include "diagnostics/win32.h"

#include <string>

namespace testing_support {

// The folder of the running test program (all built programs share it).
std::wstring binDir();

// The system's own message for `code`, trailing line ends removed: what an
// OS error message must begin with.
std::wstring systemText(DWORD code);

// Runs `commandLine` and waits up to `timeoutMs`. Returns the exit code, or
// -1 when the process could not be started or did not end in time (it is
// then terminated).
long runProcess(const std::wstring& commandLine, DWORD timeoutMs = 30000);

// Starts `commandLine` without waiting; the caller owns the process handle.
// With `outputFile`, the child's standard output and error go to that file.
HANDLE startProcess(const std::wstring& commandLine, const std::wstring& outputFile = L"");

// A new file name in the run's folder of captured output (C:\QuarnTestOutput,
// kept with the prefix), named after the running test and `what`. The run's
// last test reads every file there for passwords, so whatever a test
// captures of another program's output is kept in such a file.
std::wstring capturedOutputFile(const std::wstring& what);

// A folder of its own under %TEMP%, removed with its contents at the end of
// the scope.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

// The whole content of a file (opened with every sharing mode); empty when it
// cannot be read.
std::string readFileBytes(const std::wstring& path);

// Creates (or replaces) a file holding exactly `bytes`; false on failure.
bool writeFileBytes(const std::wstring& path, const std::string& bytes);

// Polls `condition` every 20 ms until it is true or `timeoutMs` passed.
template <class Condition>
bool waitUntil(Condition condition, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (true) {
        if (condition()) return true;
        if (::GetTickCount64() >= end) return false;
        ::Sleep(20);
    }
}

}  // namespace testing_support
