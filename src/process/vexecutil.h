// The process launcher: starts one child process and owns its handles.
//
// The caller fills in the options, calls start() once, may talk to the child
// through the pipes, then waits for it and reads its exit code. Destroying
// the object closes the process and thread handles and the pipes; it never
// ends or resumes the child. Used by one thread at a time.
#pragma once

#include "diagnostics/win32.h"
#include "process/pipe.h"

#include <memory>
#include <string>

class vexecutil {
public:
    vexecutil() = default;
    ~vexecutil();
    vexecutil(const vexecutil&) = delete;
    vexecutil& operator=(const vexecutil&) = delete;

    // Creates the process; raises the vosexception of the failing step
    // ("CreateProcess '" + masked command line + "'", "Unable to open a
    // thread token"...). A failure leaves no process; pipes created so far stay
    // until the destructor.
    //
    // Pipes come from Con::createPipePair and the child receives an
    // inheritable clone of its end; the parent's copy of that end is closed
    // after the creation attempt, so reading the output ends when the child
    // (and whatever inherited its handles) has gone. The child's end is never
    // overlapped; `overlappedPipes` makes the parent's readers overlapped.
    // With any pipe or file redirection handles are inherited; otherwise the
    // child gets a new console, hidden, and inherits nothing.
    //
    // A calling thread that impersonates a user whose administrator
    // membership differs from the process's starts the child as that user,
    // after granting the user's group access to "winsta0\default".
    //
    // A working directory is set as the whole process's current directory for
    // the moment of creation.
    void start();

    // Waits up to `timeoutMs` (-1 / INFINITE: no limit) for the process to
    // end: true when it has ended, false on a time-out. Raises "Lock object".
    bool waitForExit(DWORD timeoutMs);

    // The exit code (STILL_ACTIVE, 259, while it runs). Raises
    // "GetExitCodeProcess".
    DWORD exitCode() const;

    // The command line start() passes: "\"" + application name + "\" " +
    // arguments, or the arguments alone without an application name.
    std::wstring commandLine() const;
    // The same with the arguments masked as in the log (maskCommandLine):
    // what error texts show.
    std::wstring maskedCommandLine() const;

    std::wstring arguments;
    bool noWindow = false;
    // A Unicode environment block, not owned; null: the parent's environment.
    const wchar_t* environment = nullptr;
    std::wstring applicationName;
    bool separateErrorPipe = false;
    bool errorToOutput = false;
    bool inputPipe = false;
    bool outputPipe = false;
    std::wstring workingDirectory;
    // Standard input read from this file when there is no input pipe.
    std::wstring inputFile;
    // Standard output written to this file, created anew, when there is no
    // output pipe.
    std::wstring outputFile;
    // false: the child is placed on "winsta0\default"; true: no desktop named.
    bool inheritDesktop = false;
    bool suspended = false;
    bool overlappedPipes = true;
    // The parent's ends: the input pipe's writer, the output and error
    // pipes' readers (null when not requested).
    std::unique_ptr<Con::Pipe> inputWriter;
    std::unique_ptr<Con::Pipe> outputReader;
    std::unique_ptr<Con::Pipe> errorReader;
    PROCESS_INFORMATION processInformation{};
};
