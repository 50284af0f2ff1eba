#include "database/ado_connection.h"

#include "config/product_config.h"
#include "config/registry.h"
#include "database/ado_object.h"
#include "database/statement_mask.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "threading/cancelation_point.h"

#include <comdef.h>

namespace {

constexpr ContextSite kOpenSite{"VADOConnection::open", 0};

constexpr DWORD kMinimumConnectionTimeout = 60;
constexpr DWORD kMinimumCommandTimeout = 120;

// The DWORD `name` of the configuration key, `minimum` when absent or lower.
DWORD timeoutSetting(const wchar_t* name, DWORD minimum, const ContextEntry& entry) {
    return runWrappedCancelable(entry, [&] {
        // A value of another type or size counts as absent, like a missing one.
        DWORD value = minimum;
        product_config::readDword(name, value);
        return value < minimum ? minimum : value;
    });
}

std::wstring propertyText(ADOError* error, HRESULT (STDMETHODCALLTYPE ADOError::*get)(BSTR*)) {
    UniqueBstr text;
    if (FAILED((error->*get)(text.put()))) return {};
    return text.str();
}

}  // namespace

DWORD adoConnectionTimeout() {
    return timeoutSetting(L"ADOConnectionTimeout", kMinimumConnectionTimeout,
                          kOpenSite.entry(L"Set ADOConnectionTimeout parameter"));
}

DWORD adoCommandTimeout() {
    return timeoutSetting(L"ADOCommandTimeout", kMinimumCommandTimeout,
                          kOpenSite.entry(L"Set ADOCommandTimeout parameter"));
}

VADOConnection::VADOConnection(SqlDialect dialect) : dialect_(dialect) {}

VADOConnection::~VADOConnection() {
    LONG state = 0;
    if (connection_ && SUCCEEDED(connection_->get_State(&state)) && (state & ado::kStateOpen) != 0)
        connection_->Close();
}

void VADOConnection::open(const std::wstring& connectionString, const std::wstring& login,
                          const std::wstring& password, long options, long mode) {
    runWrapped(kOpenSite.entry(), [&] { create(mode); });
    runWrapped(kOpenSite.entry(L"Set ADOConnectionTimeout parameter"),
               [&] { setConnectionTimeout(static_cast<long>(adoConnectionTimeout())); });
    runWrapped(kOpenSite.entry(), [&] { openConnection(connectionString, login, password, options); });
    runWrapped(kOpenSite.entry(L"Set ADOCommandTimeout parameter"),
               [&] { setCommandTimeout(static_cast<long>(adoCommandTimeout())); });
}

void VADOConnection::create(long mode) {
    connection_.reset();
    ::CoInitialize(nullptr);
    try {
        connection_ = ado::create<_ADOConnection>(L"ADODB.Connection", ado::kConnectionIID, &ado::kConnectionIID2x);
    } catch (const _com_error& error) {
        throw vexception(comErrorText(error));
    }
    check(connection_->put_Mode(static_cast<ConnectModeEnum>(mode)), nullptr);
}

void VADOConnection::setConnectionTimeout(long seconds) {
    requireObject("VADOConnection::open");
    check(connection_->put_ConnectionTimeout(seconds), nullptr);
}

void VADOConnection::openConnection(const std::wstring& connectionString, const std::wstring& login,
                                    const std::wstring& password, long options) {
    requireObject("VADOConnection::open");
    const UniqueBstr text(connectionString), user(login), secret(password);
    check(connection_->Open(text.get(), user.get(), secret.get(), options), nullptr);
}

void VADOConnection::setCommandTimeout(long seconds) {
    requireObject("VADOConnection::open");
    check(connection_->put_CommandTimeout(seconds), nullptr);
}

ComPtr<_ADORecordset> VADOConnection::execute(const std::wstring& sql, long options) {
    LogManager::print(LogInfo, L"ADO query: %s", maskPasswords(sql, dialect_).c_str());
    requireObject("VADOConnection::execute");
    const UniqueBstr statement(sql);
    UniqueVariant affected;
    ComPtr<_ADORecordset> result;
    check(connection_->Execute(statement.get(), affected.put(), options, result.put()), "VADOConnection::execute");
    return result;
}

bool VADOConnection::isOpen() const {
    LONG state = 0;
    return connection_ && SUCCEEDED(connection_->get_State(&state)) && (state & ado::kStateOpen) != 0;
}

long VADOConnection::mode() const {
    requireObject("VADOConnection::mode");
    ConnectModeEnum value = adModeUnknown;
    check(connection_->get_Mode(&value), "VADOConnection::mode");
    return static_cast<long>(value);
}

void VADOConnection::close() {
    if (isOpen()) check(connection_->Close(), "VADOConnection::close");
}

void VADOConnection::beginTransaction() {
    requireObject("VADOConnection::beginTransaction");
    long level = 0;
    check(connection_->BeginTrans(&level), "VADOConnection::beginTransaction");
}

void VADOConnection::commitTransaction() {
    requireObject("VADOConnection::commitTransaction");
    check(connection_->CommitTrans(), "VADOConnection::commitTransaction");
}

void VADOConnection::rollbackTransaction() {
    requireObject("VADOConnection::rollbackTransaction");
    check(connection_->RollbackTrans(), "VADOConnection::rollbackTransaction");
}

void VADOConnection::setProperty(const std::wstring& name, long value) {
    requireObject("VADOConnection::setProperty");
    ComPtr<ADOProperties> properties;
    check(connection_->get_Properties(properties.put()), "VADOConnection::setProperty");
    ComPtr<ADOProperty> property;
    const UniqueVariant index = UniqueVariant::fromString(name);
    check(properties->get_Item(index.get(), property.put()), "VADOConnection::setProperty");
    const UniqueVariant number = UniqueVariant::fromLong(value);
    check(property->put_Value(number.get()), "VADOConnection::setProperty");
}

std::wstring VADOConnection::lastError() const {
    if (!connection_) return {};
    ComPtr<ADOErrors> errors;
    long count = 0;
    if (FAILED(connection_->get_Errors(errors.put())) || !errors || FAILED(errors->get_Count(&count))) return {};
    std::wstring text;
    for (long i = 0; i < count; ++i) {
        ComPtr<ADOError> error;
        const UniqueVariant index = UniqueVariant::fromLong(i);
        if (FAILED(errors->get_Item(index.get(), error.put())) || !error) continue;
        std::wstring line = propertyText(error.get(), &ADOError::get_Description);
        const std::wstring source = propertyText(error.get(), &ADOError::get_Source);
        const std::wstring state = propertyText(error.get(), &ADOError::get_SQLState);
        long native = 0;
        if (!source.empty()) line += L" (" + source + L")";
        if (SUCCEEDED(error->get_NativeError(&native)) && native != 0) line += L" native error " + std::to_wstring(native);
        if (!state.empty()) line += L" SQL state " + state;
        if (line.empty()) continue;
        if (!text.empty()) text += L'\n';
        text += line;
    }
    return text;
}

void VADOConnection::requireObject(const char* function) const {
    if (!connection_) throw vexception(L"Not connected", ContextEntry{{}, function, 0});
}

void VADOConnection::check(HRESULT hr, const char* function) const {
    if (SUCCEEDED(hr)) return;
    std::wstring text = lastError();
    if (text.empty()) {
        IErrorInfo* info = nullptr;
        if (::GetErrorInfo(0, &info) != S_OK) info = nullptr;
        text = comErrorText(_com_error(hr, info, false));
    }
    if (function == nullptr) throw vexception(std::move(text));
    throw vexception(std::move(text), ContextEntry{{}, function, 0});
}
