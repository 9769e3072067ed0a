// Interrupt set-up, waits and cancels, and the MSI and MSI-X reports.
#include <future>
#include <thread>

#include "device_support.hpp"
#include "vdlsdk/VdlpciDevice.hpp"

using pciDevice = devtest::DeviceTest;

namespace {

constexpr unsigned kVector = 2;
constexpr unsigned kWaitersTimeoutMs = 5000;
// Long enough that only a cancel or an interrupt ends the wait.
constexpr uint32_t kLongTimeoutMs = 20000;

const VdlpciDevice* card(void* handle) { return static_cast<VdlpciDevice*>(handle); }

// A register of the card's configuration image, read or set in the model.
uint32_t peek(unsigned offset) { return pcitest::peek(VDLSIM_SPACE_CARD, offset); }
void poke(unsigned offset, unsigned width, uint32_t value)
{
    pcitest::poke(VDLSIM_SPACE_CARD, offset, width, value);
}

constexpr uint32_t kMsiEnable = 1u << 16;
constexpr unsigned kMmeShift = 20;
constexpr uint32_t kMsixEnable = 1u << 31;

} // namespace

TEST_F(pciDevice, IrqCancelFromAnotherThread)
{
    void* handle = open();
    auto waiter = std::async(std::launch::async, [handle] {
        uint32_t value = 0xDEAD;
        const int code = vdlpci_int_wait(handle, kVector, kLongTimeoutMs, &value);
        return std::make_pair(code, value);
    });
    ASSERT_EQ(vdlsim_irq_wait_for_waiters(0, kVector, 1, kWaitersTimeoutMs), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_int_cancel_wait(handle, kVector), 0);
    const auto [code, value] = waiter.get();
    EXPECT_EQ(code, -12);
    EXPECT_EQ(value, 0u) << "the driver wrote no value";
    EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{"interrupt was canceled"});
}

TEST_F(pciDevice, IrqCancelTheDriverRefusesIsReported)
{
    void* handle = open();
    auto waiter = std::async(std::launch::async, [handle] {
        uint32_t value = 0;
        return vdlpci_int_wait(handle, kVector, 200, &value);
    });
    ASSERT_EQ(vdlsim_irq_wait_for_waiters(0, kVector, 1, kWaitersTimeoutMs), 0);
    vdltest::addFault(VDLSIM_REQ_INT_CANCEL, 0, EIO);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_int_cancel_wait(handle, kVector), -34);
    EXPECT_TRUE(logs.has("general", "error",
                         "could not cancel the wait on message " + std::to_string(kVector)));
    EXPECT_EQ(waiter.get(), -9) << "the wait was not cancelled";
}

// A register that cannot be read while the interrupts are set up does not
// fail the open: MSI-X counts as unusable and MSI (disabled, one vector, in
// the default model) decides. The reports asked for later still tell a failed
// read from a missing capability.
TEST_F(pciDevice, IrqSetUpThatCannotReadMsixFallsBackToMsi)
{
    // The MSI-X header, read once by the walk and once by the report.
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, devtest::kMsixCap, 1);
    void* handle = nullptr;
    EXPECT_EQ(vdlpci_dev_open(0, &handle), 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_FALSE(card(handle)->msiEnabled());
    EXPECT_EQ(card(handle)->msiVectorCount(), 1);

    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    uint32_t value = 0;
    EXPECT_EQ(vdlpci_int_wait(handle, 1, 5, &value), -6);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"message 1 was out of range 1"});

    logs.clear();
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, devtest::kMsixCap, 1);
    msix_info info{};
    EXPECT_EQ(vdlpci_msix_info(handle, &info), -34);
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, devtest::kMsiCap, 1);
    int enabled = -1, vectors = -1;
    uint64_t address = 0;
    uint16_t data = 0;
    EXPECT_EQ(vdlpci_msi_info(handle, &enabled, &address, &data, &vectors), -34);
    EXPECT_EQ(logs.at("general", "error"),
              (std::vector<std::string>{"Error reading PCI capability id 17 at 0x000000000000b0",
                                        "Error reading PCI capability id 5 at 0x00000000000050"}));
}

