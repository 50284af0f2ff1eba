// vexception built from a COM error (_com_error), as raised by the ADO
// providers and the XML reader.
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

// Owns a BSTR for the length of one scope.
class ScopedBstr {
public:
    ScopedBstr() = default;
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;
    ~ScopedBstr() { ::SysFreeString(value_); }
    BSTR* put() { return &value_; }
    std::wstring str() const { return value_ ? std::wstring(value_, ::SysStringLen(value_)) : std::wstring(); }

private:
    BSTR value_ = nullptr;
};

template <class T>
class ScopedComPtr {
public:
    ScopedComPtr() = default;
    explicit ScopedComPtr(T* p) : p_(p) {}
    ScopedComPtr(const ScopedComPtr&) = delete;
    ScopedComPtr& operator=(const ScopedComPtr&) = delete;
    ~ScopedComPtr() {
        if (p_) p_->Release();
    }
    T* get() const { return p_; }
    void** putVoid() { return reinterpret_cast<void**>(&p_); }

private:
    T* p_ = nullptr;
};

}  // namespace

vexception::vexception(const _com_error& error, const std::wstring& where, const char* function, int32_t line) {
    const HRESULT hr = error.Error();
    std::wstring text = systemErrorText(static_cast<uint32_t>(hr));

    ScopedComPtr<IErrorInfo> info(error.ErrorInfo());  // ErrorInfo() adds a reference
    ScopedComPtr<NetException> net;
    if (info.get()) info.get()->QueryInterface(kIIDNetException, net.putVoid());

    text += format(net.get() ? L" (COM Interop Error %08X" : L" (COM Error %08X", static_cast<unsigned>(hr));

    std::wstring description;
    if (info.get()) {
        ScopedBstr bstr;
        if (SUCCEEDED(info.get()->GetDescription(bstr.put()))) description = bstr.str();
    }
    if (!description.empty()) {
        if (net.get()) {
            ScopedBstr full;
            if (SUCCEEDED(net.get()->get_ToString(full.put()))) description = full.str();
        }
        text += L", Description: ";
        text += description;
    }
    text += L")\n   at ";
    text += where;

    message_ = std::move(text);
    context_.push_back(ContextEntry{std::wstring(), function, line});
}
