// Register access of the card's own configuration space and of the upstream
// bridge's: command words, widths, range checks, the 8-byte split, failures.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "config_test_support.hpp"
#include "vdlsdk/VdlpciLinuxConfigSpace.hpp"
#include "vdlsdk/VdlpciUpstreamBridgeConfigSpace.hpp"

using namespace cfgtest;

namespace {

class pciConfigCard : public CardFixture {};

TEST_F(pciConfigCard, SixteenBitReadOfTheVendorId)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    EXPECT_EQ(cfg.size(), 4096u);
    EXPECT_EQ(cfg.type(), VDLPCI_MS_CONFIG);
    unsigned char data[2] = {0xAA, 0xAA};
    EXPECT_EQ(cfg.read(0, data, 2), 2);
    std::uint16_t vendor = 0;
    std::memcpy(&vendor, data, 2);
    EXPECT_EQ(vendor, 0x1F3A);
    const auto reads = commands(VDLSIM_CMD_CFG_READ16);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].address, 0u);
    EXPECT_EQ(vdlsim_log_count(), 1u);
}

TEST_F(pciConfigCard, EachWidthIsOneRequestWithItsCommandWord)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    struct Case {
        int width;
        std::uint32_t read, write;
    } cases[] = {{1, VDLSIM_CMD_CFG_READ8, VDLSIM_CMD_CFG_WRITE8},
                 {2, VDLSIM_CMD_CFG_READ16, VDLSIM_CMD_CFG_WRITE16},
                 {4, VDLSIM_CMD_CFG_READ32, VDLSIM_CMD_CFG_WRITE32}};
    const std::uint32_t latency = 0x0C; // Cache Line Size, read-write
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        vdlsim_log_clear();
        std::uint32_t value = 0x10;
        EXPECT_EQ(cfg.write(latency, reinterpret_cast<unsigned char*>(&value), c.width), c.width);
        value = 0;
        EXPECT_EQ(cfg.read(latency, reinterpret_cast<unsigned char*>(&value), c.width), c.width);
        EXPECT_EQ(value & 0xFF, 0x10u);
        EXPECT_EQ(addresses(c.write), std::vector<std::uint64_t>{latency});
        EXPECT_EQ(addresses(c.read), std::vector<std::uint64_t>{latency});
        EXPECT_EQ(vdlsim_log_count(), 2u);
    }
}

TEST_F(pciConfigCard, WritesTakeExactlyTheirWidthFromTheCaller)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    // A one-byte allocation: the address sanitizer catches a wider read.
    auto byte = std::make_unique<unsigned char[]>(1);
    byte[0] = 0x12;
    EXPECT_EQ(cfg.write(4, byte.get(), 1), 1);
    const auto writes = commands(VDLSIM_CMD_CFG_WRITE8);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].address, 4u);
    EXPECT_EQ(writes[0].value, 0x12u);

    // Two bytes travel in the low half of a zeroed word.
    unsigned char wide[4] = {0x34, 0x12, 0xFF, 0xFF};
    EXPECT_EQ(cfg.write(0x0C, wide, 2), 2);
    EXPECT_EQ(values(VDLSIM_CMD_CFG_WRITE16), std::vector<std::uint64_t>{0x1234});

    auto small = std::make_unique<unsigned char[]>(1);
    EXPECT_EQ(cfg.read(0, small.get(), 1), 1);
    EXPECT_EQ(small[0], 0x3A);
}

TEST_F(pciConfigCard, WidthAndOffsetChecksComeBeforeAnyRequest)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    unsigned char data[16] = {};
    for (int width : {0, 3, 5, 7, 16, -4}) {
        SCOPED_TRACE(width);
        const std::string message = "invalid width " + std::to_string(width);
        EXPECT_RAISES(cfg.read(0, data, width), -6, message);
        EXPECT_RAISES(cfg.write(0, data, width), -6, message);
        // Width first: a bad width at a bad offset is still -6.
        EXPECT_RAISES(cfg.read(4096, data, width), -6, message);
    }
    for (unsigned long offset : {4096ul, 4097ul, 0x10000ul, ~0ul}) {
        for (int width : {1, 2, 4, 8}) {
            EXPECT_EQ(raised([&] { cfg.read(offset, data, width); }).code, -8);
            EXPECT_EQ(raised([&] { cfg.write(offset, data, width); }).code, -8);
        }
    }
    EXPECT_RAISES(cfg.read(4096, data, 4), -8,
                  "PCI config space read address 0x00000000001000 was out of range "
                  "0x00000000001000");
    EXPECT_RAISES(cfg.write(0x1234, data, 2), -8,
                  "PCI config space write address 0x00000000001234 was out of range "
                  "0x00000000001000");
    EXPECT_EQ(vdlsim_log_count(), 0u);
}

