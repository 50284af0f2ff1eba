// execQuarnUtil of the sitectl stand-in (which exits at once) against a raw
// CreateProcessW plus wait of the same program with the same redirection:
// standard output and standard error on the client end of a uniquely named
// pipe, read to its end through the overlapped server end. Needs the
// sandbox layout (sitectl in the product root's "admin\bin64").
#include "bench_timing.h"
#include "config/product_configuration.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "process/quarn_util.h"

#include <cstdio>
#include <string>

namespace {

void rawRun(const std::wstring& program, int index) {
    const std::wstring name = L"\\\\.\\pipe\\quarn-bench-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(index);
    UniqueFileHandle server(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                               PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr));
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    UniqueFileHandle client(
        ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = client.get();
    startup.hStdError = client.get();
    wchar_t desktop[] = L"winsta0\\default";
    startup.lpDesktop = desktop;
    std::wstring command = L"\"" + program + L"\" ";
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &info))
        return;
    UniqueHandle process(info.hProcess), thread(info.hThread);
    client.reset();
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    char buffer[1024];
    while (true) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        DWORD read = 0;
        if (!::ReadFile(server.get(), buffer, sizeof(buffer), nullptr, &overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING)
            break;
        if (!::GetOverlappedResult(server.get(), &overlapped, &read, TRUE) || read == 0) break;
    }
    ::WaitForSingleObject(process.get(), INFINITE);
}

}  // namespace

int main() {
    constexpr int kRuns = 40;
    try {
        const std::wstring program = getAdminBin64Dir() + L"\\sitectl.exe";
        int index = 0;
        rawRun(program, index++);
        execQuarnUtil(L"sitectl", L"");
        const double raw = microsecondsPerCall(kRuns, [&] { rawRun(program, index++); });
        const double exec = microsecondsPerCall(kRuns, [] { execQuarnUtil(L"sitectl", L""); });
        std::printf("raw CreateProcessW + wait: %.0f us per run\n", raw);
        std::printf("execQuarnUtil:             %.0f us per run\n", exec);
        printResult("execQuarnUtil of sitectl / raw CreateProcessW", exec, raw, "us");
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"%ls\n", error.fullText().c_str());
        return 1;
    }
    return 0;
}
