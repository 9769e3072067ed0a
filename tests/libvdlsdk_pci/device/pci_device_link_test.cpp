// Link status, save and restore (the option file's contents), link errors.
#include <cerrno>
#include <regex>

#include "device_support.hpp"

using pciDevice = devtest::DeviceTest;

namespace {

using devtest::kAerUncorrectableMask;
using devtest::kBridgePcieCap;
using devtest::kPcieCap;

constexpr uint32_t kRetrainLink = 1u << 5;

const char* const kBarsKey = "device0/saved_bars";
const char* const kMsiKey = "device0/saved_msidata";
const char* const kMsixKey = "device0/saved_msixdata";
const char* const kPcieKey = "device0/saved_pciedata";
const char* const kAerKey = "device0_upstream/saved_aer_surprise";

using pcitest::peek;

struct Status {
    uint32_t flags = 0xDEAD;
    int maxSpeed = -1, maxWidth = -1, speed = -1, width = -1;
};

Status linkStatus(int expectedCode = 0)
{
    Status s;
    EXPECT_EQ(vdlpci_link_status(0, &s.flags, &s.maxSpeed, &s.maxWidth, &s.speed, &s.width),
              expectedCode);
    return s;
}

bool hasOption(const char* key)
{
    char text[256];
    return vdlpci_get_option(key, text, sizeof(text)) == 0;
}

// Takes the capability at `offset` out of card 0's list (the one before it
// points past it); returns where the pointer to it was, 0 when it was not
// listed.
unsigned unlinkCapability(unsigned offset)
{
    unsigned pointer = 0x34;
    for (int guard = 0; guard < 48; ++guard) {
        const unsigned next = peek(VDLSIM_SPACE_CARD, pointer, 1);
        if (next == offset) {
            EXPECT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, pointer, 1,
                                         peek(VDLSIM_SPACE_CARD, offset + 1, 1)),
                      0);
            return pointer;
        }
        if (next < 0x40)
            break;
        pointer = next + 1;
    }
    ADD_FAILURE() << "no capability at " << offset;
    return 0;
}

void expectNoConfigWrites()
{
    for (uint32_t write : {VDLSIM_CMD_CFG_WRITE8, VDLSIM_CMD_CFG_WRITE16, VDLSIM_CMD_CFG_WRITE32,
                           VDLSIM_CMD_UP_WRITE8, VDLSIM_CMD_UP_WRITE16, VDLSIM_CMD_UP_WRITE32})
        EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, write), 0u) << std::hex << write;
}

} // namespace

TEST_F(pciDevice, LinkStatusReportsWhatBothEndsCanDo)
{
    // The card runs at speed 2 width 4, can do 4 and 16; the bridge can do 3 and 8.
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, kPcieCap + 0x12, 2, 0x0042), 0);
    Status s = linkStatus();
    EXPECT_EQ(s.flags, 0x4u);
    EXPECT_EQ(s.maxSpeed, 3);
    EXPECT_EQ(s.maxWidth, 8);
    EXPECT_EQ(s.speed, 2);
    EXPECT_EQ(s.width, 4);

    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS), 0);
    EXPECT_EQ(linkStatus().flags, 0x7u);

    // A damaged saved value does not count as saved.
    EXPECT_EQ(vdlpci_set_option(kBarsKey, "1 2 3 "), 0);
    EXPECT_EQ(linkStatus().flags, 0x4u);

    uint32_t flags = 0;
    int v = 0;
    EXPECT_EQ(vdlpci_link_status(0, &flags, &v, &v, &v, nullptr), -5);
    EXPECT_EQ(vdlpci_link_status(1, &flags, &v, &v, &v, &v), -13);
}

