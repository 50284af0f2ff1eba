#include "files/file_name.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/text.h"
#include "files/directory.h"
#include "files/library.h"
#include "files/os_version.h"

#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace {

constexpr ContextSite kRootSite{"VFileName::root", 25};
constexpr ContextSite kPathAllocCombineSite{"VFileName::combine", 80};
constexpr ContextSite kPathCombineSite{"VFileName::combine", 91};
constexpr ContextSite kRemoveFileSpecSite{"VFileName::removeFileSpec", 178};
constexpr ContextSite kExpandSite{"VFileName::expandEnvironmentStrings", 220};

constexpr wchar_t kPathLibrary[] = L"api-ms-win-core-path-l1-1-0.dll";
constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kNativePrefix[] = L"\\??\\";
constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";
constexpr size_t kPrefixLength = 4;
constexpr ULONG kAllowLongPaths = 1;  // PATHCCH_ALLOW_LONG_PATHS

using PathAllocCombineFunction = HRESULT(WINAPI*)(PCWSTR, PCWSTR, ULONG, PWSTR*);
using PathCchRemoveFileSpecFunction = HRESULT(WINAPI*)(PWSTR, size_t);

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

bool isDrive(const std::wstring& component) {
    return component.size() == 2 && component[1] == L':' && std::iswalpha(component[0]);
}

// A copy of `text` in a writable, null-terminated buffer of at least
// `minimum` characters, for the in-place path functions.
std::vector<wchar_t> writable(const std::wstring& text, size_t minimum = 0) {
    std::vector<wchar_t> buffer(std::max(text.size() + 1, minimum), L'\0');
    std::copy(text.begin(), text.end(), buffer.begin());
    return buffer;
}

// Removes, from the end, every "\" and every "." directly after a "\",
// never the first character.
void trimJoined(std::wstring& path) {
    while (path.size() > 1) {
        if (path.back() == L'\\')
            path.pop_back();
        else if (path.back() == L'.' && path[path.size() - 2] == L'\\')
            path.pop_back();
        else
            break;
    }
}

bool equalsIgnoringCase(const std::wstring& left, const wchar_t* right) {
    const int result = ::CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, left.c_str(), -1, right, -1);
    if (result == 0) throwRuntimeError(L"Unable to compare strings (%s) with (%s)", 0, left.c_str(), right);
    return result == CSTR_EQUAL;
}

}  // namespace

