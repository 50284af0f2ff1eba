// The cost of VFileName::combine on each of its ways (the Windows 8 way loads
// the path library for every call) and of a static registry lookup (which
// opens and closes its key) against the raw platform calls.
#include "config/registry.h"
#include "bench_timing.h"
#include "diagnostics/exceptions.h"
#include "files/file_name.h"

#include <shlwapi.h>

#include <cstdio>
#include <functional>

int main() {
    constexpr int kCalls = 2000;
    try {
        wchar_t buffer[MAX_PATH];
        const double raw = microsecondsPerCall(kCalls, [&] { ::PathCombineW(buffer, L"C:\\dir", L"file.txt"); });
        const double api = microsecondsPerCall(
            kCalls, [] { VFileName::detail::combineWithPathApi(L"C:\\dir\\", L"\\file.txt"); });
        const double classic =
            microsecondsPerCall(kCalls, [] { VFileName::detail::combineClassic(L"C:\\dir\\", L"\\file.txt"); });
        std::wstring longDir = L"C:\\base";
        for (int i = 0; i < 30; ++i) longDir += L"\\component";
        const double joiner =
            microsecondsPerCall(kCalls, [&] { VFileName::detail::combineClassic(longDir, L"sub\\..\\file.txt"); });
        std::printf("PathCombineW raw: %.2f us\n", raw);
        printResult("VFileName::combine, path library / PathCombineW", api, raw, "us");
        printResult("VFileName::combine, PathCombineW way / PathCombineW", classic, raw, "us");
        printResult("VFileName::combine, long joiner / PathCombineW", joiner, raw, "us");

        const std::wstring key = L"Software\\QuarnBench";
        registry scratch(HKEY_CURRENT_USER, key, KEY_ALL_ACCESS, false);
        scratch.set(L"Value", L"some text value");
        DWORD type = 0;
        const double rawReg = microsecondsPerCall(kCalls, [&] {
            wchar_t data[64];
            DWORD size = sizeof(data);
            ::RegQueryValueExW(scratch.handle(), L"Value", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        });
        std::wstring value;
        const double objectReg = microsecondsPerCall(kCalls, [&] { scratch.lookup(L"Value", value); });
        const double staticReg = microsecondsPerCall(
            kCalls, [&] { registry::lookup(HKEY_CURRENT_USER, key, L"Value", value, REG_SZ, registry::View32); });
        scratch.close();
        ::RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
        std::printf("RegQueryValueExW raw: %.2f us\n", rawReg);
        printResult("registry object lookup / RegQueryValueExW", objectReg, rawReg, "us");
        printResult("registry static lookup / RegQueryValueExW", staticReg, rawReg, "us");
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"%ls\n", error.fullText().c_str());
        return 1;
    }
    return 0;
}