// The link status tests the bridge's link as isLinkEnabled does, with its
// debug trace (source prefix included) on "vdlsdk_pci", link up or disabled.
TEST_F(pciDevice, LinkStatusTracesItsLinkTest)
{
    ASSERT_EQ(vdlpci_dev_count(), 1);
    const std::regex trace(R"(\S+:\d+ isLinkEnabled - checking if link is enabled)");
    for (bool up : {true, false}) {
        SCOPED_TRACE(up ? "link up" : "link disabled");
        if (!up) {
            const uint32_t control = peek(VDLSIM_SPACE_BRIDGE, kBridgePcieCap + 0x10, 2);
            ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, kBridgePcieCap + 0x10, 2,
                                         control | devtest::kLinkDisable),
                      0);
        }
        vdltest::LogCapture pci(LOGGER_PCI);
        EXPECT_EQ(linkStatus().flags, up ? 0x4u : 0x0u);
        std::size_t traces = 0;
        for (const auto& line : pci.entries()) {
            if (line.message.find("checking if link is enabled") == std::string::npos)
                continue;
            EXPECT_EQ(line.level, "debug");
            EXPECT_TRUE(std::regex_match(line.message, trace)) << line.message;
            ++traces;
        }
        EXPECT_EQ(traces, 1u);
    }
}

TEST_F(pciDevice, LinkStatusOfABridgeWithoutPcieCapability)
{
    ASSERT_EQ(vdlpci_dev_count(), 1);
    // The bridge answers, but lists no capability: its link test warns and
    // answers "not enabled", and the bridge's own link registers then fail the
    // call with the same -13.
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, 0x34, 1, 0), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    linkStatus(-13);
    EXPECT_EQ(logs.at("general", "warning"), std::vector<std::string>{"Could not find PCI caps"});
}

TEST_F(pciDevice, LinkSaveAndRestoreRoundTrip)
{
    // A link that goes down resets the card, as a real card loses its BARs.
    ASSERT_EQ(vdlsim_link_set_reset_on_down(0, 1), 0);
    void* handle = open();
    const std::string bars = devtest::peekWords(0, VDLSIM_SPACE_CARD, 0, 10);
    const std::string msi = devtest::peekWords(0, VDLSIM_SPACE_CARD, devtest::kMsiCap, 4);
    const std::string pcie = devtest::peekWords(0, VDLSIM_SPACE_CARD, kPcieCap, 3);
    ASSERT_EQ(bars.rfind("1001f3a ", 0), 0u) << bars;
    const uint32_t bar0 = peek(VDLSIM_SPACE_CARD, 0x10);

    EXPECT_EQ(vdlpci_link_save(0, 0xF), 0);
    EXPECT_EQ(devtest::optionFile(), "{\n"
                                     "    \"" + std::string(kBarsKey) + "\": \"" + bars + "\",\n"
                                     "    \"" + kMsiKey + "\": \"" + msi + "\",\n"
                                     "    \"" + kPcieKey + "\": \"" + pcie + "\",\n"
                                     "    \"" + kAerKey + "\": \"true\"\n"
                                     "}");
    EXPECT_EQ(vdlsim_link_is_up(0), 0);
    EXPECT_NE(peek(VDLSIM_SPACE_BRIDGE, kAerUncorrectableMask) & devtest::kSurpriseDown, 0u)
        << "Surprise Down is masked before the link goes down";
    EXPECT_EQ(peek(VDLSIM_SPACE_CARD, 0x10), 0u) << "the card was reset";

    // Link down: the bridge's own figures, and the saved flag.
    Status down = linkStatus();
    EXPECT_EQ(down.flags, 0x3u);
    const uint32_t bridgeStatus = peek(VDLSIM_SPACE_BRIDGE, kBridgePcieCap + 0x12, 2);
    const uint32_t bridgeCaps = peek(VDLSIM_SPACE_BRIDGE, kBridgePcieCap + 0x0C, 2);
    EXPECT_EQ(down.speed, static_cast<int>(bridgeStatus & 0xF));
    EXPECT_EQ(down.width, static_cast<int>((bridgeStatus >> 4) & 0x3F));
    EXPECT_EQ(down.maxSpeed, static_cast<int>(bridgeCaps & 0xF));
    EXPECT_EQ(down.maxWidth, static_cast<int>((bridgeCaps >> 4) & 0x3F));

    // The restore retrains the link: Retrain Link set at the bridge, then Link
    // Status read until the training has ended (three reads in training).
    ASSERT_EQ(vdlsim_link_set_training_reads(0, 3), 0);
    vdlsim_log_clear();
    EXPECT_EQ(vdlpci_link_restore(0, 0xF), 0);
    EXPECT_EQ(vdlsim_link_is_up(0), 1);
    std::vector<std::string> retrain;
    for (const auto& e : vdltest::simLog()) {
        if (e.event != VDLSIM_EV_IOCTL || e.request != VDLSIM_REQ_COMMAND)
            continue;
        if (e.command == VDLSIM_CMD_UP_WRITE16 && e.address == kBridgePcieCap + 0x10)
            retrain.push_back(e.value & kRetrainLink ? "retrain" : "control");
        else if (e.command == VDLSIM_CMD_UP_READ16 && e.address == kBridgePcieCap + 0x12 &&
                 !retrain.empty())
            retrain.push_back("status");
    }
    EXPECT_EQ(retrain, (std::vector<std::string>{"control", "retrain", "status", "status",
                                                 "status", "status"}));
    EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, kAerUncorrectableMask) & devtest::kSurpriseDown, 0u);
    EXPECT_EQ(peek(VDLSIM_SPACE_CARD, 0x10), bar0);
    EXPECT_EQ(devtest::peekWords(0, VDLSIM_SPACE_CARD, devtest::kMsiCap, 4), msi);
    uint32_t word = 0x1234;
    EXPECT_EQ(vdlpci_ms_write32s(handle, 0, 0x40, &word, 1), 1) << "the BAR answers again";

    // The saved state stays until a save with 0x8 replaces it.
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_DELETE_OLD), 0);
    EXPECT_FALSE(hasOption(kBarsKey));
    EXPECT_FALSE(hasOption(kAerKey));
}

