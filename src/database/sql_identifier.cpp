#include "database/sql_identifier.h"

std::wstring quoteIdentifier(const std::wstring& name) {
    std::wstring quoted = L"`";
    for (wchar_t c : name) {
        if (c == L'`') quoted += L'`';
        quoted += c;
    }
    return quoted + L"`";
}

std::wstring bracketIdentifier(const std::wstring& name) {
    std::wstring quoted = L"[";
    for (wchar_t c : name) {
        if (c == L']') quoted += L']';
        quoted += c;
    }
    return quoted + L"]";
}
