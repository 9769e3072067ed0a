// BAR windows against the stand-in driver: which register requests each
// element operation makes, what lands in the caller's buffer and the window,
// and how failed requests are reported.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "memory_test_support.hpp"
#include "vdlsdk/VdlpciBar.hpp"

using namespace memtest;

namespace {

constexpr int kBar = 2; // 64 KiB window of the default card
constexpr unsigned long kBarSize = 0x10000;
constexpr unsigned long kBarBus = 0xF0100000;
constexpr uint32_t kRead32 = VDLSIM_CMD_BAR_READ32 + kBar;
constexpr uint32_t kRead64 = VDLSIM_CMD_BAR_READ64 + kBar;
constexpr uint32_t kWrite32 = VDLSIM_CMD_BAR_WRITE32 + kBar;
constexpr uint32_t kWrite64 = VDLSIM_CMD_BAR_WRITE64 + kBar;

class pciMemoryBar : public pcitest::CardTest {
protected:
    void SetUp() override
    {
        pcitest::CardTest::SetUp();
        m_memory = static_cast<unsigned char*>(vdlsim_card_bar_memory(0, kBar));
        ASSERT_NE(m_memory, nullptr);
        m_bar = std::make_unique<VdlpciBar>(m_handle, kBar, kBarBus, kBarSize);
    }
    void TearDown() override
    {
        m_bar.reset();
        pcitest::CardTest::TearDown();
    }

    void poke32(unsigned long offset, uint32_t value) { std::memcpy(m_memory + offset, &value, 4); }
    uint32_t peek32(unsigned long offset)
    {
        uint32_t value;
        std::memcpy(&value, m_memory + offset, 4);
        return value;
    }
    int failNext(uint32_t command, uint64_t address, uint32_t skip = 0)
    {
        return vdltest::addFault(VDLSIM_REQ_COMMAND, command, EIO, address, skip);
    }

