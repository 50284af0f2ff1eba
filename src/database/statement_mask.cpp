#include "database/statement_mask.h"

#include <cwctype>
#include <utility>
#include <vector>

namespace {

// Keyword patterns: ' ' stands for one or more blanks, '~' for any number,
// '#' for a name (letters, digits, '_', '$', or one quoted token) and 'Q'
// for the opening of a value: an optional N, then an apostrophe or a double
// quote. `values` values in a row (separated by commas) are secret.
struct SecretOpener {
    const wchar_t* pattern;
    int values;
};
constexpr SecretOpener kSecretOpeners[] = {
    {L"IDENTIFIED BY PASSWORD~Q", 1},
    {L"IDENTIFIED BY~Q", 1},
    {L"IDENTIFIED WITH # BY~Q", 1},
    {L"IDENTIFIED WITH # AS~Q", 1},
    {L"IDENTIFIED WITH # USING~Q", 1},
    {L"IDENTIFIED VIA # BY~Q", 1},
    {L"IDENTIFIED VIA # AS~Q", 1},
    {L"IDENTIFIED VIA # USING~Q", 1},
    {L"OLD_PASSWORD~(~Q", 1},
    {L"PASSWORD~(~Q", 1},
    // SQL Server: sp_password (old, new [, login]) with the old one NULL or
    // given, and the PASSWORD = option of CREATE/ALTER LOGIN.
    {L"SP_PASSWORD NULL~,~Q", 1},
    {L"SP_PASSWORD~Q", 2},
    {L"OLD_PASSWORD~=~Q", 1},
    {L"PASSWORD~=~Q", 1},
};
// What separates two secret values.
constexpr const wchar_t* kNextValue = L"~,~Q";

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
bool isNameCharacter(wchar_t c) { return std::iswalnum(c) || c == L'_' || c == L'$'; }
bool isQuote(wchar_t c) { return c == L'\'' || c == L'"' || c == L'`'; }

// The position of the quote that closes a literal opened by `quote` whose
// text starts at `at`, or the end of the text.
size_t literalEnd(const std::wstring& text, size_t at, wchar_t quote, SqlDialect dialect) {
    while (at < text.size()) {
        if (text[at] == L'\\' && dialect == SqlDialect::MySql) {
            at += 2;
        } else if (text[at] == quote) {
            if (at + 1 < text.size() && text[at + 1] == quote) {
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

// A value's opening matched: where its text starts and its quote.
struct Opening {
    size_t value = std::wstring::npos;
    wchar_t quote = 0;
};

// The value opened where `pattern` matches at `at`; no value when it does
// not match.
Opening matchAt(const std::wstring& text, size_t at, const wchar_t* pattern, SqlDialect dialect) {
    for (; *pattern; ++pattern) {
        switch (*pattern) {
        case L' ':
        case L'~': {
            const size_t start = at;
            while (at < text.size() && isBlank(text[at])) ++at;
            if (*pattern == L' ' && at == start) return {};
            break;
        }
        case L'#':
            if (at < text.size() && isQuote(text[at])) {
                at = literalEnd(text, at + 1, text[at], dialect);
                if (at >= text.size()) return {};
                ++at;
            } else {
                const size_t start = at;
                while (at < text.size() && isNameCharacter(text[at])) ++at;
                if (at == start) return {};
            }
            break;
        case L'Q':
            if (at < text.size() && std::towupper(text[at]) == L'N') ++at;
            if (at >= text.size() || (text[at] != L'\'' && text[at] != L'"')) return {};
            return {at + 1, text[at]};
        default:
            if (at >= text.size() || std::towupper(text[at]) != std::towupper(*pattern)) return {};
            ++at;
        }
    }
    return {};
}

// The spans (start, end) of the secret values in `sql`, in order.
std::vector<std::pair<size_t, size_t>> secretSpans(const std::wstring& sql, SqlDialect dialect) {
    std::vector<std::pair<size_t, size_t>> spans;
    for (size_t at = 0; at < sql.size(); ++at) {
        // A keyword starts a word.
        if (at > 0 && isNameCharacter(sql[at - 1])) continue;
        Opening opening;
        int values = 0;
        for (const SecretOpener& opener : kSecretOpeners) {
            opening = matchAt(sql, at, opener.pattern, dialect);
            values = opener.values;
            if (opening.value != std::wstring::npos) break;
        }
        if (opening.value == std::wstring::npos) continue;
        while (true) {
            const size_t end = literalEnd(sql, opening.value, opening.quote, dialect);
            spans.emplace_back(opening.value, end);
            at = end;
            if (--values == 0 || end >= sql.size()) break;
            opening = matchAt(sql, end + 1, kNextValue, dialect);
            if (opening.value == std::wstring::npos) break;
        }
    }
    return spans;
}

}  // namespace

std::wstring maskPasswords(const std::wstring& sql, SqlDialect dialect) {
    std::wstring masked;
    size_t copied = 0;
    for (const auto& [start, end] : secretSpans(sql, dialect)) {
        masked.append(sql, copied, start - copied);
        masked += L'*';
        copied = end;
    }
    masked.append(sql, copied, std::wstring::npos);
    return masked;
}

std::wstring maskServerMessage(const std::wstring& message, const std::wstring& sql, SqlDialect dialect) {
    std::wstring masked = maskPasswords(message, dialect);
    for (const auto& [start, end] : secretSpans(sql, dialect)) {
        const std::wstring secret = sql.substr(start, end - start);
        if (secret.empty()) continue;
        for (size_t at = masked.find(secret); at != std::wstring::npos; at = masked.find(secret, at + 1))
            masked.replace(at, secret.size(), L"*");
    }
    return masked;
}
