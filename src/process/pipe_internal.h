// Pieces shared by the pipe ends' implementation files.
#pragma once

#include "diagnostics/exceptions.h"
#include "diagnostics/win32.h"

#include <string>

namespace Con::internal {

// The errors that mean the peer has gone: ERROR_HANDLE_EOF (38),
// ERROR_BROKEN_PIPE (109), ERROR_NO_DATA (232) and ERROR_PIPE_NOT_CONNECTED
// (233, what a client meets after the server disconnected it).
inline bool isEndOfData(DWORD error) {
    return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

// CreateNamedPipeW; raises "Unable to create pipe " + name with `site`.
HANDLE createServerHandle(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                          DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                          SECURITY_ATTRIBUTES* security, const ContextSite& site);

// Opens the client end (see ClientPipe::create) with `flags` added to the
// identification-level quality of service.
HANDLE openClientHandle(const std::wstring& name, DWORD desiredAccess, DWORD readMode, int defaultTryCount,
                        DWORD flags, const ContextSite& site);

// Flushes and disconnects a server end, ignoring failures (the client may
// have gone already).
void flushAndDisconnect(HANDLE handle);

// "Completed only %d of %d bytes" with `site`.
[[noreturn]] void raiseIncomplete(DWORD transferred, DWORD requested, const ContextSite& site);

}  // namespace Con::internal
