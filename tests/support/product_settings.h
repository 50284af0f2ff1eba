// Test fixture helpers: registry values (of the product configuration key
// HKLM "SOFTWARE\Quarn\ZRT Config\Config" or another key, 32-bit view) set
// for the duration of a scope and restored afterwards, and the child-process
// runs the log and crash-dump tests use.
#pragma once

#include "diagnostics/win32.h"
#include "test_support.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class ProductSettings {
public:
    // Values of HKLM `keyPath` (32-bit view), created when missing.
    explicit ProductSettings(const std::wstring& keyPath = L"SOFTWARE\\Quarn\\ZRT Config\\Config");
    // Restores every value touched through this object to what it was.
    ~ProductSettings();
    ProductSettings(const ProductSettings&) = delete;
    ProductSettings& operator=(const ProductSettings&) = delete;

    void setDword(const std::wstring& name, DWORD value);
    void setString(const std::wstring& name, const std::wstring& value);
    void setMultiString(const std::wstring& name, const std::vector<std::wstring>& values);
    void remove(const std::wstring& name);
    // Any type with any data: a DWORD setting stored as REG_SZ or REG_BINARY.
    void setRaw(const std::wstring& name, DWORD type, const std::string& bytes);

private:
    struct Saved {
        std::wstring name;
        bool existed = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    void remember(const std::wstring& name);

    HKEY key_ = nullptr;
    std::vector<Saved> saved_;
};

// The names (not paths) of the files in `directory` matching `pattern`, sorted.
std::vector<std::wstring> listNames(const std::wstring& directory, const std::wstring& pattern);

// Creates `path` with `bytes` and sets its last-write time to `fileTime`
// (when given).
void makeFile(const std::wstring& path, const std::string& bytes = {}, std::optional<uint64_t> fileTime = {});

// Runs this test program again with only the (disabled) test `test` and the
// environment variable QUARN_TEST_CHILD set to `childArgument`. Returns the
// exit code (-1 on a time-out); `output`, when given, receives its standard
// output.
long runChildTest(const std::string& test, const std::wstring& childArgument, std::string* output = nullptr,
                  DWORD timeoutMs = 60000);
// The same without waiting: the caller owns the process handle.
HANDLE startChildTest(const std::string& test, const std::wstring& childArgument);

// The value of QUARN_TEST_CHILD in a child run, empty otherwise.
std::wstring childArgument();

// Local date as "YYYYMMDD", `daysFromToday` days away from today.
std::wstring localDate(int daysFromToday);

// Today's product debug log below `productRoot` as text, without its
// byte-order mark (empty when there is none).
std::wstring debugLogText(const std::wstring& productRoot = L"C:\\Quarn");

}  // namespace testing_support