// The save of the registers goes on without an MSI capability (its block is
// saved as zeros, so that a restore finds it and writes nothing), but without
// a PCI Express capability it fails there, after the BAR and MSI blocks.
TEST_F(pciDevice, LinkSaveOfTheRegistersNeedsPciExpressButNotMsi)
{
    const struct {
        const char* name;
        unsigned removed;
        int code;
        std::vector<std::string> logged; // on "general"
        bool msi, pcie;                  // the block saved from the card (or else
                                         // zeros for MSI, nothing for PCI Express)
        int restored;
    } cases[] = {
        {"no PCI Express", kPcieCap, -13, {"Could not find PCI caps"}, true, false, -3},
        {"no MSI", devtest::kMsiCap, 0, {}, false, true, 0},
    };
    const auto saved = [](const char* key) {
        char text[256] = {};
        return vdlpci_get_option(key, text, sizeof(text)) == 0 ? std::string(text) : "";
    };
    const auto card = [](unsigned offset, int words) {
        return devtest::peekWords(0, VDLSIM_SPACE_CARD, offset, words);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned pointer = unlinkCapability(c.removed);
        ASSERT_NE(pointer, 0u);
        vdltest::LogCapture logs(LOGGER_GENERAL);
        EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_DELETE_OLD | VDLPCI_LINK_SAVE_REGISTERS),
                  c.code);
        EXPECT_EQ(logs.at("error"), c.logged);
        EXPECT_EQ(saved(kBarsKey), card(0, 10));
        EXPECT_EQ(saved(kMsiKey), c.msi ? card(devtest::kMsiCap, 4) : "0 0 0 0 ");
        EXPECT_EQ(saved(kPcieKey), c.pcie ? card(kPcieCap, 3) : "");
        EXPECT_EQ(vdlpci_link_restore(0, VDLPCI_LINK_RESTORE_REGISTERS), c.restored);
        ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, pointer, 1, c.removed), 0);
    }
}

TEST_F(pciDevice, LinkSaveWithoutBarAddressesSavesNothing)
{
    // Type bits alone, and registers that do not answer, are no address.
    for (uint32_t reg : {0x0000000Cu, 0xFFFFFFFFu}) {
        for (unsigned offset = 0x10; offset < 0x28; offset += 4)
            ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, offset, 4, reg), 0);
        vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
        EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS | VDLPCI_LINK_SAVE_DISABLE), -3)
            << std::hex << reg;
        EXPECT_EQ(logs.at("general", "error"),
                  std::vector<std::string>{
                      "could not find a nonzero PCI bar (PCI link is up, but not enumerated)"});
        EXPECT_EQ(devtest::optionFile(), "null") << std::hex << reg;
        EXPECT_EQ(vdlsim_link_is_up(0), 1) << "a failed step ends the save";
    }

    // One BAR register with an address is enough.
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, 0x18, 4, 0x100), 0);
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS), 0);
    EXPECT_TRUE(hasOption(kBarsKey));
}

