#pragma once
// A table of calls against one connected handle: each row installs an optional
// fault, makes one call, and checks its result, whether a "vdlsdk_bmc" line was
// written, that no interpreter error is left pending, and what the row checks.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bmc_test_support.hpp"

namespace bmctest {

// A handle connected to the default simulated controller for each test.
class ConnectedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        plainInterpreterEnvironment();
        handle = connect();
        ASSERT_NE(nullptr, handle);
    }
    void TearDown() override { vdlbmc_disconnect(handle); }

    VdlbmcHandle* handle = nullptr;
};

// A fault, "target=what it does"; null or empty for none.
struct Fault {
    Fault(const char* text) : spec(text ? text : "") {}
    Fault(std::string text) : spec(std::move(text)) {}
    std::string spec;
};

struct CallRow {
    std::string what;
    std::function<int(VdlbmcHandle*)> call;
    int expected;
    Fault fault; // installed before the call, for the failing paths
    bool logged;
    // Checks after the call (outputs, the state the simulation was left in).
    std::function<void()> check = nullptr;
    // Lines expected on "general" (copy and settable-state failures).
    unsigned int generalLines = 0;
};

inline void runRows(VdlbmcHandle* handle, const std::vector<CallRow>& rows)
{
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        clearFaults();
        if (!row.fault.spec.empty()) {
            const std::string& spec = row.fault.spec;
            const auto split = spec.find('=');
            ASSERT_NE(std::string::npos, split);
            fault(spec.substr(0, split), spec.substr(split + 1));
        }
        LogCapture log;
        EXPECT_EQ(row.expected, row.call(handle));
        EXPECT_EQ(row.logged ? 1u : 0u, log.messages(LOGGER_BMC).size());
        EXPECT_EQ(row.generalLines, log.messages(LOGGER_GENERAL).size());
        EXPECT_TRUE(noPendingError());
        if (row.check)
            row.check();
    }
    clearFaults();
}

// A row's check that the call wrote `expected` into `text`.
inline std::function<void()> wrote(const char* text, const char* expected)
{
    return [text, expected] { EXPECT_STREQ(expected, text); };
}

} // namespace bmctest
