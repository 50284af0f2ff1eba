#include "diagnostics/quarn_log.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "process/command_line.h"
#include "process/quarn_util.h"
#include "threading/cancelation_point.h"

#include <vector>

namespace {

constexpr ContextSite kLogSite{"writeToUtilExecLog", 268};

std::wstring ownPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    while (::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())) >= buffer.size())
        buffer.resize(buffer.size() * 2);
    return buffer.data();
}

}  // namespace

void writeToUtilExecLog(bool start, const std::wstring& utilPath, const std::wstring& arguments, DWORD elapsedMs) {
    runWrappedLogged(LogInfo, kLogSite.entry(L"writeToUtilExecLog"), [&] {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        const std::wstring elapsed = start ? std::wstring() : format(L"%lu", static_cast<unsigned long>(elapsedMs));
        quarn::logging::QuarnLog log(L"util_exec", false);
        log.write(format(L"execUtil(%s)\t%s\t%s\t%s\t%s\n", start ? L"Start" : L"End", ownPath().c_str(),
                         utilPath.c_str(), maskCommandLine(arguments).c_str(), elapsed.c_str()));
    });
}
