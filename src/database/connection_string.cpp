#include "database/connection_string.h"

#include <cwctype>

std::wstring connectionStringValue(const std::wstring& value) {
    const bool plain = value.find_first_of(L";={}'\"") == std::wstring::npos &&
                       (value.empty() || (!std::iswspace(value.front()) && !std::iswspace(value.back())));
    if (plain) return value;
    const bool hasDouble = value.find(L'"') != std::wstring::npos;
    const bool hasSingle = value.find(L'\'') != std::wstring::npos;
    const wchar_t quote = hasDouble && !hasSingle ? L'\'' : L'"';
    std::wstring quoted(1, quote);
    for (wchar_t c : value) {
        if (c == quote) quoted += quote;
        quoted += c;
    }
    return quoted + quote;
}
