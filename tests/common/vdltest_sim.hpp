#pragma once
// The simulated driver (libvdlsim) in tests: a fixture that starts every test
// on the default model, the request log and protocol violations as values,
// and fault rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "vdlsim.h"

namespace vdltest {

// The default model whatever the caller's environment says: no faults, an
// empty request log, no violations.
inline void resetSim()
{
    unsetenv("VDLSIM_CARDS");
    unsetenv("VDLSIM_SCENARIO");
    vdlsim_reset();
}

// Every held entry of the request log, oldest first.
inline std::vector<vdlsim_log_entry> simLog()
{
    std::vector<vdlsim_log_entry> out;
    const std::size_t n = vdlsim_log_count();
    for (std::size_t i = 0; i < n; ++i) {
        vdlsim_log_entry e{};
        if (vdlsim_log_get(i, &e) == 0)
            out.push_back(e);
    }
    return out;
}

inline std::vector<std::string> simViolations()
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < vdlsim_violation_count(); ++i) {
        char text[512];
        if (vdlsim_violation_text(i, text, sizeof(text)) >= 0)
            out.emplace_back(text);
    }
    return out;
}

// Fails the calls of `request` (for the command request: of command word
// `command`, 0 for any) on `card` at `address` with errno `err`: the first
// `skip` matching calls pass, the next `count` fail. Returns the rule's id.
inline int addFault(std::uint32_t request, std::uint32_t command, int err,
                    std::uint64_t address = VDLSIM_FAULT_ANY_ADDRESS, std::uint32_t skip = 0,
                    std::uint32_t count = 1, int card = 0)
{
    vdlsim_fault rule{};
    rule.card = card;
    rule.request = request;
    rule.command = command;
    rule.address = address;
    rule.skip = skip;
    rule.count = count;
    rule.err = err;
    const int id = vdlsim_fault_add(&rule);
    EXPECT_GE(id, 0) << "fault rule refused";
    return id;
}

// Each test on the default model; at its end no protocol violation may be
// left unless the test expects one (m_checkViolations).
class SimTest : public ::testing::Test {
protected:
    void SetUp() override { resetSim(); }
    void TearDown() override
    {
        if (m_checkViolations) {
            EXPECT_EQ(simViolations(), std::vector<std::string>{});
        }
    }

    bool m_checkViolations = true;
};

} // namespace vdltest
