#include "layout.h"

#include "diagnostics/handles.h"

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <cwctype>

namespace sandbox::layout {

namespace {

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                          nullptr);
    return result;
}

std::wstring_view trim(std::wstring_view text) {
    while (!text.empty() && std::iswspace(text.front())) text.remove_prefix(1);
    while (!text.empty() && std::iswspace(text.back())) text.remove_suffix(1);
    return text;
}

bool startsWith(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool equalsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

std::vector<std::wstring> split(std::wstring_view text, std::wstring_view separators) {
    std::vector<std::wstring> parts;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find_first_of(separators, begin);
        if (end == std::wstring_view::npos) end = text.size();
        parts.emplace_back(trim(text.substr(begin, end - begin)));
        begin = end + 1;
    }
    return parts;
}

// Strips an optional "HKLM\" or "HKEY_LOCAL_MACHINE\" in front of a key path.
std::wstring keyPathBelowMachine(std::wstring_view path) {
    for (std::wstring_view root : {std::wstring_view(L"HKLM\\"), std::wstring_view(L"HKEY_LOCAL_MACHINE\\")})
        if (path.size() > root.size() && equalsNoCase(path.substr(0, root.size()), root))
            return std::wstring(path.substr(root.size()));
    return std::wstring(path);
}

class Parser {
public:
    explicit Parser(std::wstring_view text) : text_(text) {}

    Layout run() {
        size_t begin = 0;
        while (begin < text_.size()) {
            size_t end = text_.find(L'\n', begin);
            if (end == std::wstring_view::npos) end = text_.size();
            ++line_;
            parseLine(trim(text_.substr(begin, end - begin)));
            begin = end + 1;
        }
        return std::move(layout_);
    }

private:
    enum class Section { None, Key, Folders, Package, Service, Copy };

    [[noreturn]] void fail(const std::wstring& message) const {
        throw LayoutError(L"line " + std::to_wstring(line_) + L": " + message);
    }

    void parseLine(std::wstring_view line) {
        if (line.empty() || line.front() == L'#' || line.front() == L';') return;
        if (line.front() == L'[') {
            if (line.back() != L']') fail(L"a section header must end with ']'");
            parseHeader(trim(line.substr(1, line.size() - 2)));
            return;
        }
        if (section_ == Section::Folders) {
            layout_.folders.emplace_back(line);
            return;
        }
        const size_t equals = line.find(L'=');
        if (equals == std::wstring_view::npos) fail(L"expected 'name = value'");
        const std::wstring_view name = trim(line.substr(0, equals));
        const std::wstring_view value = trim(line.substr(equals + 1));
        if (name.empty()) fail(L"a setting needs a name");
        switch (section_) {
        case Section::None:
            fail(L"a setting before the first section");
        case Section::Copy:
            if (value.empty()) fail(L"expected 'TARGET PATH = SOURCE'");
            layout_.copies.push_back({std::wstring(name), std::wstring(value)});
            break;
        case Section::Key:
            layout_.keys.back().values.push_back(parseValue(name == L"@" ? L"" : name, value));
            break;
        case Section::Package:
            parsePackageSetting(layout_.packages.back(), name, value);
            break;
        case Section::Service:
            parseServiceSetting(layout_.services.back(), name, value);
            break;
        case Section::Folders:
            break;
        }
    }

    void parseHeader(std::wstring_view header) {
        const size_t blank = header.find_first_of(L" \t");
        const std::wstring_view kind = header.substr(0, blank);
        const std::wstring_view argument =
            blank == std::wstring_view::npos ? std::wstring_view() : trim(header.substr(blank));
        static constexpr std::wstring_view kKinds[] = {L"config", L"key",     L"folders",   L"type",
                                                       L"package", L"service", L"winservice", L"copy"};
        if (std::find(std::begin(kKinds), std::end(kKinds), kind) == std::end(kKinds))
            fail(L"unknown section [" + std::wstring(kind) + L"]");
        const bool needsArgument = kind != L"config" && kind != L"folders" && kind != L"copy";
        if (needsArgument && argument.empty()) fail(L"section [" + std::wstring(kind) + L"] needs a name");
        if (!needsArgument && !argument.empty()) fail(L"section [" + std::wstring(kind) + L"] takes no name");

        if (kind == L"config" || kind == L"key") {
            layout_.keys.push_back({kind == L"config" ? std::wstring(kConfigKey) : keyPathBelowMachine(argument), {}});
            section_ = Section::Key;
        } else if (kind == L"folders") {
            section_ = Section::Folders;
        } else if (kind == L"copy") {
            section_ = Section::Copy;
        } else if (kind == L"type" || kind == L"package" || kind == L"service") {
            layout_.packages.push_back(parsePackagePath(kind, argument));
            section_ = Section::Package;
        } else {
            ServiceSection service;
            service.name = argument;
            layout_.services.push_back(std::move(service));
            section_ = Section::Service;
        }
    }

