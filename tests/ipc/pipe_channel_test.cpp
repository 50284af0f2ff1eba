#include "ipc/pipe_channel.h"

#include "diagnostics/handles.h"
#include "diagnostics/text.h"
#include "sandbox_kit.h"
#include "threading/cancelation_point.h"
#include "threading/cancelation_registry.h"
#include "threading/execute_context.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
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

// While it lives, every CreateFileW call of this program goes through a
// recorder that notes the flags of each open of `path` and then makes the
// real call: the program's import of CreateFileW is pointed at it (the
// whole program is one statically linked module with one import table).
class CreateFileFlags {
public:
    explicit CreateFileFlags(std::wstring path) {
        std::lock_guard<std::mutex> hold(lock());
        path_() = std::move(path);
        flags_().clear();
        slot_ = importSlot();
        if (slot_) original_() = exchange(reinterpret_cast<void*>(&recordingCreateFile));
    }
    ~CreateFileFlags() {
        if (slot_) exchange(original_());
    }
    bool hooked() const { return slot_ != nullptr; }
    std::vector<DWORD> flags() const {
        std::lock_guard<std::mutex> hold(lock());
        return flags_();
    }

private:
    using CreateFileFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);

    static std::mutex& lock() {
        static std::mutex value;
        return value;
    }
    static std::wstring& path_() {
        static std::wstring value;
        return value;
    }
    static std::vector<DWORD>& flags_() {
        static std::vector<DWORD> value;
        return value;
    }
    static void*& original_() {
        static void* value = nullptr;
        return value;
    }

    static HANDLE WINAPI recordingCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                             DWORD disposition, DWORD flags, HANDLE model) {
        void* original = nullptr;
        {
            std::lock_guard<std::mutex> hold(lock());
            if (name && _wcsicmp(name, path_().c_str()) == 0) flags_().push_back(flags);
            original = original_();
        }
        return reinterpret_cast<CreateFileFunction>(original)(name, access, share, security, disposition, flags, model);
    }

    // The import table entry of kernel32's CreateFileW, or null.
    static void** importSlot() {
        auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (imports.VirtualAddress == 0) return nullptr;
        for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name;
             ++entry) {
            if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), "kernel32.dll") != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "CreateFileW") == 0)
                    return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
        return nullptr;
    }

    // Writes `function` into the import slot; the previous entry.
    void* exchange(void* function) {
        DWORD protection = 0;
        ::VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protection);
        void* previous = *slot_;
        *slot_ = function;
        ::VirtualProtect(slot_, sizeof(void*), protection, &protection);
        return previous;
    }

    void** slot_ = nullptr;
};

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

    // The empty reply's body message was read with it: the next call on the
    // same connection reads its own reply.
    EXPECT_EQ(errorOf(client, L"error"), L"quarnsrv: no value named 'error'");
    EXPECT_EQ(server.connections(), 1);

    // Refused without waiting for four gigabytes, and the connection
    // dropped; the service has the request, so it is not sent again.
    const int before = server.connections();
    const size_t requests = server.requests().size();
    const std::wstring refused = errorOf(client, L"huge");
    EXPECT_EQ(server.requests().size(), requests + 1);
    EXPECT_NE(refused.find(L"The reply of 4294967280 bytes from the Quarn Management Service is longer than"),
              std::wstring::npos)
        << refused;
    EXPECT_NE(refused.find(L"vpipechannel::client::query"), std::wstring::npos);
    EXPECT_EQ(ask(client, L"next"), L"fine");
    EXPECT_EQ(server.connections(), before + 1);
}

