// Link control against the stand-in's coupling of bridge and card: Link
// Disable takes the card off the bus, Retrain Link shows Link Training for a
// number of Link Status reads, and a link that goes down with Surprise Down
// unmasked records the error in the bridge's AER.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "config_test_support.hpp"
#include "vdlsdk/VdlpciLinuxConfigSpace.hpp"
#include "vdlsdk/VdlpciUpstreamBridgeConfigSpace.hpp"

using namespace cfgtest;

namespace {

constexpr unsigned LNKCTL = BRIDGE_EXP + EXP_LNKCTL;
constexpr unsigned LNKSTA = BRIDGE_EXP + EXP_LNKSTA;
constexpr unsigned UEMSK = BRIDGE_AER + AER_UEMSK;
constexpr unsigned UESTA = BRIDGE_AER + AER_UESTA;
constexpr std::uint32_t LINK_DISABLE = 1u << 4;
constexpr std::uint32_t SURPRISE_DOWN = 1u << 5;

class pciConfigLink : public pcitest::CardTest {};

TEST_F(pciConfigLink, DisableTakesTheCardOffTheBusAndEnableBringsItBack)
{
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    VdlpciLinuxConfigSpace card(m_handle);
    EXPECT_TRUE(up.isLinkEnabled());
    EXPECT_TRUE(card.isLinkEnabled());

    up.linkEnable(false);
    EXPECT_EQ(vdlsim_link_is_up(0), 0);
    EXPECT_FALSE(up.isLinkEnabled());
    // The card no longer answers: all ones everywhere, so it has no capabilities.
    std::uint16_t vendor = 0;
    card.read16s(0, &vendor, 1);
    EXPECT_EQ(vendor, 0xFFFF);
    EXPECT_FALSE(card.isLinkEnabled());
    int speed = 0, width = 0;
    EXPECT_RAISES(card.linkStatus(speed, width), -13, "Could not find PCI caps");

    up.linkEnable(true);
    EXPECT_EQ(vdlsim_link_is_up(0), 1);
    EXPECT_TRUE(up.isLinkEnabled());
    card.read16s(0, &vendor, 1);
    EXPECT_EQ(vendor, 0x1F3A);
}

TEST_F(pciConfigLink, EnableChangesOnlyLinkDisable)
{
    struct Case {
        std::uint16_t before;
        bool enable;
        std::uint16_t written;
    } cases[] = {{0x0050, true, 0x0040}, {0x0040, false, 0x0050}, {0x0050, false, 0x0050},
                 {0x0143, true, 0x0143}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        poke(VDLSIM_SPACE_BRIDGE, LNKCTL, 2, c.before);
        VdlpciUpstreamBridgeConfigSpace up(m_handle);
        vdlsim_log_clear();
        vdltest::LogCapture log(LOGGER_PCI);
        up.linkEnable(c.enable);
        EXPECT_EQ(addresses(VDLSIM_CMD_UP_WRITE16), std::vector<std::uint64_t>{LNKCTL});
        EXPECT_EQ(values(VDLSIM_CMD_UP_WRITE16), std::vector<std::uint64_t>{c.written});
        EXPECT_TRUE(log.has("debug", "pci_find_caps on upstream bridge"));
        EXPECT_TRUE(log.has("debug", "enable link"));
    }
}

TEST_F(pciConfigLink, IsLinkEnabledAnswersFalseForEveryKindOfTrouble)
{
    {
        SCOPED_TRACE("Link Disable set");
        poke(VDLSIM_SPACE_BRIDGE, LNKCTL, 2, 0x0050);
        VdlpciUpstreamBridgeConfigSpace up(m_handle);
        EXPECT_FALSE(up.isLinkEnabled());
    }
    {
        SCOPED_TRACE("all-ones Link Control");
        poke(VDLSIM_SPACE_BRIDGE, LNKCTL, 2, 0xFFFF);
        VdlpciUpstreamBridgeConfigSpace up(m_handle);
        EXPECT_FALSE(up.isLinkEnabled());
        // Nothing is written to a port that does not answer.
        EXPECT_RAISES(up.linkEnable(true), -3, "could not enable link");
        EXPECT_RAISES(up.linkRetrain(false), -3, "could not retrain link");
        EXPECT_EQ(count(VDLSIM_CMD_UP_WRITE16), 0u);
    }
    {
        SCOPED_TRACE("no PCI Express capability");
        loadCard("cap-vendor-virtio", "00:04.0");
        VdlpciLinuxConfigSpace card(m_handle);
        vdltest::LogCapture general(LOGGER_GENERAL);
        EXPECT_FALSE(card.isLinkEnabled());
        EXPECT_EQ(general.at("warning"), std::vector<std::string>{"Could not find PCI caps"});
    }
    {
        SCOPED_TRACE("bridge read fails");
        vdlsim_card_setup(0);
        VdlpciUpstreamBridgeConfigSpace up(m_handle);
        vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_READ16, EIO, LNKCTL);
        vdltest::LogCapture general(LOGGER_GENERAL);
        EXPECT_FALSE(up.isLinkEnabled());
        EXPECT_EQ(general.at("warning"),
                  std::vector<std::string>{
                      "Error reading16 upstream PCIe config register 0x00000000000070"});
    }
    {
        SCOPED_TRACE("card read fails");
        VdlpciLinuxConfigSpace card(m_handle);
        vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ16, EIO, CARD_EXP + EXP_LNKCTL);
        EXPECT_FALSE(card.isLinkEnabled());
    }
}

