// Where the product's settings live: HKLM "SOFTWARE\Quarn\ZRT Config\Config",
// always read through the 32-bit registry view.
#pragma once

#include "diagnostics/win32.h"

namespace product_config {

inline constexpr const wchar_t* kConfigKey = L"SOFTWARE\\Quarn\\ZRT Config\\Config";

// Reads the DWORD setting `name` of the product key into `value`. A value
// that is missing, or stored with another type or size (a string, binary
// data), counts as not set: the result is false and `value` keeps the
// caller's default. Never raises.
bool readDword(const wchar_t* name, DWORD& value);

}  // namespace product_config
