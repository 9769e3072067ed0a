// Memory-space identifiers and the exported element reads and writes, end to
// end against the stand-in.
#include <cerrno>
#include <cstring>

#include "device_support.hpp"

using pciDevice = devtest::DeviceTest;

namespace {

constexpr uint64_t kBar0Size = 1u << 20;
constexpr uint64_t kBar2Size = 64u << 10;

struct IdCase {
    uint32_t ms;
    int code;
    uint64_t size;
    const char* logged; // the error line on "general", or null for none
};

void expectIds(void* handle, const std::vector<IdCase>& cases)
{
    for (const auto& c : cases) {
        vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
        uint64_t size = 0xDEAD;
        EXPECT_EQ(vdlpci_ms_size(handle, c.ms, &size), c.code) << std::hex << c.ms;
        if (c.code == 0) {
            EXPECT_EQ(size, c.size) << std::hex << c.ms;
        }
        const auto lines = logs.at("general", "error");
        if (c.logged != nullptr)
            EXPECT_EQ(lines, std::vector<std::string>{c.logged}) << std::hex << c.ms;
        else
            EXPECT_EQ(lines, std::vector<std::string>{}) << std::hex << c.ms;
    }
}

} // namespace

TEST_F(pciDevice, MsIdentifiersResolve)
{
    void* handle = open();
    void* address = nullptr;
    uint32_t ms[3] = {};
    for (auto& id : ms)
        ASSERT_EQ(vdlpci_alloc_mem(handle, 4096, &address, &id, VDLPCI_ALLOC_KERNEL_BUFFER), 0);
    ASSERT_EQ(vdlpci_free_mem(handle, ms[2]), 0);

    expectIds(handle, {
        {0, 0, kBar0Size, nullptr},
        {2, 0, kBar2Size, nullptr},
        {3, 0, 0, nullptr}, // every BAR has an object, an absent one of size 0
        {6, -13, 0, "Could not find memory space 0X6"},
        {0xFFFF, -13, 0, "Could not find memory space 0XFFFF"},
        {0x10000, 0, 4096, nullptr},
        {0x10001, -13, 0, "Could not find memory space 0X10001"},
        {0x20000, 0, 4096, nullptr},
        {0x30001, 0, 4096, nullptr}, // the kind is not compared with the buffer's
        {0x20002, -13, 0, "Could not find memory space 0X20002"}, // freed slot
        {0x20003, -13, 0, "Could not find memory space 0X20003"}, // beyond the table
        {0x40000, -6, 0, "0X40000 is not a valid memory space identifier"},
        {0xFFFF0001, -6, 0, "0XFFFF0001 is not a valid memory space identifier"},
    });
}

TEST_F(pciDevice, MsBarsNotEnumeratedGiveMinus40)
{
    for (unsigned offset = 0x10; offset < 0x28; offset += 4)
        ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, offset, 4, 0x0000000C), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    void* handle = open();
    EXPECT_TRUE(logs.has("vdlsdk_pci", "warning",
                         "all BAR addresses are 0 - the FPGA looks to have been reconfigured"));
    const char* const notEnumerated =
        "Cannot access PCI BAR memory space (PCI link is up, but not enumerated)";
    expectIds(handle, {
        {0, -40, 0, notEnumerated},
        {6, -40, 0, notEnumerated},
        {0x10000, 0, 4096, nullptr},
    });
}

TEST_F(pciDevice, MsLinkDownAtOpenIsRecheckedUntilUp)
{
    // Link Disable at the bridge: the card is off the bus when it opens.
    uint32_t control = 0;
    ASSERT_EQ(vdlsim_config_peek(0, VDLSIM_SPACE_BRIDGE, devtest::kBridgePcieCap + 0x10, 2, &control), 0);
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, devtest::kBridgePcieCap + 0x10, 2,
                                 control | devtest::kLinkDisable), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    void* handle = open();
    EXPECT_TRUE(logs.has("vdlsdk_pci", "warning", "PCI-e link is disabled"));

    const char* const stillDown = "Unable to perform read/write as the PCIe link is still disabled.";
    uint32_t word = 0;
    for (uint32_t ms : {0u, 0x40000u, 0x10000u}) {
        logs.clear();
        EXPECT_EQ(vdlpci_ms_read32s(handle, ms, 0, &word, 1), -39) << std::hex << ms;
        EXPECT_EQ(logs.at("vdlsdk_pci", "error"),
                  std::vector<std::string>{"Re-Check Pcie Link: PCI-e link is still disabled"});
        EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{stillDown});
    }

    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_BRIDGE, devtest::kBridgePcieCap + 0x10, 2, control), 0);
    EXPECT_EQ(vdlpci_ms_read32s(handle, VDLPCI_MS_ID_CONFIG, 0, &word, 1), 1);
    EXPECT_EQ(word, 0x01001F3Au);
    // Found up once, the link is not asked again.
    vdlsim_log_clear();
    EXPECT_EQ(vdlpci_ms_read32s(handle, VDLPCI_MS_ID_CONFIG, 0, &word, 1), 1);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, 0), 1u);
}

