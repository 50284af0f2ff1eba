// Which database a statement is written for, as far as its quoting goes.
#pragma once

enum class SqlDialect {
    // MySQL and MariaDB: '...' and "..." literals; a backslash escapes the
    // character after it, and a doubled quote stands for one.
    MySql,
    // SQL Server: '...' and N'...' literals; only a doubled apostrophe stands
    // for one (a backslash is an ordinary character).
    TransactSql,
    // Jet (Access): '...' and "..." literals; only a doubled quote stands for
    // one.
    Jet,
};
