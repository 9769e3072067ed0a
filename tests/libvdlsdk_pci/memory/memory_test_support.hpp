#pragma once
// Pieces shared by the memory-space tests: raising checks, the driver's
// register requests as values, and a fixture with one open card.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../pci_test_support.hpp"
#include "vdlsdk/vdl_exception.hpp"

namespace memtest {

using Strings = std::vector<std::string>;

// Runs `body` and checks that it raised the code with exactly that message.
inline void expectRaises(const std::function<void()>& body, int code, const std::string& message)
{
    try {
        body();
        ADD_FAILURE() << "nothing raised; expected " << code << " \"" << message << "\"";
    } catch (const VDLBaseException& e) {
        EXPECT_EQ(e.code, code) << e.what();
        EXPECT_EQ(std::string(e.what()), message);
    }
}

// One register request of the command packet as the driver saw it.
struct Command {
    uint32_t command;
    uint64_t address;
    uint64_t value;
    int32_t result;

    bool operator==(const Command& o) const
    {
        return command == o.command && address == o.address && value == o.value &&
               result == o.result;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Command& c)
{
    char text[128];
    std::snprintf(text, sizeof(text), "{%#x @%#llx = %#llx -> %d}", c.command,
                  static_cast<unsigned long long>(c.address),
                  static_cast<unsigned long long>(c.value), c.result);
    return os << text;
}

inline std::vector<Command> commands()
{
    std::vector<Command> out;
    for (const auto& e : pcitest::logEntries()) {
        if (e.event == VDLSIM_EV_IOCTL && e.request == VDLSIM_REQ_COMMAND)
            out.push_back({e.command, e.address, e.value, e.result});
    }
    return out;
}

// Requests other than register commands, by request value.
inline std::vector<uint32_t> requests()
{
    std::vector<uint32_t> out;
    for (const auto& e : pcitest::logEntries()) {
        if (e.event == VDLSIM_EV_IOCTL)
            out.push_back(e.request);
    }
    return out;
}

// A fresh stand-in with card 0 open through the driver interface; the
// requests of the open are forgotten. Objects a test creates on the stack are
// gone before the handle is closed.
class CardTest : public pcitest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        m_handle = openCard(0);
        ASSERT_NE(m_handle, nullptr);
    }
    void TearDown() override
    {
        vdlcard_Close(m_handle);
        SimTest::TearDown();
    }

    vdlcard_handle* m_handle = nullptr;
};

} // namespace memtest
