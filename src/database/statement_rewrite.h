// Rewriting the MySQL-dialect quoting of the program's statements for the
// ADO databases.
#pragma once

#include <string>

// One pass over `sql`: outside quoted spans, a single or a double quote opens
// a string span written as "N'" (`nationalStrings`, SQL Server) or "'"
// (Jet), and a backtick opens an identifier written as "[". A span ends at
// the next character that opened it, written as "'" for strings and "]" for
// identifiers; inside a string span that character doubled is copied as it
// is and does not end it. Afterwards every pair of adjacent double quotes is
// made one. So `a`.`b` becomes [a].[b] and "x" N'x'.
std::wstring rewriteStatement(const std::wstring& sql, bool nationalStrings);
