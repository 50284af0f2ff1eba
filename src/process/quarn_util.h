// Running the product's command-line utilities ("admin\bin64" or
// "admin\bin" of the product root) by their bare names: hidden, standard
// output and standard error captured in one pipe, standard input optionally
// fed, waited for without a time limit, every run recorded in the
// "util_exec" log. Password arguments are masked wherever the command line is
// logged or put into an error text.
#pragma once

#include "diagnostics/win32.h"

#include <string>

class vexecutil;

// Runs the utility `name` (".exe" added unless it ends so) with `arguments`
// from the 64-bit folder wherever the system is 64-bit. Returns 0 when it
// exited with 0. `output`, when given, receives what it wrote (ANSI code
// page), also when it failed; `input`, when given, is written to its
// standard input, which is then closed.
//
// Every failure (not found, not startable, a non-zero exit code: "Execute "
// + name + " " + masked arguments + " failed with error code " + the code as
// a signed number + ": " + the output) becomes a vexception with the context
// "Execute %s %s" (the utility's path and the masked arguments). With
// `rethrow` it leaves the function; without, the result is -1, or the exit
// code when the utility ran to its end.
int execQuarnUtil(const std::wstring& name, const std::wstring& arguments, std::wstring* output = nullptr,
                  bool rethrow = true, const std::string* input = nullptr);
// The same, asking for the 64-bit folder only when `prefer64` is set.
int execQuarnUtil(const std::wstring& name, const std::wstring& arguments, std::wstring* output, bool rethrow,
                  const std::string* input, bool prefer64);

// Finds and starts the utility in `process` (path, arguments, the output
// pipe shared by both streams, no window, an input pipe when `input` is
// given), logs "Execute %s %s" at Info and a Start line to "util_exec", then
// has `input` written to the child's standard input, which is then closed,
// by a thread of its own (a failure there is logged at Warning): the caller
// reads the output meanwhile, and `process.inputWriter` is left empty.
// Raises a vexception with the context "Starting %s %s". Returns 0.
int startQuarnUtilInternal(const std::wstring& name, const std::wstring& arguments, const std::string* input,
                           vexecutil& process, bool prefer64);

// The utility's full path: `name` (".exe" appended unless its extension is
// ".exe" in any case) in getAdminBin64Dir() when `prefer64` is set and the
// system is 64-bit, otherwise in getAdminBinDir(); no fallback between them.
// Raises "Unable to find path of '" + name + "'" when nothing of that name
// exists there, and the configuration's error when the product root is
// unknown.
std::wstring findUtilPath(const std::wstring& name, bool prefer64);

// Writes "execUtil(Start|End)\t<this program>\t<utility>\t<masked
// arguments>\t<elapsed ms, end lines only>\n" to the "util_exec" log (written
// only while "log_util_exec_enabled" is non-zero). Never raises: a failure is
// logged at Info.
void writeToUtilExecLog(bool start, const std::wstring& utilPath, const std::wstring& arguments, DWORD elapsedMs);
