#include "ipc/pipe_channel.h"

#include "diagnostics/text.h"
#include "sandbox_kit.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "pipe_server.h"
#include "product_settings.h"
#include "test_support.h"

using testing_support::appendU32;
using testing_support::appendWideString;
using testing_support::Bytes;
using testing_support::ScriptedPipeServer;

namespace {

// The management service's getString method.
constexpr GUID kMethod = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
const wchar_t kKey[] = L"SOFTWARE\\Quarn Tests\\Channel";

// A channel whose pipe name value is missing, so its pipe is named after the
// value: a name of its own for every test.
struct Channel {
    std::wstring name = sandboxkit::uniqueName(L"quarn-channel-");
    testing_support::ProductSettings settings{kKey};

    Channel() { settings.remove(name); }
    vpipechannel::client client(bool connectNow = false) const { return vpipechannel::client(kKey, name, connectNow); }
};

// The argument of a request body as the client framed it.
std::wstring argumentOf(const Bytes& body) {
    vserializer::reader reader(Bytes(body.begin() + 20, body.end()));
    return reader.readString();
}

std::wstring ask(vpipechannel::client& client, const std::wstring& name) {
    vserializer::writer arguments;
    arguments.appendString(name);
    return client.query(kMethod, arguments)->readString();
}

std::wstring errorOf(vpipechannel::client& client, const std::wstring& name) {
    try {
        ask(client, name);
    } catch (const vexception& error) {
        return error.fullText();
    }
    ADD_FAILURE() << "no error";
    return {};
}

// The lines this process wrote to today's debug log.
std::wstring ownLogLines() {
    const std::wstring text = testing_support::debugLogText();
    const std::wstring pid = L" " + std::to_wstring(::GetCurrentProcessId()) + L" ";
    std::wstring own;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(start, end - start);
        if (line.find(pid) != std::wstring::npos) own += line + L"\n";
        start = end + 2;
    }
    return own;
}

}  // namespace

TEST(PipeChannel, RequestFramingByteForByte) {
    Channel channel;
    ScriptedPipeServer server(channel.name, [](const Bytes&) { return ScriptedPipeServer::stringReply(L"C:\\Quarn\\"); });
    auto client = channel.client(true);
    EXPECT_EQ(ask(client, L"PRODUCT_ROOT_D"), L"C:\\Quarn\\");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    Bytes expected = {0x35, 0, 0, 0, 0x10, 0, 0, 0,
                      0x3C, 0xBC, 0x3E, 0xAD, 0xB9, 0xE6, 0xCF, 0x4F, 0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22,
                      0x1D, 0, 0, 0, 0x02};
    for (wchar_t c : std::wstring(L"PRODUCT_ROOT_D")) {
        expected.push_back(static_cast<uint8_t>(c));
        expected.push_back(0);
    }
    EXPECT_EQ(requests[0], expected);
}

TEST(PipeChannel, PipeNameFromTheRegistryOrTheValueName) {
    Channel channel;
    EXPECT_EQ(channel.client().pipePath(), L"\\\\.\\pipe\\" + channel.name);
    const std::wstring other = sandboxkit::uniqueName(L"quarn-other-");
    channel.settings.setString(channel.name, other);
    ScriptedPipeServer server(other, [](const Bytes&) { return ScriptedPipeServer::stringReply(L"other"); });
    auto client = channel.client();
    EXPECT_EQ(client.pipePath(), L"\\\\.\\pipe\\" + other);
    EXPECT_EQ(ask(client, L"x"), L"other");
}

TEST(PipeChannel, RepliesEmptyErrorAndOversized) {
    Channel channel;
    int calls = 0;
    ScriptedPipeServer server(channel.name, [&](const Bytes& body) -> std::vector<Bytes> {
        ++calls;
        const std::wstring name = argumentOf(body);
        if (name == L"empty") return ScriptedPipeServer::framed({});
        if (name == L"error") {
            Bytes reply;
            appendU32(reply, 0xFFFFFFFF);
            appendWideString(reply, L"quarnsrv: no value named 'error'");
            return ScriptedPipeServer::framed(reply);
        }
        if (name == L"huge") {
            Bytes length;
            appendU32(length, 0xFFFFFFF0);
            return {length};
        }
        return ScriptedPipeServer::stringReply(L"fine");
    });
    auto client = channel.client();

    vserializer::writer arguments;
    arguments.appendString(L"empty");
    auto reply = client.query(kMethod, arguments);
    EXPECT_EQ(reply->size(), 0u);
    try {
        reply->readString();
        FAIL() << "no error";
    } catch (const vserializer::invalidprotocol& error) {
        EXPECT_EQ(error.message(), L"Unexpected end of data when read from serializer.");
    }

    EXPECT_EQ(errorOf(client, L"error"), L"quarnsrv: no value named 'error'");

    // Refused without waiting for four gigabytes, on both attempts, and the
    // connection dropped each time.
    const int before = server.connections();
    const std::wstring refused = errorOf(client, L"huge");
    EXPECT_NE(refused.find(L"The reply of 4294967280 bytes from the Quarn Management Service is longer than"),
              std::wstring::npos)
        << refused;
    EXPECT_NE(refused.find(L"vpipechannel::client::query"), std::wstring::npos);
    EXPECT_EQ(ask(client, L"next"), L"fine");
    EXPECT_EQ(server.connections(), before + 2);
}