    unsigned char* m_memory = nullptr;
    std::unique_ptr<VdlpciBar> m_bar;
};

TEST_F(pciMemoryBar, ReadsAreOneRequestPerElementAndNarrowOnesUseTheAlignedWord)
{
    poke32(0x4, 0x44332211);
    poke32(0x10, 0xCAFEF00D);
    poke32(0x14, 0x8BADBEEF);
    poke32(0x20, 0x76543210);
    poke32(0x24, 0xFEDCBA98);

    struct Case {
        const char* name;
        int width;
        unsigned long offset;
        int count;
        std::vector<Command> requests;
        std::vector<uint64_t> values;
    };
    const Case cases[] = {
        {"bytes 1 to 3 of a word", 1, 5, 3,
         {{kRead32, 4, 0x44332211, 0}, {kRead32, 4, 0x44332211, 0}, {kRead32, 4, 0x44332211, 0}},
         {0x22, 0x33, 0x44}},
        {"the low half", 2, 4, 1, {{kRead32, 4, 0x44332211, 0}}, {0x2211}},
        {"the high half", 2, 6, 1, {{kRead32, 4, 0x44332211, 0}}, {0x4433}},
        {"two words", 4, 0x10, 2, {{kRead32, 0x10, 0xCAFEF00D, 0}, {kRead32, 0x14, 0x8BADBEEF, 0}},
         {0xCAFEF00D, 0x8BADBEEF}},
        {"a double word", 8, 0x20, 1, {{kRead64, 0x20, 0xFEDCBA9876543210, 0}},
         {0xFEDCBA9876543210}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vdlsim_log_clear();
        alignas(8) unsigned char buffer[32];
        std::memset(buffer, 0xEE, sizeof(buffer));
        EXPECT_EQ(m_bar->reads(c.offset, buffer, c.width, c.count), c.count);
        EXPECT_EQ(commands(), c.requests);
        for (int i = 0; i < c.count; ++i) {
            uint64_t value = 0;
            std::memcpy(&value, buffer + i * c.width, c.width);
            EXPECT_EQ(value, c.values[i]) << "element " << i;
        }
        // Nothing beyond the elements is stored.
        EXPECT_EQ(buffer[c.count * c.width], 0xEE);
    }
}

TEST_F(pciMemoryBar, NarrowWritesMergeIntoTheWordAsRead)
{
    struct Case {
        const char* name;
        int width;
        unsigned long offset;
        uint64_t value;
        uint32_t merged; // the word at offset 4 afterwards
    };
    const Case cases[] = {
        {"high half", 2, 6, 0x1234, 0x1234BBBB},
        {"low half", 2, 4, 0x1234, 0xAAAA1234},
        {"byte 1", 1, 5, 0x12, 0xAAAA12BB},
        {"byte 3", 1, 7, 0x12, 0x12AABBBB},
        {"byte 0", 1, 4, 0x12, 0xAAAABB12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        poke32(4, 0xAAAABBBB);
        vdlsim_log_clear();
        EXPECT_EQ(m_bar->writes(c.offset, reinterpret_cast<unsigned char*>(
                                    const_cast<uint64_t*>(&c.value)),
                                c.width, 1),
                  1);
        EXPECT_EQ(commands(),
                  (std::vector<Command>{{kRead32, 4, 0xAAAABBBB, 0}, {kWrite32, 4, c.merged, 0}}));
        EXPECT_EQ(peek32(4), c.merged);
    }
}

TEST_F(pciMemoryBar, WideWritesAreOneRequestPerElement)
{
    unsigned int words[2] = {0x11111111, 0x22222222};
    EXPECT_EQ(m_bar->write32s(0x40, words, 2), 2);
    unsigned long dword = 0x0123456789ABCDEF;
    EXPECT_EQ(m_bar->write64s(0x48, &dword, 1), 1);
    EXPECT_EQ(commands(), (std::vector<Command>{{kWrite32, 0x40, 0x11111111, 0},
                                                {kWrite32, 0x44, 0x22222222, 0},
                                                {kWrite64, 0x48, 0x0123456789ABCDEF, 0}}));
    EXPECT_EQ(peek32(0x44), 0x22222222u);
    EXPECT_EQ(peek32(0x4C), 0x01234567u);
}

TEST_F(pciMemoryBar, AFailedWordIsLoggedAndSkippedAndTheLoopGoesOn)
{
    poke32(0x108, 0x33);
    poke32(0x10C, 0x44);
    failNext(kRead32, 0x104);
    vdltest::LogCapture log(LOGGER_PCI);
    unsigned int words[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(m_bar->read32s(0x100, words, 4), 3);
    EXPECT_EQ(log.at("error"), Strings{"PCI bar could not read from offset 0x00000000000104"});
    const auto sent = commands();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1].result, -1);
    EXPECT_EQ(sent[3].address, 0x10Cu);
    EXPECT_EQ(words[2], 0x33u);
    EXPECT_EQ(words[3], 0x44u);
}

// Every width whose single driver request fails gives 0 for the element,
// after one error line that names the requested offset.
TEST_F(pciMemoryBar, FailedRequestsOfEveryWidth)
{
    struct Case {
        const char* name;
        bool write;
        int width;
        unsigned long offset;
        uint32_t failing;
        uint64_t failingAt;
        const char* line;
    };
    const Case cases[] = {
        {"read 1", false, 1, 0x203, kRead32, 0x200, "PCI bar could not read from offset 0x00000000000203"},
        {"read 2", false, 2, 0x202, kRead32, 0x200, "PCI bar could not read from offset 0x00000000000202"},
        {"read 4", false, 4, 0x200, kRead32, 0x200, "PCI bar could not read from offset 0x00000000000200"},
        {"read 8", false, 8, 0x208, kRead64, 0x208, "PCI bar could not read from offset 0x00000000000208"},
        {"write 4", true, 4, 0x200, kWrite32, 0x200, "PCI bar could not write to offset 0x00000000000200"},
        {"write 8", true, 8, 0x208, kWrite64, 0x208, "PCI bar could not write to offset 0x00000000000208"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vdlsim_fault_clear();
        failNext(c.failing, c.failingAt);
        vdltest::LogCapture log(LOGGER_PCI);
        alignas(8) unsigned char element[8];
        std::memset(element, 0xEE, sizeof(element));
        const int result = c.write ? m_bar->writes(c.offset, element, c.width, 1)
                                   : m_bar->reads(c.offset, element, c.width, 1);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(log.at("error"), Strings{c.line});
        if (!c.write && c.width < 4) {
            // The narrow element is cut from the preset zero word.
            EXPECT_EQ(element[0], 0);
            EXPECT_EQ(element[c.width], 0xEE);
        }
    }
}

TEST_F(pciMemoryBar, ANarrowWriteWhoseReadFailsLeavesTheWordAlone)
{
    poke32(0x300, 0xAAAABBBB);
    failNext(kRead32, 0x300);
    vdltest::LogCapture log(LOGGER_PCI);
    unsigned short half = 0x1234;
    EXPECT_EQ(m_bar->write16s(0x302, &half, 1), 0);
    EXPECT_EQ(commands().size(), 1u) << "no write after the failed read";
    EXPECT_EQ(peek32(0x300), 0xAAAABBBBu);
    EXPECT_EQ(log.at("error"), (Strings{"PCI bar could not read from offset 0x00000000000300",
                                        "PCI bar could not write to offset 0x00000000000302"}));
    EXPECT_EQ(log.at("debug"), Strings{"Read part of read modify write failed"});
}

TEST_F(pciMemoryBar, ANarrowWriteWhoseWriteFailsIsNotCounted)
{
    failNext(kWrite32, 0x304);
    vdltest::LogCapture log(LOGGER_PCI);
    unsigned char bytes[2] = {0x12, 0x34};
    EXPECT_EQ(m_bar->write8s(0x305, bytes, 2), 1);
    EXPECT_EQ(log.at("error"), (Strings{"PCI bar could not write to offset 0x00000000000304",
                                        "PCI bar could not write to offset 0x00000000000305"}));
    EXPECT_EQ(log.at("debug"), Strings{"Write part of read modify write failed"});
    EXPECT_EQ(peek32(0x304), 0x00340000u) << "the second byte went through";
}

TEST_F(pciMemoryBar, OddHalfWordOffsetsAndOtherWidthsEndTheLoopWithoutARequest)
{
    struct Case {
        const char* name;
        bool write;
        int width;
        unsigned long offset;
        int result;
        Strings errors;
        Strings traces;
    };
    const Case cases[] = {
        {"read16 at 1", false, 2, 1, -8, {"PCI bar could not read from offset 0x00000000000001"},
         {"offset not on 16 bit boundary"}},
        {"write16 at 7", true, 2, 7, -8, {"PCI bar could not write to offset 0x00000000000007"},
         {"offset not on 16 bit boundary"}},
        {"read width 3", false, 3, 0, -6, {"invalid width 3"}, {}},
        {"write width 16", true, 16, 0, -6, {"invalid width 16"}, {}},
        {"read width 0", false, 0, 0, -6, {"invalid width 0"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vdlsim_log_clear();
        vdltest::LogCapture log(LOGGER_PCI);
        alignas(8) unsigned char buffer[64] = {};
        const int result = c.write ? m_bar->writes(c.offset, buffer, c.width, 3)
                                   : m_bar->reads(c.offset, buffer, c.width, 3);
        EXPECT_EQ(result, c.result);
        EXPECT_TRUE(commands().empty());
        EXPECT_EQ(log.at("error"), c.errors);
        EXPECT_EQ(log.at("debug"), c.traces);
        if (!c.traces.empty()) {
            // The trace names the element access it comes from.
            const auto lines = log.entries();
            ASSERT_FALSE(lines.empty());
            const std::string& source = lines[0].source;
            EXPECT_EQ(source.substr(source.rfind(' ') + 1), c.write ? "write" : "read") << source;
        }
    }
}

TEST_F(pciMemoryBar, OffsetsBeyondTheWindowAreLeftToTheDriver)
{
    vdltest::LogCapture log(LOGGER_PCI);
    unsigned int word = 0;
    EXPECT_EQ(m_bar->read32s(kBarSize, &word, 1), 0);
    const auto sent = commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].address, kBarSize);
    EXPECT_EQ(log.at("error"), Strings{"PCI bar could not read from offset 0x00000000010000"});
}

TEST_F(pciMemoryBar, ASuccessfulAccessLogsNothingAtTheDefaultLevel)
{
    vdltest::LogCapture log(LOGGER_PCI);
    VDLLogger<LOGGER_PCI>::_logger->set_level(spdlog::level::info);
    unsigned short half = 7;
    EXPECT_EQ(m_bar->write16s(2, &half, 1), 1);
    EXPECT_EQ(m_bar->read16s(2, &half, 1), 1);
    EXPECT_EQ(log.lines(), Strings{});
}

TEST_F(pciMemoryBar, PhysicalAddressesStopAtTheEndOfTheWindow)
{
    unsigned long phys = 0;
    m_bar->phys_addr(kBarSize - 1, phys);
    EXPECT_EQ(phys, kBarBus + kBarSize - 1);
    m_bar->phys_addr(0, phys);
    EXPECT_EQ(phys, kBarBus);
    EXPECT_RAISES(m_bar->phys_addr(kBarSize, phys), -8,
                  "PCI bar physical address offset 0x00000000010000 was out of range "
                  "0x00000000010000");
    EXPECT_TRUE(commands().empty());
}

TEST_F(pciMemoryBar, RequestsGoToTheHandleGivenLast)
{
    ASSERT_EQ(vdlsim_card_setup(1), 0);
    vdlcard_handle* other = vdlcard_Open(1, VDLCARD_OPEN_FLAGS);
    ASSERT_NE(other, nullptr);
    vdlsim_log_clear();
    m_bar->setHandle(other);
    unsigned int word = 0;
    EXPECT_EQ(m_bar->read32s(0, &word, 1), 1);
    const auto entries = vdltest::simLog();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].card, 1u);
    m_bar->setHandle(m_handle);
    vdlcard_Close(other);
}

} // namespace