TEST_F(pciDevice, MsReadsAndWritesEveryWidth)
{
    void* handle = open();
    auto* bar2 = static_cast<unsigned char*>(vdlsim_card_bar_memory(0, 2));
    ASSERT_NE(bar2, nullptr);

    uint32_t words[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    vdlsim_log_clear();
    EXPECT_EQ(vdlpci_ms_write32s(handle, 2, 0x100, words, 4), 4);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, VDLSIM_CMD_BAR_WRITE32 + 2), 4u);
    uint32_t stored = 0;
    std::memcpy(&stored, bar2 + 0x10C, 4);
    EXPECT_EQ(stored, 0x44444444u);

    uint32_t back[4] = {};
    EXPECT_EQ(vdlpci_ms_read32s(handle, 2, 0x100, back, 4), 4);
    EXPECT_EQ(std::memcmp(back, words, sizeof(words)), 0);

    uint64_t wide = 0x0123456789ABCDEFull;
    EXPECT_EQ(vdlpci_ms_write64s(handle, 2, 0x200, &wide, 1), 1);
    uint64_t wideBack = 0;
    EXPECT_EQ(vdlpci_ms_read64s(handle, 2, 0x200, &wideBack, 1), 1);
    EXPECT_EQ(wideBack, wide);

    uint16_t half = 0;
    EXPECT_EQ(vdlpci_ms_read16s(handle, 2, 0x102, &half, 1), 1);
    EXPECT_EQ(half, 0x1111);
    uint8_t byte = 0xA5;
    EXPECT_EQ(vdlpci_ms_write8s(handle, 2, 0x105, &byte, 1), 1);
    EXPECT_EQ(bar2[0x105], 0xA5);
    EXPECT_EQ(bar2[0x104], 0x22) << "the other bytes of the word are kept";

    // The configuration space: vendor ID low, device ID high.
    uint32_t id = 0;
    EXPECT_EQ(vdlpci_ms_read32s(handle, VDLPCI_MS_ID_CONFIG, 0, &id, 1), 1);
    EXPECT_EQ(id, 0x01001F3Au);
    uint16_t vendor = 0;
    EXPECT_EQ(vdlpci_ms_read16s(handle, VDLPCI_MS_ID_CONFIG, 0, &vendor, 1), 1);
    EXPECT_EQ(vendor, 0x1F3A);
}

TEST_F(pciDevice, MsFailedAndRefusedElements)
{
    void* handle = open();
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    // The second of four BAR reads fails: logged, not counted, the loop goes on.
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_BAR_READ32 + 0, EIO, VDLSIM_FAULT_ANY_ADDRESS,
                      1);
    uint32_t words[4] = {};
    EXPECT_EQ(vdlpci_ms_read32s(handle, 0, 0x40, words, 4), 3);
    EXPECT_EQ(logs.at("vdlsdk_pci", "error"),
              std::vector<std::string>{"PCI bar could not read from offset 0x00000000000044"});
    EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{});

    logs.clear();
    vdlsim_log_clear();
    uint16_t half = 0;
    EXPECT_EQ(vdlpci_ms_read16s(handle, 0, 0x41, &half, 1), -8);
    EXPECT_EQ(vdlsim_log_count_requests(0, 0), 0u);

    EXPECT_EQ(vdlpci_ms_read32s(handle, 0, 0, words, 0), 0);
    EXPECT_EQ(vdlpci_ms_write32s(handle, 0, 0, words, -1), 0);
    EXPECT_EQ(vdlsim_log_count_requests(0, 0), 0u);

    logs.clear();
    EXPECT_EQ(vdlpci_ms_read32s(handle, 0, 0, nullptr, 1), -5);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"A null pointer was passed to the buffer argument"});

    // A failed configuration request ends the loop with its code.
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO);
    EXPECT_EQ(vdlpci_ms_read32s(handle, VDLPCI_MS_ID_CONFIG, 0, words, 2), -1);

    // An 8-byte configuration element is two dword requests: either failing
    // fails the element, read alone or in a run.
    for (uint64_t failing : {0x0u, 0x4u}) {
        for (int count : {1, 2}) {
            SCOPED_TRACE(testing::Message() << "half at " << failing << ", " << count);
            vdlsim_fault_clear();
            vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, failing);
            uint64_t quads[2] = {};
            EXPECT_EQ(vdlpci_ms_read64s(handle, VDLPCI_MS_ID_CONFIG, 0, quads, count), -1);
        }
    }
}