namespace VFileName {

std::wstring combine(const std::wstring& directory, const std::wstring& file) {
    if (OsVersion::instance().isWindows8OrLater()) return detail::combineWithPathApi(directory, file);
    return detail::combineClassic(directory, file);
}

namespace detail {

std::wstring combineWithPathApi(const std::wstring& directory, const std::wstring& file) {
    VLibrary library(kPathLibrary);
    const auto pathAllocCombine = library.procedure<PathAllocCombineFunction>(L"PathAllocCombine");
    PWSTR joined = nullptr;
    const HRESULT result = pathAllocCombine(toLongPath(directory).c_str(), trimLeadingSeparators(file).c_str(),
                                            kAllowLongPaths, &joined);
    UniqueLocalMemory owner(joined);
    if (result != S_OK)
        throw vexception(format(L"PathAllocCombine(%s, %s) failed: error code 0x%lx", directory.c_str(), file.c_str(),
                                static_cast<unsigned long>(result)),
                         kPathAllocCombineSite.entry());
    return stripLongPrefix(joined ? joined : L"");
}

std::wstring combineClassic(const std::wstring& directory, const std::wstring& file) {
    if (directory.size() + file.size() < MAX_PATH) {
        wchar_t buffer[MAX_PATH] = {};
        if (!::PathCombineW(buffer, trimTrailingSeparators(directory).c_str(), trimLeadingSeparators(file).c_str()))
            throw vexception(L"PathCombine failed for dir " + directory + L" and fileName " + file,
                             kPathCombineSite.entry());
        return buffer;
    }
    return canonicalize(stripLongPrefix(joinLongPath(directory, file)));
}

std::wstring removeFileSpecWithPathApi(const std::wstring& path) {
    VLibrary library(kPathLibrary);
    const auto removeSpec = library.procedure<PathCchRemoveFileSpecFunction>(L"PathCchRemoveFileSpec");
    std::vector<wchar_t> buffer = writable(toLongPath(path));
    const HRESULT result = removeSpec(buffer.data(), buffer.size());
    if (result != S_OK && result != S_FALSE)
        throw vexception(format(L"PathCchRemoveFileSpec(%s) failed: error code 0x%lx", path.c_str(),
                                static_cast<unsigned long>(result)),
                         kRemoveFileSpecSite.entry());
    return stripLongPrefix(buffer.data());
}

std::wstring removeFileSpecClassic(const std::wstring& path) {
    if (path.size() < MAX_PATH) {
        std::vector<wchar_t> buffer = writable(path, MAX_PATH);
        ::PathRemoveFileSpecW(buffer.data());
        return buffer.data();
    }
    if (path.back() == L'\\') {
        if (path.find(L'\\') == path.size() - 1) return path;
        return path.substr(0, path.size() - 1);
    }
    const size_t last = path.rfind(L'\\');
    return last == std::wstring::npos ? path : path.substr(0, last);
}

}  // namespace detail

std::wstring joinLongPath(const std::wstring& directory, const std::wstring& file) {
    if (directory.empty() && (equalsIgnoringCase(file, L"CONOUT$") || equalsIgnoringCase(file, L"CONIN$"))) {
        std::wstring result = file;
        trimJoined(result);
        return result;
    }
    if (directory.empty() && file.empty()) throwRuntimeError(L"Empty input path", ERROR_INVALID_PARAMETER);

    std::wstring result;
    if (file.size() >= 2 && file[0] == L'\\' && file[1] == L'\\') {
        result = file;
        trimJoined(result);
    } else {
        if (file.size() >= 2 && file[1] == L':') {
            result = kLongPrefix;
        } else if (!directory.empty() && directory[0] == L'\\') {
            result = directory;
        } else {
            const std::wstring base = directory.empty() ? VDirectory::current() : directory;
            result = kLongPrefix;
            for (size_t i = 0; i < base.size(); ++i) {
                if (isSeparator(base[i])) {
                    result += L'\\';
                    while (i + 1 < base.size() && isSeparator(base[i + 1])) ++i;
                } else {
                    result += base[i];
                }
            }
        }
        trimJoined(result);
        result += L'\\';

        // "." and ".." are recognised only as whole components, so names
        // such as "a." or "b..c" are copied as they are.
        const size_t n = file.size();
        size_t i = 0;
        while (i < n) {
            const bool atComponentStart = result.back() == L'\\';
            const wchar_t c = file[i];
            if (atComponentStart && c == L'.' && i + 1 < n && isSeparator(file[i + 1])) {
                i += 2;
            } else if (atComponentStart && c == L'.' && i + 1 < n && file[i + 1] == L'.' &&
                       (i + 2 == n || isSeparator(file[i + 2]))) {
                const size_t cut = result.size() < 2 ? std::wstring::npos : result.rfind(L'\\', result.size() - 2);
                if (cut == std::wstring::npos || cut < 5)
                    throwRuntimeError(L"Invalid input path (%s) + (%s)", 0, directory.c_str(), file.c_str());
                result.resize(cut + 1);
                i += (i + 2 == n) ? 2 : 3;
            } else if (isSeparator(c)) {
                while (i < n && isSeparator(file[i])) ++i;
                if (!atComponentStart) result += L'\\';
            } else {
                result += c;
                ++i;
            }
        }
        trimJoined(result);
    }
    if (result.size() == 6 && result[5] == L':') result += L'\\';
    return result;
}

std::wstring expandEnvironmentStrings(const std::wstring& text) {
    DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    while (true) {
        if (needed == 0)
            raiseOsError(format(L"ExpandEnvironmentStrings(%s)", text.c_str()), ::GetLastError(), kExpandSite.entry());
        std::vector<wchar_t> buffer(needed + 1);
        const DWORD written = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (written == 0)
            raiseOsError(format(L"ExpandEnvironmentStrings(%s)", text.c_str()), ::GetLastError(), kExpandSite.entry());
        // A variable that grew in between: ask again with the new length.
        if (written <= buffer.size()) return buffer.data();
        needed = written;
    }
}

std::wstring removeFileSpec(const std::wstring& path) {
    if (OsVersion::instance().isWindows8OrLater()) return detail::removeFileSpecWithPathApi(path);
    return detail::removeFileSpecClassic(path);
}

std::wstring root(const std::wstring& path) {
    std::vector<wchar_t> buffer = writable(path, MAX_PATH);
    if (!::PathStripToRootW(buffer.data()))
        throw vexception(L"PathStripToRoot failed for fileName=" + path, kRootSite.entry());
    return buffer.data();
}

std::wstring canonicalize(const std::wstring& input) {
    std::wstring path = input;
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';

    std::wstring prefix;
    if (startsWith(path, kLongPrefix) || startsWith(path, kDevicePrefix)) {
        prefix = path.substr(0, kPrefixLength);
        path.erase(0, kPrefixLength);
    }
    const bool unc = prefix.empty() && startsWith(path, L"\\\\");
    const bool leading = !path.empty() && path[0] == L'\\';
    const bool trailing = path.size() > 1 && path.back() == L'\\';

    // Components ".." may not remove: a drive, or a UNC server and share.
    std::vector<std::wstring> parts;
    for (std::wstring& part : split(path, L"\\")) {
        const size_t fixed = unc ? 2 : (!leading && !parts.empty() && isDrive(parts.front()) ? 1 : 0);
        if (part == L".") continue;
        if (part == L"..") {
            if (fixed != 0 && parts.size() <= fixed) continue;
            if (parts.empty() || parts.back() == L"..")
                parts.push_back(std::move(part));
            else
                parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
    }

    std::wstring result;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) result += L'\\';
        result += parts[i];
    }
    if (leading) result.insert(0, unc ? L"\\\\" : L"\\");
    if (trailing && result.back() != L'\\') result += L'\\';
    return prefix + result;
}

