// Module handles and dynamically loaded libraries.
#pragma once

#include "diagnostics/win32.h"

#include <string>

// A module handle that this object does not own.
class VModule {
public:
    explicit VModule(HMODULE module = nullptr) : module_(module) {}
    virtual ~VModule() = default;

    // The full path of the module's file. Raises on failure.
    virtual std::wstring fileName() const;

    // The address of the exported procedure `name`. Raises when it is missing.
    FARPROC getProcAddress(const std::wstring& name) const;

    HMODULE handle() const { return module_; }

    VModule(const VModule&) = delete;
    VModule& operator=(const VModule&) = delete;

protected:
    HMODULE module_ = nullptr;
};

// A library loaded for the lifetime of the object.
class VLibrary : public VModule {
public:
    // Loads the canonical form of `name`. Raises when it cannot be loaded.
    explicit VLibrary(const std::wstring& name);
    // Unloads the library; a failure is logged at Error, never thrown.
    ~VLibrary() override;

    // Frees the library when one is held and forgets the handle and name.
    // Raises when FreeLibrary fails.
    void unload();

    const std::wstring& name() const { return name_; }

    // A typed procedure address.
    template <class Function>
    Function procedure(const std::wstring& procName) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(getProcAddress(procName)));
    }

private:
    void load(const std::wstring& name);

    std::wstring name_;
};
