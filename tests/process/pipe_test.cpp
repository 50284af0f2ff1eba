#include "process/pipe.h"

#include "product_settings.h"
#include "process_test_support.h"
#include "sandbox_kit.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace process_testing;
using testing_support::ProductSettings;
using testing_support::systemText;

namespace {

constexpr DWORD kDuplex = PIPE_ACCESS_DUPLEX;
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

std::wstring pipeName() { return sandboxkit::uniqueName(L"\\\\.\\pipe\\quarn-pipe-test-"); }

// A byte-mode server end with one instance.
Con::ServerPipe blockingServer(const std::wstring& name) {
    return Con::ServerPipe(name, kDuplex, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
}

// "PipeConnectTryCount" set for the test, the cache starting afresh.
class TryCountSetting {
public:
    explicit TryCountSetting(DWORD value) {
        settings_.setDword(L"PipeConnectTryCount", value);
        Con::detail::resetPipeConnectTryCount();
    }
    ~TryCountSetting() { Con::detail::resetPipeConnectTryCount(); }
    ProductSettings& settings() { return settings_; }

private:
    ProductSettings settings_;
};

// Reads `count` bytes from `reader` while another thread writes `bytes` to
// `writer`: the pipe pair has no buffer, so a write waits for its reader.
std::string transfer(Con::Pipe& writer, Con::Pipe& reader, const std::string& bytes) {
    UniqueHandle thread = startHelperThread(
        [&] { EXPECT_EQ(writer.write(bytes.data(), static_cast<DWORD>(bytes.size()), true), bytes.size()); });
    std::string received(bytes.size(), '\0');
    EXPECT_EQ(reader.read(received.data(), static_cast<DWORD>(received.size()), true), bytes.size());
    EXPECT_EQ(::WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    return received;
}

}  // namespace

TEST(PipeConnect, BusyPipeIsTriedTheConfiguredNumberOfTimes) {
    const std::wstring name = pipeName();
    auto server = std::make_unique<Con::ServerPipe>(name, kDuplex, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    Con::ClientPipe holder(name, kReadWrite, PIPE_READMODE_BYTE, 1);
    {
        TryCountSetting tries(5);
        const ULONGLONG start = ::GetTickCount64();
        auto error = expectError<vexception>([&] { Con::ClientPipe(name, kReadWrite, PIPE_READMODE_BYTE, 1); });
        const ULONGLONG elapsed = elapsedSince(start);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message(), L"Unable to connect to pipe " + name);
        ASSERT_EQ(error->context().size(), 1u);
        EXPECT_EQ(error->context()[0].function, "Con::ClientPipe::create");
        // Five tries, each waiting up to a second for the busy pipe.
        EXPECT_GE(elapsed, 4500u);
        EXPECT_LT(elapsed, 15000u);
    }
    {
        // 0 configured: the caller's default of one try.
        TryCountSetting none(0);
        const ULONGLONG start = ::GetTickCount64();
        auto error = expectError<vexception>(
            [&] { Con::ClientOverlappedPipe(name, kReadWrite, PIPE_READMODE_BYTE, 1); });
        const ULONGLONG elapsed = elapsedSince(start);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message(), L"Unable to connect to pipe " + name);
        EXPECT_EQ(error->context()[0].function, "Con::ClientOverlappedPipe::create");
        EXPECT_GE(elapsed, 900u);
        EXPECT_LT(elapsed, 3500u);
    }
    // No tries at all fail without touching the pipe.
    auto error = expectError<vexception>([&] { Con::ClientPipe(name, kReadWrite, PIPE_READMODE_BYTE, 0); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Unable to connect to pipe " + name);
}

TEST(PipeConnect, MissingPipeFailsAtTheFirstTryWithItsError) {
    TryCountSetting tries(5);
    const std::wstring name = pipeName();
    const ULONGLONG start = ::GetTickCount64();
    auto error = expectError<VFileNotFoundException>(
        [&] { Con::ClientOverlappedPipe(name, kReadWrite, PIPE_READMODE_BYTE, 3); });
    EXPECT_LT(elapsedSince(start), 900u);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 2u);
    EXPECT_EQ(error->message(), systemText(2) + L" (Error code 2) at Unable to connect to pipe " + name);
    EXPECT_EQ(error->context()[0].function, "Con::ClientOverlappedPipe::create");
}

TEST(PipeConnect, TryCountIsReadOnTheFirstAndEverySixteenthRequestUntilAReadFails) {
    TryCountSetting tries(3);
    EXPECT_EQ(Con::pipeConnectTryCount(), 3u);
    tries.settings().setDword(L"PipeConnectTryCount", 7);
    for (int request = 2; request <= 16; ++request) EXPECT_EQ(Con::pipeConnectTryCount(), 3u) << request;
    EXPECT_EQ(Con::pipeConnectTryCount(), 7u);  // the 17th
    // A value of the wrong type makes the read raise: the last value stays,
    // and the setting is never read again.
    tries.settings().setString(L"PipeConnectTryCount", L"9");
    for (int request = 18; request <= 33; ++request) EXPECT_EQ(Con::pipeConnectTryCount(), 7u) << request;
    tries.settings().setDword(L"PipeConnectTryCount", 9);
    for (int request = 34; request <= 66; ++request) EXPECT_EQ(Con::pipeConnectTryCount(), 7u) << request;
    // A missing value reads as none configured.
    Con::detail::resetPipeConnectTryCount();
    tries.settings().remove(L"PipeConnectTryCount");
    EXPECT_EQ(Con::pipeConnectTryCount(), 0u);
}

TEST(PipeTransfer, AfterTheWriterClosedReadsReturnZeroWithoutAPlatformCall) {
    const std::wstring name = pipeName();
    Con::ServerPipe server = blockingServer(name);
    {
        Con::ClientPipe writer(name, GENERIC_WRITE, PIPE_READMODE_BYTE, 1);
        server.connect();
        EXPECT_EQ(writer.write("abc", 3, true), 3u);
    }
    char buffer[16] = {};
    EXPECT_EQ(server.read(buffer, sizeof(buffer), false), 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_FALSE(server.endOfData());
    EXPECT_EQ(server.read(buffer, sizeof(buffer), false), 0u);
    EXPECT_TRUE(server.endOfData());

    // A new client puts data into the pipe: the end still answers 0 without
    // reading it, although the handle could read it.
    ASSERT_TRUE(::DisconnectNamedPipe(server.handle()));
    UniqueHandle writerThread = startHelperThread([name] {
        ::Sleep(100);
        Con::ClientPipe second(name, GENERIC_WRITE, PIPE_READMODE_BYTE, 1);
        second.write("xyz", 3, true);
    });
    server.connect();
    ASSERT_EQ(::WaitForSingleObject(writerThread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(server.read(buffer, sizeof(buffer), true), 0u);
    EXPECT_EQ(server.write("no", 2, true), 0u);
    DWORD read = 0;
    ASSERT_TRUE(::ReadFile(server.handle(), buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "xyz");

    server.close(true);
    EXPECT_FALSE(server.isOpen());
    EXPECT_EQ(server.handle(), INVALID_HANDLE_VALUE);
}

TEST(PipeTransfer, OverlappedReadPendingWhenTheWriterClosesReturnsZero) {
    const std::wstring name = pipeName();
    Con::ServerOverlappedPipe server(name, kDuplex, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    auto writer = std::make_unique<Con::ClientPipe>(name, GENERIC_WRITE, PIPE_READMODE_BYTE, 1);
    server.connect();
    char buffer[8];
    EXPECT_EQ(server.beginRead(buffer, sizeof(buffer), true), 0u);
    EXPECT_TRUE(server.inFlight());
    writer.reset();
    // Exact or not, the peer going away is no error.
    EXPECT_EQ(server.complete(nullptr, 5000, true), 0u);
    EXPECT_TRUE(server.endOfData());
    EXPECT_FALSE(server.inFlight());
    EXPECT_EQ(server.read(buffer, sizeof(buffer), true), 0u);
    EXPECT_EQ(server.beginWrite("x", 1, true), 0u);
    EXPECT_FALSE(server.inFlight());
}

TEST(PipeTransfer, OneRequestInFlightAtATime) {
    const std::wstring name = pipeName();
    Con::ServerOverlappedPipe server(name, kDuplex, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    Con::ClientOverlappedPipe client(name, kReadWrite, PIPE_READMODE_BYTE, 1);
    server.connect();

    auto error = expectError<vexception>([&] { server.complete(nullptr, 0, false); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Previous request has completed!");
    EXPECT_EQ(error->context()[0].function, "Con::OverlappedPipe::complete");

    char buffer[8];
    EXPECT_EQ(server.beginRead(buffer, sizeof(buffer), false), 0u);
    error = expectError<vexception>([&] { server.beginRead(buffer, sizeof(buffer), false); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Previous request has not completed!");
    EXPECT_EQ(error->context()[0].function, "Con::OverlappedPipe::beginRead");
    error = expectError<vexception>([&] { server.beginWrite("x", 1, false); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Previous request has not completed!");
    EXPECT_EQ(error->context()[0].function, "Con::OverlappedPipe::beginWrite");

    // The request is still the first one and gets the data.
    EXPECT_EQ(client.write("hello", 5, true), 5u);
    EXPECT_EQ(server.complete(nullptr, 5000, false), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    // Data waiting already: the request finishes at once.
    EXPECT_EQ(client.write("again", 5, true), 5u);
    EXPECT_EQ(server.beginRead(buffer, 5, true), 5u);
    EXPECT_FALSE(server.inFlight());
}

TEST(PipeTransfer, ExactTransferOfFewerBytesRaises) {
    const std::wstring name = pipeName();
    Con::ServerPipe server = blockingServer(name);
    Con::ClientOverlappedPipe client(name, kReadWrite, PIPE_READMODE_BYTE, 1);
    server.connect();
    char buffer[16];

    EXPECT_EQ(client.write("abc", 3, true), 3u);
    auto error = expectError<vexception>([&] { server.read(buffer, 10, true); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Completed only 3 of 10 bytes");
    EXPECT_EQ(error->context()[0].function, "Con::Pipe::read");

    // The overlapped end: finished at once, and finished later.
    EXPECT_EQ(server.write("defg", 4, true), 4u);
    error = expectError<vexception>([&] { client.read(buffer, 6, true); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Completed only 4 of 6 bytes");
    EXPECT_FALSE(client.inFlight());

    EXPECT_EQ(client.beginRead(buffer, 12, true), 0u);
    EXPECT_EQ(server.write("hi", 2, true), 2u);
    error = expectError<vexception>([&] { client.complete(nullptr, 5000, true); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Completed only 2 of 12 bytes");
    EXPECT_EQ(error->context()[0].function, "Con::OverlappedPipe::internalComplete");
    EXPECT_FALSE(client.inFlight());
    EXPECT_EQ(std::string(buffer, 2), "hi");
}

TEST(PipeTransfer, CompleteEndsOnTheCancelEventOrTheTimeOutWithoutLosingData) {
    const std::wstring name = pipeName();
    Con::ServerOverlappedPipe server(name, kDuplex, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    Con::ClientPipe client(name, kReadWrite, PIPE_READMODE_BYTE, 1);
    server.connect();
    char buffer[8] = {};

    EXPECT_EQ(server.beginRead(buffer, sizeof(buffer), false), 0u);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(server.complete(nullptr, 100, false), 0u);
    EXPECT_GE(elapsedSince(start), 90u);
    EXPECT_FALSE(server.inFlight());
    EXPECT_FALSE(server.endOfData());

    UniqueHandle cancel(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(server.beginRead(buffer, sizeof(buffer), false), 0u);
    EXPECT_EQ(server.complete(cancel.get(), INFINITE, false), 0u);
    EXPECT_FALSE(server.inFlight());

    // The cancelled requests took nothing out of the pipe.
    EXPECT_EQ(client.write("kept", 4, true), 4u);
    EXPECT_EQ(server.read(buffer, 4, true), 4u);
    EXPECT_EQ(std::string(buffer, 4), "kept");

    // The request's own event wins over a cancel event that is not signalled.
    ::ResetEvent(cancel.get());
    EXPECT_EQ(server.beginRead(buffer, sizeof(buffer), false), 0u);
    EXPECT_EQ(client.write("new", 3, true), 3u);
    EXPECT_EQ(server.complete(cancel.get(), 5000, false), 3u);
}

TEST(PipeTransfer, OverlappedServerWaitsForItsClient) {
    const std::wstring name = pipeName();
    Con::ServerOverlappedPipe server(name, kDuplex, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    UniqueHandle connector = startHelperThread([name] {
        ::Sleep(200);
        Con::ClientOverlappedPipe client(name, kReadWrite, PIPE_READMODE_BYTE, 1);
        client.write("ping", 4, true);
        char reply[4];
        client.read(reply, 4, true);
    });
    server.connect();
    char buffer[4];
    EXPECT_EQ(server.read(buffer, 4, true), 4u);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    EXPECT_EQ(server.write("pong", 4, true), 4u);
    EXPECT_EQ(::WaitForSingleObject(connector.get(), 10000), WAIT_OBJECT_0);
    // The server knows who connected: the open at identification level works.
    ULONG clientProcess = 0;
    EXPECT_TRUE(::GetNamedPipeClientProcessId(server.handle(), &clientProcess));
    EXPECT_EQ(clientProcess, ::GetCurrentProcessId());
}

TEST(PipePair, DataFlowsFromTheClientEndToTheServerEnd) {
    for (bool overlapped : {false, true}) {
        SCOPED_TRACE(overlapped ? "overlapped" : "blocking");
        std::unique_ptr<Con::Pipe> server, client;
        Con::createPipePair(server, client, false, overlapped);
        EXPECT_EQ(dynamic_cast<Con::OverlappedPipe*>(server.get()) != nullptr, overlapped);
        EXPECT_EQ(dynamic_cast<Con::OverlappedPipe*>(client.get()), nullptr);

        ULONG serverProcess = 0;
        EXPECT_TRUE(::GetNamedPipeServerProcessId(client->handle(), &serverProcess));
        EXPECT_EQ(serverProcess, ::GetCurrentProcessId());
        DWORD flags = 1;
        EXPECT_TRUE(::GetHandleInformation(server->handle(), &flags));
        EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);

        EXPECT_EQ(transfer(*client, *server, "one way"), "one way");
        // Inbound only: the server end cannot write.
        auto error = expectError<VAccessDeniedException>([&] { server->write("back", 4, true); });
        ASSERT_TRUE(error);

        // A clone is an inheritable duplicate that reads the same pipe.
        std::unique_ptr<Con::Pipe> clone = server->clone();
        EXPECT_EQ(dynamic_cast<Con::OverlappedPipe*>(clone.get()) != nullptr, overlapped);
        EXPECT_TRUE(::GetHandleInformation(clone->handle(), &flags));
        EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);
        EXPECT_EQ(transfer(*client, *clone, "dup"), "dup");
    }
}

TEST(PipePair, InheritableAndReplacingWhatTheOutParametersHeld) {
    std::unique_ptr<Con::Pipe> server, client;
    Con::createPipePair(server, client, true, true);
    DWORD flags = 0;
    EXPECT_TRUE(::GetHandleInformation(server->handle(), &flags));
    EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);
    EXPECT_TRUE(::GetHandleInformation(client->handle(), &flags));
    EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);

    // A second pair over the same out-parameters destroys the first server
    // end: its old client finds the reader gone.
    std::unique_ptr<Con::Pipe> oldClient = std::move(client);
    Con::createPipePair(server, client, false, false);
    EXPECT_EQ(oldClient->write("lost", 4, false), 0u);
    EXPECT_TRUE(oldClient->endOfData());
    EXPECT_EQ(transfer(*client, *server, "new"), "new");
}
