// Crash dumps: a minidump of the whole process written when a structured
// exception reaches the translator, and the trimming of the dump directory at
// process exit. A fault that nothing handles (one outside the translated
// scopes, or inside a system library, which the translator leaves alone)
// reaches the process's unhandled-exception filter, set up at start-up: it
// logs a line at level Crash, writes a dump, and ends the process with the
// fault's code.
#pragma once

#include "diagnostics/win32.h"

#include <cstdint>
#include <mutex>
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
    // location + "\" + prefix + "YYYYMMDD_HHMMSS.dmp", or with "_1", "_2"...
    // before ".dmp" when a dump of that name exists already. The name is
    // reserved by creating an empty file of it, so two dumps never share a
    // name. The path is never cut, however long. Raises when dumps are
    // disabled. Safe to call from several threads at once.
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
    // Dumps of one second beyond this many replace the last one.
    static constexpr unsigned kMaxDumpsPerSecond = 1000;
    std::wstring fileName_;
    std::wstring path_;
    std::mutex nameLock_;
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