    PackageSection parsePackagePath(std::wstring_view kind, std::wstring_view argument) const {
        const std::vector<std::wstring> parts = split(argument, L"/");
        PackageSection section;
        size_t expected = 1;
        if (kind == L"package") {
            section.kind = PackageSection::Kind::Package;
            expected = 2;
        } else if (kind == L"service") {
            section.kind = PackageSection::Kind::Service;
            expected = 3;
        }
        bool empty = false;
        for (const std::wstring& part : parts) empty = empty || part.empty();
        if (parts.size() != expected || empty) {
            static const wchar_t* const kForms[] = {L"TYPE", L"TYPE/PACKAGE", L"TYPE/PACKAGE/SERVICE"};
            fail(L"section [" + std::wstring(kind) + L"] needs " + kForms[expected - 1]);
        }
        section.type = parts[0];
        if (expected > 1) section.package = parts[1];
        if (expected > 2) section.service = parts[2];
        return section;
    }

    void parsePackageSetting(PackageSection& section, std::wstring_view name, std::wstring_view value) {
        switch (section.kind) {
        case PackageSection::Kind::Type:
            if (name != L"installed") fail(L"[type] knows only 'installed'");
            if (section.hasInstalled) fail(L"'installed' given twice");
            section.values.push_back(parseValue(L"", value));
            section.hasInstalled = true;
            break;
        case PackageSection::Kind::Package:
            if (name != L"services") fail(L"[package] knows only 'services'");
            section.servicesKey = parseYesNo(value);
            break;
        case PackageSection::Kind::Service:
            section.values.push_back(parseValue(name == L"@" ? L"" : name, value));
            break;
        }
    }

    void parseServiceSetting(ServiceSection& service, std::wstring_view name, std::wstring_view value) {
        if (name == L"display") {
            service.displayName = value;
        } else if (name == L"binary") {
            service.binary = value;
        } else if (name == L"start") {
            if (value == L"auto") service.startType = SERVICE_AUTO_START;
            else if (value == L"demand") service.startType = SERVICE_DEMAND_START;
            else if (value == L"disabled") service.startType = SERVICE_DISABLED;
            else fail(L"'start' is auto, demand or disabled");
        } else if (name == L"depends") {
            service.dependencies.clear();
            for (std::wstring& dependency : split(value, L",/"))
                if (!dependency.empty()) service.dependencies.push_back(std::move(dependency));
        } else if (name == L"state") {
            if (value == L"running") service.state = ServiceSection::State::Running;
            else if (value == L"stopped") service.state = ServiceSection::State::Stopped;
            else fail(L"'state' is running or stopped");
        } else {
            fail(L"[winservice] has no setting '" + std::wstring(name) + L"'");
        }
    }

    bool parseYesNo(std::wstring_view value) const {
        if (value == L"yes") return true;
        if (value == L"no") return false;
        fail(L"expected yes or no");
    }

    Value parseValue(std::wstring_view name, std::wstring_view value) const {
        Value result;
        result.name = name;
        if (startsWith(value, L"dword:")) {
            const std::wstring digits(trim(value.substr(6)));
            wchar_t* end = nullptr;
            errno = 0;
            const unsigned long long number = std::wcstoull(digits.c_str(), &end, 0);
            if (digits.empty() || digits.front() == L'-' || *end != L'\0' || errno != 0 || number > 0xFFFFFFFFull)
                fail(L"'" + digits + L"' is not a 32-bit number");
            result.type = REG_DWORD;
            result.number = static_cast<DWORD>(number);
        } else if (startsWith(value, L"expand:")) {
            result.type = REG_EXPAND_SZ;
            result.text = value.substr(7);
        } else if (startsWith(value, L"sz:")) {
            result.text = value.substr(3);
        } else {
            result.text = value;
        }
        return result;
    }

    std::wstring_view text_;
    Layout layout_;
    Section section_ = Section::None;
    unsigned line_ = 0;
};

}  // namespace

LayoutError::LayoutError(const std::wstring& text) : std::runtime_error(utf8(text)), text_(text) {}

std::wstring PackageSection::keyPath() const {
    std::wstring path = std::wstring(kPackagesKey) + L"\\" + type;
    if (kind == Kind::Type) return path;
    path += L"\\" + package;
    if (kind == Kind::Package) return path;
    return path + L"\\services\\" + service;
}

Layout parseLayout(std::wstring_view text) {
    if (!text.empty() && text.front() == L'\xFEFF') text.remove_prefix(1);
    return Parser(text).run();
}

Layout loadLayout(const std::wstring& path) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw LayoutError(L"cannot open layout file '" + path + L"' (error " +
                                 std::to_wstring(::GetLastError()) + L")");
    std::string bytes;
    char buffer[8192];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);

    std::wstring text;
    if (!bytes.empty()) {
        const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                               static_cast<int>(bytes.size()), nullptr, 0);
        if (size == 0) throw LayoutError(L"layout file '" + path + L"' is not UTF-8 text");
        text.resize(static_cast<size_t>(size));
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    }
    try {
        return parseLayout(text);
    } catch (const LayoutError& error) {
        throw LayoutError(path + L" " + error.text());
    }
}

}  // namespace sandbox::layout
