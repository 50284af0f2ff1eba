// The client end of a management-service channel: frames a call (method
// GUID plus arguments), sends it over the named pipe, reads the reply and
// reconnects once when the pipe has broken before the request was
// delivered.
//
//   request  32-bit body length N, then the body: a 16-byte block with the
//            method GUID in its in-memory form, then the argument bytes
//   reply    32-bit length M, then M bytes; each part is one message, so an
//            empty reply is a length of 0 followed by an empty message
#pragma once

#include "diagnostics/win32.h"
#include "ipc/serializer.h"
#include "threading/critical_section.h"

#include <memory>
#include <string>

namespace Con {
class ClientOverlappedPipe;
}

namespace vpipechannel {

class client {
public:
    // The largest reply accepted; a longer one is refused and the connection
    // dropped.
    static constexpr uint32_t kMaxReplyLength = 16u * 1024 * 1024;
    static constexpr int kDefaultTryCount = 5;
    // How long a call waits for its reply once the service has the request;
    // every other thread that shares the client waits as long.
    static constexpr DWORD kDefaultReplyTimeoutMs = 60000;

    // The pipe's name is read, at every connection, from the REG_SZ value
    // `pipeValueName` of HKLM `keyPath` (32-bit view); the value name itself
    // when the value is missing or empty. With `connectNow` the first connection is
    // made at once and its failure raised (a class that overrides
    // verifyServer passes false and connects in its own constructor: the
    // override is not called from here).
    client(std::wstring keyPath, std::wstring pipeValueName, bool connectNow);
    virtual ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    // One call. Exclusive per client (several threads may share one); makes
    // a second attempt over a new connection when the first one fails or
    // finds the pipe broken before its request was written whole. Once the
    // service has the request, a failure (a bad, short or oversized reply,
    // the pipe breaking) goes to the caller: a second attempt would have the
    // service carry out the call twice. The reply's records are read by the
    // caller.
    std::unique_ptr<vserializer::reader> query(const GUID& method, const vserializer::writer& arguments);

    // "\\.\pipe\" + the configured name.
    std::wstring pipePath() const;

    // A reply that is not whole within `milliseconds` fails its call and
    // drops the connection (the request is not sent again).
    void setReplyTimeout(DWORD milliseconds) { replyTimeoutMs_ = milliseconds; }

protected:
    // Uses the current connection while it is open, else opens a new one.
    void connect();
    // Called for every new connection before it is used; a failure drops
    // the connection. The default accepts every server.
    virtual void verifyServer(HANDLE pipe, const std::wstring& path);

private:
    // One try over the current connection (a new one when there is none);
    // any failure leaves the client without a connection.
    std::unique_ptr<vserializer::reader> attempt(const GUID& method, const vserializer::writer& arguments);
    // Writes the request and reads its reply.
    std::unique_ptr<vserializer::reader> exchange(const GUID& method, const vserializer::writer& arguments);
    // Reads one whole message of the reply, `count` bytes (an empty one for
    // 0), waiting no later than `deadline` (GetTickCount64).
    void readReply(void* buffer, DWORD count, ULONGLONG deadline);

    std::unique_ptr<Con::ClientOverlappedPipe> pipe_;
    std::wstring keyPath_;
    std::wstring pipeValueName_;
    VCriticalSection lock_;
    // Whether the current attempt's request reached the service whole.
    bool delivered_ = false;
    DWORD replyTimeoutMs_ = kDefaultReplyTimeoutMs;
};

}  // namespace vpipechannel