TEST_F(pciDevice, IrqInterruptTimeoutAndRange)
{
    void* handle = open();
    EXPECT_EQ(card(handle)->msiVectorCount(), 32);
    EXPECT_TRUE(card(handle)->msiEnabled());

    // An interrupt raised before the wait ends it at once with its value.
    ASSERT_EQ(vdlsim_irq_raise(0, kVector, 0x5A5A), 0);
    uint32_t value = 0;
    EXPECT_EQ(vdlpci_int_wait(handle, kVector, kLongTimeoutMs, &value), 0);
    EXPECT_EQ(value, 0x5A5Au);

    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_int_wait(handle, kVector, 5, &value), -9);
    EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{"timeout of 5 reached"});

    logs.clear();
    vdlsim_log_clear();
    for (int vector : {32, -1}) {
        EXPECT_EQ(vdlpci_int_wait(handle, vector, 5, &value), -6) << vector;
        EXPECT_EQ(vdlpci_int_cancel_wait(handle, vector), -6) << vector;
    }
    EXPECT_EQ(logs.at("general", "error"),
              (std::vector<std::string>{"message 32 was out of range 32", "message 32 was out of range 32",
                                        "message -1 was out of range 32", "message -1 was out of range 32"}));
    EXPECT_EQ(vdlpci_int_wait(handle, 0, 5, nullptr), -5);
    EXPECT_EQ(vdlpci_int_wait(nullptr, 0, 5, &value), -5);
    EXPECT_EQ(vdlpci_int_cancel_wait(nullptr, 0), -5);
    EXPECT_EQ(vdlsim_log_count_requests(0, 0), 0u) << "refused before any request";
}

TEST_F(pciDevice, IrqMsixDisabledDecidesOverMsi)
{
    poke(devtest::kMsixCap, 4, peek(devtest::kMsixCap) & ~kMsixEnable);
    poke(devtest::kMsiCap, 4, peek(devtest::kMsiCap) | kMsiEnable);
    void* handle = open();
    EXPECT_FALSE(card(handle)->msiEnabled());
    EXPECT_EQ(card(handle)->msiVectorCount(), 32);

    msix_info info{};
    EXPECT_EQ(vdlpci_msix_info(handle, &info), 0);
    EXPECT_EQ(info.enabled, 0);
    EXPECT_EQ(info.tableSize, 32u);
    EXPECT_EQ(info.tableBir, 2);
    EXPECT_EQ(info.tableOffset, 0u);
    EXPECT_EQ(info.pbaBir, 2);
    EXPECT_EQ(info.pbaOffset, 0x800u);

    // Without wait flags a wait still goes to the driver.
    uint32_t value = 0;
    EXPECT_EQ(vdlpci_int_wait(handle, 1, 1, &value), -9);
}

TEST_F(pciDevice, IrqMsiWithoutMsix)
{
    // Unlink MSI-X, the last capability after PCI Express.
    poke(devtest::kPcieCap + 1, 1, 0);
    poke(devtest::kMsiCap, 4, peek(devtest::kMsiCap) | kMsiEnable | (2u << kMmeShift));
    poke(devtest::kMsiCap + 4, 4, 0xFEE00000u);
    poke(devtest::kMsiCap + 8, 4, 0x1);
    poke(devtest::kMsiCap + 12, 4, 0x4321);
    void* handle = open();
    EXPECT_TRUE(card(handle)->msiEnabled());
    EXPECT_EQ(card(handle)->msiVectorCount(), 4);

    int enabled = -1, vectors = 0;
    uint64_t address = 0;
    uint16_t data = 0;
    EXPECT_EQ(vdlpci_msi_info(handle, &enabled, &address, &data, &vectors), 0);
    EXPECT_EQ(enabled, 1);
    EXPECT_EQ(address, 0x1FEE00000ull);
    EXPECT_EQ(data, 0x4321);
    EXPECT_EQ(vectors, 4);

    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    msix_info info{};
    EXPECT_EQ(vdlpci_msix_info(handle, &info), -13);
    EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{"Could not find PCI caps"});

    uint32_t value = 0;
    EXPECT_EQ(vdlpci_int_wait(handle, 4, 1, &value), -6);

    // An invalid Multiple Message Enable fails the report, the enable bit is kept.
    poke(devtest::kMsiCap, 4, peek(devtest::kMsiCap) | (7u << kMmeShift));
    enabled = -1;
    EXPECT_EQ(vdlpci_msi_info(handle, &enabled, &address, &data, &vectors), -3);
    EXPECT_EQ(enabled, 1);
}