// A class derived from VdlpciBar keeps what it overrides: its element access
// runs for every element, and a narrow write merges through its own read and
// write of the aligned word.
TEST_F(pciMemoryBar, ADerivedWindowKeepsItsOwnElementAccess)
{
    class Recording : public VdlpciBar {
    public:
        using VdlpciBar::VdlpciBar;
        int read(unsigned long offset, unsigned char* data, int width) override
        {
            seen.push_back({false, offset, width});
            return VdlpciBar::read(offset, data, width);
        }
        int write(unsigned long offset, unsigned char* data, int width) override
        {
            seen.push_back({true, offset, width});
            return VdlpciBar::write(offset, data, width);
        }
        struct Access {
            bool write;
            unsigned long offset;
            int width;
            bool operator==(const Access& o) const
            {
                return write == o.write && offset == o.offset && width == o.width;
            }
        };
        std::vector<Access> seen;
    };
    Recording bar(m_handle, kBar, kBarBus, kBarSize);
    std::memset(m_memory + 4, 0x77, 4);
    unsigned char byte = 0x12;
    EXPECT_EQ(bar.write8s(5, &byte, 1), 1);
    unsigned int words[2] = {};
    EXPECT_EQ(bar.read32s(0x10, words, 2), 2);
    const std::vector<Recording::Access> expected = {
        {true, 5, 1}, {false, 4, 4}, {true, 4, 4}, {false, 0x10, 4}, {false, 0x14, 4}};
    EXPECT_EQ(bar.seen, expected);
    EXPECT_EQ(peek32(4), 0x77771277u);
}
