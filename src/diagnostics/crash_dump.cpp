#include "diagnostics/crash_dump.h"

CrashDumpInfo::CrashDumpInfo() { enabled_ = false; }
CrashDumpInfo::~CrashDumpInfo() = default;
CrashDumpInfo& CrashDumpInfo::instance() {
    static CrashDumpInfo info;
    return info;
}
void CrashDumpInfo::cleanupDumps() {}
std::wstring CrashDumpInfo::getFileName() { return {}; }
void writeCrashDump(EXCEPTION_POINTERS*) {}
void internalDumpMiniDump(const std::wstring&, EXCEPTION_POINTERS*, uint32_t) {}
void seTranslator(unsigned int, EXCEPTION_POINTERS* pointers) {
    try {
        writeCrashDump(pointers);
    } catch (...) {
    }
}
