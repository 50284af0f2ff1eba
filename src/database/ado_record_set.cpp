#include "database/ado_record_set.h"

#include "database/ado_connection.h"
#include "database/ado_object.h"
#include "database/statement_mask.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/text.h"

#include <comdef.h>

#include <charconv>
#include <cmath>

namespace {

constexpr ContextSite kOpenSite{"VADORecordSet::open", 0};
constexpr ContextSite kRecordSetSite{"VADORecordSetProvider", 0};

// Raises the COM error of a failed record-set call as a vexception.
void check(HRESULT hr) {
    if (SUCCEEDED(hr)) return;
    IErrorInfo* info = nullptr;
    if (::GetErrorInfo(0, &info) != S_OK) info = nullptr;
    throw vexception(comErrorText(_com_error(hr, info, false)), kRecordSetSite.entry());
}

std::string arrayBytes(SAFEARRAY* array) {
    LONG lower = 0, upper = -1;
    if (array == nullptr || ::SafeArrayGetDim(array) != 1 || FAILED(::SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(::SafeArrayGetUBound(array, 1, &upper)) || upper < lower)
        return {};
    void* data = nullptr;
    if (FAILED(::SafeArrayAccessData(array, &data))) return {};
    std::string bytes(static_cast<const char*>(data), static_cast<size_t>(upper - lower + 1));
    ::SafeArrayUnaccessData(array);
    return bytes;
}

bool isByteArray(const VARIANT& value) { return value.vt == (VT_ARRAY | VT_UI1); }

template <class Number>
std::wstring shortestText(Number number) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), number);
    return std::wstring(buffer, result.ptr);
}

// "YYYY-MM-DD hh:mm:ss", with ".fff" when the time has milliseconds. An OLE
// date counts days from 1899-12-30; its fraction is the time of day, also
// for the negative days before then.
std::wstring dateText(double date) {
    double day = std::trunc(date);
    long long milliseconds = std::llround(std::fabs(date - day) * 86400000.0);
    if (milliseconds >= 86400000) {
        milliseconds -= 86400000;
        day += date < 0 ? -1 : 1;
    }
    SYSTEMTIME t{};
    if (!::VariantTimeToSystemTime(day, &t)) return {};
    const int seconds = static_cast<int>(milliseconds / 1000);
    std::wstring text = format(L"%04d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, seconds / 3600,
                               seconds / 60 % 60, seconds % 60);
    if (milliseconds % 1000 != 0) text += format(L".%03d", static_cast<int>(milliseconds % 1000));
    return text;
}

}  // namespace