// A run stops with -8 at its first element past the end of the space or past
// 2^64 (nothing wraps round to the start of the space); the elements before
// it are sent, none after it. Spaces that check offsets themselves
// (configuration space, DMA buffers) refuse an element at or past their size
// without a request; a BAR leaves offsets to the driver, so only the wrap
// stops it.
TEST_F(pciDevice, MsElementRunsStopAtTheEndOfTheSpaceOrOfTheAddresses)
{
    void* handle = open();
    void* address = nullptr;
    uint32_t kernel = 0;
    uint32_t pinned = 0;
    ASSERT_EQ(vdlpci_alloc_mem(handle, 4096, &address, &kernel, VDLPCI_ALLOC_KERNEL_BUFFER), 0);
    auto* kernelBytes = static_cast<unsigned char*>(address);
    ASSERT_EQ(vdlpci_alloc_mem(handle, 4096, &address, &pinned, VDLPCI_ALLOC_LOCKED_VMEM), 0);
    auto* pinnedBytes = static_cast<unsigned char*>(address);
    auto* bar0 = static_cast<unsigned char*>(vdlsim_card_bar_memory(0, 0));
    ASSERT_NE(bar0, nullptr);

    constexpr uint64_t kLast = ~uint64_t{0};
    constexpr uint64_t kConfigSize = 4096;
    struct Case {
        const char* name;
        uint32_t ms;
        int width;
        bool write;
        uint64_t offset;
        int count;
        std::vector<uint64_t> sent; // addresses of the register requests, in order
        std::string logged;         // the -8's line on "general"
    };
    const Case cases[] = {
        {"BAR write32 of 2 at 2^64 - 4", 0, 4, true, kLast - 3, 2, {kLast - 3},
         "element 1 of 4 bytes from offset 0xfffffffffffffffc would pass the end of the address "
         "space"},
        {"BAR read8 of 4 at 2^64 - 1", 0, 1, false, kLast, 4, {kLast - 3},
         "element 1 of 1 bytes from offset 0xffffffffffffffff would pass the end of the address "
         "space"},
        {"BAR read64 of 3 at 2^64 - 16", 0, 8, false, kLast - 15, 3, {kLast - 15, kLast - 7},
         "element 2 of 8 bytes from offset 0xfffffffffffffff0 would pass the end of the address "
         "space"},
        {"BAR write16 of 2 at 2^64 - 2", 0, 2, true, kLast - 1, 2, {kLast - 3},
         "element 1 of 2 bytes from offset 0xfffffffffffffffe would pass the end of the address "
         "space"},
        {"configuration read32 at the size", VDLPCI_MS_ID_CONFIG, 4, false, kConfigSize, 1, {},
         "PCI config space read address 0x00000000001000 was out of range 0x00000000001000"},
        {"configuration write64 at the size", VDLPCI_MS_ID_CONFIG, 8, true, kConfigSize, 1, {},
         "PCI config space write address 0x00000000001000 was out of range 0x00000000001000"},
        {"configuration read16 of 3 from the size", VDLPCI_MS_ID_CONFIG, 2, false, kConfigSize,
         3, {},
         "PCI config space read address 0x00000000001000 was out of range 0x00000000001000"},
        {"configuration write8 of 2 past the size", VDLPCI_MS_ID_CONFIG, 1, true,
         kConfigSize + 1, 2, {},
         "PCI config space write address 0x00000000001001 was out of range 0x00000000001000"},
        {"configuration read32 of 2 across the size", VDLPCI_MS_ID_CONFIG, 4, false,
         kConfigSize - 4, 2, {kConfigSize - 4},
         "PCI config space read address 0x00000000001000 was out of range 0x00000000001000"},
        {"configuration write64 of 2 across the size", VDLPCI_MS_ID_CONFIG, 8, true,
         kConfigSize - 8, 2, {kConfigSize - 8, kConfigSize - 4},
         "PCI config space write address 0x00000000001000 was out of range 0x00000000001000"},
        {"configuration read64 across the size", VDLPCI_MS_ID_CONFIG, 8, false, kConfigSize - 4,
         1, {kConfigSize - 4},
         "PCI config space read address 0x00000000001000 was out of range 0x00000000001000"},
        {"configuration read64 of 2 from 7 bytes before the size", VDLPCI_MS_ID_CONFIG, 8, false,
         kConfigSize - 7, 2, {kConfigSize - 7},
         "PCI config space read address 0x00000000000ffd was out of range 0x00000000001000"},
        {"configuration read32 across the size", VDLPCI_MS_ID_CONFIG, 4, false, kConfigSize - 2,
         1, {},
         "PCI config space read address 0x00000000000ffe was out of range 0x00000000001000"},
        {"configuration write32 across the size", VDLPCI_MS_ID_CONFIG, 4, true, kConfigSize - 3,
         1, {},
         "PCI config space write address 0x00000000000ffd was out of range 0x00000000001000"},
        {"configuration read16 across the size", VDLPCI_MS_ID_CONFIG, 2, false, kConfigSize - 1,
         1, {},
         "PCI config space read address 0x00000000000fff was out of range 0x00000000001000"},
        {"configuration write16 of 2 ending across the size", VDLPCI_MS_ID_CONFIG, 2, true,
         kConfigSize - 3, 2, {kConfigSize - 3},
         "PCI config space write address 0x00000000000fff was out of range 0x00000000001000"},
        {"configuration read32 of 2 at 2^64 - 4", VDLPCI_MS_ID_CONFIG, 4, false, kLast - 3, 2, {},
         "PCI config space read address 0xfffffffffffffffc was out of range 0x00000000001000"},
        {"configuration write8 of 4 at 2^64 - 1", VDLPCI_MS_ID_CONFIG, 1, true, kLast, 4, {},
         "PCI config space write address 0xffffffffffffffff was out of range 0x00000000001000"},
        {"kernel buffer write32 of 2 at 2^64 - 4", kernel, 4, true, kLast - 3, 2, {},
         "PCI kernel buffer write address 0xfffffffffffffffc was out of range 0x00000000001000"},
        {"kernel buffer read8 of 4 at 2^64 - 1", kernel, 1, false, kLast, 4, {},
         "PCI kernel buffer read address 0xffffffffffffffff was out of range 0x00000000001000"},
        {"pinned write64 of 2 at 2^64 - 8", pinned, 8, true, kLast - 7, 2, {},
         "PCI virtual memory write address 0xfffffffffffffff8 was out of range 0x00000000001000"},
        {"pinned read16 of 3 at 2^64 - 2", pinned, 2, false, kLast - 1, 3, {},
         "PCI virtual memory read address 0xfffffffffffffffe was out of range 0x00000000001000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(bar0, 0x5A, 16);
        std::memset(kernelBytes, 0x5A, 16);
        std::memset(pinnedBytes, 0x5A, 16);
        alignas(8) unsigned char data[32];
        std::memset(data, 0xC3, sizeof(data));
        vdlsim_log_clear();
        vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
        const uint64_t o = c.offset;
        const int n = c.count;
        int result = 0;
        auto* d16 = reinterpret_cast<uint16_t*>(data);
        auto* d32 = reinterpret_cast<uint32_t*>(data);
        auto* d64 = reinterpret_cast<uint64_t*>(data);
        switch (c.width) {
        case 1:
            result = c.write ? vdlpci_ms_write8s(handle, c.ms, o, data, n)
                             : vdlpci_ms_read8s(handle, c.ms, o, data, n);
            break;
        case 2:
            result = c.write ? vdlpci_ms_write16s(handle, c.ms, o, d16, n)
                             : vdlpci_ms_read16s(handle, c.ms, o, d16, n);
            break;
        case 4:
            result = c.write ? vdlpci_ms_write32s(handle, c.ms, o, d32, n)
                             : vdlpci_ms_read32s(handle, c.ms, o, d32, n);
            break;
        default:
            result = c.write ? vdlpci_ms_write64s(handle, c.ms, o, d64, n)
                             : vdlpci_ms_read64s(handle, c.ms, o, d64, n);
            break;
        }
        EXPECT_EQ(result, -8);
        std::vector<uint64_t> sent;
        for (const auto& e : vdltest::simLog())
            if (e.event == VDLSIM_EV_IOCTL && e.request == VDLSIM_REQ_COMMAND)
                sent.push_back(e.address);
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{c.logged});
        const std::vector<unsigned char> untouched(16, 0x5A);
        EXPECT_EQ(std::vector<unsigned char>(bar0, bar0 + 16), untouched) << "BAR offset 0";
        EXPECT_EQ(std::vector<unsigned char>(kernelBytes, kernelBytes + 16), untouched);
        EXPECT_EQ(std::vector<unsigned char>(pinnedBytes, pinnedBytes + 16), untouched);
        if (!c.write && c.sent.empty()) {
            EXPECT_EQ(data[0], 0xC3) << "nothing was read into the caller's buffer";
        }
    }
}
