// Hiding the passwords of SQL statements before they are logged or reported.
#pragma once

#include <string>

// The statement with the value of every PASSWORD('...'), IDENTIFIED BY '...'
// and IDENTIFIED BY PASSWORD '...' of MySQL, and of SQL Server's
// PASSWORD = N'...' and both passwords of sp_password N'old', N'new' (or
// sp_password NULL, N'new'; the N is optional), keywords in any case, blanks
// allowed between the parts, replaced by a single "*". A quoted value ends at its
// first apostrophe that is neither escaped with a backslash nor doubled; an
// unterminated value is hidden up to the end of the text.
std::wstring maskPasswords(const std::wstring& sql);
