// Where the product's settings live: HKLM "SOFTWARE\Quarn\ZRT Config\Config",
// always read through the 32-bit registry view.
#pragma once

namespace product_config {

inline constexpr const wchar_t* kConfigKey = L"SOFTWARE\\Quarn\\ZRT Config\\Config";

}  // namespace product_config
