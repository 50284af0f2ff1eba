#include "database/statement_mask.h"

#include <cwctype>

namespace {

// Keyword patterns: ' ' stands for one or more blanks, '~' for any number.
// `values` quoted values in a row (separated by commas) are secret.
struct SecretOpener {
    const wchar_t* pattern;
    int values;
};
constexpr SecretOpener kSecretOpeners[] = {
    {L"IDENTIFIED BY PASSWORD~'", 1},
    {L"IDENTIFIED BY~'", 1},
    {L"PASSWORD~(~'", 1},
    // SQL Server: sp_password (old, new [, login]) with the old one NULL or
    // given, and the PASSWORD = option of CREATE/ALTER LOGIN.
    {L"SP_PASSWORD NULL~,~N'", 1},
    {L"SP_PASSWORD NULL~,~'", 1},
    {L"SP_PASSWORD~N'", 2},
    {L"SP_PASSWORD~'", 2},
    {L"OLD_PASSWORD~=~N'", 1},
    {L"OLD_PASSWORD~=~'", 1},
    {L"PASSWORD~=~N'", 1},
    {L"PASSWORD~=~'", 1},
};
// What separates two secret values.
constexpr const wchar_t* kNextValues[] = {L"~,~N'", L"~,~'"};

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// The position after `pattern` matched at `at`, or npos.
size_t matchAt(const std::wstring& text, size_t at, const wchar_t* pattern) {
    for (; *pattern; ++pattern) {
        if (*pattern == L' ' || *pattern == L'~') {
            const size_t start = at;
            while (at < text.size() && isBlank(text[at])) ++at;
            if (*pattern == L' ' && at == start) return std::wstring::npos;
            continue;
        }
        if (at >= text.size() || std::towupper(text[at]) != std::towupper(*pattern)) return std::wstring::npos;
        ++at;
    }
    return at;
}

// The position of the apostrophe that closes a literal whose text starts at
// `at`, or the end of the text.
size_t literalEnd(const std::wstring& text, size_t at) {
    while (at < text.size()) {
        if (text[at] == L'\\') {
            at += 2;
        } else if (text[at] == L'\'') {
            if (at + 1 < text.size() && text[at + 1] == L'\'') {
                at += 2;
            } else {
                return at;
            }
        } else {
            ++at;
        }
    }
    return text.size();
}

}  // namespace

std::wstring maskPasswords(const std::wstring& sql) {
    std::wstring masked;
    size_t copied = 0;
    for (size_t at = 0; at < sql.size(); ++at) {
        // A keyword starts a word.
        if (at > 0 && (std::iswalnum(sql[at - 1]) || sql[at - 1] == L'_')) continue;
        size_t value = std::wstring::npos;
        int values = 0;
        for (const SecretOpener& opener : kSecretOpeners) {
            value = matchAt(sql, at, opener.pattern);
            values = opener.values;
            if (value != std::wstring::npos) break;
        }
        if (value == std::wstring::npos) continue;
        while (true) {
            const size_t end = literalEnd(sql, value);
            masked.append(sql, copied, value - copied);
            masked += L'*';
            copied = end;
            at = end;
            if (--values == 0 || end >= sql.size()) break;
            size_t next = std::wstring::npos;
            for (const wchar_t* separator : kNextValues)
                if ((next = matchAt(sql, end + 1, separator)) != std::wstring::npos) break;
            if (next == std::wstring::npos) break;
            value = next;
        }
    }
    masked.append(sql, copied, std::wstring::npos);
    return masked;
}
