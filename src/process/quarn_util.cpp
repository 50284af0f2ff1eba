#include "process/quarn_util.h"

#include "config/product_configuration.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "files/file_attributes.h"
#include "files/file_name.h"
#include "files/os_version.h"
#include "process/command_line.h"
#include "process/vexecutil.h"
#include "threading/cancelation_point.h"

#include <algorithm>
#include <cwctype>
#include <memory>

namespace {

constexpr ContextSite kExecSite{"execQuarnUtil", 77};
constexpr ContextSite kStartSite{"startQuarnUtilInternal", 139};
constexpr ContextSite kFindSite{"findUtilPath", 190};
constexpr ContextSite kInputSite{"startQuarnUtilInternal", 0};

constexpr DWORD kReadChunk = 1024;

std::wstring lowerCase(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

// "<prefix> <utility> <masked arguments>": the utility's path once known,
// the name as given before.
ContextEntry runEntry(const ContextSite& site, const wchar_t* prefix, const std::wstring& path,
                      const std::wstring& name, const std::wstring& masked) {
    return site.entry(format(L"%s %s %s", prefix, (path.empty() ? name : path).c_str(), masked.c_str()));
}

// Writes `input` to the utility's standard input on a thread of its own,
// which owns the pipe end and a copy of the input, then closes it: the
// utility sees the end of its input, and the caller reads the output
// meanwhile. The pipes are unbuffered, so a utility that writes before it
// reads would otherwise wait for its reader while the caller waits for it.
// The thread ends once everything is written or the utility has gone.
void writeInput(std::unique_ptr<Con::Pipe> pipe, const std::string& input) {
    struct Input {
        std::unique_ptr<Con::Pipe> pipe;
        std::string bytes;
    };
    auto shared = std::make_shared<Input>(Input{std::move(pipe), input});
    ThreadCancelation::startThread([shared] {
        runWrappedLogged(LogWarning, kInputSite.entry(L"Write standard input of a utility"), [&] {
            shared->pipe->write(shared->bytes.data(), static_cast<DWORD>(shared->bytes.size()), true);
            shared->pipe->close();
        });
    });
}

}  // namespace

int execQuarnUtil(const std::wstring& name, const std::wstring& arguments, std::wstring* output, bool rethrow,
                  const std::string* input) {
    return execQuarnUtil(name, arguments, output, rethrow, input, true);
}

int execQuarnUtil(const std::wstring& name, const std::wstring& arguments, std::wstring* output, bool rethrow,
                  const std::string* input, bool prefer64) {
    if (output) output->clear();
    int result = -1;
    vexecutil process;
    std::wstring masked;
    try {
        runWrappedCancelable([&] { return runEntry(kExecSite, L"Execute", process.applicationName, name, masked); },
                             [&] {
                                 masked = maskCommandLine(arguments);
                                 const DWORD started = ::GetTickCount();
                                 startQuarnUtilInternal(name, arguments, input, process, prefer64);

                                 // Read to the end before waiting: a utility that writes much
                                 // output must never block on a full pipe.
                                 // A read of no bytes is an empty write of the utility;
                                 // only the pipe's end ends the output.
                                 std::string bytes;
                                 char chunk[kReadChunk];
                                 while (!process.outputReader->endOfData())
                                     bytes.append(chunk, process.outputReader->read(chunk, kReadChunk, false));
                                 const std::wstring text = wstr(bytes);
                                 if (output) *output = text;

                                 process.waitForExit(INFINITE);
                                 result = static_cast<int>(process.exitCode());
                                 if (result != 0)
                                     throw vexception(L"Execute " + name + L" " + masked + L" failed with error code " +
                                                          std::to_wstring(result) + L": " + text,
                                                      kExecSite.entry());
                                 writeToUtilExecLog(false, process.applicationName, arguments,
                                                    ::GetTickCount() - started);
                             });
    } catch (const vexception&) {
        if (rethrow) throw;
        return result;
    }
    return 0;
}

int startQuarnUtilInternal(const std::wstring& name, const std::wstring& arguments, const std::string* input,
                           vexecutil& process, bool prefer64) {
    std::wstring path, masked;
    runWrappedCancelable([&] { return runEntry(kStartSite, L"Starting", path, name, masked); }, [&] {
        masked = maskCommandLine(arguments);
        path = findUtilPath(name, prefer64);
        process.applicationName = path;
        process.arguments = arguments;
        process.outputPipe = true;
        process.errorToOutput = true;
        process.noWindow = true;
        process.inputPipe = input != nullptr;

        writeToUtilExecLog(true, path, arguments, 0);
        LogManager::print(LogInfo, L"Execute %s %s", path.c_str(), masked.c_str());
        process.start();
        if (input) writeInput(std::move(process.inputWriter), *input);
    });
    return 0;
}

std::wstring findUtilPath(const std::wstring& name, bool prefer64) {
    const std::wstring file = lowerCase(VFileName::extension(name)) == L".exe" ? name : name + L".exe";
    const std::wstring folder = prefer64 && isOSWindows64() ? getAdminBin64Dir() : getAdminBinDir();
    const std::wstring path = VFileName::combine(folder, file);
    if (fileExist(path)) return path;
    throw vexception(L"Unable to find path of '" + name + L"'", kFindSite.entry());
}

