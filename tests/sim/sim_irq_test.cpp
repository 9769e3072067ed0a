// Interrupt waits of the simulated driver: raise, time-out and cancel, from two threads.
// Also built with ThreadSanitizer (sim_irq_tsan_test).
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim_raw.hpp"

using namespace simtest;

namespace {

// The ThreadSanitizer build runs the same cases under a name of its own.
#ifdef VDLSIM_UNDER_TSAN
#define SIM_IRQ_SUITE simIrqTsan
#else
#define SIM_IRQ_SUITE simIrq
#endif

constexpr unsigned kVector = 2;
constexpr unsigned kLongTimeoutMs = 10000;
constexpr unsigned kWaiterTimeoutMs = 5000;
constexpr int kRounds = 300;

class SIM_IRQ_SUITE : public SimCardTest {
protected:
    IntWait wait(unsigned vector, unsigned timeout)
    {
        IntWait w{vector, timeout};
        EXPECT_EQ(request(fd, VDLSIM_REQ_INT_WAIT, &w), 0);
        return w;
    }
    int cancel(int vector) { return request(fd, VDLSIM_REQ_INT_CANCEL, &vector); }
};

TEST_F(SIM_IRQ_SUITE, PendingInterruptTimeoutAndCancelWithoutWaiter)
{
    // Raised before anyone waits: the next wait takes it at once.
    ASSERT_EQ(vdlsim_irq_raise(0, kVector, 0x1234), 0);
    IntWait w = wait(kVector, kLongTimeoutMs);
    EXPECT_EQ(w.status, 3u);
    EXPECT_EQ(w.value, 0x1234u);
    EXPECT_EQ(w.timeout, kLongTimeoutMs) << "the driver leaves the time-out as it was";
    // Taken: the next wait times out.
    w = wait(kVector, 20);
    EXPECT_EQ(w.status, 1u);
    w = wait(kVector, 0);
    EXPECT_EQ(w.status, 1u);
    // A cancel with nobody waiting is forgotten.
    EXPECT_EQ(cancel(kVector), 0);
    w = wait(kVector, 10);
    EXPECT_EQ(w.status, 1u);
    // Cleared pending interrupt.
    ASSERT_EQ(vdlsim_irq_raise(0, kVector, 1), 0);
    ASSERT_EQ(vdlsim_irq_clear(0, kVector), 0);
    w = wait(kVector, 10);
    EXPECT_EQ(w.status, 1u);
    // Log: the wait records its vector, time-out and outcome.
    vdlsim_log_entry e;
    ASSERT_EQ(vdlsim_log_get(vdlsim_log_count() - 1, &e), 0);
    EXPECT_EQ(e.request, VDLSIM_REQ_INT_WAIT);
    EXPECT_EQ(e.address, kVector);
    EXPECT_EQ(e.aux, 10u);
    EXPECT_EQ(e.value, 1u);
}

TEST_F(SIM_IRQ_SUITE, CancelFromAnotherThreadEndsTheWaitEveryTime)
{
    for (int round = 0; round < kRounds; ++round) {
        IntWait result{};
        std::thread waiter([&] { result = wait(kVector, kLongTimeoutMs); });
        ASSERT_EQ(vdlsim_irq_wait_for_waiters(0, kVector, 1, kWaiterTimeoutMs), 0) << round;
        EXPECT_EQ(cancel(kVector), 0);
        waiter.join();
        ASSERT_EQ(result.status, 2u) << round;
    }
    EXPECT_EQ(vdlsim_irq_waiters(0, kVector), 0);
}

TEST_F(SIM_IRQ_SUITE, RaiseFromAnotherThreadDeliversItsValueEveryTime)
{
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<bool> ready{false};
        std::thread device([&] {
            ASSERT_EQ(vdlsim_irq_wait_for_waiters(0, kVector, 1, kWaiterTimeoutMs), 0);
            ready = true;
            vdlsim_irq_raise(0, kVector, uint32_t(round));
        });
        IntWait w = wait(kVector, kLongTimeoutMs);
        device.join();
        ASSERT_TRUE(ready);
        ASSERT_EQ(w.status, 3u) << round;
        ASSERT_EQ(w.value, uint32_t(round));
    }
}

