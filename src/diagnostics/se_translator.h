// Per-thread translation of structured exceptions (access violations,
// divisions by zero...) raised by the program's own code into cwrpexception,
// with a crash dump written first (by the default translator that the crash
// dumps, crash_dump.h, install when the program starts).
//
// GCC-built frames ignore _set_se_translator, so translation is done by one
// process-wide vectored exception handler that consults a per-thread
// translator. For a translatable fault inside the program's own module it
// calls the translator with the exception pointers (translation switched off
// meanwhile, so a fault inside the translator is not translated again) and
// then resumes the thread at an assembly trampoline that throws
// cwrpexception(code) as if the faulting instruction had called it. Code
// that can fault inside a scope must be built with -fnon-call-exceptions,
// and no noexcept frame may sit between the fault and the handler.
#pragma once

#include "diagnostics/win32.h"

// Called on the faulting thread before any unwinding, with the structured
// exception's code and pointers. It must not throw (anything it throws is
// swallowed); cwrpexception is thrown after it returns.
using SeTranslatorFunction = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// Installs `translator` (null: none) for the current thread and returns the
// previous one, like _set_se_translator.
SeTranslatorFunction setSeTranslator(SeTranslatorFunction translator);

// The translator that SeTranslatorScope's default constructor installs, for
// the whole process. Until it is set (the crash dumps set theirs,
// seTranslator, before the program's entry function runs in every program
// that links them), one that does nothing before the translation. Setting
// null restores that one.
void setDefaultSeTranslator(SeTranslatorFunction translator);
SeTranslatorFunction defaultSeTranslator();

// While an object of this class lives, a structured exception raised on this
// thread inside the program's own module is translated by the default
// translator (a dump, then cwrpexception). The previous translator is restored on every way
// out, so scopes nest.
class SeTranslatorScope {
public:
    SeTranslatorScope();
    explicit SeTranslatorScope(SeTranslatorFunction translator);
    ~SeTranslatorScope();
    SeTranslatorScope(const SeTranslatorScope&) = delete;
    SeTranslatorScope& operator=(const SeTranslatorScope&) = delete;

private:
    SeTranslatorFunction previous_;
};
