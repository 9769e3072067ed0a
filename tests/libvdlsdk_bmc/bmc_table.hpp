#pragma once
// A table of calls against one connected handle: each row installs an optional
// fault, makes one call, and checks its result, whether a "vdlsdk_bmc" line was
// written, that no interpreter error is left pending, and what the row checks.
#include <functional>
#include <string>
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

struct CallRow {
    const char* what;
    std::function<int(VdlbmcHandle*)> call;
    int expected;
    // A fault, "target=what it does", installed before the call; null for the main path.
    const char* fault;
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
        if (row.fault != nullptr) {
            const std::string spec = row.fault;
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

} // namespace bmctest
