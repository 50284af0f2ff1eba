// Values placed into the OLE DB connection strings of the ADO providers.
#pragma once

#include <string>

// `value` as one attribute value: as it is when it holds none of ";", "=",
// braces or quotes and no space at either end; otherwise between double
// quotes, or between apostrophes when it holds a double quote, and with the
// enclosing quote doubled inside when it holds both. A database name or a
// host then cannot end its attribute and add another.
std::wstring connectionStringValue(const std::wstring& value);
