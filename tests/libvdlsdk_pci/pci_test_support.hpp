#pragma once
// Shared pieces of the PCIe library's tests against the stand-in driver: the
// request log as short texts, the driver interface's open, and a fixture with
// card 0 open through it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "vdlsdk/vdlcard.h"
#include "vdlsim.h"
#include "vdltest_log.hpp"
#include "vdltest_raises.hpp"
#include "vdltest_sim.hpp"

namespace pcitest {

// The calls a test looks at, as short texts ("ioctl 0x40047806", "mmap",
// ...), so a whole sequence compares in one assertion.
inline std::string eventName(const vdlsim_log_entry& e)
{
    char text[64];
    switch (e.event) {
    case VDLSIM_EV_IOCTL:
        std::snprintf(text, sizeof(text), "ioctl %#x", e.request);
        return text;
    case VDLSIM_EV_OPEN: return "open";
    case VDLSIM_EV_CLOSE: return "close";
    case VDLSIM_EV_MMAP: return "mmap";
    case VDLSIM_EV_MUNMAP: return "munmap";
    case VDLSIM_EV_ACCESS: return "access";
    }
    return "?";
}

inline std::vector<std::string> eventNames()
{
    std::vector<std::string> out;
    for (const auto& e : vdltest::simLog())
        out.push_back(eventName(e));
    return out;
}

inline std::string req(unsigned long request)
{
    char text[32];
    std::snprintf(text, sizeof(text), "ioctl %#lx", request);
    return text;
}

// A register of card 0's configuration image (VDLSIM_SPACE_CARD) or of its
// bridge's, read or set directly in the model.
inline std::uint32_t peek(int space, unsigned offset, unsigned width = 4)
{
    std::uint32_t value = 0;
    EXPECT_EQ(vdlsim_config_peek(0, space, offset, width, &value), 0);
    return value;
}

inline void poke(int space, unsigned offset, unsigned width, std::uint32_t value)
{
    ASSERT_EQ(vdlsim_config_poke(0, space, offset, width, value), 0);
}

// Fills a stretch of stack below the caller with a pattern, so a record the
// interface forgets to clear carries garbage the stand-in refuses.
[[gnu::noinline]] inline void dirtyStack()
{
    volatile unsigned char junk[16384];
    for (auto& b : junk)
        b = 0xA5;
}

// Opens card `card` through the driver interface and forgets the requests of
// the open.
inline vdlcard_handle* openCard(uint32_t card = 0)
{
    vdlcard_handle* h = vdlcard_Open(card, VDLCARD_OPEN_FLAGS);
    EXPECT_NE(h, nullptr);
    vdlsim_log_clear();
    return h;
}

// The default model with card 0 open through the driver interface as
// m_handle, an empty request log, and no protocol violation unless a test
// expects one. Objects a test creates on the stack are gone before the handle
// is closed.
class CardTest : public vdltest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        m_handle = openCard();
        ASSERT_NE(m_handle, nullptr);
    }
    void TearDown() override
    {
        vdlcard_Close(m_handle);
        SimTest::TearDown();
    }

    vdlcard_handle* m_handle = nullptr;
};

} // namespace pcitest
