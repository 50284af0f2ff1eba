#include "diagnostics/exceptions.h"

#include "diagnostics/text.h"

#include <cstdarg>

namespace {

// Removes every trailing carriage return and line feed.
void trimLineEnds(std::wstring& text) {
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
}

}  // namespace

vexception::vexception(std::wstring message, ContextEntry entry) : message_(std::move(message)) {
    context_.push_back(std::move(entry));
}

vexception::vexception(std::wstring message) : message_(std::move(message)) {}

vexception& vexception::addContext(ContextEntry entry) {
    context_.push_back(std::move(entry));
    return *this;
}

std::wstring vexception::fullText() const {
    std::wstring text = message_;
    for (const ContextEntry& entry : context_) {
        text += L"\n   at ";
        text += entry.text;
        text += L"(";
        text += wstr(entry.function);
        text += L" line ";
        text += std::to_wstring(entry.line);
        text += L")";
    }
    return text;
}

std::wstring osErrorMessage(const wchar_t* where, uint32_t code) {
    std::wstring tail = format(L" (Error code %lu)", static_cast<unsigned long>(code));
    if (where) {
        tail += L" at ";
        tail += where;
    }
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        code, 0x400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring system;
    if (length != 0 && buffer) {
        system.assign(buffer, length);
        trimLineEnds(system);
    } else {
        system = L"Unknown error";
    }
    if (buffer) ::LocalFree(buffer);
    return system + tail;
}

vosexception::vosexception(const wchar_t* where, uint32_t code, ContextEntry entry)
    : vexception(osErrorMessage(where, code), std::move(entry)), code_(code) {}

void raiseOsError(const wchar_t* where, uint32_t code, ContextEntry entry) {
    switch (code) {
    case 2: throw VFileNotFoundException(where, code, std::move(entry));
    case 3: throw VPathNotFoundException(where, code, std::move(entry));
    case 5: throw VAccessDeniedException(where, code, std::move(entry));
    case 14: throw VOutOfMemoryException(where, code, std::move(entry));
    case 32: throw VSharingViolationException(where, code, std::move(entry));
    case 38: throw VEOFException(where, code, std::move(entry));
    case 80: throw VFileExistsException(where, code, std::move(entry));
    case 122: throw VInsufficientBufferException(where, code, std::move(entry));
    case 183: throw VAlreadyExistsException(where, code, std::move(entry));
    case 1060: throw VServiceDoesNotExistException(where, code, std::move(entry));
    case 1072: throw VServiceMarkedForDeleteException(where, code, std::move(entry));
    case 1073: throw VServiceAlreadyExistsException(where, code, std::move(entry));
    case 2245: throw VPasswordTooShortException(where, code, std::move(entry));
    default: throw vosexception(where, code, std::move(entry));
    }
}

void raiseOsError(const std::wstring& where, uint32_t code, ContextEntry entry) {
    raiseOsError(where.c_str(), code, std::move(entry));
}

std::wstring cwrpexception::text() const {
    return format(L"C structured exception: 0x%x", static_cast<unsigned>(code_));
}

void throwRuntimeError(const wchar_t* fmt, int code, ...) {
    va_list args;
    va_start(args, code);
    std::wstring message = vaformat(fmt, args);
    va_end(args);
    if (code == 0) throw std::runtime_error(cstr(message));

    const std::string text =
        cstr(format(L"%s: (%d) %s", message.c_str(), code, systemErrorText(static_cast<uint32_t>(code)).c_str()));
    switch (code) {
    case 2:
    case 3: throw RunTime::PathNotFoundException(text);
    case 5: throw RunTime::AccessDeniedException(text);
    case 6: throw RunTime::InvalidHandleException(text);
    case 15:
    case 26:
    case 34:
    case 123:
    case 161:
    case 267: throw RunTime::InvalidPathException(text);
    case 32:
    case 33:
    case 36: throw RunTime::SharingViolationException(text);
    case 80:
    case 183: throw RunTime::AlreadyExistsException(text);
    case 145: throw RunTime::DirectoryNotEmptyException(text);
    case 1332: throw RunTime::NoneMappedException(text);
    default: throw std::runtime_error(text);
    }
}