TEST_F(pciConfigCard, EightBytesAreTwoDwordsLowHalfFirst)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    std::uint64_t value = 0;
    EXPECT_EQ(cfg.read(0, reinterpret_cast<unsigned char*>(&value), 8), 8);
    EXPECT_EQ(value, (std::uint64_t{peek(VDLSIM_SPACE_CARD, 4)} << 32) |
                         peek(VDLSIM_SPACE_CARD, 0));
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ32), (std::vector<std::uint64_t>{0, 4}));

    // Starting in the last dword: the first half is read, the second raises.
    vdlsim_log_clear();
    poke(VDLSIM_SPACE_CARD, 4092, 4, 0x11223344);
    std::uint32_t halves[2] = {0, 0xA5A5A5A5};
    EXPECT_RAISES(cfg.read(4092, reinterpret_cast<unsigned char*>(halves), 8), -8,
                  "PCI config space read address 0x00000000001000 was out of range "
                  "0x00000000001000");
    EXPECT_EQ(halves[0], 0x11223344u);
    EXPECT_EQ(halves[1], 0xA5A5A5A5u);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ32), std::vector<std::uint64_t>{4092});

    vdlsim_log_clear();
    std::uint64_t bars = 0x00000000F0100000ull << 32 | 0xF0000000ull;
    EXPECT_EQ(cfg.write(0x10, reinterpret_cast<unsigned char*>(&bars), 8), 8);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_WRITE32), (std::vector<std::uint64_t>{0x10, 0x14}));
    EXPECT_EQ(values(VDLSIM_CMD_CFG_WRITE32),
              (std::vector<std::uint64_t>{0xF0000000u, 0xF0100000u}));
}

TEST_F(pciConfigCard, AccessRunningPastTheEndIsSentToTheDriver)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    std::uint32_t value = 0;
    cfg.read(4094, reinterpret_cast<unsigned char*>(&value), 4);
    cfg.read(4095, reinterpret_cast<unsigned char*>(&value), 2);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ32), std::vector<std::uint64_t>{4094});
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ16), std::vector<std::uint64_t>{4095});
}

TEST_F(pciConfigCard, FailedReadIsLoggedAndReturnsTheDriverResultWithZeroData)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    LogCapture<LOGGER_PCI> log;
    struct Case {
        int width;
        std::uint32_t command;
        const char* line;
    } cases[] = {
        {1, VDLSIM_CMD_CFG_READ8, "Error reading8 PCIe confg register 0x00000000000010"},
        {2, VDLSIM_CMD_CFG_READ16, "Error reading16 PCIe confg register 0x00000000000010"},
        {4, VDLSIM_CMD_CFG_READ32, "Error reading32 PCIe confg register 0x00000000000010"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        log.clear();
        addFault(VDLSIM_REQ_COMMAND, c.command, 0x10);
        std::uint32_t value = 0xA5A5A5A5;
        EXPECT_EQ(cfg.read(0x10, reinterpret_cast<unsigned char*>(&value), c.width), -1);
        const std::uint32_t untouched = c.width == 4 ? 0 : 0xA5A5A5A5u << (8 * c.width);
        EXPECT_EQ(value, untouched);
        EXPECT_EQ(log.at("error"), std::vector<std::string>{c.line});
    }
    // The element loop sees the negative result and stops there.
    addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, 0x14);
    std::uint32_t words[4] = {};
    vdlsim_log_clear();
    EXPECT_EQ(cfg.read32s(0x10, words, 4), -1);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ32), (std::vector<std::uint64_t>{0x10, 0x14}));
}

