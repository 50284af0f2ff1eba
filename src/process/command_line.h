// Command-line text for logs and error messages: quoting one argument the
// way CommandLineToArgvW undoes it, and masking password arguments.
#pragma once

#include <string>

// `argument` unchanged when it holds no white space and none of
// " & < > [ ] { } ^ = ; ! ' + , ` ~ | (an empty argument stays empty);
// otherwise in double quotes, with every double quote escaped and the
// backslashes before it or at the end doubled, so that CommandLineToArgvW
// gives the argument back.
std::wstring quoteCommandLineArgument(const std::wstring& argument);

// The arguments text split as a program receives it, each argument quoted
// as above and joined by blanks. An argument whose part before the first
// "=" contains "password" or "pwd" (in any case) keeps only that part, with
// "=*" for each "=": "--db-password=secret" gives "\"--db-password=*\"".
// Every argument is split by the rules of a program's arguments (the first
// one too); an empty text gives an empty result. Raises
// "CommandLineToArgvW" when the text cannot be split.
std::wstring maskCommandLine(const std::wstring& arguments);
