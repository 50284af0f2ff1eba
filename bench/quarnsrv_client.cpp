// QuarnSrvClient::getString round trips against the sandbox's management
// service, on an open connection, against raw round trips of the same bytes:
//  - "protocol floor": the same service, with the four transfers the framing
//    needs (length and body each way) as plain WriteFile/ReadFile calls;
//  - "one write, one read": a raw echo of the same request and reply bytes
//    by a pipe server in this process, one WriteFile and one ReadFile a call.
#include "bench_timing.h"
#include "config/quarnsrv_client.h"

#include <cstdio>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> requestBytes() {
    vserializer::writer body;
    const GUID method = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
    body.appendBlock(&method, sizeof method);
    body.appendString(L"PRODUCT_ROOT_D");
    std::vector<uint8_t> bytes(4);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(body.size() >> (8 * i));
    bytes.insert(bytes.end(), body.data(), body.data() + body.size());
    return bytes;
}

HANDLE openPipe(const std::wstring& path) {
    HANDLE pipe = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    return pipe;
}

}  // namespace

int main() {
    constexpr int kCalls = 2000;
    try {
        QuarnSrvClient& client = QuarnSrvClient::getInstance();
        const std::wstring path = client.pipePath();
        client.getString(L"PRODUCT_ROOT_D");
        const double framed = microsecondsPerCall(kCalls, [&] { client.getString(L"PRODUCT_ROOT_D"); });

        const std::vector<uint8_t> request = requestBytes();
        HANDLE service = openPipe(path);
        std::vector<uint8_t> reply(4096);
        DWORD done = 0;
        const double floor = microsecondsPerCall(kCalls, [&] {
            ::WriteFile(service, request.data(), 4, &done, nullptr);
            ::WriteFile(service, request.data() + 4, static_cast<DWORD>(request.size() - 4), &done, nullptr);
            ::ReadFile(service, reply.data(), 4, &done, nullptr);
            ::ReadFile(service, reply.data(), static_cast<DWORD>(reply.size()), &done, nullptr);
        });
        ::CloseHandle(service);

        const std::wstring echoPath = L"\\\\.\\pipe\\quarn-bench-echo-" + std::to_wstring(::GetCurrentProcessId());
        HANDLE server = ::CreateNamedPipeW(echoPath.c_str(), PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0,
                                           nullptr);
        std::thread echo([&] {
            ::ConnectNamedPipe(server, nullptr);
            std::vector<uint8_t> buffer(4096);
            DWORD n = 0;
            // Answers every request with a reply of the service's size.
            while (::ReadFile(server, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) && n > 0)
                ::WriteFile(server, buffer.data(), 4 + 4 + 21, &n, nullptr);
        });
        HANDLE raw = openPipe(echoPath);
        const double oneEach = microsecondsPerCall(kCalls, [&] {
            ::WriteFile(raw, request.data(), static_cast<DWORD>(request.size()), &done, nullptr);
            ::ReadFile(raw, reply.data(), static_cast<DWORD>(reply.size()), &done, nullptr);
        });
        ::CloseHandle(raw);
        echo.join();
        ::CloseHandle(server);

        printResult("QuarnSrvClient::getString / 4 raw transfers", framed, floor, "us");
        printResult("QuarnSrvClient::getString / raw echo, 1 write 1 read", framed, oneEach, "us");
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"bench_quarnsrv_client: %ls\n", error.fullText().c_str());
        return 1;
    }
    return 0;
}
