#include "threading/execute_context.h"

#include "threading/cancelation_registry.h"
#include "test_support.h"

#include "diagnostics/handles.h"

#include <gtest/gtest.h>

TEST(ExecuteContext, ExportedPointerIsFoundInTheProgramAndHoldsTheContext) {
    const FARPROC symbol = ::GetProcAddress(::GetModuleHandleW(nullptr), QUARN_EXECUTE_CONTEXT_SYMBOL);
    ASSERT_NE(symbol, nullptr);
    ExecuteContext& context = ExecuteContext::get();
    EXPECT_EQ(*reinterpret_cast<ExecuteContext* const*>(symbol), &context);
    EXPECT_EQ(&ExecuteContext::get(), &context);
    EXPECT_EQ(context.refcount(), 1);
}

TEST(ExecuteContext, SwitchTableIsCreatedOnceWithAllBytesZero) {
    ExecuteContext& context = ExecuteContext::get();
    EXPECT_EQ(context.switches(), nullptr);
    bool created = false;
    LogSwitches& switches = context.ensureSwitches(created);
    EXPECT_TRUE(created);
    for (size_t i = 0; i < sizeof(LogSwitches); ++i) EXPECT_EQ(switches[i], 0) << i;
    switches[7] = 1;
    EXPECT_EQ(switches.toEventLog[1], 1);
    LogSwitches& again = context.ensureSwitches(created);
    EXPECT_FALSE(created);
    EXPECT_EQ(&again, &switches);
    EXPECT_EQ(context.switches(), &switches);
}

TEST(ExecuteContext, RegistryIsCreatedOnceAndStartsDisabled) {
    ExecuteContext& context = ExecuteContext::get();
    ThreadCancelation::CancelationRegistry& registry = context.registry();
    EXPECT_EQ(&context.registry(), &registry);
    EXPECT_FALSE(registry.enabled());
    EXPECT_TRUE(registry.threads().empty());
}

// A second module of the process that has already published a context: a
// copy of this program loaded as a library, its exported pointer set. A
// module whose own pointer is still null adopts that context.
TEST(ExecuteContext, ModuleWithoutContextAdoptsTheOnePublishedByAnotherModule) {
    ExecuteContext& published = ExecuteContext::get();
    const int32_t references = published.refcount();

    testing_support::ScratchDir scratch;
    const std::wstring copy = scratch.path() + L"\\peer_module.dll";
    std::wstring self(MAX_PATH, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
    ASSERT_TRUE(::CopyFileW(self.c_str(), copy.c_str(), FALSE));
    // Mapped with its exports but without running any of its code.
    UniqueLibrary peer(::LoadLibraryExW(copy.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    ASSERT_TRUE(peer);
    auto* peerPointer =
        reinterpret_cast<ExecuteContext**>(::GetProcAddress(peer.get(), QUARN_EXECUTE_CONTEXT_SYMBOL));
    ASSERT_NE(peerPointer, nullptr);
    EXPECT_EQ(*peerPointer, nullptr);
    *peerPointer = &published;

    // This program plays the module that has not looked its context up yet.
    auto* ownPointer = reinterpret_cast<ExecuteContext**>(
        ::GetProcAddress(::GetModuleHandleW(nullptr), QUARN_EXECUTE_CONTEXT_SYMBOL));
    ASSERT_NE(ownPointer, nullptr);
    *ownPointer = nullptr;
    ExecuteContext& adopted = ExecuteContext::get();
    EXPECT_EQ(&adopted, &published);
    EXPECT_EQ(*ownPointer, &published);
    EXPECT_EQ(adopted.refcount(), references + 1);
    *peerPointer = nullptr;
}
