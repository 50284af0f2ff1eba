// The program's own manifest, as the resources of this test program hold it
// (the same resource script as svcsentry.exe).
#include "diagnostics/win32.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

std::string ownManifest() {
    const HMODULE module = ::GetModuleHandleW(nullptr);
    const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    if (!found) return std::string();
    const auto* text = static_cast<const char*>(::LockResource(::LoadResource(module, found)));
    return std::string(text, ::SizeofResource(module, found));
}

}  // namespace

// Windows refuses to start a program whose own manifest names another
// processor architecture than the program's.
TEST(Manifest, NamesTheArchitectureOfItsOwnBuild) {
    const std::string manifest = ownManifest();
    std::smatch identity;
    ASSERT_TRUE(std::regex_search(manifest, identity,
                                  std::regex("<assemblyIdentity[^>]*name=\"Quarn.ServicesMonitor\"[^>]*>")));
    std::smatch architecture;
    const std::string element = identity.str();
    ASSERT_TRUE(std::regex_search(element, architecture, std::regex("processorArchitecture=\"([^\"]*)\"")));
#ifdef _WIN64
    EXPECT_EQ(architecture[1], "amd64");
#else
    EXPECT_EQ(architecture[1], "x86");
#endif
}