TEST_F(pciDevice, LinkRestoreOfMissingOrDamagedStateWritesNothing)
{
    open();
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    vdlsim_log_clear();
    EXPECT_EQ(vdlpci_link_restore(0, VDLPCI_LINK_RESTORE_REGISTERS), -3);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"expected count 10 was not equal to 0"});
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE32), 0u);

    logs.clear();
    EXPECT_EQ(vdlpci_set_option(kAerKey, "TRUE"), 0);
    EXPECT_EQ(vdlpci_link_restore(0, VDLPCI_LINK_RESTORE_AER), -3);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{std::string("invalid value from config ") + kAerKey + ": TRUE"});
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_WRITE32), 0u);

    // The BAR block is written, then the absent MSI block ends the restore.
    logs.clear();
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS), 0);
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_DELETE_OLD), 0); // removes bars, msi, pcie
    EXPECT_EQ(vdlpci_set_option(kBarsKey, devtest::peekWords(0, VDLSIM_SPACE_CARD, 0, 10).c_str()), 0);
    vdlsim_log_clear();
    EXPECT_EQ(vdlpci_link_restore(0, VDLPCI_LINK_RESTORE_REGISTERS), -3);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"expected count 4 was not equal to 0"});
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE32), 10u);
}

TEST_F(pciDevice, LinkDeleteStopsAtTheFirstAbsentKey)
{
    struct {
        std::vector<const char*> present;
        std::vector<const char*> kept;
    } const cases[] = {
        {{kAerKey}, {kAerKey}},
        {{kBarsKey, kMsiKey, kAerKey}, {kAerKey}},
        {{kBarsKey, kMsiKey, kPcieKey, kAerKey, kMsixKey}, {kMsixKey}},
    };
    const char* const all[] = {kBarsKey, kMsiKey, kPcieKey, kAerKey, kMsixKey};
    for (const auto& c : cases) {
        for (const char* key : c.present)
            ASSERT_EQ(vdlpci_set_option(key, "0 "), 0);
        EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_DELETE_OLD), 0);
        for (const char* key : all) {
            const bool kept = std::find(c.kept.begin(), c.kept.end(), key) != c.kept.end();
            EXPECT_EQ(hasOption(key), kept) << key << " after " << c.present.size() << " keys";
        }
    }
}

TEST_F(pciDevice, LinkWithoutBridge)
{
    ASSERT_EQ(vdlsim_bridge_set_present(0, 0), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    void* handle = open();
    EXPECT_TRUE(logs.has("general", "debug", "Error finding upstream device"));
    uint32_t word = 0;
    EXPECT_EQ(vdlpci_ms_read32s(handle, 0, 0, &word, 1), 1) << "the card's own link is up";

    logs.clear();
    linkStatus(-13);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"Parent PCI config was not initalized"});
    EXPECT_EQ(logs.at("vdlsdk_pci", "error"), std::vector<std::string>{});

    for (int restore = 0; restore < 2; ++restore) {
        logs.clear();
        EXPECT_EQ(restore ? vdlpci_link_restore(0, 0xF) : vdlpci_link_save(0, 0xF), -13);
        EXPECT_EQ(logs.at("vdlsdk_pci", "error"),
                  std::vector<std::string>{"Parent PCI config was not initalized"});
        EXPECT_EQ(logs.at("general", "error"),
                  std::vector<std::string>{"PCI/Parent PCI Config were not initalized"});
    }
    EXPECT_EQ(devtest::optionFile(), "null");
}

TEST_F(pciDevice, LinkErrorsReportAndClear)
{
    constexpr unsigned kDeviceStatus = kPcieCap + 0x0A;
    constexpr uint32_t kErrors = 0x0005; // correctable and fatal error detected
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, kDeviceStatus, 2, kErrors), 0);
    void* handle = open();
    vdlsim_log_clear();

    int errors = -1;
    EXPECT_EQ(vdlpci_link_errors(handle, &errors, 0), 0);
    EXPECT_EQ(errors, static_cast<int>(kErrors));
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE16), 0u);

    errors = -1;
    EXPECT_EQ(vdlpci_link_errors(handle, &errors, 1), 0);
    EXPECT_EQ(errors, static_cast<int>(kErrors)) << "the value read before clearing";
    EXPECT_EQ(peek(VDLSIM_SPACE_CARD, kDeviceStatus, 2), 0u);

    EXPECT_EQ(vdlpci_link_errors(handle, nullptr, 0), -5);
    EXPECT_EQ(vdlpci_link_errors(nullptr, &errors, 0), -5);
}