std::wstring toLongPath(const std::wstring& path) {
    if (path.size() < 2 || path[1] != L':' || !std::iswalpha(path[0])) return path;
    std::wstring canonical = canonicalize(path);
    // "C:foo" is relative to the drive's current directory, which the
    // prefixed form cannot express: it is resolved first.
    if (canonical.size() > 2 && !isSeparator(canonical[2])) {
        std::wstring full(MAX_PATH, L'\0');
        DWORD length = ::GetFullPathNameW(canonical.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length >= full.size()) {
            full.resize(length + 1);
            length = ::GetFullPathNameW(canonical.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        }
        if (length > 0 && length < full.size()) {
            full.resize(length);
            canonical = canonicalize(full);
        }
    }
    if (canonical.size() == 2) canonical += L'\\';
    return kLongPrefix + canonical;
}

std::wstring stripLongPrefix(const std::wstring& path) {
    if (startsWith(path, kLongPrefix) || startsWith(path, kNativePrefix)) return path.substr(kPrefixLength);
    return path;
}

std::wstring trimTrailingSeparators(const std::wstring& path) {
    size_t end = path.size();
    while (end > 0 && isSeparator(path[end - 1])) --end;
    return path.substr(0, end);
}

std::wstring trimLeadingSeparators(const std::wstring& path) {
    size_t start = 0;
    while (start < path.size() && isSeparator(path[start])) ++start;
    return path.substr(start);
}

std::wstring addTrailingSeparator(const std::wstring& path) {
    if (!path.empty() && path.back() == L'\\') return path;
    return path + L'\\';
}

std::wstring lastComponent(const std::wstring& path) {
    std::wstring text = path;
    if (!text.empty() && text.back() == L'\\') text.pop_back();
    const size_t last = text.rfind(L'\\');
    return last == std::wstring::npos ? text : text.substr(last + 1);
}

std::wstring fileName(const std::wstring& path) {
    return ::PathFindFileNameW(path.c_str());
}

std::wstring extension(const std::wstring& path) {
    return ::PathFindExtensionW(path.c_str());
}

std::wstring removeExtension(const std::wstring& path) {
    std::vector<wchar_t> buffer = writable(path);
    ::PathRemoveExtensionW(buffer.data());
    return buffer.data();
}

bool isRelative(const std::wstring& path) {
    return ::PathIsRelativeW(path.c_str()) != FALSE;
}

std::vector<std::wstring> split(const std::wstring& text, const std::wstring& delimiters, bool wholeString) {
    std::vector<std::wstring> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end;
        size_t skip;
        if (wholeString) {
            end = delimiters.empty() ? std::wstring::npos : text.find(delimiters, start);
            skip = delimiters.size();
        } else {
            end = text.find_first_of(delimiters, start);
            skip = 1;
        }
        if (end == std::wstring::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        if (end == text.size()) break;
        start = end + skip;
    }
    return pieces;
}

}  // namespace VFileName
