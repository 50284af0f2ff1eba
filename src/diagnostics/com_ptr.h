// Scoped ownership of COM resources: interface pointers, BSTRs and VARIANTs,
// and COM's initialisation of a thread.
//
// The same policy as handles.h: one owner per resource, move-only, released
// at the end of its scope, never by a hand-written Release call.
#pragma once

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"

#include <ole2.h>
#include <oleauto.h>

#include <string>
#include <utility>

// COM initialised on the calling thread (apartment-threaded when this
// call is the first) for a scope; uninitialised again only when the
// initialisation succeeded here, so scopes nest and a thread already in
// another apartment keeps it.
class ScopedComInitialization {
public:
    ScopedComInitialization() : initialized_(SUCCEEDED(::CoInitialize(nullptr))) {}
    ~ScopedComInitialization() {
        if (initialized_) ::CoUninitialize();
    }
    ScopedComInitialization(const ScopedComInitialization&) = delete;
    ScopedComInitialization& operator=(const ScopedComInitialization&) = delete;

private:
    bool initialized_;
};

namespace handle_traits {

template <class Interface>
struct ComInterface {
    using pointer = Interface*;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer p) noexcept { p->Release(); }
};
struct Bstr {
    using pointer = BSTR;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer b) noexcept { ::SysFreeString(b); }
};

}  // namespace handle_traits

// One reference to a COM object.
template <class Interface>
class ComPtr : public UniqueResource<handle_traits::ComInterface<Interface>> {
    using Base = UniqueResource<handle_traits::ComInterface<Interface>>;

public:
    using Base::Base;
    // Takes over the reference `object` holds.
    static ComPtr adopt(Interface* object) noexcept { return ComPtr(object); }

    Interface* operator->() const noexcept { return this->get(); }
    // For out-parameters typed void** (QueryInterface, CoCreateInstance).
    void** putVoid() noexcept { return reinterpret_cast<void**>(this->put()); }

    // The object's `Other` interface asked with `iid`. Raises the COM error
    // (raiseComError) QueryInterface answers, E_POINTER for an empty pointer.
    template <class Other>
    ComPtr<Other> query(REFIID iid) const {
        HRESULT result = E_POINTER;
        ComPtr<Other> other = try_query<Other>(iid, &result);
        checkHResult(result);
        return other;
    }
    // The same, empty when the object has no such interface (or this pointer
    // is empty); `result`, when given, receives QueryInterface's answer
    // (E_POINTER for an empty pointer).
    template <class Other>
    ComPtr<Other> try_query(REFIID iid, HRESULT* result = nullptr) const noexcept {
        ComPtr<Other> other;
        const HRESULT answer = this->get() ? this->get()->QueryInterface(iid, other.putVoid()) : E_POINTER;
        if (FAILED(answer)) other.reset();
        if (result) *result = answer;
        return other;
    }
};

// A BSTR, owned. Its constructors allocate a copy of the text they are
// given (a string literal too); a BSTR allocated elsewhere is taken over by
// adopt only, so a text that is no BSTR never reaches SysFreeString. Read
// back as a wide string (null for none).
class UniqueBstr : public UniqueResource<handle_traits::Bstr> {
public:
    UniqueBstr() noexcept = default;
    UniqueBstr(UniqueBstr&&) noexcept = default;
    UniqueBstr& operator=(UniqueBstr&&) noexcept = default;
    // Raise std::bad_alloc when the string cannot be allocated.
    explicit UniqueBstr(const std::wstring& text);
    explicit UniqueBstr(const wchar_t* text) : UniqueBstr(text ? std::wstring(text) : std::wstring()) {}
    // Neither copied nor adopted silently: a BSTR is taken over with adopt.
    UniqueBstr(BSTR) = delete;

    // Takes ownership of `value`, allocated by SysAllocString or a COM
    // method's out-parameter.
    static UniqueBstr adopt(BSTR value) noexcept {
        UniqueBstr owner;
        owner.reset(value);
        return owner;
    }

    std::wstring str() const { return get() ? std::wstring(get(), ::SysStringLen(get())) : std::wstring(); }
};

inline UniqueBstr::UniqueBstr(const std::wstring& text)
    : UniqueResource(UniqueResource::adopt(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))) {
    if (!get()) throw std::bad_alloc();
}

// A VARIANT, cleared (VariantClear) at the end of its scope.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&value_); }
    ~UniqueVariant() { ::VariantClear(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    // VT_I4.
    static UniqueVariant fromLong(long number) {
        UniqueVariant v;
        v.value_.vt = VT_I4;
        v.value_.lVal = number;
        return v;
    }
    // VT_BSTR holding a copy of `text`.
    static UniqueVariant fromString(const std::wstring& text) {
        UniqueVariant v;
        v.value_.bstrVal = UniqueBstr(text).release();
        v.value_.vt = VT_BSTR;
        return v;
    }
    // VT_DISPATCH holding a new reference to `object`.
    static UniqueVariant fromDispatch(IDispatch* object) {
        UniqueVariant v;
        object->AddRef();
        v.value_.vt = VT_DISPATCH;
        v.value_.pdispVal = object;
        return v;
    }
    // VT_ERROR DISP_E_PARAMNOTFOUND: an optional argument left out.
    static UniqueVariant missing() {
        UniqueVariant v;
        v.value_.vt = VT_ERROR;
        v.value_.scode = DISP_E_PARAMNOTFOUND;
        return v;
    }

    UniqueVariant(UniqueVariant&& other) noexcept : value_(other.value_) { ::VariantInit(&other.value_); }

    const VARIANT& get() const noexcept { return value_; }
    // For out-parameters: clears the current value first.
    VARIANT* put() noexcept {
        ::VariantClear(&value_);
        return &value_;
    }

private:
    VARIANT value_;
};
