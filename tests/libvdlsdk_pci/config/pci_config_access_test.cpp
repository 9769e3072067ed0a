// Register access of the card's own configuration space and of the upstream
// bridge's: command words, widths, range checks, the 8-byte split, failures.
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "config_test_support.hpp"
#include "vdlsdk/VdlpciLinuxConfigSpace.hpp"
#include "vdlsdk/VdlpciUpstreamBridgeConfigSpace.hpp"

using namespace cfgtest;

namespace {

class pciConfigCard : public pcitest::CardTest {};

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

// The card's space and the bridge's check the width first, then the start
// offset against the size (4096), and send nothing for an access they refuse.
TEST_F(pciConfigCard, WidthAndOffsetChecksOfBothSpacesComeBeforeAnyRequest)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    struct Space {
        const char* name;
        VdlpciMemorySpace& space;
        const char* range;     // the -8 message's start
        const char* readWidth; // the -6 message of a read
    } const spaces[] = {
        {"card", cfg, "PCI config space", "invalid width {}"},
        {"bridge", up, "PCI upstream config space", "invalid width {} when reading a memory space"},
    };
    struct Case {
        unsigned long offset;
        int width;
        bool write;
        int code;
    };
    std::vector<Case> cases;
    for (int width : {0, 3, 5, 7, 16, -4})
        for (unsigned long offset : {0ul, 4096ul}) // width first, whatever the offset
            for (bool write : {false, true})
                cases.push_back({offset, width, write, -6});
    for (unsigned long offset : {4096ul, 4097ul, 0x10000ul, ~0ul})
        for (int width : {1, 2, 4, 8})
            for (bool write : {false, true})
                cases.push_back({offset, width, write, -8});

    unsigned char data[16] = {};
    vdlsim_log_clear();
    for (const auto& s : spaces) {
        for (const auto& c : cases) {
            SCOPED_TRACE(fmt::format("{} {} of {} at {:#x}", s.name, c.write ? "write" : "read",
                                     c.width, c.offset));
            const std::string message =
                c.code == -6 ? fmt::format(fmt::runtime(c.write ? "invalid width {}" : s.readWidth),
                                           c.width)
                             : fmt::format("{} {} address {:#016x} was out of range "
                                           "0x00000000001000",
                                           s.range, c.write ? "write" : "read", c.offset);
            EXPECT_RAISES(c.write ? s.space.write(c.offset, data, c.width)
                                  : s.space.read(c.offset, data, c.width),
                          c.code, message);
        }
    }
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

// An element that starts inside the space but ends beyond it is refused like
// one that starts beyond it: -8 naming its offset, no request, and the caller's
// buffer untouched. Eight bytes are two dwords, each checked as it is sent: one
// whose first dword fits moves that dword and is refused at the second.
TEST_F(pciConfigCard, ElementsCrossingTheEndAreRefusedWithoutARequest)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    struct Space {
        const char* name;
        VdlpciMemorySpace& space;
        const char* range;
    } const spaces[] = {{"card", cfg, "PCI config space"},
                        {"bridge", up, "PCI upstream config space"}};
    vdlsim_log_clear();
    for (const auto& s : spaces) {
        for (int width : {2, 4, 8}) {
            for (unsigned long offset = 4096 - width + 1; offset < 4096; ++offset) {
                if (width == 8 && offset + 4 <= 4096)
                    continue; // its first dword fits: the case above
                for (bool write : {false, true}) {
                    SCOPED_TRACE(fmt::format("{} {} of {} at {:#x}", s.name,
                                             write ? "write" : "read", width, offset));
                    unsigned char data[8];
                    std::memset(data, 0xC3, sizeof(data));
                    EXPECT_RAISES(write ? s.space.write(offset, data, width)
                                        : s.space.read(offset, data, width),
                                  -8,
                                  fmt::format("{} {} address {:#016x} was out of range "
                                              "0x00000000001000",
                                              s.range, write ? "write" : "read", offset));
                    EXPECT_EQ(std::vector<unsigned char>(data, data + 8),
                              std::vector<unsigned char>(8, 0xC3));
                }
            }
        }
    }
    EXPECT_EQ(vdlsim_log_count(), 0u);

    // The last element of each width is still the driver's.
    std::uint64_t value = 0;
    for (int width : {1, 2, 4})
        EXPECT_EQ(cfg.read(4096 - width, reinterpret_cast<unsigned char*>(&value), width), width);
    EXPECT_EQ(cfg.read(4088, reinterpret_cast<unsigned char*>(&value), 8), 8);
    EXPECT_EQ(up.read(4088, reinterpret_cast<unsigned char*>(&value), 8), 0);
}

TEST_F(pciConfigCard, FailedReadIsLoggedAndReturnsTheDriverResultWithZeroData)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    vdltest::LogCapture log(LOGGER_PCI);
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
        vdltest::addFault(VDLSIM_REQ_COMMAND, c.command, EIO, 0x10);
        std::uint32_t value = 0xA5A5A5A5;
        EXPECT_EQ(cfg.read(0x10, reinterpret_cast<unsigned char*>(&value), c.width), -1);
        const std::uint32_t untouched = c.width == 4 ? 0 : 0xA5A5A5A5u << (8 * c.width);
        EXPECT_EQ(value, untouched);
        EXPECT_EQ(log.at("error"), std::vector<std::string>{c.line});
    }
    // The element loop sees the negative result and stops there.
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, 0x14);
    std::uint32_t words[4] = {};
    vdlsim_log_clear();
    EXPECT_EQ(cfg.read32s(0x10, words, 4), -1);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ32), (std::vector<std::uint64_t>{0x10, 0x14}));
}