// A service that takes the request and never answers: the call fails after
// the channel's time-out instead of holding every thread that shares the
// client, and the request is not sent again.
TEST(PipeChannel, AReplyThatNeverComesFailsTheCallAfterTheTimeOut) {
    Channel channel;
    UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ScriptedPipeServer server(channel.name, [&](const Bytes& body) {
        const std::wstring name = argumentOf(body);
        if (name == L"silent") ::WaitForSingleObject(release.get(), 20000);
        return ScriptedPipeServer::stringReply(L"re:" + name);
    });
    auto client = channel.client(true);
    client.setReplyTimeout(2000);
    const std::wstring error = errorOf(client, L"silent");
    EXPECT_NE(error.find(L"The Quarn Management Service did not answer within 2 seconds"), std::wstring::npos)
        << error;
    EXPECT_EQ(server.requests().size(), 1u);
    ::SetEvent(release.get());
    // The late reply went with the dropped connection.
    EXPECT_EQ(ask(client, L"next"), L"re:next");
    EXPECT_EQ(server.connections(), 2);
    EXPECT_EQ(server.requests().size(), 2u);
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

// Replies that end a call with an error while more of them is still in the
// pipe. Each leaves behind, read the way a reply is read, a whole reply of
// its own: a call that went on with that connection would take it for its
// answer.
TEST(PipeChannel, AFailedCallLeavesNothingThatTheNextCallReads) {
    const Bytes leaked = testing_support::wideStringRecord(L"password of another call");
    Bytes leakedLength;
    appendU32(leakedLength, static_cast<uint32_t>(leaked.size()));
    const Bytes own = testing_support::wideStringRecord(L"own");
    auto joined = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    auto length = [](size_t size) {
        Bytes out;
        appendU32(out, static_cast<uint32_t>(size));
        return out;
    };
    const struct {
        const char* what;
        std::vector<Bytes> reply;
    } cases[] = {
        // The read of the length ends with ERROR_MORE_DATA.
        {"length message longer than four bytes", {joined(length(own.size()), leakedLength), leaked}},
        // The read of the body ends with ERROR_MORE_DATA.
        {"body longer than announced", {length(own.size()), joined(own, leakedLength), leaked}},
        // The body's message ends before the announced length.
        {"body shorter than announced", {length(own.size() + 8), own, leakedLength, leaked}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Channel channel;
        ScriptedPipeServer server(channel.name, [&](const Bytes& body) {
            const std::wstring name = argumentOf(body);
            return name == L"bad" ? c.reply : ScriptedPipeServer::stringReply(L"re:" + name);
        });
        auto client = channel.client(true);
        EXPECT_FALSE(errorOf(client, L"bad").empty());
        EXPECT_EQ(ask(client, L"next"), L"re:next");
        // The first connection and the next call's own: a delivered request
        // is never sent twice.
        EXPECT_EQ(server.connections(), 2);
        EXPECT_EQ(server.requests().size(), 2u);
    }
}

// A call cancelled while it waits for its reply: the reply that arrives
// afterwards goes nowhere.
TEST(PipeChannel, ACancelledCallLeavesItsLateReplyToNoOne) {
    Channel channel;
    UniqueHandle arrived(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ScriptedPipeServer server(channel.name, [&](const Bytes& body) {
        const std::wstring name = argumentOf(body);
        if (name == L"slow") {
            ::SetEvent(arrived.get());
            ::WaitForSingleObject(release.get(), 20000);
            return ScriptedPipeServer::stringReply(L"password of the cancelled call");
        }
        return ScriptedPipeServer::stringReply(L"re:" + name);
    });
    auto client = channel.client(true);
    auto& registry = ExecuteContext::get().registry();
    registry.setEnabled(true);
    DWORD threadId = 0;
    std::atomic<bool> returned{false};
    UniqueHandle thread = ThreadCancelation::startThread(
        [&] {
            ask(client, L"slow");
            returned = true;
        },
        &threadId);
    ASSERT_EQ(::WaitForSingleObject(arrived.get(), 20000), WAIT_OBJECT_0);
    // Until the thread waits for the reply (its current point is the wait's
    // asynchronous one).
    ASSERT_TRUE(testing_support::waitUntil(
        [&] {
            for (const auto& registered : registry.threads())
                if (registered.threadId == threadId && registered.point &&
                    registered.point->mode() == ThreadCancelation::Asynchronous)
                    return true;
            return false;
        },
        10000));
    EXPECT_TRUE(registry.cancelThread(threadId));
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    ::GetExitCodeThread(thread.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(returned);
    ::SetEvent(release.get());
    EXPECT_EQ(ask(client, L"next"), L"re:next");
    EXPECT_EQ(server.connections(), 2);
}

// The channel opens its end at identification level (the server may learn
// who connects but not act as that user): the flags it passes to the
// platform when it opens the pipe.
TEST(PipeChannel, TheClientEndIsOpenedAtIdentificationLevel) {
    Channel channel;
    ScriptedPipeServer server(channel.name, [](const Bytes& body) {
        return ScriptedPipeServer::stringReply(L"re:" + argumentOf(body));
    });
    const CreateFileFlags opened(L"\\\\.\\pipe\\" + channel.name);
    ASSERT_TRUE(opened.hooked());
    auto client = channel.client(true);
    EXPECT_EQ(ask(client, L"who"), L"re:who");
    // Identification, nothing more (no dynamic tracking, no effective-only).
    const std::vector<DWORD> flags = opened.flags();
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_EQ(flags[0] & SECURITY_VALID_SQOS_FLAGS, DWORD(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
    EXPECT_NE(flags[0] & FILE_FLAG_OVERLAPPED, 0u);
}

// The level the server is given for the channel's client. A platform that
// gives a server full impersonation whatever the client asked for (Wine
// does: it ignores the quality of service) cannot show it; a plain client end
// opened with the same flags tells which platform this is.
TEST(PipeChannel, TheServerIsGivenIdentificationLevelOnly) {
    Channel channel;
    ScriptedPipeServer server(channel.name, [](const Bytes& body) {
        return ScriptedPipeServer::stringReply(L"re:" + argumentOf(body));
    });
    const std::wstring path = L"\\\\.\\pipe\\" + channel.name;
    int channelLevel = -1;
    {
        auto client = channel.client(true);
        EXPECT_EQ(ask(client, L"who"), L"re:who");
        channelLevel = server.lastClientLevel();
    }  // the server serves one connection at a time

    UniqueFileHandle plain(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    ASSERT_TRUE(plain) << ::GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(::SetNamedPipeHandleState(plain.get(), &mode, nullptr, nullptr));
    Bytes body(20, 0);
    const Bytes argument = testing_support::wideStringRecord(L"plain");
    body.insert(body.end(), argument.begin(), argument.end());
    Bytes length;
    appendU32(length, static_cast<uint32_t>(body.size()));
    DWORD done = 0;
    ASSERT_TRUE(::WriteFile(plain.get(), length.data(), 4, &done, nullptr));
    ASSERT_TRUE(::WriteFile(plain.get(), body.data(), static_cast<DWORD>(body.size()), &done, nullptr));
    uint8_t reply[256];
    ASSERT_TRUE(::ReadFile(plain.get(), reply, 4, &done, nullptr));
    const int plainLevel = server.lastClientLevel();
    EXPECT_NE(plainLevel, -1);
    if (plainLevel != SecurityIdentification)
        GTEST_SKIP() << "this platform ignores the client's quality of service (level " << plainLevel
                     << " for a client that asked for identification); the channel's client was given level "
                     << channelLevel;
    EXPECT_EQ(channelLevel, SecurityIdentification);
}
