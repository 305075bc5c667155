#include <gtest/gtest.h>

#include <windows.h>

#include <csignal>
#include <stdexcept>

#include "trust/fault_guard.h"

namespace {

// Each body is kept out of line so that the fault happens in a frame of its
// own, as it would inside the platform's trust code.
// The pointers are volatile so that the compiler cannot see the fault coming
// and drop the path that leads to it.
__attribute__((noinline)) void WriteThroughNull(void*) {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}
__attribute__((noinline)) void ReadWildAddress(void*) {
    volatile int* volatile wild = reinterpret_cast<int*>(static_cast<uintptr_t>(0x10));
    volatile int sink = *wild;
    (void)sink;
}
__attribute__((noinline)) void DivideByZero(void* zero) {
    volatile int divisor = *static_cast<int*>(zero);
    volatile int quotient = 7 / divisor;
    (void)quotient;
}
__attribute__((noinline)) void RaiseOwnCode(void*) { RaiseException(0xE0ABCDEF, 0, 0, nullptr); }
__attribute__((noinline)) void RaiseNonContinuable(void*) {
    RaiseException(0xE0ABCDEF, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}
__attribute__((noinline)) void ThrowCxx(void*) { throw std::runtime_error("out of the body"); }
__attribute__((noinline)) void IllegalInstruction(void*) { __builtin_trap(); }

TEST(FaultGuard, ReturnsTrueWhenTheBodyReturns) {
    int ran = 0;
    EXPECT_TRUE(RunGuarded([](void* context) { ++*static_cast<int*>(context); }, &ran));
    EXPECT_EQ(1, ran);
}

TEST(FaultGuard, EndsTheBodyOnAnyFaultOrException) {
    int zero = 0;
    const struct {
        const char* what;
        void (*body)(void*);
    } cases[] = {
        {"write through null", &WriteThroughNull},
        {"read of an unmapped address", &ReadWildAddress},
        {"integer division by zero", &DivideByZero},
        {"raised exception", &RaiseOwnCode},
        {"non-continuable raised exception", &RaiseNonContinuable},
        {"C++ throw", &ThrowCxx},
        {"illegal instruction", &IllegalInstruction},
    };
    for (const auto& c : cases) EXPECT_FALSE(RunGuarded(c.body, &zero)) << c.what;
}

TEST(FaultGuard, LeavesFaultsHandledInsideTheBodyToTheirHandlers) {
    int inner = -1;
    const bool outer = RunGuarded(
        [](void* result) {
            *static_cast<int*>(result) = RunGuarded(&WriteThroughNull, nullptr) ? 1 : 0;
        },
        &inner);
    EXPECT_TRUE(outer);
    EXPECT_EQ(0, inner);
}

TEST(FaultGuard, CallerStateSurvivesRepeatedFaults) {
    // Values live across the guarded calls in registers the callee must
    // preserve; a landing that restored them wrongly would show here.
    unsigned sum = 0;
    unsigned caught = 0;
    for (unsigned i = 0; i < 200; ++i) {
        const bool completed = RunGuarded(
            i % 2 ? &WriteThroughNull : +[](void*) {}, nullptr);
        sum += i * 3 + 1;
        caught += completed ? 0 : 1;
    }
    EXPECT_EQ(100u, caught);
    EXPECT_EQ(200u * 199u / 2u * 3u + 200u, sum);
}

volatile int g_signals = 0;
void CountSignal(int) {
    ++g_signals;
    std::signal(SIGSEGV, CountSignal);
}

TEST(FaultGuard, TakesTheFaultBeforeTheRuntimesSignalHook) {
    // The crash hand-off hooks SIGSEGV; a fault the guard refuses must not
    // reach it.
    g_signals = 0;
    auto previous = std::signal(SIGSEGV, CountSignal);
    EXPECT_FALSE(RunGuarded(&WriteThroughNull, nullptr));
    std::signal(SIGSEGV, previous);
    EXPECT_EQ(0, g_signals);
}

}  // namespace
