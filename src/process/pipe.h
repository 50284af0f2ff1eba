// Named pipe ends: a plain blocking end, server and client ends that create
// or open a pipe by name, and overlapped ends whose reads and writes can be
// started, waited for and cancelled.
//
// The peer going away is not an error: a read or write then transfers
// nothing, returns 0 and sets the end-of-data flag, after which every read
// and write returns 0 without a platform call. An end is used by one thread
// at a time.
#pragma once

#include "diagnostics/win32.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Con {

class Pipe {
public:
    // Takes ownership of `handle` (INVALID_HANDLE_VALUE: a closed end).
    explicit Pipe(HANDLE handle = INVALID_HANDLE_VALUE);
    virtual ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Bytes transferred; 0 once the peer has gone. With `exact`, a transfer
    // of fewer bytes than asked raises "Completed only %d of %d bytes".
    virtual DWORD read(void* buffer, DWORD count, bool exact);
    virtual DWORD write(const void* buffer, DWORD count, bool exact);
    // Closes the handle (a server end that is open is flushed and
    // disconnected first unless `noFlush`) and sets end-of-data.
    virtual void close(bool noFlush = false);
    // A new end with an inheritable duplicate of the handle and the same
    // flags; an overlapped end clones into the overlapped form.
    virtual std::unique_ptr<Pipe> clone() const;

    HANDLE handle() const { return handle_; }
    // The handle is neither null nor INVALID_HANDLE_VALUE.
    bool isOpen() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    bool endOfData() const { return endOfData_; }

protected:
    HANDLE handle_;
    bool endOfData_ = false;
    uint32_t reserved_ = 0;
};

// The server end of a named pipe, created by name.
class ServerPipe : public Pipe {
public:
    ServerPipe(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outBufferSize,
               DWORD inBufferSize, DWORD defaultTimeout, SECURITY_ATTRIBUTES* security);
    ~ServerPipe() override;
    // CreateNamedPipeW; raises "Unable to create pipe " + name.
    static HANDLE create(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                         DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                         SECURITY_ATTRIBUTES* security);
    // Waits for a client; a client that connected already counts as success.
    void connect();
    void close(bool noFlush = false) override;
};

// The client end of a named pipe, opened by name. Client ends are opened at
// identification level (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION): the
// server can learn who connects but cannot act as that user.
class ClientPipe : public Pipe {
public:
    ClientPipe(const std::wstring& name, DWORD desiredAccess, DWORD readMode, int defaultTryCount);
    // Opens with up to the configured number of tries ("PipeConnectTryCount",
    // else `defaultTryCount`), waiting for a busy pipe; raises "Unable to
    // connect to pipe " + name.
    static HANDLE create(const std::wstring& name, DWORD desiredAccess, DWORD readMode, int defaultTryCount);
};

// An OVERLAPPED record with its own manual-reset event, initially signalled.
// Copying duplicates the event.
class Overlapped {
public:
    Overlapped();
    Overlapped(const Overlapped& other);
    Overlapped& operator=(const Overlapped&) = delete;
    ~Overlapped();

    // Resets the event.
    void resert();
    OVERLAPPED* get() { return &record_; }
    HANDLE event() const { return record_.hEvent; }

private:
    OVERLAPPED record_{};
};

class OverlappedPipe : public Pipe {
public:
    explicit OverlappedPipe(HANDLE handle = INVALID_HANDLE_VALUE);
    ~OverlappedPipe() override;

    // beginRead/beginWrite + complete without a limit.
    DWORD read(void* buffer, DWORD count, bool exact) override;
    DWORD write(const void* buffer, DWORD count, bool exact) override;
    std::unique_ptr<Pipe> clone() const override;

    // Starts a transfer: the byte count when it finished at once, 0 when it
    // is pending (or the peer has gone). Raises "Previous request has not
    // completed!" while one is in flight. `buffer` must stay valid until the
    // request completes or is cancelled.
    DWORD beginRead(void* buffer, DWORD count, bool exact);
    DWORD beginWrite(const void* buffer, DWORD count, bool exact);
    // Waits for the request in flight, or for `cancelEvent` (may be null), up
    // to `timeoutMs` (INFINITE: no limit). Cancelled or timed out: the I/O is
    // cancelled and 0 returned. Raises "Previous request has completed!"
    // when nothing is in flight.
    DWORD complete(HANDLE cancelEvent, DWORD timeoutMs, bool exact);
    bool inFlight() const { return !completed_; }

protected:
    DWORD internalComplete(bool exact);

    DWORD requested_ = 0;
    Overlapped overlapped_;
    bool completed_ = true;
};

class ServerOverlappedPipe : public OverlappedPipe {
public:
    ServerOverlappedPipe(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                         DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                         SECURITY_ATTRIBUTES* security);
    ~ServerOverlappedPipe() override;
    // As ServerPipe::create, with FILE_FLAG_OVERLAPPED added to `openMode`.
    static HANDLE create(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                         DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                         SECURITY_ATTRIBUTES* security);
    // Waits (without a limit; `timeoutMs` is not used) for a client.
    void connect(DWORD timeoutMs = INFINITE);
    void close(bool noFlush = false) override;
};

class ClientOverlappedPipe : public OverlappedPipe {
public:
    ClientOverlappedPipe(const std::wstring& name, DWORD desiredAccess, DWORD readMode, int defaultTryCount);
    // As ClientPipe::create, opening with FILE_FLAG_OVERLAPPED.
    static HANDLE create(const std::wstring& name, DWORD desiredAccess, DWORD readMode, int defaultTryCount);
};

// A connected pair over a new "\\.\pipe\QuarnWin32.Pipes." + GUID pipe: data
// flows from `client` (opened for writing) to `server` (inbound). Any
// objects the two out-parameters held are destroyed and replaced.
void createPipePair(std::unique_ptr<Pipe>& server, std::unique_ptr<Pipe>& client, bool inheritable,
                    bool overlapped);

}  // namespace Con