TEST_F(pciConfigCard, FailedWritesAndTheEightByteSplit)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    LogCapture<LOGGER_PCI> log;
    std::uint32_t value = 0x10;
    for (auto [width, command, line] :
         {std::tuple{1, VDLSIM_CMD_CFG_WRITE8, "Error writing8 PCIe config register"},
          std::tuple{2, VDLSIM_CMD_CFG_WRITE16, "Error writing16 PCIe config register"},
          std::tuple{4, VDLSIM_CMD_CFG_WRITE32, "Error writing32 PCIe config register"}}) {
        log.clear();
        addFault(VDLSIM_REQ_COMMAND, command, 0x0C);
        EXPECT_EQ(cfg.write(0x0C, reinterpret_cast<unsigned char*>(&value), width), -1);
        EXPECT_EQ(log.at("error"), std::vector<std::string>{line});
    }

    std::uint32_t pair[2] = {0x11, 0x22};
    // Second half fails: the first stays written.
    log.clear();
    vdlsim_log_clear();
    addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE32, 0x3C);
    EXPECT_EQ(cfg.write(0x38, reinterpret_cast<unsigned char*>(pair), 8), -1);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_WRITE32), (std::vector<std::uint64_t>{0x38, 0x3C}));
    EXPECT_TRUE(log.has("debug", "Error writing PCIe register"));
    // First half fails: no second request.
    log.clear();
    vdlsim_log_clear();
    addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE32, 0x38);
    EXPECT_EQ(cfg.write(0x38, reinterpret_cast<unsigned char*>(pair), 8), -1);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_WRITE32), std::vector<std::uint64_t>{0x38});
    EXPECT_TRUE(log.has("debug", "Error writing64 PCIe config register"));
    EXPECT_FALSE(log.has("debug", "Error writing PCIe register"));
    // Reads: either half failing gives its result and the same trace.
    log.clear();
    addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, 0x04);
    std::uint64_t wide = 0;
    EXPECT_EQ(cfg.read(0, reinterpret_cast<unsigned char*>(&wide), 8), -1);
    EXPECT_TRUE(log.has("debug", "Error reading PCIe register"));
}

TEST_F(pciConfigCard, SuccessfulAccessesAreTraced)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    LogCapture<LOGGER_PCI> log;
    std::uint32_t value = 0;
    cfg.read(0, reinterpret_cast<unsigned char*>(&value), 4);
    value = 0xab;
    cfg.write(0x0C, reinterpret_cast<unsigned char*>(&value), 1);
    cfg.write(0x0C, reinterpret_cast<unsigned char*>(&value), 2);
    EXPECT_EQ(log.at("debug"),
              (std::vector<std::string>{
                  "Reading PCIe config register 0x00000000000000: 0x00000001001f3a",
                  "Writing PCIe config register 0x0000000000000c: 0X000000000000AB",
                  "Writing PCIe config register 0x0000000000000c: 0x000000000000ab"}));
}

TEST_F(pciConfigCard, EnableMemorySpaceWritesTheWholeCommandRegister)
{
    poke(VDLSIM_SPACE_CARD, 0x04, 2, 0x0406);
    VdlpciLinuxConfigSpace cfg(m_handle);
    cfg.enableMemorySpace();
    EXPECT_EQ(values(VDLSIM_CMD_CFG_WRITE16), std::vector<std::uint64_t>{0x0002});
    EXPECT_EQ(peek(VDLSIM_SPACE_CARD, 0x04, 2), 0x0002u);
}

TEST_F(pciConfigCard, DisplayConfigRegistersReadsDwordsBelowTheLimit)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    struct Case {
        unsigned long limit;
        std::size_t reads;
    } cases[] = {{0, 0}, {4, 1}, {6, 2}, {4096, 1024}, {100000, 1024}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        vdlsim_log_clear();
        EXPECT_EQ(cfg.displayConfigRegisters(c.limit), c.reads ? 4 : 0);
        EXPECT_EQ(count(VDLSIM_CMD_CFG_READ32), c.reads);
        EXPECT_EQ(vdlsim_log_count(), c.reads);
    }
    vdlsim_log_clear();
    EXPECT_EQ(cfg.displayConfigRegisters(6), 4);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ32), (std::vector<std::uint64_t>{0, 4}));
    addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, 8);
    EXPECT_EQ(cfg.displayConfigRegisters(12), -1);
}

// ---------------------------------------------------------------------------

class pciConfigBridge : public CardFixture {};

TEST_F(pciConfigBridge, DescriptorIsFetchedOnceAndSentWithEveryRequest)
{
    LogCapture<LOGGER_PCI> log;
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_UPSTREAM, 0), 1u);
    EXPECT_EQ(up.descriptor().vendorId, 0x1F3A);
    EXPECT_EQ(up.descriptor().deviceId, 0x0200);
    EXPECT_EQ(log.at("debug"), (std::vector<std::string>{"Upstream PCIe Vendor ID: 0X1F3A",
                                                          "Upstream PCIe Device ID: 0X200"}));

    unsigned char data[4] = {};
    EXPECT_EQ(up.read(0, data, 4), 0);
    std::uint32_t word = 0;
    std::memcpy(&word, data, 4);
    EXPECT_EQ(word, 0x02001F3Au);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_UPSTREAM, 0), 1u);
    EXPECT_EQ(addresses(VDLSIM_CMD_UP_READ32), std::vector<std::uint64_t>{0});
}