TEST_F(pciConfigLink, FailuresLeaveLinkControlUntouched)
{
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_READ16, EIO, LNKCTL);
    EXPECT_RAISES(up.linkEnable(false), -34,
                  "Error reading16 upstream PCIe config register 0x00000000000070");
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_WRITE16, EIO, LNKCTL);
    EXPECT_RAISES(up.linkEnable(false), -34, "Error writing PCIe config register 0x00000000000070");
    EXPECT_EQ(vdlsim_link_is_up(0), 1);

    // The card's own space reports a failed read in the element result; the
    // operations must not write back a value they never read.
    VdlpciLinuxConfigSpace card(m_handle);
    vdlsim_log_clear();
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ16, EIO, CARD_EXP + EXP_LNKCTL, 0, 2);
    EXPECT_RAISES(card.linkEnable(true), -3, "could not enable link");
    EXPECT_RAISES(card.linkRetrain(false), -3, "could not retrain link");
    EXPECT_EQ(count(VDLSIM_CMD_CFG_WRITE16), 0u);

    // Nor pass off a write that did not reach the register as done.
    vdlsim_fault_clear();
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE16, EIO, CARD_EXP + EXP_LNKCTL, 0, 2);
    EXPECT_RAISES(card.linkEnable(true), -34, "Error writing PCIe config register 0x00000000000080");
    EXPECT_RAISES(card.linkRetrain(false), -34,
                  "Error writing PCIe config register 0x00000000000080");
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE32, EIO, 0x100 + AER_UEMSK);
    bool was = false;
    EXPECT_RAISES(card.aerSurpriseEnable(false, was), -34,
                  "Error writing PCIe config register 0x00000000000108");

    loadCard("cap-vendor-virtio", "00:04.0");
    EXPECT_RAISES(card.linkEnable(true), -13, "Could not find PCI caps");
    EXPECT_RAISES(card.waitForLinkTrainingComplete(1), -13, "Could not find PCI caps");
}

TEST_F(pciConfigLink, RetrainWithoutWaitSetsRetrainLinkAndReturns)
{
    poke(VDLSIM_SPACE_BRIDGE, LNKCTL, 2, 0x0040);
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    vdlsim_log_clear();
    up.linkRetrain(false);
    EXPECT_EQ(values(VDLSIM_CMD_UP_WRITE16), std::vector<std::uint64_t>{0x0060});
    EXPECT_EQ(addresses(VDLSIM_CMD_UP_READ16), std::vector<std::uint64_t>{LNKCTL});
    // The training has started: Retrain Link reads back 0, Link Training set.
    EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, LNKCTL, 2), 0x0040u);
    EXPECT_NE(peek(VDLSIM_SPACE_BRIDGE, LNKSTA, 2) & (1u << 11), 0u);
}

TEST_F(pciConfigLink, RetrainWithWaitPollsUntilTrainingEnds)
{
    vdlsim_link_set_training_reads(0, 5);
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    vdlsim_log_clear();
    up.linkRetrain(true);
    // Link Control read and written, then five reads in training and one clear.
    std::vector<std::uint64_t> expected{LNKCTL};
    expected.insert(expected.end(), 6, LNKSTA);
    EXPECT_EQ(addresses(VDLSIM_CMD_UP_READ16), expected);
    const auto entries = commands(VDLSIM_CMD_UP_WRITE16);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].address, LNKCTL);
}

TEST_F(pciConfigLink, TrainingWaitCountsPollsNotMilliseconds)
{
    struct Case {
        std::uint32_t trainingReads;
        int polls;
        std::size_t reads;
        bool timeout;
    } cases[] = {
        {2, 3, 3, false},          // clear on the last allowed read
        {3, 3, 3, true},           // still training after the last read
        {UINT32_MAX, 0, 1, true},  // at least one read
        {UINT32_MAX, -5, 1, true},
        {0, 500, 1, false},
        {UINT32_MAX, 500, 500, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.trainingReads) + " " + std::to_string(c.polls));
        vdlsim_card_setup(0);
        vdlsim_link_set_training_reads(0, c.trainingReads);
        VdlpciUpstreamBridgeConfigSpace up(m_handle);
        up.linkRetrain(false);
        vdlsim_log_clear();
        const auto r = vdltest::raised([&] { up.waitForLinkTrainingComplete(c.polls); });
        EXPECT_EQ(addresses(VDLSIM_CMD_UP_READ16), std::vector<std::uint64_t>(c.reads, LNKSTA));
        if (c.timeout) {
            EXPECT_EQ(r.code, -9);
            EXPECT_EQ(r.message, "timeout of " + std::to_string(c.polls) +
                                     " reached while waiting for PCI link training to complete");
        } else {
            EXPECT_FALSE(r.raised);
        }
    }
}

