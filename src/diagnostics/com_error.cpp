// vexception built from a COM error (_com_error), as raised by the ADO
// providers and the XML reader.
#include "diagnostics/com_ptr.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"

#include <comdef.h>
#include <oleauto.h>

namespace {

// The .NET exception interface (mscorlib _Exception). Only its first own
// method, the ToString property, is used; the rest of the table is never
// called through this declaration.
const IID kIIDNetException = {0xB36B5C63, 0x42EF, 0x38BC, {0xA0, 0x7E, 0x0B, 0x34, 0xC9, 0x8F, 0x16, 0x4A}};

struct NetException : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
};

}  // namespace

std::wstring comErrorText(const _com_error& error) {
    const HRESULT hr = error.Error();
    std::wstring text = systemErrorText(static_cast<uint32_t>(hr));

    ComPtr<IErrorInfo> info(error.ErrorInfo());  // ErrorInfo() adds a reference
    ComPtr<NetException> net = info.try_query<NetException>(kIIDNetException);

    text += format(net ? L" (COM Interop Error %08X" : L" (COM Error %08X", static_cast<unsigned>(hr));

    std::wstring description;
    if (info) {
        UniqueBstr bstr;
        if (SUCCEEDED(info->GetDescription(bstr.put()))) description = bstr.str();
    }
    if (!description.empty()) {
        if (net) {
            UniqueBstr full;
            if (SUCCEEDED(net->get_ToString(full.put()))) description = full.str();
        }
        text += L", Description: ";
        text += description;
    }
    return text + L")";
}

void raiseComError(HRESULT hr) {
    IErrorInfo* info = nullptr;
    if (::GetErrorInfo(0, &info) != S_OK) info = nullptr;
    throw _com_error(hr, info, false);  // takes over GetErrorInfo's reference
}

vexception::vexception(const _com_error& error, const std::wstring& where, const char* function, int32_t line) {
    message_ = comErrorText(error) + L"\n   at " + where;
    context_.push_back(ContextEntry{std::wstring(), function, line});
}
