// Named pipe ends: a plain blocking end, server and client ends that create
// or open a pipe by name, and overlapped ends whose reads and writes can be
// started, waited for and cancelled.
//
// The peer going away is not an error: a read or write then transfers
// nothing, returns 0 and sets the end-of-data flag, after which every read
// and write returns 0 without a platform call. An end is used by one thread
// at a time.
#pragma once

#include "diagnostics/handles.h"
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
    // An inheritable duplicate of the handle with the same access; raises
    // "Unable to duplicate handle".
    HANDLE duplicateInheritable() const;

    HANDLE handle_;
    bool endOfData_ = false;
    uint32_t reserved_ = 0;
};

// The server end of a named pipe, created by name.
//
// The destructor flushes and disconnects an open end, like close(false).
// Flushing waits until the client has read what was written to it.
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
    // Raises "Unable to connect to pipe".
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
    // else `defaultTryCount`). A busy pipe is waited for (up to a second per
    // try); when every try found it busy, or there are no tries, raises the
    // vexception "Unable to connect to pipe " + name. Any other failure to
    // open raises at once the vosexception of that error with the same text,
    // and a failure to set `readMode` "Unable to set mode of pipe " + name.
    // Every try is a thread cancellation point.
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
    UniqueHandle event_;
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
    // cancelled and 0 returned, once the platform has let go of the buffer (a
    // request that finished meanwhile returns its byte count instead, so no
    // data read from the pipe is lost). Raises "Previous request has
    // completed!" when nothing is in flight. The wait is a thread
    // cancellation point; a cancellation cancels the I/O as well.
    DWORD complete(HANDLE cancelEvent, DWORD timeoutMs, bool exact);
    bool inFlight() const { return !completed_; }
    // Whether the last request ended by being cancelled (the time-out, the
    // cancel event, a thread cancellation) rather than by finishing: a zero
    // byte count alone cannot tell an empty message from a cancelled read.
    bool cancelled() const { return cancelled_; }
    // Cancels a request in flight, and closes the handle (see Pipe::close).
    void close(bool noFlush = false) override;

protected:
    // A clone of `from` around `handle`: its flags, a duplicate of its event.
    OverlappedPipe(HANDLE handle, const OverlappedPipe& from);
    // The result of the request in flight, waiting for its end.
    DWORD internalComplete(bool exact);
    // CancelIo, then waits until the platform has finished with the request.
    // Returns the bytes it transferred after all (0 when it was cancelled).
    DWORD cancelInFlight();

    DWORD requested_ = 0;
    Overlapped overlapped_;
    bool completed_ = true;
    bool cancelled_ = false;

private:
    DWORD begin(bool reading, void* buffer, DWORD count, bool exact);
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
    // Waits (without a limit; `timeoutMs` is not used) for a client; a client
    // that connected already counts as success. Raises "Unable to connect to
    // pipe" or "Unable to wait while pipe has been connected".
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
// flows from `client` (opened for writing) to `server` (inbound, one
// instance). With `overlapped` the server end is a ServerOverlappedPipe. The
// client end is always a blocking ClientPipe: it is usually given to a child
// process as a standard handle, and a child's plain writes need a handle
// opened without FILE_FLAG_OVERLAPPED. With `inheritable` both handles are
// inheritable. Any objects the two out-parameters held are destroyed and
// replaced.
void createPipePair(std::unique_ptr<Pipe>& server, std::unique_ptr<Pipe>& client, bool inheritable,
                    bool overlapped);

// The value of "PipeConnectTryCount" (HKLM "SOFTWARE\Quarn\ZRT Config\Config",
// 32-bit view; 0 when missing) as client connections use it, counting one
// connection request. Cached process-wide: read on the first request and on
// every sixteenth after it; once a read raises (a value of the wrong type),
// it is never read again and the last value is kept (initially 0).
DWORD pipeConnectTryCount();

namespace detail {
// Forgets the cached try count and the request counter, as at process start.
void resetPipeConnectTryCount();
}  // namespace detail

}  // namespace Con
