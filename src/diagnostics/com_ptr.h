// Scoped ownership of COM objects and strings: an interface pointer that is
// released, and a BSTR that is freed, on every way out of a scope; and COM's
// initialisation of a thread for a scope.
// Both are move-only; neither converts to its raw pointer implicitly.
#pragma once

#include "diagnostics/win32.h"

#include <objbase.h>
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

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Takes over a reference the caller already holds.
    explicit ComPtr(T* adopted) noexcept : p_(adopted) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    void reset(T* adopted = nullptr) noexcept {
        if (T* old = std::exchange(p_, adopted)) old->Release();
    }
    // For out-parameters: releases the current object first.
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* p_ = nullptr;
};

class ScopedBstr {
public:
    ScopedBstr() noexcept = default;
    // A copy of `text`; raises nothing, an allocation failure leaves it null.
    explicit ScopedBstr(const std::wstring& text)
        : value_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ScopedBstr(ScopedBstr&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    ScopedBstr& operator=(ScopedBstr&& other) noexcept {
        if (this != &other) {
            ::SysFreeString(value_);
            value_ = std::exchange(other.value_, nullptr);
        }
        return *this;
    }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;
    ~ScopedBstr() { ::SysFreeString(value_); }

    BSTR get() const noexcept { return value_; }
    BSTR* put() noexcept {
        ::SysFreeString(value_);
        value_ = nullptr;
        return &value_;
    }
    std::wstring str() const { return value_ ? std::wstring(value_, ::SysStringLen(value_)) : std::wstring(); }

private:
    BSTR value_ = nullptr;
};
