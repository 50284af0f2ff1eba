#include "threading/exclusive_task.h"

#include "diagnostics/exceptions.h"
#include "threading_test_support.h"

#include <gtest/gtest.h>

#include <thread>

using threading_test::createEvent;

namespace {

std::wstring uniqueName() {
    return L"quarn-test-task-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount());
}

}  // namespace

TEST(ExclusiveTask, SecondHolderWaitsUntilTheFirstScopeEnds) {
    const std::wstring name = uniqueName();
    UniqueHandle held = createEvent();
    UniqueHandle release = createEvent();
    std::thread first([&] {
        ExclusiveTask task(name, INFINITE);
        EXPECT_TRUE(task.owned());
        ::SetEvent(held.get());
        ::WaitForSingleObject(release.get(), 10000);
    });
    ASSERT_EQ(::WaitForSingleObject(held.get(), 10000), WAIT_OBJECT_0);
    {
        // A time-out is no error: the task runs without the mutex.
        ExclusiveTask task(name, 100);
        EXPECT_FALSE(task.owned());
    }
    ::SetEvent(release.get());
    first.join();
    ExclusiveTask task(name, 5000);
    EXPECT_TRUE(task.owned());
}

TEST(ExclusiveTask, MutexAbandonedByAnEndedThreadIsAcquired) {
    const std::wstring name = uniqueName();
    UniqueHandle keep(::CreateMutexW(nullptr, FALSE, name.c_str()));  // keeps the mutex alive
    std::thread([&] {
        ExclusiveTask* leaked = new ExclusiveTask(name, INFINITE);  // never released by this thread
        EXPECT_TRUE(leaked->owned());
        (void)leaked;
    }).join();
    ExclusiveTask task(name, 1000);
    EXPECT_TRUE(task.owned());
}

TEST(ExclusiveTask, EndOfScopeReleasesForOtherThreads) {
    const std::wstring name = uniqueName();
    { ExclusiveTask task(name, INFINITE); }
    bool owned = false;
    std::thread([&] {
        ExclusiveTask task(name, 0);
        owned = task.owned();
    }).join();
    EXPECT_TRUE(owned);
}

TEST(ExclusiveTask, InvalidNameRaisesTheCreationError) {
    try {
        ExclusiveTask task(L"Bad\\Namespace\\quarn-test", 0);
        FAIL() << "no error";
    } catch (const vosexception& e) {
        EXPECT_NE(e.message().find(L" at create mutex Bad\\Namespace\\quarn-test"), std::wstring::npos);
        ASSERT_EQ(e.context().size(), 1u);
        EXPECT_EQ(e.context()[0].function, "ExclusiveTask::Initialize");
        EXPECT_EQ(e.context()[0].line, 204);
    }
}
