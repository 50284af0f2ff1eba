#include "diagnostics/se_translator.h"

#include "diagnostics/exceptions.h"

#include <atomic>
#include <cstdint>

extern "C" {
// The trampoline (se_trampoline_<processor>.S) the faulting thread resumes at; it calls
// quarnThrowPendingSe on a frame that unwinds into the faulting function.
void quarnSeTrampoline();
[[noreturn]] void quarnThrowPendingSe();
}

namespace {

// Two thread-local slots: the installed translator and the code of the fault
// being translated. Plain TLS slots rather than thread_local, because the
// vectored handler must read them without allocating.
struct Slots {
    DWORD translator = TLS_OUT_OF_INDEXES;
    DWORD pendingCode = TLS_OUT_OF_INDEXES;
};

bool isOwnModule(const void* address) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module))
        return false;
    return module == ::GetModuleHandleW(nullptr);
}

bool isTranslatable(const EXCEPTION_RECORD& record) {
    const DWORD code = record.ExceptionCode;
    if ((code & 0xF0000000u) != 0xC0000000u) return false;      // errors only; C++ exceptions are not
    if (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) return false;
    if (code == EXCEPTION_STACK_OVERFLOW) return false;          // no stack left to throw on
    if (code == EXCEPTION_NONCONTINUABLE_EXCEPTION) return false;
    return true;
}

LONG CALLBACK vectoredHandler(EXCEPTION_POINTERS* pointers);

void translateOnly(unsigned int, EXCEPTION_POINTERS*) {}

// Constant-initialised: ready before any dynamic initialiser sets another.
std::atomic<SeTranslatorFunction> defaultTranslator{&translateOnly};

const Slots& slots() {
    static const Slots instance = [] {
        Slots s;
        s.translator = ::TlsAlloc();
        s.pendingCode = ::TlsAlloc();
        ::AddVectoredExceptionHandler(1, vectoredHandler);
        return s;
    }();
    return instance;
}

LONG CALLBACK vectoredHandler(EXCEPTION_POINTERS* pointers) {
    const Slots& s = slots();
    if (s.translator == TLS_OUT_OF_INDEXES) return EXCEPTION_CONTINUE_SEARCH;
    const DWORD lastError = ::GetLastError();
    auto translator = reinterpret_cast<SeTranslatorFunction>(::TlsGetValue(s.translator));
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (!translator || !isTranslatable(record) || !isOwnModule(record.ExceptionAddress)) {
        ::SetLastError(lastError);
        return EXCEPTION_CONTINUE_SEARCH;
    }

    ::TlsSetValue(s.translator, nullptr);
    try {
        translator(record.ExceptionCode, pointers);
    } catch (...) {
    }
    ::TlsSetValue(s.translator, reinterpret_cast<void*>(translator));
    ::TlsSetValue(s.pendingCode, reinterpret_cast<void*>(static_cast<uintptr_t>(record.ExceptionCode)));

    // Resume at the trampoline with the stack pointer untouched and the
    // faulting address + 1 as a fake return address in a scratch register:
    // the unwinder then sees the faulting function as the caller, and GCC's
    // personality looks the call site up at (return address - 1), which is
    // the faulting instruction itself.
    CONTEXT& context = *pointers->ContextRecord;
#if defined(__x86_64__)
    context.R11 = context.Rip + 1;
    context.Rip = reinterpret_cast<DWORD64>(&quarnSeTrampoline);
#elif defined(__i386__)
    context.Ecx = context.Eip + 1;
    context.Eip = reinterpret_cast<DWORD>(&quarnSeTrampoline);
#else
#error "no structured-exception trampoline for this processor"
#endif
    ::SetLastError(lastError);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

extern "C" [[noreturn]] void quarnThrowPendingSe() {
    const auto code = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(::TlsGetValue(slots().pendingCode)));
    throw cwrpexception(code);
}

SeTranslatorFunction setSeTranslator(SeTranslatorFunction translator) {
    const Slots& s = slots();
    const DWORD lastError = ::GetLastError();
    auto previous = reinterpret_cast<SeTranslatorFunction>(::TlsGetValue(s.translator));
    ::TlsSetValue(s.translator, reinterpret_cast<void*>(translator));
    ::SetLastError(lastError);
    return previous;
}

void setDefaultSeTranslator(SeTranslatorFunction translator) {
    defaultTranslator = translator ? translator : &translateOnly;
}

SeTranslatorFunction defaultSeTranslator() {
    return defaultTranslator.load();
}

SeTranslatorScope::SeTranslatorScope() : SeTranslatorScope(defaultSeTranslator()) {}
SeTranslatorScope::SeTranslatorScope(SeTranslatorFunction translator) : previous_(setSeTranslator(translator)) {}
SeTranslatorScope::~SeTranslatorScope() { setSeTranslator(previous_); }
