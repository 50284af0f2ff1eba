#include "ipc/pipe_channel.h"

#include "config/registry.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/text.h"
#include "process/pipe.h"
#include "threading/cancelation_point.h"

namespace {

constexpr ContextSite kQuery{"vpipechannel::client::query", 239};
constexpr ContextSite kReply{"vpipechannel::client::query", 262};

constexpr DWORD kReadWrite = 0xC0000003;
constexpr DWORD kMessageReadMode = PIPE_READMODE_MESSAGE;

[[noreturn]] void pipeFinished() {
    LogManager::print(LogWarning, L"Connection to Quarn Management Service is broken: Pipe is finished");
    throw vexception(L"Pipe is finished", kQuery.entry());
}

void putLength(uint8_t* target, uint32_t length) {
    for (int i = 0; i < 4; ++i) target[i] = static_cast<uint8_t>(length >> (8 * i));
}

}  // namespace

namespace vpipechannel {

client::client(std::wstring keyPath, std::wstring pipeValueName, bool connectNow)
    : keyPath_(std::move(keyPath)), pipeValueName_(std::move(pipeValueName)) {
    if (connectNow) connect();
}

client::~client() = default;

std::wstring client::pipePath() const {
    std::wstring name;
    // An empty name would make the path the pipe file system's root: it
    // counts as missing.
    if (registry::lookup(HKEY_LOCAL_MACHINE, keyPath_, pipeValueName_, name, REG_SZ, registry::View32) != 0 ||
        name.empty())
        name = pipeValueName_;
    return L"\\\\.\\pipe\\" + name;
}

void client::verifyServer(HANDLE, const std::wstring&) {}

void client::connect() {
    if (pipe_ && pipe_->isOpen()) return;
    pipe_.reset();
    const std::wstring path = pipePath();
    auto pipe = std::make_unique<Con::ClientOverlappedPipe>(path, kReadWrite, kMessageReadMode, kDefaultTryCount);
    verifyServer(pipe->handle(), path);
    pipe_ = std::move(pipe);
}

std::unique_ptr<vserializer::reader> client::attempt(const GUID& method, const vserializer::writer& arguments) {
    delivered_ = false;
    connect();
    if (pipe_->endOfData()) pipeFinished();
    // From the first byte of the request on, the pipe holds this call's
    // reply: a call that ends without reading it whole (an error, a reply
    // longer than announced, a cancellation) drops the connection, or the
    // next call would read what is left of it as its own reply.
    try {
        return exchange(method, arguments);
    } catch (...) {
        pipe_.reset();
        throw;
    }
}

std::unique_ptr<vserializer::reader> client::exchange(const GUID& method, const vserializer::writer& arguments) {
    vserializer::writer body;
    body.appendBlock(&method, sizeof method);
    body.appendRaw(arguments.data(), arguments.size());
    uint8_t length[4];
    putLength(length, body.size());
    pipe_->write(length, sizeof length, true);
    pipe_->write(body.data(), body.size(), true);
    // A pipe whose server has gone took nothing; otherwise the service has
    // the whole request and may be carrying it out.
    delivered_ = !pipe_->endOfData();

    const ULONGLONG deadline = ::GetTickCount64() + replyTimeoutMs_;
    uint8_t replyLength[4] = {};
    readReply(replyLength, sizeof replyLength, deadline);
    const uint32_t size = replyLength[0] | (uint32_t{replyLength[1]} << 8) | (uint32_t{replyLength[2]} << 16) |
                          (uint32_t{replyLength[3]} << 24);
    // A pipe whose server has gone transfers nothing: that is a broken
    // connection, not an empty reply.
    if (pipe_->endOfData()) pipeFinished();
    if (size > kMaxReplyLength)
        throw vexception(format(L"The reply of %u bytes from the Quarn Management Service is longer than %u bytes",
                                size, kMaxReplyLength),
                         kReply.entry());
    // The body is a message of its own, also when it is empty: left unread,
    // an empty one would be the next call's reply length.
    std::vector<uint8_t> reply(size);
    uint8_t none = 0;
    readReply(size != 0 ? reply.data() : &none, size, deadline);
    if (pipe_->endOfData()) pipeFinished();
    return std::make_unique<vserializer::reader>(std::move(reply));
}

void client::readReply(void* buffer, DWORD count, ULONGLONG deadline) {
    pipe_->beginRead(buffer, count, true);
    if (!pipe_->inFlight()) return;
    const ULONGLONG now = ::GetTickCount64();
    pipe_->complete(nullptr, now < deadline ? static_cast<DWORD>(deadline - now) : 0, true);
    if (pipe_->cancelled())
        throw vexception(format(L"The Quarn Management Service did not answer within %u seconds",
                                (replyTimeoutMs_ + 999) / 1000),
                         kReply.entry());
}

std::unique_ptr<vserializer::reader> client::query(const GUID& method, const vserializer::writer& arguments) {
    VCriticalSectionLock lock(lock_);
    try {
        return attempt(method, arguments);
    } catch (const ThreadCancelation::ThreadCanceled&) {
        throw;
    } catch (const vexception& error) {
        // A delivered request is not sent again: the service would carry out
        // the call twice.
        if (delivered_) throw;
        LogManager::print(LogInfo, L"Quarn Management service pipe communication error: %s. Trying to reconnect.",
                          error.message().c_str());
    } catch (...) {
        if (delivered_) throw;
        LogManager::print(LogInfo, L"Quarn Management service pipe unknown communication error. Trying to reconnect.");
    }
    pipe_.reset();
    return attempt(method, arguments);
}

}  // namespace vpipechannel
