// Identity, location and slot texts of a card, and the version text.
#include <cstring>

#include "device_support.hpp"

using pciDevice = devtest::DeviceTest;

TEST_F(pciDevice, IdentityWordsLocationAndSlot)
{
    ASSERT_EQ(vdlsim_card_set_ids(0, 0x1234, 0xABCD, 0x5678, 0x9EF0), 0);
    ASSERT_EQ(vdlsim_card_set_location(0, 0x100, 0x1F, 7), 0);
    ASSERT_EQ(vdlsim_card_set_slot_path(0, "/sys/devices/pci0000:00/slot-7"), 0);

    uint16_t vendor = 0, device = 0, subVendor = 0, subsystem = 0;
    EXPECT_EQ(vdlpci_dev_id(0, &vendor, &device, &subVendor, &subsystem), 0);
    EXPECT_EQ(vendor, 0x1234);
    EXPECT_EQ(device, 0xABCD);
    EXPECT_EQ(subVendor, 0x5678);
    EXPECT_EQ(subsystem, 0x9EF0);

    char text[128];
    EXPECT_EQ(vdlpci_dev_location(0, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "100:1f.7");
    EXPECT_EQ(vdlpci_dev_slot_uid(0, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "/sys/devices/pci0000:00/slot-7");
}

TEST_F(pciDevice, IdentityLocationPadsBusAndDevice)
{
    ASSERT_EQ(vdlsim_card_set_location(0, 0x3B, 0, 1), 0);
    char text[16];
    EXPECT_EQ(vdlpci_dev_location(0, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "3b:00.1");

    // A buffer one byte short keeps a truncated, terminated text.
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    std::memset(text, 'x', sizeof(text));
    EXPECT_EQ(vdlpci_dev_location(0, text, 7), -33);
    EXPECT_STREQ(text, "3b:00.");
    EXPECT_EQ(logs.at("general", "error").size(), 1u);
}

// A slot path the driver refused at the opening (warned about then) leaves
// the card without a slot text: every call gives the empty text and logs
// nothing, and the driver is not asked again, even once it could answer.
TEST_F(pciDevice, IdentityFailedSlotPathGivesTheEmptyTextWithoutAskingAgain)
{
    ASSERT_EQ(vdlsim_card_set_slot_path(0, nullptr), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_dev_count(), 1);
    EXPECT_EQ(logs.at("vdlsdk_pci", "warning").back(), "error -1 reading slot path");

    ASSERT_EQ(vdlsim_card_set_slot_path(0, "/sys/devices/slot7"), 0);
    vdlsim_log_clear();
    logs.clear();
    for (int call = 0; call < 2; ++call) {
        char text[64] = "junk";
        EXPECT_EQ(vdlpci_dev_slot_uid(0, text, sizeof(text)), 0) << call;
        EXPECT_STREQ(text, "") << call;
    }
    EXPECT_EQ(logs.lines(), std::vector<std::string>{});
    EXPECT_EQ(vdltest::simLog().size(), 0u) << "no driver request";
}

// An empty path the driver gave at the opening is the card's slot text.
TEST_F(pciDevice, IdentityEmptySlotPathIsTheAnswer)
{
    ASSERT_EQ(vdlsim_card_set_slot_path(0, ""), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_dev_count(), 1);
    ASSERT_EQ(vdlsim_card_set_slot_path(0, "/sys/devices/slot7"), 0);
    vdlsim_log_clear();
    char text[64] = "junk";
    EXPECT_EQ(vdlpci_dev_slot_uid(0, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(vdltest::simLog().size(), 0u) << "no driver request";
    for (const auto& warning : logs.at("vdlsdk_pci", "warning"))
        EXPECT_EQ(warning.find("slot path"), std::string::npos) << warning;
    EXPECT_EQ(logs.errors(), std::vector<std::string>{});
}

TEST_F(pciDevice, IdentityVersionNeverCreatesTheLibraryObject)
{
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    char text[16];
    EXPECT_EQ(vdlpci_version(text, 9), 0);
    EXPECT_STREQ(text, "2024.1.0");
    EXPECT_EQ(vdlpci_version(text, 8), -33);
    EXPECT_STREQ(text, "2024.1.");
    EXPECT_EQ(logs.at("general", "error").size(), 1u);
    EXPECT_EQ(vdlpci_version(nullptr, 16), -5);
    EXPECT_EQ(vdltest::simLog().size(), 0u);
    EXPECT_EQ(devtest::optionFile(), "<none>");
}
