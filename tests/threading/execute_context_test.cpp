#include "threading/execute_context.h"

#include "threading/cancelation_registry.h"

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