// A card whose PM capability points into the header, where a Cache Line
// Size of 0x10 reads as the PCI Express ID, and a bridge whose AER header
// points to 0x008, where a revision of 1 reads as the AER ID: the link calls
// find no capability there, report nothing and write nothing.
TEST_F(pciDevice, LinkCallsOnListsPointingIntoTheHeaderWriteNothing)
{
    void* handle = open();
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, 0x0C, 1, 0x10), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, 0x41, 1, 0x0C), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, 0x08, 4, 0x06040001), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, 0x100, 4, 0x00810002), 0);
    const uint32_t cardBar1 = peek(VDLSIM_SPACE_CARD, 0x14);
    const uint32_t bridgeBar0 = peek(VDLSIM_SPACE_BRIDGE, 0x10);
    vdlsim_log_clear();

    int errors = -1;
    EXPECT_EQ(vdlpci_link_errors(handle, &errors, 1), -13);
    EXPECT_EQ(errors, -1);
    const Status s = linkStatus(-13);
    EXPECT_EQ(s.flags, 0xDEADu);
    EXPECT_EQ(s.speed, -1);
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_AER), 0);
    char text[16];
    EXPECT_EQ(vdlpci_get_option(kAerKey, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "false") << "no Surprise Down mask found to record";

    expectNoConfigWrites();
    EXPECT_EQ(peek(VDLSIM_SPACE_CARD, 0x14), cardBar1);
    EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, 0x10), bridgeBar0);
}

// A card whose PM capability points to a PCI Express capability at 0xFC,
// whose Device Status would be 0x106 (in the card's AER Uncorrectable Error
// Status, write-one-to-clear), and a bridge whose first extended capability
// points to 0x1F1, where an unaligned header reads as AER: the link calls
// find neither, and write nothing.
TEST_F(pciDevice, LinkCallsOnCapabilitiesRunningPastTheirSpaceWriteNothing)
{
    void* handle = open();
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, 0x41, 1, 0xFC), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, 0xFC, 4, 0x00000010), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, 0x104, 4, 0x00000020), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, 0x100, 4, 0x1F110002), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, 0x1F0, 4, 0x0000010B), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, 0x1F8, 4, 0x11000044), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, 0x1FC, 4, 0x00000000), 0);
    vdlsim_log_clear();

    int errors = -1;
    EXPECT_EQ(vdlpci_link_errors(handle, &errors, 1), -13);
    EXPECT_EQ(errors, -1);
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_AER), 0);
    char text[16];
    EXPECT_EQ(vdlpci_get_option(kAerKey, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "false") << "no Surprise Down mask found to record";

    expectNoConfigWrites();
    EXPECT_EQ(peek(VDLSIM_SPACE_CARD, 0x104), 0x20u) << "the pending error is still there";
    EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, 0x1F8), 0x11000044u);
}

TEST_F(pciDevice, LinkSaveThatCannotReadKeepsTheOldState)
{
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS), 0);
    const std::string saved = devtest::optionFile();
    ASSERT_NE(saved.find(kBarsKey), std::string::npos);

    // The class register cannot be read: the save stops before any key.
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, 0x08);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS), -1);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"could not read the PCI BAR registers"});
    EXPECT_EQ(devtest::optionFile(), saved);
}

TEST_F(pciDevice, LinkRestoreThatCannotWriteTheBarsStops)
{
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS), 0);

    // BAR0 does not take its value: the MSI and PCI Express blocks must not
    // follow, and the caller must learn that the restore failed.
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE32, EIO, 0x10);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    vdlsim_log_clear();
    EXPECT_EQ(vdlpci_link_restore(0, VDLPCI_LINK_RESTORE_REGISTERS), -1);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"could not write the PCI BAR registers"});
    for (const auto& e : vdltest::simLog())
        EXPECT_LE(e.address, 0x10u) << "written after the failure: " << std::hex << e.address;
}

