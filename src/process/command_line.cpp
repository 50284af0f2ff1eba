#include "process/command_line.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"

#include <shellapi.h>

#include <algorithm>
#include <cwctype>

namespace {

constexpr ContextSite kMaskSite{"maskCommandLine", 168};

constexpr wchar_t kNeedsQuotes[] = L" \t\n\v\f\r\"&<>[]{}^=;!'+,`~|";

bool containsIgnoringCase(const std::wstring& text, const std::wstring& part) {
    auto lower = [](std::wstring value) {
        std::transform(value.begin(), value.end(), value.begin(), [](wchar_t c) { return std::towlower(c); });
        return value;
    };
    return lower(text).find(part) != std::wstring::npos;
}

std::wstring trimmed(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) return {};
    const size_t last = text.find_last_not_of(L" \t\r\n");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::wstring quoteCommandLineArgument(const std::wstring& argument) {
    if (argument.find_first_of(kNeedsQuotes) == std::wstring::npos) return argument;
    // Built backwards: a run of backslashes is doubled when it ends at a
    // double quote or at the end of the argument.
    std::wstring reversed;
    bool beforeQuoteOrEnd = true;
    for (auto it = argument.rbegin(); it != argument.rend(); ++it) {
        const wchar_t c = *it;
        if (c == L'"') {
            reversed += L"\"\\";
            beforeQuoteOrEnd = true;
        } else if (c == L'\\') {
            reversed += beforeQuoteOrEnd ? L"\\\\" : L"\\";
        } else {
            reversed += c;
            beforeQuoteOrEnd = false;
        }
    }
    return L"\"" + std::wstring(reversed.rbegin(), reversed.rend()) + L"\"";
}

std::wstring maskCommandLine(const std::wstring& arguments) {
    // A program name in front: CommandLineToArgvW parses its first token by
    // the rules of a program path, and answers the running program's own
    // path for an empty text.
    const std::wstring line = L"x " + arguments;
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(line.c_str(), &count);
    if (!argv) raiseOsError(L"CommandLineToArgvW", ::GetLastError(), kMaskSite.entry());
    UniqueLocalMemory owner(argv);

    std::wstring result;
    for (int i = 1; i < count; ++i) {
        const std::wstring argument = argv[i];
        const size_t equals = argument.find(L'=');
        const std::wstring name = argument.substr(0, equals);
        if (containsIgnoringCase(name, L"password") || containsIgnoringCase(name, L"pwd")) {
            std::wstring masked = quoteCommandLineArgument(name);
            for (size_t at = equals; at != std::wstring::npos; at = argument.find(L'=', at + 1)) masked += L"=*";
            result += quoteCommandLineArgument(masked);
        } else {
            result += quoteCommandLineArgument(argument);
        }
        result += L' ';
    }
    return trimmed(result);
}
