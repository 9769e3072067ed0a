// Interrupt wait and cancel through vdlcard_Control, with the waiter and the
// canceller on two threads of one handle.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "pci_test_support.hpp"

using namespace pcitest;

namespace {

constexpr uint32_t kVector = 5;
constexpr uint32_t kLongTimeoutMs = 60000;
constexpr unsigned kBlockTimeoutMs = 10000;
constexpr int kRounds = 300;

class pciInterrupt : public CardTest {
protected:
    // Starts a wait on another thread and returns once it blocks in the driver.
    std::thread startWait(vdlcard_int_wait& wait, int& result, uint32_t vector = kVector)
    {
        wait = vdlcard_int_wait{};
        wait.vector = vector;
        wait.timeout = kLongTimeoutMs;
        wait.value = 0xFFFFFFFF;
        std::thread t([this, &wait, &result] {
            result = vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_WAIT, &wait);
        });
        EXPECT_EQ(vdlsim_irq_wait_for_waiters(0, vector, 1, kBlockTimeoutMs), 0);
        return t;
    }
};

TEST_F(pciInterrupt, CancelAndRaiseFromAnotherThreadRepeatedly)
{
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        vdlcard_int_wait wait{};
        int result = -2;
        std::thread waiter = startWait(wait, result);
        const bool cancel = round % 2 == 0;
        if (cancel) {
            int32_t vector = kVector;
            EXPECT_EQ(vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_CANCEL, &vector), 0);
        } else {
            EXPECT_EQ(vdlsim_irq_raise(0, kVector, 0x1000u + round), 0);
        }
        waiter.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(wait.vector, kVector);
        EXPECT_EQ(wait.timeout, kLongTimeoutMs);
        if (cancel) {
            EXPECT_EQ(wait.status, VDLCARD_WAIT_CANCELLED);
        } else {
            EXPECT_EQ(wait.status, VDLCARD_WAIT_INTERRUPT);
            EXPECT_EQ(wait.value, 0x1000u + round);
        }
        if (HasFailure())
            break;
    }
    EXPECT_EQ(vdlsim_log_count_requests(VDLCARD_REQ_INT_WAIT, 0), static_cast<std::size_t>(kRounds));
    EXPECT_EQ(vdlsim_log_count_requests(VDLCARD_REQ_INT_CANCEL, 0),
              static_cast<std::size_t>(kRounds / 2));
}

// A cancel names its vector: a wait on another vector goes on.
TEST_F(pciInterrupt, CancelEndsOnlyTheWaitOnItsVector)
{
    vdlcard_int_wait wait{};
    int result = -2;
    std::thread waiter = startWait(wait, result);
    int32_t other = kVector + 1;
    EXPECT_EQ(vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_CANCEL, &other), 0);
    EXPECT_EQ(vdlsim_irq_waiters(0, kVector), 1);
    int32_t vector = kVector;
    EXPECT_EQ(vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_CANCEL, &vector), 0);
    waiter.join();
    EXPECT_EQ(wait.status, VDLCARD_WAIT_CANCELLED);
    const auto e = vdltest::simLog();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].request, VDLCARD_REQ_INT_CANCEL);
    EXPECT_EQ(e[0].address, kVector + 1u);
    EXPECT_EQ(e[1].request, VDLCARD_REQ_INT_CANCEL);
    EXPECT_EQ(e[2].request, VDLCARD_REQ_INT_WAIT);
    EXPECT_EQ(e[2].address, kVector);
    EXPECT_EQ(e[2].aux, kLongTimeoutMs);
    EXPECT_EQ(e[2].value, VDLCARD_WAIT_CANCELLED);
}

// Every outcome answers 0; the record tells which it was.
TEST_F(pciInterrupt, OutcomesAreCarriedByTheStatus)
{
    vdlcard_int_wait wait{};
    wait.vector = kVector;
    wait.timeout = 1;
    EXPECT_EQ(vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_WAIT, &wait), 0);
    EXPECT_EQ(wait.status, VDLCARD_WAIT_TIMEOUT);

    // Raised before the wait: pending, the wait ends at once.
    ASSERT_EQ(vdlsim_irq_raise(0, kVector, 77), 0);
    wait = vdlcard_int_wait{};
    wait.vector = kVector;
    wait.timeout = kLongTimeoutMs;
    EXPECT_EQ(vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_WAIT, &wait), 0);
    EXPECT_EQ(wait.status, VDLCARD_WAIT_INTERRUPT);
    EXPECT_EQ(wait.value, 77u);

    // The driver refusing the wait leaves the caller's 0.
    ASSERT_GE(vdltest::addFault(VDLCARD_REQ_INT_WAIT, 0, EINTR), 0);
    wait = vdlcard_int_wait{};
    wait.vector = kVector;
    wait.timeout = kLongTimeoutMs;
    EXPECT_EQ(vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_WAIT, &wait), 0);
    EXPECT_EQ(wait.status, VDLCARD_WAIT_NONE);

    // A cancel with nobody waiting answers 0; one the driver refuses, -1.
    int32_t vector = kVector;
    EXPECT_EQ(vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_CANCEL, &vector), 0);
    ASSERT_GE(vdltest::addFault(VDLCARD_REQ_INT_CANCEL, 0, EIO), 0);
    EXPECT_EQ(vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_CANCEL, &vector), -1);
}

} // namespace
