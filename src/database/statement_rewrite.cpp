#include "database/statement_rewrite.h"

std::wstring rewriteStatement(const std::wstring& sql, bool nationalStrings) {
    std::wstring out;
    out.reserve(sql.size() + 8);
    wchar_t closing = 0;  // the character that ends the current span, 0 outside
    for (size_t at = 0; at < sql.size(); ++at) {
        const wchar_t c = sql[at];
        const bool doubled = at + 1 < sql.size() && sql[at + 1] == c;
        if (closing == 0) {
            if (c == L'\'' || c == L'"') {
                out += nationalStrings ? L"N'" : L"'";
                closing = c;
            } else if (c == L'`' || c == L'[') {
                out += L'[';
                closing = c == L'`' ? L'`' : L']';
            } else {
                out += c;
            }
        } else if (closing == L'`') {
            // A bracketed name ends at the first "]" that is not doubled.
            if (c == L'`' && doubled) {
                out += c;
                ++at;
            } else if (c == L'`') {
                out += L']';
                closing = 0;
            } else {
                out += c;
                if (c == L']') out += c;
            }
        } else if (closing == L']') {
            out += c;
            if (c == L']' && doubled) {
                out += c;
                ++at;
            } else if (c == L']') {
                closing = 0;
            }
        } else if (c == L'"' && doubled) {
            // Inside a string a doubled double quote is one (escape doubles
            // them); a doubled closing apostrophe stays doubled.
            out += c;
            ++at;
        } else if (c != closing) {
            out += c;
        } else if (doubled) {
            out += c;
            out += c;
            ++at;
        } else {
            out += L'\'';
            closing = 0;
        }
    }
    return out;
}