std::wstring variantText(const VARIANT& value) {
    if (isByteArray(value)) return wstr(arrayBytes(value.parray), CP_UTF8);
    if (value.vt == VT_BSTR) return value.bstrVal ? std::wstring(value.bstrVal, ::SysStringLen(value.bstrVal)) : L"";
    if (value.vt == VT_DATE) return dateText(value.date);
    if (value.vt == VT_NULL || value.vt == VT_EMPTY) return {};
    // A bit column is true or false, not the -1 of VARIANT_TRUE.
    if (value.vt == VT_BOOL) return value.boolVal != VARIANT_FALSE ? L"1" : L"0";
    // The shortest text that reads back as the same number.
    if (value.vt == VT_R8) return shortestText(value.dblVal);
    if (value.vt == VT_R4) return shortestText(value.fltVal);
    // Numbers with "." whatever the user's locale says.
    UniqueVariant text;
    check(::VariantChangeTypeEx(text.put(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BSTR));
    return variantText(text.get());
}

RecordSetRef VADORecordSetProvider::open(VADOConnection& connection, const std::wstring& sql) {
    LogManager::print(LogInfo, L"ADO open recordset: %s", maskPasswords(sql, connection.dialect()).c_str());
    auto fail = [&](HRESULT hr) {
        std::wstring text = connection.lastError();
        if (text.empty()) {
            IErrorInfo* info = nullptr;
            if (::GetErrorInfo(0, &info) != S_OK) info = nullptr;
            text = comErrorText(_com_error(hr, info, false));
        }
        throw vexception(std::move(text), kOpenSite.entry());
    };
    if (connection.object() == nullptr) throw vexception(L"Not connected", kOpenSite.entry());
    ComPtr<_ADORecordset> records;
    try {
        records = ado::create<_ADORecordset>(L"ADODB.Recordset", ado::kRecordsetIID, &ado::kRecordsetIID2x);
    } catch (const _com_error& error) {
        fail(error.Error());
    }
    const UniqueVariant active = UniqueVariant::fromDispatch(connection.object());
    HRESULT hr = records->put_CursorLocation(static_cast<CursorLocationEnum>(ado::kUseClient));
    if (FAILED(hr)) fail(hr);
    // Open below names the connection as well; an ADO that cannot take it as
    // a property (Wine's answers E_NOTIMPL) still opens the set.
    hr = records->put_ActiveConnection(active.get());
    if (FAILED(hr) && hr != E_NOTIMPL) fail(hr);
    const UniqueVariant source = UniqueVariant::fromString(sql);
    hr = records->Open(source.get(), active.get(), static_cast<CursorTypeEnum>(ado::kOpenStatic),
                       static_cast<LockTypeEnum>(ado::kLockOptimistic), ado::kCmdUnknown);
    if (FAILED(hr)) fail(hr);
    return makeRecordSet<VADORecordSetProvider>(std::move(records));
}

VADORecordSetProvider::VADORecordSetProvider(ComPtr<_ADORecordset> records) : records_(std::move(records)) {}

VADORecordSetProvider::~VADORecordSetProvider() = default;

bool VADORecordSetProvider::endOfData() {
    VARIANT_BOOL eof = VARIANT_TRUE;
    check(records_->get_EOF(&eof));
    return eof != VARIANT_FALSE;
}

bool VADORecordSetProvider::next() {
    if (endOfData()) return false;
    if (firstRowPending_) {
        firstRowPending_ = false;
        return true;
    }
    check(records_->MoveNext());
    return !endOfData();
}

bool VADORecordSetProvider::moveFirst() {
    VARIANT_BOOL bof = VARIANT_TRUE;
    check(records_->get_BOF(&bof));
    if (bof != VARIANT_FALSE && endOfData()) return false;
    check(records_->MoveFirst());
    firstRowPending_ = true;
    return true;
}

bool VADORecordSetProvider::moveLast() {
    VARIANT_BOOL bof = VARIANT_TRUE;
    check(records_->get_BOF(&bof));
    if (bof != VARIANT_FALSE && endOfData()) return false;
    check(records_->MoveLast());
    firstRowPending_ = true;
    return true;
}

int VADORecordSetProvider::fieldCount() {
    ComPtr<ADOFields> fields;
    check(records_->get_Fields(fields.put()));
    long count = 0;
    check(fields->get_Count(&count));
    return static_cast<int>(count);
}

int VADORecordSetProvider::fieldIndex(const std::wstring& name) {
    const int count = fieldCount();
    for (int i = 0; i < count; ++i)
        if (fieldName(i) == name) return i;
    return -1;
}

bool VADORecordSetProvider::hasField(const std::wstring& name) { return fieldIndex(name) != -1; }

std::wstring VADORecordSetProvider::fieldName(int index) {
    ComPtr<ADOFields> fields;
    check(records_->get_Fields(fields.put()));
    ComPtr<ADOField> field;
    check(fields->get_Item(UniqueVariant::fromLong(index).get(), field.put()));
    UniqueBstr name;
    check(field->get_Name(name.put()));
    return name.str();
}

void VADORecordSetProvider::value(int index, UniqueVariant& out) {
    VARIANT_BOOL bof = VARIANT_FALSE;
    check(records_->get_BOF(&bof));
    if (bof != VARIANT_FALSE || endOfData())
        throw vexception(L"No current row to read column " + std::to_wstring(index) + L" from",
                         kRecordSetSite.entry());
    ComPtr<ADOFields> fields;
    check(records_->get_Fields(fields.put()));
    ComPtr<ADOField> field;
    check(fields->get_Item(UniqueVariant::fromLong(index).get(), field.put()));
    check(field->get_Value(out.put()));
}

bool VADORecordSetProvider::isNull(int index, bool emptyIsNull) {
    UniqueVariant v;
    value(index, v);
    if (v.get().vt == VT_NULL || v.get().vt == VT_EMPTY) return true;
    return emptyIsNull && variantText(v.get()).empty();
}

bool VADORecordSetProvider::isEmpty(int index, bool valueForNull) {
    UniqueVariant v;
    value(index, v);
    if (v.get().vt == VT_NULL || v.get().vt == VT_EMPTY) return valueForNull;
    return variantText(v.get()).empty();
}

std::wstring VADORecordSetProvider::getString(int index, const std::wstring& defaultText, bool emptyIsNull) {
    std::wstring text;
    if (getValue(index, text, emptyIsNull)) return text;
    return defaultText;
}

bool VADORecordSetProvider::getValue(int index, std::wstring& text, bool emptyIsNull) {
    UniqueVariant v;
    value(index, v);
    if (v.get().vt == VT_NULL || v.get().vt == VT_EMPTY) return false;
    std::wstring converted = variantText(v.get());
    if (emptyIsNull && converted.empty()) return false;
    text = std::move(converted);
    return true;
}

bool VADORecordSetProvider::isBinary(int index) {
    UniqueVariant v;
    value(index, v);
    return isByteArray(v.get());
}

bool VADORecordSetProvider::getBytes(int index, std::string& bytes) {
    UniqueVariant v;
    value(index, v);
    if (v.get().vt == VT_NULL || v.get().vt == VT_EMPTY) return false;
    bytes = isByteArray(v.get()) ? arrayBytes(v.get().parray) : cstr(variantText(v.get()), CP_UTF8);
    return true;
}

uint64_t VADORecordSetProvider::rowCount() {
    // The count is a 32-bit value in the ADO 2.x table and pointer-sized in
    // others: read into a cleared 64-bit one and take its low half.
    ADO_LONGPTR count = 0;
    check(records_->get_RecordCount(&count));
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(count)));
}
