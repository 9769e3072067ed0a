// The start-up scenario from a scenario file named by VDLSIM_SCENARIO.
#include <gtest/gtest.h>

#include "sim_raw.hpp"

using namespace simtest;

namespace {

void expectScenario()
{
    int f0 = openCard(0);
    ASSERT_GE(f0, 0);
    EXPECT_EQ(cardCount(f0), 6) << "the scenario's count, not the three cards";
    ::close(f0);
    EXPECT_EQ(openCard(1), -1);
    EXPECT_EQ(errno, ENOENT);
    int f2 = openCard(2);
    ASSERT_GE(f2, 0);
    char text[128];
    SlotPath slot{text, sizeof text};
    ASSERT_EQ(request(f2, VDLSIM_REQ_SLOT_PATH, &slot), 0);
    EXPECT_STREQ(text, "scenario-slot");
    BarQuery q{5};
    ASSERT_EQ(request(f2, VDLSIM_REQ_BAR_SIZE, &q), 0);
    EXPECT_EQ(q.value, 0x100u);
    ::close(f2);
    EXPECT_EQ(openCard(3), -1);
}

TEST(simEnv, StartupScenarioComesFromTheEnvironment)
{
    // The very first call of the process creates the model from the environment.
    expectScenario();
}

TEST(simEnv, ResetAppliesTheEnvironmentScenarioAgain)
{
    ASSERT_EQ(vdlsim_apply_scenario("cards 1\n", nullptr), 0);
    EXPECT_EQ(openCard(2), -1);
    vdlsim_reset();
    expectScenario();
}

} // namespace