TEST_F(SIM_IRQ_SUITE, CancelOfAnotherVectorOrCardLeavesTheWaitAlone)
{
    ASSERT_EQ(vdlsim_card_setup(1), 0);
    int other = openCard(1);
    ASSERT_GE(other, 0);
    IntWait result{};
    std::thread waiter([&] { result = wait(kVector, kLongTimeoutMs); });
    ASSERT_EQ(vdlsim_irq_wait_for_waiters(0, kVector, 1, kWaiterTimeoutMs), 0);
    EXPECT_EQ(cancel(kVector + 1), 0);
    int v = kVector;
    EXPECT_EQ(request(other, VDLSIM_REQ_INT_CANCEL, &v), 0);
    ASSERT_EQ(vdlsim_irq_raise(1, kVector, 9), 0);
    EXPECT_EQ(vdlsim_irq_waiters(0, kVector), 1);
    // A second descriptor of the same card may cancel it.
    int same = openCard(0);
    ASSERT_GE(same, 0);
    EXPECT_EQ(request(same, VDLSIM_REQ_INT_CANCEL, &v), 0);
    waiter.join();
    EXPECT_EQ(result.status, 2u);
    ::close(same);
    ::close(other);
}

TEST_F(SIM_IRQ_SUITE, ABlockedWaitHoldsNoLockAndEveryWaiterGetsTheInterrupt)
{
    IntWait a{}, b{};
    std::thread first([&] { a = wait(kVector, kLongTimeoutMs); });
    std::thread second([&] { b = wait(kVector, kLongTimeoutMs); });
    ASSERT_EQ(vdlsim_irq_wait_for_waiters(0, kVector, 2, kWaiterTimeoutMs), 0);
    // Requests and control calls go on while two threads wait in the driver.
    uint32_t value;
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(barRead32(fd, 0, 0, value), 0);
    ASSERT_EQ(vdlsim_card_set_location(0, 1, 2, 3), 0);
    ASSERT_EQ(vdlsim_irq_raise(0, kVector, 77), 0);
    first.join();
    second.join();
    EXPECT_EQ(a.status, 3u);
    EXPECT_EQ(b.status, 3u);
    EXPECT_EQ(a.value, 77u);
    EXPECT_EQ(b.value, 77u);
    // Delivered to waiters, so not left pending.
    EXPECT_EQ(wait(kVector, 0).status, 1u);
}

TEST_F(SIM_IRQ_SUITE, RequestsFromManyThreadsOnOneDescriptor)
{
    constexpr int kThreads = 4;
    constexpr int kAccesses = 2000;
    UpstreamDescriptor up;
    ASSERT_EQ(upstreamDescriptor(fd, up), 0);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kAccesses; ++i) {
                const uint64_t offset = uint64_t(t) * 0x1000 + uint64_t(i % 256) * 4;
                uint32_t back = 0;
                if (barWrite32(fd, 0, offset, uint32_t(i)) != 0 ||
                    barRead32(fd, 0, offset, back) != 0 || back != uint32_t(i))
                    ++failures;
            }
        });
    }
    // Meanwhile: retrains on the bridge, other descriptors coming and going, control calls.
    threads.emplace_back([&] {
        for (int i = 0; i < kAccesses / 4; ++i) {
            if (upWrite(fd, up, 0x70, 2, 0x20) != 0)
                ++failures;
            uint32_t status;
            if (upRead(fd, up, 0x72, 2, status) != 0)
                ++failures;
            int other = openCard(0);
            if (other < 0)
                ++failures;
            else
                ::close(other);
            vdlsim_log_count();
        }
    });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(vdlsim_card_open_count(0), 1);
}

TEST_F(SIM_IRQ_SUITE, WaitForWaitersTimesOut)
{
    EXPECT_EQ(vdlsim_irq_wait_for_waiters(0, kVector, 1, 10), -ETIMEDOUT);
    EXPECT_EQ(vdlsim_irq_wait_for_waiters(0, kVector, 0, 10), 0);
    EXPECT_EQ(vdlsim_irq_wait_for_waiters(7, kVector, 1, 10), -ENOENT);
}

} // namespace
