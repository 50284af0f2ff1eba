// What the database tests share: the sandbox MariaDB server's settings, the
// QUARN_DB_* environment pointing at it, registry values set for a scope,
// and the product log's debug file.
#pragma once

#include "database/mysql_database_provider.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/win32.h"
#include "sandbox_database.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dbtest {

// A record set without rows or fields, for tests that need one to exist.
class NoRowsRecordSet : public DatabaseRecordSetBase {
public:
    bool next() override { return false; }
    bool moveFirst() override { return false; }
    bool moveLast() override { return false; }
    int fieldCount() override { return 0; }
    int fieldIndex(const std::wstring&) override { return -1; }
    bool hasField(const std::wstring&) override { return false; }
    std::wstring fieldName(int) override { return {}; }
    bool isNull(int, bool) override { return true; }
    bool isEmpty(int, bool v) override { return v; }
    std::wstring getString(int, const std::wstring& d, bool) override { return d; }
    bool getValue(int, std::wstring&, bool) override { return false; }
    uint64_t rowCount() override { return 0; }
};

// A C runtime environment variable (what _wgetenv sees) set or removed for
// a scope, then restored.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, std::optional<std::wstring> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> saved_;
};

// Every QUARN_DB_* variable set to the sandbox server's values (or removed
// with `set` false) for a scope.
class ServerEnvironment {
public:
    explicit ServerEnvironment(bool set = true);

private:
    std::vector<std::unique_ptr<ScopedEnv>> variables_;
};

// A value under HKLM `key` in the 32-bit view, set (DWORD or text) or
// removed for a scope, then restored.
class ScopedHklmValue {
public:
    ScopedHklmValue(const wchar_t* key, const wchar_t* name);
    ~ScopedHklmValue();
    ScopedHklmValue(const ScopedHklmValue&) = delete;
    ScopedHklmValue& operator=(const ScopedHklmValue&) = delete;
    void setDword(DWORD value);
    void remove();

private:
    std::wstring key_, name_;
    bool existed_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> data_;
};

sandboxkit::DatabaseSettings server();
int32_t serverPort();

// A provider connected to the product database as the product login.
std::unique_ptr<MySQLDatabaseProvider> connectProduct();
// A provider connected as the server's administrator (database "mysql").
std::unique_ptr<MySQLDatabaseProvider> connectAdmin();

// A name no other test (or run) uses: prefix + process id + counter.
std::wstring uniqueName(const std::wstring& prefix);

// Today's product debug log as text (empty when there is none).
std::wstring debugLog();

// The message of the vexception `body` raises (a failure when none).
template <class Body>
std::wstring messageOf(Body body) {
    try {
        body();
    } catch (const vexception& error) {
        return error.message();
    }
    ADD_FAILURE() << "no vexception raised";
    return {};
}

}  // namespace dbtest
