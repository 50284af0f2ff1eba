// Hiding the passwords of SQL statements before they are logged or reported.
#pragma once

#include "database/sql_dialect.h"

#include <string>

// The statement with the value of every password literal replaced by a
// single "*":
//   PASSWORD('...'), OLD_PASSWORD('...'), IDENTIFIED BY '...',
//   IDENTIFIED BY PASSWORD '...', IDENTIFIED WITH|VIA plugin BY|AS|USING
//   '...' (the plugin a name or quoted), PASSWORD = '...',
//   OLD_PASSWORD = '...', and both passwords of sp_password 'old', 'new'
//   (or sp_password NULL, 'new').
// Keywords in any case, blanks allowed between the parts; every value may be
// written '...', "..." or with SQL Server's N in front. A value ends at its
// closing quote by the quoting rules of `dialect` (a doubled quote, and for
// MySQL a backslash, do not end it); an unterminated value is hidden up to
// the end of the text.
std::wstring maskPasswords(const std::wstring& sql, SqlDialect dialect);

// A database server's message about the failed statement `sql` (servers
// repeat the part of the statement where they stopped): masked like a
// statement, and every password value of `sql`, as written there, hidden
// wherever the message repeats it without its keyword.
std::wstring maskServerMessage(const std::wstring& message, const std::wstring& sql, SqlDialect dialect);
