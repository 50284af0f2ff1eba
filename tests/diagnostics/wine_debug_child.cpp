#include "wine_debug_child.h"

#include "diagnostics/handles.h"
#include "product_settings.h"

#include <cstdio>
#include <sstream>

namespace testing_support {

namespace {

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(size, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

// Wine's own conversions between its DOS and Unix paths (kernel32 exports
// of Wine only). Both answer memory of the process heap.
std::string unixPath(const std::wstring& dosPath) {
    using ToUnix = char*(__cdecl*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!toUnix) return {};
    char* path = toUnix(dosPath.c_str());
    if (!path) return {};
    std::string result(path);
    ::HeapFree(::GetProcessHeap(), 0, path);
    return result;
}

std::wstring dosPath(const char* unixPath) {
    using ToDos = wchar_t*(__cdecl*)(const char*);
    auto toDos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_dos_file_name")));
    if (!toDos) return {};
    wchar_t* path = toDos(unixPath);
    if (!path) return {};
    std::wstring result(path);
    ::HeapFree(::GetProcessHeap(), 0, path);
    return result;
}

// One word for the shell: single-quoted, embedded quotes closed and escaped.
std::string shellWord(const std::string& text) {
    std::string word = "'";
    for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

std::wstring programPath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// The text after `marker` up to the end of the line, or npos.
size_t after(const std::string& line, const std::string& marker) {
    const size_t at = line.find(marker);
    return at == std::string::npos ? at : at + marker.size();
}

}  // namespace

WineDebugChild::WineDebugChild(const std::string& test, const std::string& argument, const std::string& channels) {
    const std::wstring shell = dosPath("/bin/sh");
    const std::string program = unixPath(programPath());
    const std::string folder = unixPath(folder_.path());
    if (shell.empty() || program.empty() || folder.empty()) return;

    // The exit code is written to a file that appears only when complete.
    const std::string script = "WINEDEBUG=" + shellWord(channels) + " QUARN_TEST_CHILD=" + shellWord(argument) +
                               " timeout 120 wine " + shellWord(program) +
                               " --gtest_also_run_disabled_tests " + shellWord("--gtest_filter=" + test) + " >" +
                               shellWord(folder + "/output") + " 2>" +
                               shellWord(folder + "/errors") + "; echo $? >" + shellWord(folder + "/rc.part") +
                               "; mv " + shellWord(folder + "/rc.part") + " " + shellWord(folder + "/rc");
    std::wstring commandLine = L"\"" + shell + L"\" -c \"" + fromUtf8(script) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // A Unix program gets no Windows process: the handles stay empty.
    started_ = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                &info);
    UniqueHandle process(info.hProcess), thread(info.hThread);
}

long WineDebugChild::wait(DWORD timeoutMs) {
    if (!started_) return -1;
    const std::wstring rc = folder_.path() + L"\\rc";
    const bool ended =
        waitUntil([&] { return ::GetFileAttributesW(rc.c_str()) != INVALID_FILE_ATTRIBUTES; }, timeoutMs);
    output_ = readFileBytes(folder_.path() + L"\\output");
    errors_ = readFileBytes(folder_.path() + L"\\errors");
    // Kept for the run's last test, which looks for passwords in them.
    ::CopyFileW((folder_.path() + L"\\output").c_str(), capturedOutputFile(L"child-output").c_str(), FALSE);
    ::CopyFileW((folder_.path() + L"\\errors").c_str(), capturedOutputFile(L"eventlog-channel").c_str(), FALSE);
    if (!ended) return -1;
    long code = -1;
    std::sscanf(readFileBytes(rc).c_str(), "%ld", &code);
    return code;
}

std::string WineDebugChild::outputSoFar() const {
    return readFileBytes(folder_.path() + L"\\output");
}

EventLogTrace parseEventLogTrace(const std::string& output) {
    EventLogTrace trace;
    std::istringstream lines(output);
    std::string line;
    bool lastWasDeregistration = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t at;
        if ((at = after(line, ":fixme:advapi:RegisterEventSourceW (")) != std::string::npos) {
            const size_t begin = line.find("L\"", at);
            const size_t end = line.rfind("): stub");
            if (begin != std::string::npos && end != std::string::npos && end > begin)
                trace.registeredSources.push_back(line.substr(begin, end - begin));
            lastWasDeregistration = false;
        } else if ((at = after(line, ":fixme:advapi:ReportEventW (")) != std::string::npos) {
            TracedEvent event;
            std::sscanf(line.c_str() + at, "%*[^,],0x%x,0x%x,0x%x,%*[^,],0x%x", &event.type, &event.category,
                        &event.id, &event.stringCount);
            trace.events.push_back(event);
            lastWasDeregistration = false;
        } else if ((at = after(line, ":eventlog:ReportEventW ")) != std::string::npos) {
            if (trace.events.empty()) continue;
            const size_t classEnd = at - std::string(":eventlog:ReportEventW ").size();
            const size_t classBegin = line.rfind(':', classEnd - 1) + 1;
            trace.events.back().classes.push_back(line.substr(classBegin, classEnd - classBegin));
            trace.events.back().strings.push_back(line.substr(at));
        } else if (line.find(":fixme:advapi:DeregisterEventSource (") != std::string::npos) {
            ++trace.deregistrations;
            lastWasDeregistration = true;
        }
    }
    trace.deregisteredLast = lastWasDeregistration;
    return trace;
}

std::string wineDebugString(const std::wstring& text) {
    std::string shown = "L\"";
    for (wchar_t c : text) {
        switch (c) {
        case L'\n': shown += "\\n"; break;
        case L'\r': shown += "\\r"; break;
        case L'\t': shown += "\\t"; break;
        case L'"': shown += "\\\""; break;
        case L'\\': shown += "\\\\"; break;
        default:
            if (c >= L' ' && c < 127) {
                shown += static_cast<char>(c);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\x%04x", static_cast<unsigned>(c));
                shown += escaped;
            }
        }
    }
    return shown + "\"";
}

}  // namespace testing_support
