// The option functions and the self-test.
#include <cerrno>

#include "device_support.hpp"

using pciDevice = devtest::DeviceTest;

TEST_F(pciDevice, OptionFirstRunHasNoKeys)
{
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    char key[64];
    EXPECT_EQ(vdlpci_get_next_option_key(nullptr, key, sizeof(key)), -27);
    EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{"reached the end of iteration"});
    EXPECT_EQ(vdlpci_option_count(), 0);
    EXPECT_EQ(devtest::optionFile(), "null");
}

TEST_F(pciDevice, OptionSetGetAndIterate)
{
    EXPECT_EQ(vdlpci_set_option("beta", "two"), 0);
    EXPECT_EQ(vdlpci_set_option("alpha", "1"), 0);
    EXPECT_EQ(vdlpci_option_count(), 2);
    EXPECT_EQ(devtest::optionFile(), "{\n    \"alpha\": \"1\",\n    \"beta\": \"two\"\n}");

    char text[64];
    EXPECT_EQ(vdlpci_get_option("beta", text, sizeof(text)), 0);
    EXPECT_STREQ(text, "two");

    std::vector<std::string> keys;
    const char* previous = nullptr;
    std::string current;
    int code = 0;
    while ((code = vdlpci_get_next_option_key(previous, text, sizeof(text))) == 0) {
        keys.emplace_back(text);
        current = text;
        previous = current.c_str();
    }
    EXPECT_EQ(code, -27);
    EXPECT_EQ(keys, (std::vector<std::string>{"alpha", "beta"}));

    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_get_option("gamma", text, sizeof(text)), -13);
    EXPECT_EQ(vdlpci_get_option("beta", text, 3), -33);
    EXPECT_STREQ(text, "tw");
    EXPECT_EQ(logs.at("general", "error").size(), 2u);
}

TEST_F(pciDevice, OptionCountReportsAFailedLibraryObject)
{
    ASSERT_EQ(vdlsim_card_set_access(0, 0), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_option_count(), -38);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"Insufficient Permissions to open device 0"});
}

TEST_F(pciDevice, SelfTestPasses)
{
    EXPECT_EQ(vdlpci_test(), 0);
    // Card 0 is in the table now: the test opens nothing and reads one register.
    vdlsim_log_clear();
    EXPECT_EQ(vdlpci_test(), 0);
    const auto entries = vdltest::simLog();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].command, VDLSIM_CMD_CFG_READ32);
    EXPECT_EQ(entries[0].address, 0u);
}

TEST_F(pciDevice, SelfTestWithoutCards)
{
    vdlsim_clear_cards();
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_test(), -13);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"Device /dev/vdlsdk_pci/vdlpci0 does not exist"});
}

TEST_F(pciDevice, SelfTestReportsAFailedRead)
{
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, 0, 0, VDLSIM_FAULT_FOREVER);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_test(), -1);
    EXPECT_EQ(logs.at("vdlsdk_pci", "error"),
              std::vector<std::string>{"Error reading32 PCIe confg register 0x00000000000000"});
}
