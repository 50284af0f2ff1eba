// Driving the sitectl stand-in from tests: its control values for the
// duration of a scope, and what it recorded (see sitectl_files.h).
#pragma once

#include "diagnostics/win32.h"

#include <string>
#include <vector>

namespace sandboxkit {

// sitectl.exe beside the running program.
std::wstring sitectlPath();

// The folder sitectl records its runs and the website state in (for the
// product root configured now).
std::wstring sitectlFolder();

// The recorded runs, oldest first: "<program path>\t<command line>".
std::vector<std::wstring> sitectlRuns();
// Deletes the record of runs.
void clearSitectlRuns();

// "on", "off", or empty when no run changed the state yet.
std::wstring websiteState();

// Control values for every sitectl run while the object lives; the control
// key is deleted at the start and at the end, so runs outside the scope
// behave by default. Failures throw std::runtime_error.
class SitectlControl {
public:
    SitectlControl();
    ~SitectlControl();
    SitectlControl(const SitectlControl&) = delete;
    SitectlControl& operator=(const SitectlControl&) = delete;

    void setText(const std::wstring& name, const std::wstring& text);
    void setNumber(const std::wstring& name, DWORD value);

private:
    HKEY key_ = nullptr;
};

}  // namespace sandboxkit
