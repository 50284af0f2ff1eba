#include "files/library.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "files/file_name.h"

#include <vector>

namespace {

constexpr ContextSite kFileNameSite{"VModule::fileName", 33};
constexpr ContextSite kGetProcAddressSite{"VModule::getProcAddress", 47};
constexpr ContextSite kDestructorSite{"VLibrary::~VLibrary", 85};
constexpr ContextSite kLoadSite{"VLibrary::load", 143};
constexpr ContextSite kUnloadSite{"VLibrary::unload", 151};

}  // namespace

std::wstring VModule::fileName() const {
    std::vector<wchar_t> buffer(MAX_PATH);
    while (true) {
        const DWORD length = ::GetModuleFileNameW(module_, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) raiseOsError(L"GetModuleFileName", ::GetLastError(), kFileNameSite.entry());
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

FARPROC VModule::getProcAddress(const std::wstring& name) const {
    const FARPROC address = ::GetProcAddress(module_, cstr(name).c_str());
    if (!address)
        raiseOsError(format(L"GetProcAddress(%s)", name.c_str()), ::GetLastError(), kGetProcAddressSite.entry());
    return address;
}

VLibrary::VLibrary(const std::wstring& name) {
    load(name);
}

VLibrary::~VLibrary() {
    runWrappedLogged(LogError, kDestructorSite.entry(L"unload()"), [this] { unload(); });
}

void VLibrary::load(const std::wstring& name) {
    const HMODULE module = ::LoadLibraryW(VFileName::canonicalize(name).c_str());
    if (!module) raiseOsError(format(L"LoadLibrary(%s)", name.c_str()), ::GetLastError(), kLoadSite.entry());
    module_ = module;
    name_ = name;
}

void VLibrary::unload() {
    if (!module_) return;
    const HMODULE module = module_;
    module_ = nullptr;
    name_.clear();
    if (!::FreeLibrary(module)) raiseOsError(L"FreeLibrary()", ::GetLastError(), kUnloadSite.entry());
}
