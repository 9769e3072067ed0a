// The start-up scenario from VDLSIM_CARDS=2: cards 0 and 1 with the default model.
#include <gtest/gtest.h>

#include "sim_raw.hpp"

using namespace simtest;

namespace {

TEST(simEnvCards, NumberOfCardsComesFromTheEnvironment)
{
    for (unsigned card = 0; card < 2; ++card) {
        int f = openCard(card);
        ASSERT_GE(f, 0) << card;
        EXPECT_EQ(cardCount(f), 2);
        uint32_t location = 0;
        ASSERT_EQ(request(f, VDLSIM_REQ_LOCATION, &location), 0);
        EXPECT_EQ(location, (card + 1) << 16);
        BarQuery q{0};
        ASSERT_EQ(request(f, VDLSIM_REQ_BAR_ADDRESS, &q), 0);
        EXPECT_EQ(q.value, 0xF0000000u + 0x01000000u * card);
        ::close(f);
    }
    EXPECT_EQ(openCard(2), -1);
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
