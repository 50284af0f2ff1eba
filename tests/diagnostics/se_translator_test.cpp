#include "diagnostics/crash_dump.h"
#include "diagnostics/se_translator.h"
#include "diagnostics/standard_wrapping.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <thread>

namespace {

constexpr ContextSite kFaultSite{"faults::operation", 42};

volatile uintptr_t gBadAddress = 16;
volatile int gZero = 0;
volatile int gMinusOne = -1;
volatile int gSink = 0;  // keeps the optimiser from dropping an unused division

__attribute__((noinline)) int readBadAddress() { return *reinterpret_cast<volatile int*>(gBadAddress); }
__attribute__((noinline)) void writeBadAddress(int value) { *reinterpret_cast<volatile int*>(gBadAddress) = value; }
__attribute__((noinline)) int divideByZero(int value) {
    gSink = value / gZero;
    return gSink;
}
__attribute__((noinline)) int overflowDivide() {
    gSink = INT_MIN / gMinusOne;
    return gSink;
}

struct Counted {
    int& count;
    explicit Counted(int& c) : count(c) {}
    ~Counted() { ++count; }
};

// A fault below a frame that owns an object, so unwinding must pass through it.
__attribute__((noinline)) int faultBelowOwner(int& destroyed) {
    Counted owner(destroyed);
    return readBadAddress() + 1;
}

template <class Body>
vexception wrappedError(Body body) {
    try {
        runWrapped(kFaultSite.entry(L"fault test"), body);
    } catch (const vexception& e) {
        return e;
    }
    ADD_FAILURE() << "the wrapped body did not raise";
    return vexception();
}

unsigned gSeenCode = 0;
void* gSeenAddress = nullptr;
void recordingTranslator(unsigned code, EXCEPTION_POINTERS* pointers) {
    gSeenCode = code;
    gSeenAddress = pointers->ExceptionRecord->ExceptionAddress;
}

// The translations here run in this process, whose dump settings come from
// whatever the prefix holds: dumps are turned off so that no fault waits for
// a dump (the dump tests run their faults in child processes).
class SeTranslation : public ::testing::Test {
protected:
    void SetUp() override { CrashDumpInfo::instance().disable(); }
};

}  // namespace

TEST_F(SeTranslation, AccessViolationBecomesVexceptionWithTheOperationsEntry) {
    const vexception error = wrappedError([] { return readBadAddress(); });
    EXPECT_EQ(error.message(), L"C structured exception: 0xc0000005");
    ASSERT_EQ(error.context().size(), 1u);
    EXPECT_EQ(error.context()[0].text, L"fault test");
    EXPECT_EQ(error.context()[0].function, "faults::operation");
    EXPECT_EQ(error.context()[0].line, 42);
}

TEST_F(SeTranslation, DivisionFaultsCarryTheirCode) {
    EXPECT_EQ(wrappedError([] { return divideByZero(7); }).message(), L"C structured exception: 0xc0000094");
    // INT_MIN / -1: 0xc0000094 under Wine, 0xc0000095 (integer overflow) on Windows.
    const std::wstring overflow = wrappedError([] { return overflowDivide(); }).message();
    EXPECT_TRUE(overflow == L"C structured exception: 0xc0000094" ||
                overflow == L"C structured exception: 0xc0000095")
        << std::string(overflow.begin(), overflow.end());
}

TEST_F(SeTranslation, ThousandFaultsInARowAreSurvivedWithEveryDestructorRun) {
    int destroyed = 0;
    int caught = 0;
    for (int i = 0; i < 1000; ++i) {
        try {
            runWrapped(kFaultSite.entry(), [&] {
                if (i % 3 == 0) return faultBelowOwner(destroyed);
                if (i % 3 == 1) return divideByZero(i);
                writeBadAddress(i);
                return 0;
            });
        } catch (const vexception&) {
            ++caught;
        }
    }
    EXPECT_EQ(caught, 1000);
    EXPECT_EQ(destroyed, 334);
}

TEST_F(SeTranslation, FaultOnAWorkerThreadIsTranslatedThere) {
    std::wstring message;
    std::thread worker([&] { message = wrappedError([] { return readBadAddress(); }).message(); });
    worker.join();
    EXPECT_EQ(message, L"C structured exception: 0xc0000005");
}

TEST_F(SeTranslation, ScopesNestAndRestoreThePreviousTranslator) {
    EXPECT_EQ(setSeTranslator(nullptr), nullptr);
    {
        SeTranslatorScope outer(recordingTranslator);
        {
            SeTranslatorScope inner;
            EXPECT_EQ(setSeTranslator(seTranslator), seTranslator);
        }
        EXPECT_EQ(setSeTranslator(recordingTranslator), recordingTranslator);
        gSeenCode = 0;
        try {
            divideByZero(1);
            ADD_FAILURE() << "no exception";
        } catch (const cwrpexception& e) {
            EXPECT_EQ(e.code(), 0xC0000094u);
        }
        EXPECT_EQ(gSeenCode, 0xC0000094u);
        EXPECT_NE(gSeenAddress, nullptr);
        // The translator is back in place after a translation.
        EXPECT_EQ(setSeTranslator(recordingTranslator), recordingTranslator);
    }
    EXPECT_EQ(setSeTranslator(nullptr), nullptr);
}

TEST_F(SeTranslation, ThrowingTranslatorStillYieldsTheStructuredException) {
    SeTranslatorScope scope([](unsigned, EXCEPTION_POINTERS*) { throw 1; });
    try {
        readBadAddress();
        ADD_FAILURE() << "no exception";
    } catch (const cwrpexception& e) {
        EXPECT_EQ(e.code(), 0xC0000005u);
    }
}
