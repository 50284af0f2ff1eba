#include "database/statement_mask.h"

#include <cwctype>
#include <utility>
#include <vector>

namespace {

// One token of a statement, as the dialect reads it. Blanks and comments
// are no tokens: keywords may be separated by any of them.
struct Token {
    enum Kind { Word, Literal, Name, Symbol } kind;
    size_t start;  // the first character
    size_t end;    // one past the last character
    // A literal's text, between its quotes; up to the end of the statement
    // for one that is not closed.
    size_t valueStart = 0, valueEnd = 0;
};

bool isWordCharacter(wchar_t c) { return std::iswalnum(c) || c == L'_' || c == L'$' || c == L'@'; }

// The position of the quote that closes a literal opened by `quote` whose
// text starts at `at`, or the end of the text.
size_t literalEnd(const std::wstring& text, size_t at, wchar_t quote, SqlDialect dialect) {
    while (at < text.size()) {
        if (text[at] == L'\\' && dialect == SqlDialect::MySql && quote != L'`') {
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

// The end of the blanks and comments from `at` on. MySQL's executable
// comments (/*! ... */, /*M! ... */) hold statement text: only their
// markers are skipped.
size_t skipSpace(const std::wstring& text, size_t at, SqlDialect dialect) {
    while (at < text.size()) {
        const wchar_t c = text[at];
        if (std::iswspace(c)) {
            ++at;
        } else if (c == L'-' && at + 1 < text.size() && text[at + 1] == L'-' &&
                   (dialect != SqlDialect::MySql || at + 2 >= text.size() || std::iswspace(text[at + 2]) ||
                    std::iswcntrl(text[at + 2]))) {
            at = text.find(L'\n', at);
            if (at == std::wstring::npos) return text.size();
        } else if (c == L'#' && dialect == SqlDialect::MySql) {
            at = text.find(L'\n', at);
            if (at == std::wstring::npos) return text.size();
        } else if (c == L'/' && at + 1 < text.size() && text[at + 1] == L'*') {
            size_t marker = at + 2;
            if (dialect == SqlDialect::MySql && marker < text.size() && (text[marker] == L'!' || text[marker] == L'M')) {
                if (text[marker] == L'M') ++marker;
                if (marker < text.size() && text[marker] == L'!') {
                    ++marker;
                    while (marker < text.size() && std::iswdigit(text[marker])) ++marker;
                    at = marker;
                    continue;
                }
            }
            const size_t close = text.find(L"*/", at + 2);
            at = close == std::wstring::npos ? text.size() : close + 2;
        } else if (c == L'*' && dialect == SqlDialect::MySql && at + 1 < text.size() && text[at + 1] == L'/') {
            at += 2;  // the end of an executable comment
        } else {
            break;
        }
    }
    return at;
}

// Whether a literal starts at `at`: an optional introducer (N, or MySQL's
// _charset, X, B) and a quote. Gives the quote's position.
bool literalStart(const std::wstring& text, size_t at, SqlDialect dialect, size_t& quote) {
    size_t i = at;
    if (i < text.size() && text[i] == L'_' && dialect == SqlDialect::MySql) {
        ++i;
        while (i < text.size() && (std::iswalnum(text[i]) || text[i] == L'_')) ++i;
    } else if (i < text.size() && (std::towupper(text[i]) == L'N' || std::towupper(text[i]) == L'X' ||
                                   std::towupper(text[i]) == L'B')) {
        ++i;
    }
    if (i >= text.size() || (text[i] != L'\'' && text[i] != L'"')) return false;
    quote = i;
    return true;
}

std::vector<Token> tokenize(const std::wstring& text, SqlDialect dialect) {
    std::vector<Token> tokens;
    size_t at = skipSpace(text, 0, dialect);
    while (at < text.size()) {
        const wchar_t c = text[at];
        size_t quote = 0;
        if (literalStart(text, at, dialect, quote)) {
            const size_t close = literalEnd(text, quote + 1, text[quote], dialect);
            tokens.push_back({Token::Literal, at, std::min(close + 1, text.size()), quote + 1, close});
            at = std::min(close + 1, text.size());
        } else if (c == L'`' || c == L'[') {
            const size_t close = c == L'[' ? text.find(L']', at + 1) : literalEnd(text, at + 1, c, dialect);
            const size_t end = close == std::wstring::npos ? text.size() : std::min(close + 1, text.size());
            tokens.push_back({Token::Name, at, end});
            at = end;
        } else if (isWordCharacter(c)) {
            size_t end = at;
            while (end < text.size() && isWordCharacter(text[end])) ++end;
            tokens.push_back({Token::Word, at, end});
            at = end;
        } else {
            tokens.push_back({Token::Symbol, at, at + 1});
            ++at;
        }
        at = skipSpace(text, at, dialect);
    }
    return tokens;
}

class SecretFinder {
public:
    SecretFinder(const std::wstring& text, SqlDialect dialect) : text_(text), tokens_(tokenize(text, dialect)) {}

    // The spans (start, end) of the secret values, in order.
    std::vector<std::pair<size_t, size_t>> spans() {
        for (size_t i = 0; i < tokens_.size(); ++i) {
            if (is(i, L"IDENTIFIED")) {
                identified(i + 1);
            } else if (is(i, L"PASSWORD") || is(i, L"OLD_PASSWORD")) {
                password(i + 1);
            } else if (is(i, L"REPLACE") && literal(i + 1)) {
                // ALTER USER ... REPLACE 'current password'.
                secret(i + 1);
            } else if (is(i, L"SP_PASSWORD")) {
                // The old and the new password: the first two values given
                // in order, or any given by name but the login's
                // (@loginame), which is no secret.
                size_t argument = 0;
                bool named = false, login = false, first = true;
                for (size_t j = i + 1; j < tokens_.size() && !symbol(j, L';'); ++j) {
                    if (symbol(j, L',')) {
                        ++argument;
                        named = login = false;
                        first = true;
                        continue;
                    }
                    if (first) {
                        first = false;
                        const Token& t = tokens_[j];
                        if (t.kind == Token::Word && text_[t.start] == L'@') {
                            named = true;
                            login = is(j, L"@LOGINAME");
                        }
                    }
                    if (literal(j) && !login && (named || argument < 2)) secret(j);
                }
            }
        }
        return std::move(spans_);
    }

private:
    bool is(size_t i, const wchar_t* word) const {
        if (i >= tokens_.size() || tokens_[i].kind != Token::Word) return false;
        const Token& t = tokens_[i];
        const size_t length = wcslen(word);
        if (t.end - t.start != length) return false;
        for (size_t k = 0; k < length; ++k)
            if (std::towupper(text_[t.start + k]) != word[k]) return false;
        return true;
    }
    bool symbol(size_t i, wchar_t c) const {
        return i < tokens_.size() && tokens_[i].kind == Token::Symbol && text_[tokens_[i].start] == c;
    }
    bool literal(size_t i) const { return i < tokens_.size() && tokens_[i].kind == Token::Literal; }
    void secret(size_t i) {
        const Token& t = tokens_[i];
        if (spans_.empty() || spans_.back().first != t.valueStart) spans_.emplace_back(t.valueStart, t.valueEnd);
    }

    // IDENTIFIED BY [PASSWORD] 'x'; IDENTIFIED WITH|VIA plugin BY|AS|USING
    // 'x', the plugin a word, a name or a literal.
    void identified(size_t i) {
        if (is(i, L"BY")) {
            if (is(i + 1, L"PASSWORD") && literal(i + 2)) secret(i + 2);
            if (literal(i + 1)) secret(i + 1);
            return;
        }
        if (!is(i, L"WITH") && !is(i, L"VIA")) return;
        if (i + 1 >= tokens_.size()) return;
        if ((is(i + 2, L"BY") || is(i + 2, L"AS") || is(i + 2, L"USING")) && literal(i + 3)) secret(i + 3);
    }

    // PASSWORD('x'), PASSWORD = 'x', PASSWORD FOR user = 'x'.
    void password(size_t i) {
        if (symbol(i, L'(') && literal(i + 1)) {
            secret(i + 1);
        } else if (symbol(i, L'=') && literal(i + 1)) {
            secret(i + 1);
        } else if (is(i, L"FOR")) {
            // The account: names, literals and "@", then "=".
            for (size_t j = i + 1; j < tokens_.size() && j < i + 8; ++j) {
                if (symbol(j, L'=')) {
                    if (literal(j + 1)) secret(j + 1);
                    return;
                }
                if (symbol(j, L';')) return;
            }
        }
    }

    const std::wstring& text_;
    std::vector<Token> tokens_;
    std::vector<std::pair<size_t, size_t>> spans_;
};

std::vector<std::pair<size_t, size_t>> secretSpans(const std::wstring& sql, SqlDialect dialect) {
    return SecretFinder(sql, dialect).spans();
}

// Where a server's message repeats the statement: after "near '" (MySQL,
// MariaDB); the whole message when it does not say.
size_t echoStart(const std::wstring& message) {
    const size_t near = message.find(L"near '");
    return near == std::wstring::npos ? 0 : near + 6;
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
    // The repeated part is statement text: masked as a statement.
    const size_t echo = echoStart(message);
    std::wstring masked = message.substr(0, echo) + maskPasswords(message.substr(echo), dialect);
    for (const auto& [start, end] : secretSpans(sql, dialect)) {
        const std::wstring secret = sql.substr(start, end - start);
        if (secret.empty()) continue;
        for (size_t at = masked.find(secret); at != std::wstring::npos; at = masked.find(secret, at + 1))
            masked.replace(at, secret.size(), L"*");
        // The server cuts its repetition of the statement (MariaDB after 80
        // characters): the start of a password may end it.
        for (size_t length = secret.size() - 1; length > 0; --length) {
            const std::wstring start_ = secret.substr(0, length);
            const size_t cut = masked.rfind(L"' at line");
            const size_t end = cut == std::wstring::npos ? masked.size() : cut;
            if (end >= length && masked.compare(end - length, length, start_) == 0) {
                masked.replace(end - length, length, L"*");
                break;
            }
        }
    }
    return masked;
}
