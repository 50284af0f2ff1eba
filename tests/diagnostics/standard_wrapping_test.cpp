#include "diagnostics/crash_dump.h"
#include "diagnostics/se_translator.h"
#include "diagnostics/standard_wrapping.h"
#include "product_settings.h"
#include "test_support.h"
#include "threading/cancelation_point.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace testing_support;

namespace {
constexpr ContextSite kWrapSite{"wraptest::operation", 5};
}

TEST(StandardWrapping, TranslatorIsInstalledForTheBodyAndRestoredOnEveryWayOut) {
    ASSERT_EQ(setSeTranslator(nullptr), nullptr);
    const int value = runWrapped(kWrapSite.entry(), [] {
        EXPECT_EQ(setSeTranslator(seTranslator), seTranslator);
        return 3;
    });
    EXPECT_EQ(value, 3);
    EXPECT_EQ(setSeTranslator(nullptr), nullptr);

    EXPECT_THROW(runWrapped(kWrapSite.entry(), [] { throw std::runtime_error("out"); }), vexception);
    EXPECT_EQ(setSeTranslator(nullptr), nullptr);
}

TEST(StandardWrapping, CancellationPassesTheLoggedAndCancelableVariantsUnchanged) {
    EXPECT_THROW(runWrappedLogged(LogError, kWrapSite.entry(), [] { throw ThreadCancelation::ThreadCanceled{}; }),
                 ThreadCancelation::ThreadCanceled);
    EXPECT_THROW(runWrappedCancelable(kWrapSite.entry(), [] { throw ThreadCancelation::ThreadCanceled{}; }),
                 ThreadCancelation::ThreadCanceled);
}

TEST(StandardWrapping, LoggedVariantWritesTheWrappedErrorAndContinues) {
    ScratchDir root;
    ProductSettings settings;
    settings.setString(L"PRODUCT_ROOT_D", root.path());
    settings.setDword(L"Debug", 1);
    settings.remove(L"log_debug_enabled");
    ::CreateDirectoryW((root.path() + L"\\admin").c_str(), nullptr);
    ::CreateDirectoryW((root.path() + L"\\admin\\logs").c_str(), nullptr);

    EXPECT_TRUE(runWrappedLogged(LogWarning, kWrapSite.entry(L"quiet"), [] {}));
    EXPECT_FALSE(runWrappedLogged(LogWarning, kWrapSite.entry(L"removing"), [] {
        raiseOsError(L"DeleteFile 'x'", ERROR_ACCESS_DENIED, ContextEntry{L"", "removeFile", 627});
    }));

    const std::string bytes = readFileBytes(root.path() + L"\\admin\\logs\\quarnlog_debug" + localDate(0) + L".log");
    ASSERT_GT(bytes.size(), 2u);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    EXPECT_NE(text.find(L"(Error code 5) at DeleteFile 'x'\n   at (removeFile line 627)\n"
                        L"   at removing(wraptest::operation line 5)\r\n"),
              std::wstring::npos);
    EXPECT_NE(text.find(L" Warning: "), std::wstring::npos);
}
