#pragma once
// Pieces shared by the configuration-space tests: a fixture with card 0's
// driver handle on a fresh stand-in, dump loading, register peeks and pokes,
// request-log queries and a capture of any of the five loggers.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../pci_test_support.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"
#include "vdlsim.h"

namespace cfgtest {

// Where the stand-in's default model puts its registers.
inline constexpr unsigned CARD_MSI = 0x50;
inline constexpr unsigned CARD_EXP = 0x70;
inline constexpr unsigned CARD_MSIX = 0xB0;
inline constexpr unsigned BRIDGE_EXP = 0x60;
inline constexpr unsigned BRIDGE_AER = 0x100;
inline constexpr unsigned EXP_DEVSTA = 0x0A;
inline constexpr unsigned EXP_LNKCAP = 0x0C;
inline constexpr unsigned EXP_LNKCTL = 0x10;
inline constexpr unsigned EXP_LNKSTA = 0x12;
inline constexpr unsigned AER_UESTA = 0x04;
inline constexpr unsigned AER_UEMSK = 0x08;

inline std::string dumpPath(const std::string& name)
{
    return std::string(VDLTEST_PCI_DUMPS_DIR) + "/" + name;
}

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

inline std::vector<vdlsim_log_entry> commands(std::uint32_t command)
{
    std::vector<vdlsim_log_entry> out;
    const std::size_t n = vdlsim_log_count();
    for (std::size_t i = 0; i < n; ++i) {
        vdlsim_log_entry e{};
        if (vdlsim_log_get(i, &e) == 0 && e.event == VDLSIM_EV_IOCTL &&
            e.request == VDLSIM_REQ_COMMAND && e.command == command)
            out.push_back(e);
    }
    return out;
}

inline std::size_t count(std::uint32_t command)
{
    return vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, command);
}

// Addresses of the logged commands of one word, in order.
inline std::vector<std::uint64_t> addresses(std::uint32_t command)
{
    std::vector<std::uint64_t> out;
    for (const auto& e : commands(command))
        out.push_back(e.address);
    return out;
}

inline std::vector<std::uint64_t> values(std::uint32_t command)
{
    std::vector<std::uint64_t> out;
    for (const auto& e : commands(command))
        out.push_back(e.value);
    return out;
}

inline int addFault(std::uint32_t request, std::uint32_t command, std::uint64_t address,
                    std::uint32_t skip = 0, std::uint32_t times = 1, int err = 5 /* EIO */)
{
    vdlsim_fault rule{};
    rule.card = 0;
    rule.request = request;
    rule.command = command;
    rule.address = address;
    rule.skip = skip;
    rule.count = times;
    rule.err = err;
    return vdlsim_fault_add(&rule);
}

// Runs f, expects a VDLBaseException and gives back its code and message.
struct Raised {
    bool raised = false;
    int code = 0;
    std::string message;
};
inline Raised raised(const std::function<void()>& f)
{
    Raised r;
    try {
        f();
    } catch (const VDLBaseException& e) {
        r.raised = true;
        r.code = e.code;
        r.message = e.what();
    }
    return r;
}
#define EXPECT_RAISES(expr, expected_code, expected_message)                  \
    do {                                                                      \
        const auto r_ = ::cfgtest::raised([&] { expr; });                     \
        EXPECT_TRUE(r_.raised) << #expr;                                      \
        EXPECT_EQ(r_.code, expected_code) << #expr;                           \
        EXPECT_EQ(r_.message, std::string(expected_message)) << #expr;        \
    } while (0)

// Lines written on one logger while it lives, by level; debug traces without
// their source prefix and without the driver interface's own; turns debug on
// for that time.
template <LoggerType T>
class LogCapture : public pcitest::LoggerCapture<T> {
public:
    // The driver interface traces every request; only the classes' own
    // traces are of interest here.
    std::vector<std::string> at(const std::string& level) const
    {
        return this->linesAt(level, "vdlcard.cpp");
    }
    bool has(const std::string& level, const std::string& text) const
    {
        for (const auto& line : at(level))
            if (line == text)
                return true;
        return false;
    }
};

// A fresh stand-in with its default card 0 and bridge, card 0's node open, an
// empty request log, and no protocol violation unless a test expects one.
class CardFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        vdlsim_reset();
        vdlsim_fault_clear();
        m_handle = vdlcard_Open(0, VDLCARD_OPEN_FLAGS);
        ASSERT_NE(m_handle, nullptr);
        vdlsim_log_clear();
        vdlsim_violation_clear();
    }
    void TearDown() override
    {
        EXPECT_EQ(vdlsim_violation_count(), 0u);
        vdlcard_Close(m_handle);
    }

    void loadCard(const std::string& dump, const char* function)
    {
        ASSERT_EQ(vdlsim_config_load_lspci_file(0, VDLSIM_SPACE_CARD, dumpPath(dump).c_str(),
                                                function),
                  0)
            << dump << " " << function;
        vdlsim_log_clear();
    }
    void loadBridge(const std::string& dump, const char* function)
    {
        ASSERT_EQ(vdlsim_config_load_lspci_file(0, VDLSIM_SPACE_BRIDGE,
                                                dumpPath(dump).c_str(), function),
                  0)
            << dump << " " << function;
        vdlsim_log_clear();
    }

    vdlcard_handle* m_handle = nullptr;
};

} // namespace cfgtest
