// sitectl: the stand-in for the product's web-server utility. It records
// every run, keeps the control panel website's state, prints a short line
// and exits 0, unless the control values set by a test ask for other output,
// a pause or another exit code. Files and control values: sitectl_files.h
// (in the sandbox kit).
#include "sitectl_files.h"

#include <string>
#include <vector>

namespace {

namespace files = sandboxkit::sitectl;

std::string narrow(const std::wstring& text, UINT codePage) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                          nullptr);
    return result;
}

void writeAll(HANDLE handle, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

void writeFile(const std::wstring& path, const std::string& bytes, bool append) {
    const HANDLE file = ::CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    writeAll(file, bytes);
    ::CloseHandle(file);
}

std::wstring ownPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    while (::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())) >= buffer.size())
        buffer.resize(buffer.size() * 2);
    return buffer.data();
}

const char* handleType(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return "none";
    switch (::GetFileType(handle)) {
    case FILE_TYPE_PIPE: return "pipe";
    case FILE_TYPE_DISK: return "disk";
    case FILE_TYPE_CHAR: return "char";
    default: return "unknown";
    }
}

void writeReport(const std::wstring& path) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    char numbers[160];
    wsprintfA(numbers, "flags=%lx\r\nshow_window=%u\r\nconsole=%d\r\n", startup.dwFlags,
              static_cast<unsigned>(startup.wShowWindow), ::GetConsoleWindow() != nullptr ? 1 : 0);
    std::string report = "command_line=" + narrow(::GetCommandLineW(), CP_UTF8) + "\r\n";
    report += "desktop=" + narrow(startup.lpDesktop ? startup.lpDesktop : L"", CP_UTF8) + "\r\n";
    report += numbers;
    wchar_t directory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, directory);
    wchar_t mark[256] = {};
    ::GetEnvironmentVariableW(L"QUARN_SITECTL_MARK", mark, 256);
    report += "directory=" + narrow(directory, CP_UTF8) + "\r\nmark=" + narrow(mark, CP_UTF8) + "\r\n";
    report += std::string("stdin=") + handleType(STD_INPUT_HANDLE) + "\r\nstdout=" + handleType(STD_OUTPUT_HANDLE) +
              "\r\nstderr=" + handleType(STD_ERROR_HANDLE) + "\r\n";
    writeFile(path, report, false);
}

void echoInput(HANDLE output) {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        writeAll(output, std::string(buffer, read));
}

void writeBulk(HANDLE output, HANDLE error, DWORD bytes) {
    std::string outChunk(4096, 'o'), errChunk(4096, 'e');
    for (size_t at = 63; at < outChunk.size(); at += 64) outChunk[at] = errChunk[at] = '\n';
    for (DWORD done = 0; done < bytes; done += 4096) {
        const size_t size = bytes - done < 4096 ? bytes - done : 4096;
        writeAll(output, outChunk.substr(0, size));
        writeAll(error, errChunk.substr(0, size));
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring self = ownPath();
    const std::wstring folder = files::folder(self);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    writeFile(folder + L"\\sitectl-runs.txt", narrow(self + L"\t" + ::GetCommandLineW() + L"\r\n", CP_UTF8), true);

    std::string line = "sitectl: done\r\n";
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--start-quarn-website") {
            writeFile(folder + L"\\website-state.txt", "on", false);
            line = "sitectl: website started\r\n";
        } else if (argument == L"--stop-quarn-website") {
            writeFile(folder + L"\\website-state.txt", "off", false);
            line = "sitectl: website stopped\r\n";
        }
    }

    const wchar_t* key = files::kControlKey;
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (const DWORD probe = files::readNumber(key, L"probe_handle"))
        ::ResetEvent(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(probe)));
    const std::wstring report = files::readText(key, L"report");
    if (!report.empty()) writeReport(report);
    if (const DWORD prompt = files::readNumber(key, L"prompt_bytes")) {
        writeAll(output, std::string(prompt, '?'));
        DWORD written = 0;
        ::WriteFile(output, "", 0, &written, nullptr);
    }
    if (files::readNumber(key, L"echo_input")) echoInput(output);

    const std::wstring text = files::readText(key, L"stdout");
    writeAll(output, text.empty() ? line : narrow(text, CP_ACP));
    writeAll(error, narrow(files::readText(key, L"stderr"), CP_ACP));
    writeBulk(output, error, files::readNumber(key, L"output_bytes"));
    if (const DWORD wait = files::readNumber(key, L"wait_ms")) ::Sleep(wait);
    return static_cast<int>(files::readNumber(key, L"exit_code"));
}
