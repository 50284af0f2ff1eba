// Crash dumps: a minidump of the whole process written when a structured
// exception reaches the translator, and the trimming of the dump directory at
// process exit.
#pragma once

#include "diagnostics/win32.h"

#include <cstdint>
#include <string>

// The process-wide crash-dump settings, read once from HKLM
// "SOFTWARE\Quarn\ZRT Config\Config" (32-bit view) when the program starts:
// "CrashDumpsEnabled" (0 turns dumps off), "PRODUCT_ROOT_D" (missing or
// empty turns dumps off), "CrashDumpsLocation" (default: product root +
// "etc\crashdumps") and "CrashDumpsMaxCount" (default 10). The location is
// created on construction; if that or anything else fails, dumps are off for
// the process's lifetime. Construction never throws.
class CrashDumpInfo {
public:
    static constexpr uint32_t kDefaultMaxCount = 10;
    // MiniDumpWithDataSegs | MiniDumpWithFullMemory | MiniDumpWithHandleData.
    static constexpr uint32_t kDefaultDumpType = 7;

    CrashDumpInfo();
    // Runs cleanupDumps when dumps are enabled.
    ~CrashDumpInfo();
    CrashDumpInfo(const CrashDumpInfo&) = delete;
    CrashDumpInfo& operator=(const CrashDumpInfo&) = delete;

    // The process's instance, created before the program's entry function runs.
    static CrashDumpInfo& instance();

    // A new full dump path for the current local time:
    // location + "\" + prefix + "YYYYMMDD_HHMMSS.dmp". Raises when dumps are
    // disabled. Not synchronised: concurrent callers may see each other's
    // fileName/path, but each gets its own return value.
    std::wstring getFileName();

    // Deletes the oldest "*.dmp" files (by last-write time; ".zip" excluded)
    // until at most maxCount remain. Never raises; a failure ends it.
    void cleanupDumps();

    bool enabled() const { return enabled_; }
    // Turns dumps off for the rest of the process (no dumps, no clean-up).
    void disable() { enabled_ = false; }
    uint32_t maxCount() const { return maxCount_; }
    const std::wstring& location() const { return location_; }
    const std::wstring& prefix() const { return prefix_; }

    // The MINIDUMP_TYPE that writeCrashDump uses: kDefaultDumpType, the whole
    // process memory. A full dump of a process under Wine takes hundreds of
    // megabytes; tests of the dump path lower it.
    uint32_t dumpType() const { return dumpType_; }
    void setDumpType(uint32_t type) { dumpType_ = type; }

private:
    bool enabled_ = true;
    uint32_t maxCount_ = kDefaultMaxCount;
    std::wstring location_;
    std::wstring prefix_;
    wchar_t fileName_[20] = {};
    std::wstring path_;
    uint32_t dumpType_ = kDefaultDumpType;
};

// Writes a dump for `pointers` if dumps are enabled and `pointers` is not
// null. A failure is logged at level Error, never thrown.
void writeCrashDump(EXCEPTION_POINTERS* pointers);

// Writes one minidump of the current process of `dumpType` to `path`
// (replacing a file of that name). A failure is logged at level Error with
// "Unable to generate dump file", never thrown.
void internalDumpMiniDump(const std::wstring& path, EXCEPTION_POINTERS* pointers, uint32_t dumpType);

// The translator installed by the standard wrapping: writes a dump (any
// error swallowed). cwrpexception(code) is then thrown on the faulting
// thread by the translation machinery (se_translator.h).
void seTranslator(unsigned int code, EXCEPTION_POINTERS* pointers);
