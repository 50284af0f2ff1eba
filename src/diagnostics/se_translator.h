// Per-thread translation of structured exceptions (access violations,
// divisions by zero...) raised by the program's own code into cwrpexception,
// with a crash dump written first.
#pragma once

// While an object of this class lives, a structured exception raised on this
// thread inside the program's own module is translated. The previous state is
// restored on every way out, so scopes nest.
class SeTranslatorScope {
public:
    SeTranslatorScope();
    ~SeTranslatorScope();
    SeTranslatorScope(const SeTranslatorScope&) = delete;
    SeTranslatorScope& operator=(const SeTranslatorScope&) = delete;

private:
    void* previous_[2] = {};
};
