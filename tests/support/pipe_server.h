// A management-service pipe served by the test itself: a message-mode named
// pipe on a thread of its own that reads framed requests (a 4-byte length
// message, then the body message) and answers each with the messages a
// responder returns. One client connection is served at a time; the next
// one waits until the previous one ends.
#pragma once

#include "diagnostics/win32.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// Little-endian helpers for building replies.
void appendU32(Bytes& out, uint32_t value);
// A string record with character size 2.
void appendWideString(Bytes& out, const std::wstring& text);
Bytes wideStringRecord(const std::wstring& text);

class ScriptedPipeServer {
public:
    // The messages to write for one request body; an empty list ends the
    // connection instead (as a dying server would).
    using Responder = std::function<std::vector<Bytes>(const Bytes& body)>;

    // Serves "\\.\pipe\" + `name`.
    ScriptedPipeServer(std::wstring name, Responder responder);
    ~ScriptedPipeServer();
    ScriptedPipeServer(const ScriptedPipeServer&) = delete;
    ScriptedPipeServer& operator=(const ScriptedPipeServer&) = delete;

    // Each request as it arrived: the length message followed by the body.
    std::vector<Bytes> requests() const;
    int connections() const { return connections_; }
    // The impersonation level the server was given for the client of the
    // latest request (ImpersonateNamedPipeClient after reading it), or -1
    // when impersonating failed or no request arrived.
    int lastClientLevel() const { return lastClientLevel_; }
    const std::wstring& name() const { return name_; }

    // A reply of one string record, framed as the service frames it.
    static std::vector<Bytes> stringReply(const std::wstring& text);
    // The body framed as a reply: its length message, then the body's
    // message (an empty one for an empty body, as the service sends it).
    static std::vector<Bytes> framed(const Bytes& body);

private:
    static DWORD WINAPI run(void* self);
    void serve();
    HANDLE createInstance() const;
    bool accept(HANDLE pipe);
    void serveConnection(HANDLE pipe);
    bool transfer(HANDLE pipe, void* buffer, DWORD count, DWORD& done, bool write);
    static int clientLevel(HANDLE pipe);

    std::wstring name_;
    Responder responder_;
    HANDLE stop_ = nullptr;
    HANDLE io_ = nullptr;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    std::atomic<int> connections_{0};
    std::atomic<int> lastClientLevel_{-1};
    mutable std::mutex lock_;
    std::vector<Bytes> requests_;
};

}  // namespace testing_support