// A failed read is no answer: the MSI block and the Surprise Down setting
// already saved stay as they were, and the caller learns the save failed.
TEST_F(pciDevice, LinkSaveWhoseWalkCannotReadKeepsTheSavedKeys)
{
    EXPECT_EQ(vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS | VDLPCI_LINK_SAVE_AER), 0);
    char saved[256] = {};
    ASSERT_EQ(vdlpci_get_option(kMsiKey, saved, sizeof(saved)), 0);
    ASSERT_NE(std::string(saved), "0 0 0 0 ");
    EXPECT_EQ(vdlpci_link_restore(0, VDLPCI_LINK_RESTORE_AER), 0); // Surprise Down unmasked again
    const std::string before = devtest::optionFile();
    ASSERT_NE(before.find(std::string(kAerKey) + "\": \"true\""), std::string::npos);

    struct Case {
        const char* name;
        uint32_t flags;
        uint32_t command;
        uint64_t address;
        int code;
    } const cases[] = {
        {"card capabilities pointer", VDLPCI_LINK_SAVE_REGISTERS, VDLSIM_CMD_CFG_READ32, 0x34, -1},
        {"card MSI header", VDLPCI_LINK_SAVE_REGISTERS, VDLSIM_CMD_CFG_READ32, devtest::kMsiCap, -1},
        {"bridge AER header", VDLPCI_LINK_SAVE_AER, VDLSIM_CMD_UP_READ32, devtest::kAerCap, -34},
        {"bridge capabilities pointer", VDLPCI_LINK_SAVE_DISABLE, VDLSIM_CMD_UP_READ32, 0x34,
         -34},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vdlsim_fault_clear();
        vdltest::addFault(VDLSIM_REQ_COMMAND, c.command, EIO, c.address);
        EXPECT_EQ(vdlpci_link_save(0, c.flags), c.code);
        EXPECT_EQ(devtest::optionFile(), before);
        EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, kAerUncorrectableMask) & devtest::kSurpriseDown, 0u);
        EXPECT_EQ(vdlsim_link_is_up(0), 1) << "a failed step ends the save";
    }
}

// Every configuration read of a link status, of the bridge or of the card,
// failed in turn: the failure's code, and nothing written to the outputs.
TEST_F(pciDevice, LinkStatusOnAFailedReadWritesNothing)
{
    ASSERT_EQ(vdlpci_dev_count(), 1);
    for (bool up : {true, false}) {
        SCOPED_TRACE(up ? "link up" : "link disabled");
        if (!up) {
            const uint32_t control = peek(VDLSIM_SPACE_BRIDGE, kBridgePcieCap + 0x10, 2);
            ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, kBridgePcieCap + 0x10, 2,
                                         control | devtest::kLinkDisable),
                      0);
        }
        vdlsim_fault_clear();
        vdlsim_log_clear();
        const Status clean = linkStatus();
        EXPECT_EQ(clean.flags, up ? 0x4u : 0x0u);
        std::vector<vdlsim_log_entry> reads;
        for (const auto& e : vdltest::simLog())
            if (e.event == VDLSIM_EV_IOCTL && e.request == VDLSIM_REQ_COMMAND)
                reads.push_back(e);
        ASSERT_GE(reads.size(), 4u);
        for (std::size_t i = 0; i < reads.size(); ++i) {
            SCOPED_TRACE(i);
            uint32_t skip = 0;
            for (std::size_t j = 0; j < i; ++j)
                skip += reads[j].command == reads[i].command && reads[j].address == reads[i].address;
            vdlsim_fault_clear();
            vdltest::addFault(VDLSIM_REQ_COMMAND, reads[i].command, EIO, reads[i].address, skip);
            Status s;
            const int code =
                vdlpci_link_status(0, &s.flags, &s.maxSpeed, &s.maxWidth, &s.speed, &s.width);
            EXPECT_LT(code, 0) << std::hex << reads[i].command << " at " << reads[i].address;
            EXPECT_EQ(s.flags, 0xDEADu);
            EXPECT_EQ(s.maxSpeed, -1);
            EXPECT_EQ(s.maxWidth, -1);
            EXPECT_EQ(s.speed, -1);
            EXPECT_EQ(s.width, -1);
        }
    }
}