TEST_F(pciConfigCard, FailedWritesAndTheEightByteSplit)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    vdltest::LogCapture log(LOGGER_PCI);
    std::uint32_t value = 0x10;
    for (auto [width, command, line] :
         {std::tuple{1, VDLSIM_CMD_CFG_WRITE8, "Error writing8 PCIe config register"},
          std::tuple{2, VDLSIM_CMD_CFG_WRITE16, "Error writing16 PCIe config register"},
          std::tuple{4, VDLSIM_CMD_CFG_WRITE32, "Error writing32 PCIe config register"}}) {
        log.clear();
        vdltest::addFault(VDLSIM_REQ_COMMAND, command, EIO, 0x0C);
        EXPECT_EQ(cfg.write(0x0C, reinterpret_cast<unsigned char*>(&value), width), -1);
        EXPECT_EQ(log.at("error"), std::vector<std::string>{line});
    }

    std::uint32_t pair[2] = {0x11, 0x22};
    // Second half fails: the first stays written.
    log.clear();
    vdlsim_log_clear();
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE32, EIO, 0x3C);
    EXPECT_EQ(cfg.write(0x38, reinterpret_cast<unsigned char*>(pair), 8), -1);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_WRITE32), (std::vector<std::uint64_t>{0x38, 0x3C}));
    EXPECT_TRUE(log.has("debug", "Error writing PCIe register"));
    // First half fails: no second request.
    log.clear();
    vdlsim_log_clear();
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE32, EIO, 0x38);
    EXPECT_EQ(cfg.write(0x38, reinterpret_cast<unsigned char*>(pair), 8), -1);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_WRITE32), std::vector<std::uint64_t>{0x38});
    EXPECT_TRUE(log.has("debug", "Error writing64 PCIe config register"));
    EXPECT_FALSE(log.has("debug", "Error writing PCIe register"));
    // Reads: either half failing gives its result, not 8, and the same trace;
    // after a failed first half no second request is sent.
    const struct {
        std::uint64_t failing;
        std::vector<std::uint64_t> sent;
    } reads[] = {{0x00, {0x00}}, {0x04, {0x00, 0x04}}};
    for (const auto& c : reads) {
        SCOPED_TRACE(c.failing);
        log.clear();
        vdlsim_log_clear();
        vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, c.failing);
        std::uint64_t wide = 0;
        EXPECT_EQ(cfg.read(0, reinterpret_cast<unsigned char*>(&wide), 8), -1);
        EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ32), c.sent);
        EXPECT_TRUE(log.has("debug", "Error reading PCIe register"));
    }
}

TEST_F(pciConfigCard, SuccessfulAccessesAreTraced)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    vdltest::LogCapture log(LOGGER_PCI);
    log.skipTracesFrom(kDriverInterface);
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
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, 8);
    EXPECT_EQ(cfg.displayConfigRegisters(12), -1);
}

// ---------------------------------------------------------------------------

class pciConfigBridge : public pcitest::CardTest {};

TEST_F(pciConfigBridge, DescriptorIsFetchedOnceAndSentWithEveryRequest)
{
    vdltest::LogCapture log(LOGGER_PCI);
    log.skipTracesFrom(kDriverInterface);
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
         [] { vdltest::addFault(VDLSIM_REQ_UPSTREAM, 0, EIO); }},
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

TEST_F(pciConfigBridge, EightBytesAndTheStartOffset)
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

    // Eight-byte writes are two dword writes; a failed second leaves the first.
    vdlsim_log_clear();
    std::uint32_t pair[2] = {0x11, 0x22};
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_WRITE32, EIO, 0x1C);
    EXPECT_EQ(
        vdltest::raised([&] { up.write(0x18, reinterpret_cast<unsigned char*>(pair), 8); }).code,
        -34);
    EXPECT_EQ(addresses(VDLSIM_CMD_UP_WRITE32), (std::vector<std::uint64_t>{0x18, 0x1C}));
}

TEST_F(pciConfigBridge, FailuresRaiseWithTheirMessages)
{
    VdlpciUpstreamBridgeConfigSpace up(m_handle);
    vdltest::LogCapture log(LOGGER_PCI);
    log.skipTracesFrom(kDriverInterface);
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
        vdltest::addFault(VDLSIM_REQ_COMMAND, c.command, EIO, 0x10);
        EXPECT_RAISES(up.read(0x10, reinterpret_cast<unsigned char*>(&value), c.width), -34,
                      c.message);
        EXPECT_EQ(value, 0x12345678u);
    }
    for (std::uint32_t command :
         {VDLSIM_CMD_UP_WRITE8, VDLSIM_CMD_UP_WRITE16, VDLSIM_CMD_UP_WRITE32}) {
        vdltest::addFault(VDLSIM_REQ_COMMAND, command, EIO, 0x10);
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
    vdltest::LogCapture log(LOGGER_PCI);
    log.skipTracesFrom(kDriverInterface);
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