TEST(PipeChannel, MissingPipeFailsWithItsName) {
    Channel channel;
    auto client = channel.client();
    const std::wstring text = errorOf(client, L"x");
    EXPECT_NE(text.find(L"Unable to connect to pipe \\\\.\\pipe\\" + channel.name), std::wstring::npos) << text;
    EXPECT_THROW(channel.client(true), vexception);
}

// A server that went away since the last call: the next call finds the pipe
// broken and makes its second attempt over a new connection.
TEST(PipeChannel, ReconnectsWithinTheCallAfterTheServerRestarted) {
    Channel channel;
    auto responder = [](const Bytes& body) { return ScriptedPipeServer::stringReply(L"re:" + argumentOf(body)); };
    auto client = channel.client();
    {
        ScriptedPipeServer first(channel.name, responder);
        EXPECT_EQ(ask(client, L"one"), L"re:one");
    }
    ScriptedPipeServer second(channel.name, responder);
    EXPECT_EQ(ask(client, L"two"), L"re:two");
    EXPECT_EQ(second.connections(), 1);

    const std::wstring lines = ownLogLines();
    EXPECT_NE(lines.find(L"Warning: Connection to Quarn Management Service is broken: Pipe is finished"),
              std::wstring::npos)
        << lines;
    EXPECT_NE(lines.find(L"Info: Quarn Management service pipe communication error: Pipe is finished. Trying to "
                         L"reconnect."),
              std::wstring::npos)
        << lines;
}

TEST(PipeChannel, TwoThreadsShareOneClient) {
    Channel channel;
    ScriptedPipeServer server(channel.name,
                              [](const Bytes& body) { return ScriptedPipeServer::stringReply(argumentOf(body) + L"!"); });
    auto client = channel.client(true);
    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
    auto work = [&](int thread) {
        for (int i = 0; i < 1000; ++i) {
            const std::wstring name = L"t" + std::to_wstring(thread) + L"-" + std::to_wstring(i);
            try {
                if (ask(client, name) != name + L"!") ++mismatches;
            } catch (const vexception&) {
                ++failures;
            }
        }
    };
    std::thread a(work, 1), b(work, 2);
    a.join();
    b.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(server.connections(), 1);
}

// Mutated valid replies, framing that lies about the body's length, and
// random bytes: every call ends with a result or an error of the program's
// own model, and a valid reply afterwards is read as it should be.
TEST(PipeChannel, SurvivesTenThousandMalformedReplies) {
    Channel channel;
    std::mt19937 random(20261209);
    auto byte = [&] { return static_cast<uint8_t>(random() & 0xFF); };
    std::atomic<bool> valid{false};
    ScriptedPipeServer server(channel.name, [&](const Bytes&) -> std::vector<Bytes> {
        if (valid) return ScriptedPipeServer::stringReply(L"valid");
        Bytes body;
        const unsigned kind = random() % 10;
        if (kind < 6) {
            std::wstring text(random() % 12, L'a');
            body = testing_support::wideStringRecord(text);
            if (random() % 3 == 0) {
                body.insert(body.begin(), {0xFF, 0xFF, 0xFF, 0xFF});
            }
            const unsigned flips = 1 + random() % 3;
            for (unsigned i = 0; i < flips && !body.empty(); ++i) body[random() % body.size()] = byte();
            if (random() % 4 == 0) body.resize(random() % (body.size() + 1));
        } else if (kind < 9) {
            body.resize(random() % 24);
            for (auto& b : body) b = byte();
        } else {
            // The length message disagrees with the body that follows.
            body = testing_support::wideStringRecord(L"short");
            Bytes length;
            appendU32(length, static_cast<uint32_t>(body.size()) + 1 + random() % 64);
            return {length, body};
        }
        return ScriptedPipeServer::framed(body);
    });
    auto client = channel.client();
    int results = 0;
    int errors = 0;
    for (int i = 0; i < 10000; ++i) {
        try {
            ask(client, L"fuzz");
            ++results;
        } catch (const vexception&) {
            ++errors;
        }
    }
    EXPECT_EQ(results + errors, 10000);
    EXPECT_GT(errors, 5000);
    valid = true;
    EXPECT_EQ(ask(client, L"after"), L"valid");
}