TEST_F(pciConfigLink, TrainingThatCannotBeReadIsNotTakenForDone)
{
    vdlsim_link_set_training_reads(0, 0);
    VdlpciLinuxConfigSpace card(m_handle);
    // The card's space gives zero for a failed read, which would read as
    // "not training".
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ16, EIO, CARD_EXP + EXP_LNKSTA, 0, 2);
    card.waitForLinkTrainingComplete(10);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ16),
              std::vector<std::uint64_t>(3, CARD_EXP + EXP_LNKSTA));

    vdlsim_fault_clear();
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ16, EIO, CARD_EXP + EXP_LNKSTA, 0,
                      VDLSIM_FAULT_FOREVER);
    EXPECT_EQ(vdltest::raised([&] { card.waitForLinkTrainingComplete(4); }).code, -9);
}

TEST_F(pciConfigLink, SurpriseDownMaskCases)
{
    struct Case {
        std::uint32_t before;
        bool enable;
        bool wasEnabled;
        std::uint32_t written;
    } cases[] = {{0x00000000, false, true, 0x20},
                 {0x00000020, true, false, 0x00},
                 {0x00000000, true, true, 0x00},
                 {0x00400020, false, false, 0x00400020},
                 {0x00400010, true, true, 0x00400010}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        poke(VDLSIM_SPACE_BRIDGE, UEMSK, 4, c.before);
        VdlpciUpstreamBridgeConfigSpace up(m_handle);
        vdlsim_log_clear();
        vdltest::LogCapture log(LOGGER_PCI);
        bool was = !c.wasEnabled;
        up.aerSurpriseEnable(c.enable, was);
        EXPECT_EQ(was, c.wasEnabled);
        EXPECT_EQ(addresses(VDLSIM_CMD_UP_WRITE32), std::vector<std::uint64_t>{UEMSK});
        EXPECT_EQ(values(VDLSIM_CMD_UP_WRITE32), std::vector<std::uint64_t>{c.written});
        EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, UEMSK) & SURPRISE_DOWN, c.written & SURPRISE_DOWN);
        EXPECT_TRUE(log.has("debug", fmt::format("(before) uce_mask={:#08X}", c.before)));
        EXPECT_TRUE(log.has("debug", fmt::format("(after) uce_mask={:#08X}", c.written)));
    }
}

TEST_F(pciConfigLink, MaskedSurpriseDownIsNotRecordedWhenTheLinkGoesDown)
{
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    bool was = false;
    up.aerSurpriseEnable(false, was);
    EXPECT_TRUE(was); // the default bridge reports it
    up.linkEnable(false);
    EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, UESTA) & SURPRISE_DOWN, 0u);
    up.linkEnable(true);

    up.aerSurpriseEnable(true, was);
    EXPECT_FALSE(was);
    up.linkEnable(false);
    EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, UESTA) & SURPRISE_DOWN, SURPRISE_DOWN);
}

TEST_F(pciConfigLink, SurpriseDownWithoutAer)
{
    poke(VDLSIM_SPACE_BRIDGE, BRIDGE_AER, 4, 0);
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    vdltest::LogCapture general(LOGGER_GENERAL);
    bool was = false;
    EXPECT_RAISES(up.aerSurpriseEnable(false, was), -13,
                  "could not find PCI capability: PCIE_AER_CAPABILITY_ID");
    EXPECT_EQ(general.at("warning"),
              std::vector<std::string>{"Could not find extended capabilities"});
    EXPECT_EQ(count(VDLSIM_CMD_UP_WRITE32), 0u);
}

TEST_F(pciConfigLink, SurpriseDownAccessFailures)
{
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    bool was = false;
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_READ32, EIO, UEMSK);
    EXPECT_RAISES(up.aerSurpriseEnable(false, was), -34,
                  "Error reading32 upstream PCIe config register 0x00000000000108");
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_WRITE32, EIO, UEMSK);
    EXPECT_RAISES(up.aerSurpriseEnable(false, was), -34,
                  "Error writing PCIe config register 0x00000000000108");
    EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, UEMSK) & SURPRISE_DOWN, 0u);

    // A mask of all ones comes from a port that does not answer.
    vdlsim_log_clear();
    poke(VDLSIM_SPACE_BRIDGE, UEMSK, 4, 0xFFFFFFFF);
    EXPECT_RAISES(up.aerSurpriseEnable(true, was), -3,
                  "could not read AER uncorrectable error mask at 0x00000000000108");
    EXPECT_EQ(count(VDLSIM_CMD_UP_WRITE32), 0u);

    // The card's own space: a mask that was not read is not written back.
    VdlpciLinuxConfigSpace card(m_handle);
    vdlsim_log_clear();
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, 0x100 + AER_UEMSK);
    EXPECT_EQ(vdltest::raised([&] { card.aerSurpriseEnable(false, was); }).code, -3);
    EXPECT_EQ(count(VDLSIM_CMD_CFG_WRITE32), 0u);
}

} // namespace