TEST_F(pciConfigBridge, DescriptorFollowsTheLoadedBridge)
{
    loadBridge("tree-fsl-p2020", "0000:04:00.0");
    loadCard("tree-fsl-p2020", "0000:05:00.0");
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    EXPECT_EQ(up.descriptor().vendorId, 0x1957);
    EXPECT_EQ(up.descriptor().deviceId, 0x0070);
    // The port and the card at the two ends of the link.
    int speed = 0, width = 0;
    up.linkCapability(speed, width);
    EXPECT_EQ(speed, 1);
    EXPECT_EQ(width, 4);
    up.linkStatus(speed, width);
    EXPECT_EQ(speed, 1);
    EXPECT_EQ(width, 1);
    unsigned int aer = 0;
    up.findExtendedCapability(0x0001, &aer);
    EXPECT_EQ(aer, 0x100u);
    VdlpciLinuxConfigSpace card(m_handle);
    card.linkCapability(speed, width);
    EXPECT_EQ(width, 1);
    EXPECT_GT(count(VDLSIM_CMD_UP_READ32), 0u);
    EXPECT_GT(count(VDLSIM_CMD_UP_READ16), 0u);
}

TEST_F(pciConfigBridge, NoBridgeMeansNoObject)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
    } cases[] = {
        {"bridge absent", [] { vdlsim_bridge_set_present(0, 0); }},
        {"descriptor request refused",
         [] { addFault(VDLSIM_REQ_UPSTREAM, 0, VDLSIM_FAULT_ANY_ADDRESS); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vdlsim_card_setup(0);
        vdlsim_fault_clear();
        c.arrange();
        std::unique_ptr<VdlpciUpstreamBridgeConfigSpace> up;
        EXPECT_RAISES(up = std::make_unique<VdlpciUpstreamBridgeConfigSpace>(m_handle), -34,
                      "Error finding upstream device");
        EXPECT_EQ(up, nullptr);
    }
}

TEST_F(pciConfigBridge, ReadsStoreExactlyTheirWidthAndReportZero)
{
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    unsigned char buffer[16];
    std::memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(up.read8s(0, buffer, 8), 0); // each element reports 0
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(buffer[i], peek(VDLSIM_SPACE_BRIDGE, i, 1)) << i;
    for (int i = 8; i < 16; ++i)
        EXPECT_EQ(buffer[i], 0xEE) << i;
    EXPECT_EQ(count(VDLSIM_CMD_UP_READ8), 8u);

    std::memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(up.read(0x06, buffer, 2), 0);
    EXPECT_EQ(buffer[0] | buffer[1] << 8, static_cast<int>(peek(VDLSIM_SPACE_BRIDGE, 6, 2)));
    EXPECT_EQ(buffer[2], 0xEE);
    EXPECT_EQ(up.read(0x08, buffer, 4), 0);
    EXPECT_EQ(buffer[4], 0xEE);
}

TEST_F(pciConfigBridge, EightBytesAndTheRangeCheck)
{
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    std::uint32_t halves[2] = {};
    EXPECT_EQ(up.read(0xFF8, reinterpret_cast<unsigned char*>(halves), 8), 0);
    EXPECT_EQ(addresses(VDLSIM_CMD_UP_READ32), (std::vector<std::uint64_t>{0xFF8, 0xFFC}));

    vdlsim_log_clear();
    poke(VDLSIM_SPACE_BRIDGE, 0xFFC, 4, 0xCAFEF00D);
    halves[1] = 0x5A5A5A5A;
    EXPECT_RAISES(up.read(0xFFC, reinterpret_cast<unsigned char*>(halves), 8), -8,
                  "PCI upstream config space read address 0x00000000001000 was out of range "
                  "0x00000000001000");
    EXPECT_EQ(halves[0], 0xCAFEF00Du);
    EXPECT_EQ(halves[1], 0x5A5A5A5Au);
    EXPECT_EQ(addresses(VDLSIM_CMD_UP_READ32), std::vector<std::uint64_t>{0xFFC});

    vdlsim_log_clear();
    unsigned char data[8] = {};
    EXPECT_RAISES(up.read(0x1000, data, 4), -8,
                  "PCI upstream config space read address 0x00000000001000 was out of range "
                  "0x00000000001000");
    EXPECT_RAISES(up.write(0x1000, data, 1), -8,
                  "PCI upstream config space write address 0x00000000001000 was out of range "
                  "0x00000000001000");
    EXPECT_RAISES(up.read(0, data, 3), -6, "invalid width 3 when reading a memory space");
    EXPECT_RAISES(up.write(0, data, 3), -6, "invalid width 3");
    EXPECT_RAISES(up.write(0, data, 0), -6, "invalid width 0");
    EXPECT_EQ(vdlsim_log_count(), 0u);

    // The check looks at the start offset alone.
    std::uint32_t value = 0;
    const auto r = raised([&] { up.read(0xFFE, reinterpret_cast<unsigned char*>(&value), 4); });
    EXPECT_EQ(r.code, -34);
    EXPECT_EQ(addresses(VDLSIM_CMD_UP_READ32), std::vector<std::uint64_t>{0xFFE});

    // Eight-byte writes are two dword writes; a failed second leaves the first.
    vdlsim_log_clear();
    std::uint32_t pair[2] = {0x11, 0x22};
    addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_WRITE32, 0x1C);
    EXPECT_EQ(raised([&] { up.write(0x18, reinterpret_cast<unsigned char*>(pair), 8); }).code,
              -34);
    EXPECT_EQ(addresses(VDLSIM_CMD_UP_WRITE32), (std::vector<std::uint64_t>{0x18, 0x1C}));
}

