#include "database/statement_rewrite.h"

std::wstring rewriteStatement(const std::wstring& sql, bool nationalStrings) {
    std::wstring out;
    out.reserve(sql.size() + 8);
    wchar_t closing = 0;  // the character that ends the current span, 0 outside
    for (size_t at = 0; at < sql.size(); ++at) {
        const wchar_t c = sql[at];
        if (closing == 0) {
            if (c == L'\'' || c == L'"') {
                out += nationalStrings ? L"N'" : L"'";
                closing = c;
            } else if (c == L'`') {
                out += L'[';
                closing = c;
            } else {
                out += c;
            }
        } else if (c != closing) {
            out += c;
        } else if (closing != L'`' && at + 1 < sql.size() && sql[at + 1] == closing) {
            out += c;
            out += c;
            ++at;
        } else {
            out += closing == L'`' ? L']' : L'\'';
            closing = 0;
        }
    }
    std::wstring result;
    result.reserve(out.size());
    for (size_t at = 0; at < out.size(); ++at) {
        result += out[at];
        if (out[at] == L'"' && at + 1 < out.size() && out[at + 1] == L'"') ++at;
    }
    return result;
}
