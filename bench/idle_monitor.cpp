// A running monitor left alone with its dialog hidden: the processor time it
// uses and its working set over a period (60 s unless given), against the
// wall-clock time of that period.
//
// Usage: bench_idle_monitor [seconds=60]
#include "diagnostics/handles.h"

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double seconds(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 1e7;
}

double processorSeconds(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return seconds(kernel) + seconds(user);
}

std::wstring programFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

HANDLE start(const std::wstring& commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    ::CloseHandle(info.hThread);
    return info.hProcess;
}

}  // namespace

int main(int argc, char** argv) {
    const double period = argc > 1 ? std::atof(argv[1]) : 60.0;
    const std::wstring program = L"\"" + programFolder() + L"\\svcsentry.exe\"";
    UniqueHandle monitor(start(program));
    if (!monitor) {
        std::fprintf(stderr, "cannot start svcsentry.exe (%lu)\n", ::GetLastError());
        return 1;
    }
    // Let the start-up (first refresh, icon) settle before measuring.
    ::WaitForInputIdle(monitor.get(), 10000);
    ::Sleep(2000);
    const double before = processorSeconds(monitor.get());
    const ULONGLONG startTick = ::GetTickCount64();
    const bool ended = ::WaitForSingleObject(monitor.get(), static_cast<DWORD>(period * 1000)) == WAIT_OBJECT_0;
    const double wall = static_cast<double>(::GetTickCount64() - startTick) / 1000.0;
    const double used = processorSeconds(monitor.get()) - before;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(monitor.get(), &memory, sizeof(memory));

    UniqueHandle stopper(start(program + L" exit"));
    if (stopper) ::WaitForSingleObject(stopper.get(), 10000);
    if (::WaitForSingleObject(monitor.get(), 10000) != WAIT_OBJECT_0) ::TerminateProcess(monitor.get(), 1);
    if (ended) {
        std::fprintf(stderr, "the monitor ended during the measurement\n");
        return 1;
    }
    std::printf("idle period:       %.1f s\n", wall);
    std::printf("processor time since start: %.3f s\n", processorSeconds(monitor.get()));
    std::printf("processor time:    %.3f s\n", used);
    std::printf("ratio cpu/wall:    %.5f (%.3f%% of one core)\n", used / wall, 100.0 * used / wall);
    std::printf("working set:       %.1f MB (peak %.1f MB)\n", memory.WorkingSetSize / 1048576.0,
                memory.PeakWorkingSetSize / 1048576.0);
    return 0;
}
