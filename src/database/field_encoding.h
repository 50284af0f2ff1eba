// How a field value travels in a data document when it cannot travel as
// plain character data: the base64 of its bytes.
#pragma once

#include <string>
#include <string_view>

// The base64 (RFC 4648, with padding, no line breaks) of `bytes`.
std::wstring base64Encode(std::string_view bytes);
// The bytes of `text`, which may hold white space between the groups.
// False for anything else that is not base64.
bool base64Decode(std::wstring_view text, std::string& bytes);

// Whether `text` reads back from an XML 1.0 document exactly as it was
// written: only the characters XML allows (tab, line feed, U+0020 to
// U+D7FF, U+E000 to U+FFFD, and whole surrogate pairs), and no carriage
// return, which readers fold into a line feed (Wine's msxml3 does even
// when it comes as a character reference).
bool xmlCarriesExactly(std::wstring_view text);

// Whether `text` has an exact UTF-8 form: no unpaired surrogate.
bool hasExactUtf8(std::wstring_view text);
