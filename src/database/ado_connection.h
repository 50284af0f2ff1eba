// One ADO connection (ADODB.Connection) and the statements run on it.
//
// Every failing call is raised as a vexception whose text is the
// connection's error text (lastError), or the COM error's text when the
// connection holds none. One thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "database/sql_dialect.h"
#include "diagnostics/com_ptr.h"

struct _ADOConnection;
struct _ADORecordset;

// The time-outs handed to ADO, from the product configuration key (32-bit
// view): "ADOConnectionTimeout", default and minimum 60 seconds, and
// "ADOCommandTimeout", default and minimum 120. Read inside a deferred
// cancellation point with the structured-exception translator installed.
DWORD adoConnectionTimeout();
DWORD adoCommandTimeout();

class VADOConnection {
public:
    // `dialect`: the quoting of the statements it runs, for hiding their
    // passwords in the log.
    explicit VADOConnection(SqlDialect dialect);
    // Closes the connection when it is open.
    ~VADOConnection();
    VADOConnection(const VADOConnection&) = delete;
    VADOConnection& operator=(const VADOConnection&) = delete;

    // Releases an old connection object, then: create (mode), the connection
    // time-out (failure in context "Set ADOConnectionTimeout parameter"),
    // openConnection, the command time-out ("Set ADOCommandTimeout
    // parameter"), all in context "VADOConnection::open".
    void open(const std::wstring& connectionString, const std::wstring& login, const std::wstring& password,
              long options = -1, long mode = 3);

    // The steps of open, one by one. create: releases an old object, creates
    // ADODB.Connection (CoInitialize first, its result ignored) and sets its
    // Mode. Raise vexceptions without a context entry of their own; "Not
    // connected" when there is no object (as every operation below but
    // isOpen, close and lastError).
    void create(long mode);
    void setConnectionTimeout(long seconds);
    void openConnection(const std::wstring& connectionString, const std::wstring& login,
                        const std::wstring& password, long options);
    void setCommandTimeout(long seconds);

    // Logs "ADO query: %s" (passwords masked) and runs the statement; the
    // result, when the statement returns one and `options` asks for it, is
    // handed to the caller. Raises in context "VADOConnection::execute".
    ComPtr<_ADORecordset> execute(const std::wstring& sql, long options);

    // The object exists and its State says open.
    bool isOpen() const;
    // The connection object's Mode.
    long mode() const;
    // Closes the connection when it is open; keeps the object.
    void close();

    // BeginTrans, CommitTrans, RollbackTrans.
    void beginTransaction();
    void commitTransaction();
    void rollbackTransaction();
    // Sets the provider property `name` of the connection to the integer
    // `value`.
    void setProperty(const std::wstring& name, long value);

    // The descriptions in the connection's Errors collection, each followed
    // by its source, native error and SQL state where the driver gives them,
    // separated by line feeds. Empty when there are none or no object.
    std::wstring lastError() const;

    _ADOConnection* object() const { return connection_.get(); }
    SqlDialect dialect() const { return dialect_; }

private:
    // Raises vexception "Not connected" in `function` without an object.
    void requireObject(const char* function) const;
    // Raises a vexception for a failed `hr`: the connection's error text, or
    // the COM error's; with a context entry for `function` unless it is null.
    void check(HRESULT hr, const char* function) const;

    ComPtr<_ADOConnection> connection_;
    SqlDialect dialect_;
};
