// Identifiers (database, table, column and key names) placed into MySQL
// statements.
#pragma once

#include <string>

// `name` between backticks, every backtick inside it doubled, so that any
// name stays one identifier.
std::wstring quoteIdentifier(const std::wstring& name);

// `name` between brackets, every "]" inside it doubled: one identifier of
// T-SQL and Jet SQL, whatever characters it holds.
std::wstring bracketIdentifier(const std::wstring& name);
