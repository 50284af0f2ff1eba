#include "pipe_server.h"

namespace testing_support {

void appendU32(Bytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void appendWideString(Bytes& out, const std::wstring& text) {
    appendU32(out, static_cast<uint32_t>(text.size() * 2 + 1));
    out.push_back(2);
    for (wchar_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
}

Bytes wideStringRecord(const std::wstring& text) {
    Bytes out;
    appendWideString(out, text);
    return out;
}

std::vector<Bytes> ScriptedPipeServer::framed(const Bytes& body) {
    Bytes length;
    appendU32(length, static_cast<uint32_t>(body.size()));
    return {length, body};
}

std::vector<Bytes> ScriptedPipeServer::stringReply(const std::wstring& text) { return framed(wideStringRecord(text)); }

ScriptedPipeServer::ScriptedPipeServer(std::wstring name, Responder responder)
    : name_(std::move(name)), responder_(std::move(responder)) {
    stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    io_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = ::CreateThread(nullptr, 0, run, this, 0, nullptr);
    // The first instance exists once the thread has created it.
    ::WaitForSingleObject(ready_, 10000);
}

ScriptedPipeServer::~ScriptedPipeServer() {
    ::SetEvent(stop_);
    ::WaitForSingleObject(thread_, 10000);
    for (HANDLE h : {thread_, ready_, io_, stop_}) ::CloseHandle(h);
}

std::vector<Bytes> ScriptedPipeServer::requests() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

// The level of the token the client's quality of service gives the server;
// the server thread reverts to its own token at once.
int ScriptedPipeServer::clientLevel(HANDLE pipe) {
    if (!::ImpersonateNamedPipeClient(pipe)) return -1;
    int level = -1;
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        SECURITY_IMPERSONATION_LEVEL value{};
        DWORD size = 0;
        if (::GetTokenInformation(token, TokenImpersonationLevel, &value, sizeof value, &size)) level = value;
        ::CloseHandle(token);
    }
    ::RevertToSelf();
    return level;
}

DWORD WINAPI ScriptedPipeServer::run(void* self) {
    static_cast<ScriptedPipeServer*>(self)->serve();
    return 0;
}

// False when the transfer failed or the server is stopping.
bool ScriptedPipeServer::transfer(HANDLE pipe, void* buffer, DWORD count, DWORD& done, bool write) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_;
    ::ResetEvent(io_);
    done = 0;
    const BOOL ok = write ? ::WriteFile(pipe, buffer, count, &done, &overlapped)
                          : ::ReadFile(pipe, buffer, count, &done, &overlapped);
    if (!ok && ::GetLastError() != ERROR_IO_PENDING && ::GetLastError() != ERROR_MORE_DATA) return false;
    HANDLE events[2] = {io_, stop_};
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIo(pipe);
        DWORD unused = 0;
        ::GetOverlappedResult(pipe, &overlapped, &unused, TRUE);
        return false;
    }
    return ::GetOverlappedResult(pipe, &overlapped, &done, FALSE) || ::GetLastError() == ERROR_MORE_DATA;
}

HANDLE ScriptedPipeServer::createInstance() const {
    const std::wstring path = L"\\\\.\\pipe\\" + name_;
    return ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 65536,
                              65536, 0, nullptr);
}

bool ScriptedPipeServer::accept(HANDLE pipe) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_;
    ::ResetEvent(io_);
    if (::ConnectNamedPipe(pipe, &overlapped) || ::GetLastError() == ERROR_PIPE_CONNECTED) return true;
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    HANDLE events[2] = {io_, stop_};
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIo(pipe);
        return false;
    }
    DWORD unused = 0;
    return ::GetOverlappedResult(pipe, &overlapped, &unused, FALSE) != 0;
}

void ScriptedPipeServer::serveConnection(HANDLE pipe) {
    ++connections_;
    while (true) {
        Bytes request(4);
        DWORD done = 0;
        if (!transfer(pipe, request.data(), 4, done, false) || done != 4) return;
        const uint32_t size = request[0] | (request[1] << 8) | (request[2] << 16) | (uint32_t{request[3]} << 24);
        Bytes body(size);
        if (size != 0 && (!transfer(pipe, body.data(), size, done, false) || done != size)) return;
        request.insert(request.end(), body.begin(), body.end());
        lastClientLevel_ = clientLevel(pipe);
        {
            std::lock_guard<std::mutex> hold(lock_);
            requests_.push_back(request);
        }
        const std::vector<Bytes> reply = responder_(body);
        if (reply.empty()) return;
        for (Bytes message : reply)
            if (!transfer(pipe, message.data(), static_cast<DWORD>(message.size()), done, true)) return;
    }
}

void ScriptedPipeServer::serve() {
    // The next instance is created before a connection is served, so a
    // client that reconnects never finds the pipe missing.
    HANDLE next = createInstance();
    ::SetEvent(ready_);
    while (next != INVALID_HANDLE_VALUE && ::WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) {
        if (!accept(next)) {
            ::CloseHandle(next);
            next = createInstance();
            continue;
        }
        HANDLE current = next;
        next = createInstance();
        serveConnection(current);
        // Stopping ends the connection the way a dying server does: the
        // handle goes without a disconnect.
        if (::WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) ::DisconnectNamedPipe(current);
        ::CloseHandle(current);
    }
    if (next != INVALID_HANDLE_VALUE) ::CloseHandle(next);
}

}  // namespace testing_support