TEST_F(pciConfigBridge, FailuresRaiseWithTheirMessages)
{
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    LogCapture<LOGGER_PCI> log;
    std::uint32_t value = 0x12345678;
    struct Case {
        int width;
        std::uint32_t command;
        const char* message;
    } reads[] = {
        {1, VDLSIM_CMD_UP_READ8, "Error reading8 upstream PCIe config register 0x00000000000010"},
        {2, VDLSIM_CMD_UP_READ16,
         "Error reading16 upstream PCIe config register 0x00000000000010"},
        {4, VDLSIM_CMD_UP_READ32,
         "Error reading32 upstream PCIe config register 0x00000000000010"},
    };
    for (const auto& c : reads) {
        addFault(VDLSIM_REQ_COMMAND, c.command, 0x10);
        EXPECT_RAISES(up.read(0x10, reinterpret_cast<unsigned char*>(&value), c.width), -34,
                      c.message);
        EXPECT_EQ(value, 0x12345678u);
    }
    for (std::uint32_t command :
         {VDLSIM_CMD_UP_WRITE8, VDLSIM_CMD_UP_WRITE16, VDLSIM_CMD_UP_WRITE32}) {
        addFault(VDLSIM_REQ_COMMAND, command, 0x10);
        const int width = command == VDLSIM_CMD_UP_WRITE8 ? 1 : command == VDLSIM_CMD_UP_WRITE16 ? 2 : 4;
        EXPECT_RAISES(up.write(0x10, reinterpret_cast<unsigned char*>(&value), width), -34,
                      "Error writing PCIe config register 0x00000000000010");
    }
    // Nothing but the traces of successful accesses is logged.
    EXPECT_EQ(log.at("debug"), std::vector<std::string>{});
    EXPECT_EQ(log.at("error"), std::vector<std::string>{});
}

TEST_F(pciConfigBridge, WritesCarryTheirWidthAndAreTraced)
{
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    LogCapture<LOGGER_PCI> log;
    auto one = std::make_unique<unsigned char[]>(1);
    one[0] = 0x40;
    EXPECT_EQ(up.write(0x0D, one.get(), 1), 0); // Latency Timer
    std::uint16_t control = 0x0003;
    EXPECT_EQ(up.write(0x3E, reinterpret_cast<unsigned char*>(&control), 2), 0);
    std::uint32_t word = 0x00000010;
    EXPECT_EQ(up.write(0x0C, reinterpret_cast<unsigned char*>(&word), 4), 0);
    EXPECT_EQ(values(VDLSIM_CMD_UP_WRITE8), std::vector<std::uint64_t>{0x40});
    EXPECT_EQ(values(VDLSIM_CMD_UP_WRITE16), std::vector<std::uint64_t>{0x0003});
    EXPECT_EQ(values(VDLSIM_CMD_UP_WRITE32), std::vector<std::uint64_t>{0x10});
    EXPECT_EQ(log.at("debug"),
              (std::vector<std::string>{"Writing8 PCIe config register 0x0000000000000d: 0X40",
                                        "Writing16 PCIe config register 0x0000000000003e: 0X03",
                                        "Writing32 PCIe config register 0x0000000000000c: 0x000010"}));
}

} // namespace
