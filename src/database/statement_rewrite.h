// Rewriting the MySQL-dialect quoting of the program's statements for the
// ADO databases.
#pragma once

#include <string>

// One pass over `sql`: outside quoted spans, a single or a double quote opens
// a string span written as "N'" (`nationalStrings`, SQL Server) or "'"
// (Jet), and a backtick opens an identifier written as "[". A string span
// ends at the next character that opened it, written as "'"; inside it that
// character doubled is copied as it is and does not end it, and two
// adjacent double quotes are made one. A backtick identifier ends at the
// next single backtick, written as "]"; inside it a doubled backtick is one
// backtick and every "]" is doubled, so any name stays one identifier. A
// span already in brackets is copied as it is, up to the first "]" that is
// not doubled. So `a`.`b` becomes [a].[b], `x``]y` [x`]]y] and "x" N'x'.
std::wstring rewriteStatement(const std::wstring& sql, bool nationalStrings);
