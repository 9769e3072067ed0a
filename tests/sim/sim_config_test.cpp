// The simulated configuration spaces: write masks, the bridge-card link, lspci images.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_raw.hpp"
#include "vdltest.hpp"

using namespace simtest;

namespace {

// Default model: card PCI Express capability at 0x70, AER at 0x100; bridge PCI Express
// at 0x60, AER at 0x100.
constexpr unsigned kCardExp = 0x70;
constexpr unsigned kBridgeLinkControl = 0x60 + 0x10;
constexpr unsigned kBridgeLinkStatus = 0x60 + 0x12;
constexpr unsigned kAerUncorStatus = 0x104;
constexpr unsigned kAerUncorMask = 0x108;
constexpr uint32_t kLinkDisable = 0x10;
constexpr uint32_t kRetrainLink = 0x20;
constexpr uint32_t kLinkTraining = 0x0800;
constexpr uint32_t kLinkActive = 0x2000;
constexpr uint32_t kSurpriseDown = 0x20;

class simConfig : public SimCardTest {
protected:
    void SetUp() override
    {
        SimCardTest::SetUp();
        ASSERT_EQ(upstreamDescriptor(fd, up), 0);
    }
    uint32_t card(unsigned offset, unsigned width)
    {
        uint32_t v = 0;
        EXPECT_EQ(cfgRead(fd, offset, width, v), 0);
        return v;
    }
    uint32_t bridge(unsigned offset, unsigned width)
    {
        uint32_t v = 0;
        EXPECT_EQ(upRead(fd, up, offset, width, v), 0);
        return v;
    }
    void setBridge(unsigned offset, unsigned width, uint32_t v)
    {
        EXPECT_EQ(upWrite(fd, up, offset, width, v), 0);
    }
    UpstreamDescriptor up;
};

struct MaskCase {
    const char* what;
    int space;
    unsigned offset;
    unsigned width;
    bool poke;
    uint32_t before; // poked first when `poke`
    uint32_t write;
    uint32_t expect;
};

TEST_F(simConfig, WriteMasksReadOnlyReadWriteAndWriteOneToClear)
{
    const MaskCase cases[] = {
        {"vendor id is read-only", VDLSIM_SPACE_CARD, 0x00, 2, false, 0, 0xFFFF, 0x1F3A},
        {"command keeps only its writable bits", VDLSIM_SPACE_CARD, 0x04, 2, false, 0, 0xFFFF,
         0x0547},
        {"command cleared", VDLSIM_SPACE_CARD, 0x04, 2, false, 0, 0x0000, 0x0000},
        {"status: write 1 clears, capability list bit stays", VDLSIM_SPACE_CARD, 0x06, 2, true,
         0xF910, 0x0100, 0xF810},
        {"status: write 0 changes nothing", VDLSIM_SPACE_CARD, 0x06, 2, true, 0xF910, 0x0000,
         0xF910},
        {"BAR0 sizing: all ones read back the size mask", VDLSIM_SPACE_CARD, 0x10, 4, false, 0,
         0xFFFFFFFF, 0xFFF00000},
        {"absent BAR1 stays 0", VDLSIM_SPACE_CARD, 0x14, 4, false, 0, 0xFFFFFFFF, 0},
        {"BAR4 4 KiB", VDLSIM_SPACE_CARD, 0x20, 4, false, 0, 0xFFFFFFFF, 0xFFFFF000},
        {"byte write reaches one byte only", VDLSIM_SPACE_CARD, 0x3C, 1, false, 0, 0x5A, 0x5A},
        {"interrupt pin is read-only", VDLSIM_SPACE_CARD, 0x3D, 1, false, 0, 0x04, 0x01},
        {"device status errors are write-1-to-clear", VDLSIM_SPACE_CARD, kCardExp + 0x0A, 2, true,
         0x000F, 0x0005, 0x000A},
        {"AER uncorrectable status is write-1-to-clear", VDLSIM_SPACE_CARD, kAerUncorStatus, 4,
         true, 0x00100030, 0x00000010, 0x00100020},
        {"AER uncorrectable mask is read-write", VDLSIM_SPACE_CARD, kAerUncorMask, 4, false, 0,
         0x00000020, 0x00000020},
        {"bridge secondary bus is read-write", VDLSIM_SPACE_BRIDGE, 0x19, 1, false, 0, 0x07,
         0x07},
        {"bridge link status bandwidth bits are write-1-to-clear", VDLSIM_SPACE_BRIDGE,
         kBridgeLinkStatus, 2, true, 0xC083, 0x4000, 0x8083 | kLinkActive},
    };
    for (const MaskCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.poke) {
            ASSERT_EQ(vdlsim_config_poke(0, c.space, c.offset, c.width, c.before), 0);
        }
        if (c.space == VDLSIM_SPACE_CARD) {
            ASSERT_EQ(cfgWrite(fd, c.offset, c.width, c.write), 0);
            EXPECT_EQ(card(c.offset, c.width), c.expect);
        } else {
            setBridge(c.offset, c.width, c.write);
            EXPECT_EQ(bridge(c.offset, c.width), c.expect);
        }
    }
}

TEST_F(simConfig, CustomMasksPerByte)
{
    // A 32-bit register at 0xE0: low byte read-write, byte 1 write-1-to-clear, rest read-only.
    ASSERT_EQ(vdlsim_config_poke(0, VDLSIM_SPACE_CARD, 0xE0, 4, 0x11223344), 0);
    ASSERT_EQ(vdlsim_config_set_masks(0, VDLSIM_SPACE_CARD, 0xE0, 4, 0x000000FF, 0x0000FF00), 0);
    uint8_t rw = 0, w1c = 0;
    ASSERT_EQ(vdlsim_config_get_masks(0, VDLSIM_SPACE_CARD, 0xE1, &rw, &w1c), 0);
    EXPECT_EQ(rw, 0x00);
    EXPECT_EQ(w1c, 0xFF);
    ASSERT_EQ(cfgWrite(fd, 0xE0, 4, 0xFFFF0FAA), 0);
    EXPECT_EQ(card(0xE0, 4), 0x112230AAu);
    // An unaligned 2-byte write over bytes 1 and 2 sees each byte's own mask.
    ASSERT_EQ(cfgWrite(fd, 0xE1, 2, 0xFF30), 0);
    EXPECT_EQ(card(0xE0, 4), 0x112200AAu);
    // A bit cannot be both read-write and write-1-to-clear.
    EXPECT_EQ(vdlsim_config_set_masks(0, VDLSIM_SPACE_CARD, 0xE0, 4, 1, 1), -EINVAL);
}

TEST_F(simConfig, LinkDisableTakesTheCardOffTheBus)
{
    ASSERT_EQ(vdlsim_card_set_bar(0, 0, 4096, 0xF0000000), 0);
    ASSERT_EQ(barWrite32(fd, 0, 0, 0xCAFEF00D), 0);
    uint32_t control = bridge(kBridgeLinkControl, 2);
    EXPECT_EQ(bridge(kBridgeLinkStatus, 2) & kLinkActive, kLinkActive);

    setBridge(kBridgeLinkControl, 2, control | kLinkDisable);
    EXPECT_EQ(vdlsim_link_is_up(0), 0);
    EXPECT_EQ(card(0x00, 4), 0xFFFFFFFFu);
    EXPECT_EQ(card(0x04, 2), 0xFFFFu);
    EXPECT_EQ(card(0x3C, 1), 0xFFu);
    ASSERT_EQ(cfgWrite(fd, 0x3C, 1, 0x42), 0); // dropped
    uint32_t v = 0;
    EXPECT_EQ(barRead32(fd, 0, 0, v), EIO);
    EXPECT_EQ(barWrite32(fd, 0, 0, 1), EIO);
    EXPECT_EQ(bridge(kBridgeLinkStatus, 2) & (kLinkActive | kLinkTraining), 0u);
    // Surprise Down is unmasked in the default bridge: the loss is recorded.
    EXPECT_EQ(bridge(kAerUncorStatus, 4) & kSurpriseDown, kSurpriseDown);
    // The identity requests are served from what the driver knows, link or not.
    uint32_t ids = 0;
    EXPECT_EQ(request(fd, VDLSIM_REQ_IDS, &ids), 0);
    EXPECT_EQ(ids, 0x01001F3Au);

    setBridge(kBridgeLinkControl, 2, control);
    EXPECT_EQ(vdlsim_link_is_up(0), 1);
    EXPECT_EQ(card(0x00, 4), 0x01001F3Au);
    EXPECT_EQ(card(0x3C, 1), 0x00u) << "the write while the link was down must not land";
    ASSERT_EQ(barRead32(fd, 0, 0, v), 0);
    EXPECT_EQ(v, 0xCAFEF00Du);
    // Status bit is write-1-to-clear.
    setBridge(kAerUncorStatus, 4, kSurpriseDown);
    EXPECT_EQ(bridge(kAerUncorStatus, 4) & kSurpriseDown, 0u);
}

TEST_F(simConfig, MaskedSurpriseDownIsNotRecorded)
{
    setBridge(kAerUncorMask, 4, bridge(kAerUncorMask, 4) | kSurpriseDown);
    setBridge(kBridgeLinkControl, 2, bridge(kBridgeLinkControl, 2) | kLinkDisable);
    EXPECT_EQ(vdlsim_link_is_up(0), 0);
    EXPECT_EQ(bridge(kAerUncorStatus, 4), 0u);
    // A surprise loss from outside with the mask clear is recorded as well.
    setBridge(kBridgeLinkControl, 2, bridge(kBridgeLinkControl, 2) & ~kLinkDisable);
    setBridge(kAerUncorMask, 4, 0);
    ASSERT_EQ(vdlsim_link_set_up(0, 0), 0);
    EXPECT_EQ(card(0, 4), 0xFFFFFFFFu);
    EXPECT_EQ(bridge(kAerUncorStatus, 4), kSurpriseDown);
    ASSERT_EQ(vdlsim_link_set_up(0, 1), 0);
    EXPECT_EQ(card(0, 2), 0x1F3Au);
}

TEST_F(simConfig, RetrainShowsLinkTrainingForTheConfiguredReads)
{
    const struct {
        uint32_t reads;
        int expectTraining; // reads that show the bit
    } cases[] = {{0, 0}, {1, 1}, {2, 2}, {5, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reads);
        ASSERT_EQ(vdlsim_link_set_training_reads(0, c.reads), 0);
        uint32_t control = bridge(kBridgeLinkControl, 2);
        setBridge(kBridgeLinkControl, 2, control | kRetrainLink);
        EXPECT_EQ(bridge(kBridgeLinkControl, 2), control) << "Retrain Link reads back 0";
        int training = 0;
        for (int i = 0; i < 8; ++i)
            training += (bridge(kBridgeLinkStatus, 2) & kLinkTraining) ? 1 : 0;
        EXPECT_EQ(training, c.expectTraining);
        // The 4-byte read at Link Control also covers Link Status and counts as one.
    }
    ASSERT_EQ(vdlsim_link_set_training_reads(0, UINT32_MAX), 0);
    setBridge(kBridgeLinkControl, 2, kRetrainLink);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(bridge(kBridgeLinkStatus, 2) & kLinkTraining);
    // Peeking does not count.
    ASSERT_EQ(vdlsim_link_set_training_reads(0, 1), 0);
    setBridge(kBridgeLinkControl, 2, kRetrainLink);
    uint32_t peeked = 0;
    ASSERT_EQ(vdlsim_config_peek(0, VDLSIM_SPACE_BRIDGE, kBridgeLinkStatus, 2, &peeked), 0);
    EXPECT_TRUE(peeked & kLinkTraining);
    EXPECT_TRUE(bridge(kBridgeLinkControl, 4) & (kLinkTraining << 16));
    EXPECT_FALSE(bridge(kBridgeLinkStatus, 2) & kLinkTraining);
}

TEST_F(simConfig, EnablingTheLinkTrainsAndResetOnDownClearsTheCard)
{
    ASSERT_EQ(vdlsim_link_set_reset_on_down(0, 1), 0);
    ASSERT_EQ(vdlsim_link_set_training_reads(0, 1), 0);
    ASSERT_EQ(cfgWrite(fd, 0x10, 4, 0xF0000000), 0);
    ASSERT_EQ(card(0x04, 2), 0x0006u);
    setBridge(kBridgeLinkControl, 2, kLinkDisable);
    setBridge(kBridgeLinkControl, 2, 0);
    EXPECT_TRUE(bridge(kBridgeLinkStatus, 2) & kLinkTraining);
    EXPECT_FALSE(bridge(kBridgeLinkStatus, 2) & kLinkTraining);
    EXPECT_EQ(card(0x10, 4), 0u) << "BAR lost by the reset";
    EXPECT_EQ(card(0x04, 2), 0u) << "Command lost by the reset";
    EXPECT_EQ(card(0x00, 4), 0x01001F3Au);
}

TEST_F(simConfig, NoBridgeRefusesUpstreamRequestsAndKeepsTheLinkUp)
{
    ASSERT_EQ(vdlsim_bridge_set_present(0, 0), 0);
    UpstreamDescriptor d;
    EXPECT_EQ(upstreamDescriptor(fd, d), ENODEV);
    uint32_t v;
    EXPECT_EQ(upRead(fd, up, 0, 4, v), ENODEV);
    EXPECT_EQ(vdlsim_link_is_up(0), 1);
    EXPECT_EQ(card(0, 2), 0x1F3Au);
}

TEST_F(simConfig, UpstreamDescriptorCarriesTheBridgeIds)
{
    uint16_t vendor, device;
    std::memcpy(&vendor, up.bytes + 8, 2);
    std::memcpy(&device, up.bytes + 10, 2);
    EXPECT_EQ(vendor, 0x1F3A);
    EXPECT_EQ(device, 0x0200);
    EXPECT_EQ(bridge(0, 4), 0x02001F3Au);
}

// ---------------------------------------------------------------------------
// lspci images

std::string dumpPath(const char* name) { return std::string(VDLSIM_PCI_DUMPS) + "/" + name; }

std::string run(const std::string& command)
{
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

// The bytes lspci itself reads from a dump: its own -xxxx output parsed.
std::vector<uint8_t> lspciBytes(const std::string& file, const std::string& function)
{
    std::string out = run("lspci -F " + file + " -s " + function + " -xxxx 2>/dev/null");
    std::vector<uint8_t> bytes;
    std::istringstream in(out);
    std::string line;
    std::regex hexLine("^([0-9a-f]{2,3}):((?: [0-9a-f]{2})+)$");
    std::smatch m;
    while (std::getline(in, line)) {
        if (!std::regex_match(line, m, hexLine))
            continue;
        size_t offset = std::stoul(m[1], nullptr, 16);
        std::istringstream b(m[2]);
        for (std::string x; b >> x;) {
            if (bytes.size() < offset + 1)
                bytes.resize(offset + 1);
            bytes[offset++] = uint8_t(std::stoul(x, nullptr, 16));
        }
    }
    return bytes;
}

struct DumpCase {
    const char* file;
    const char* function; // as lspci -s takes it
};

TEST_F(simConfig, LoadedImagesMatchWhatLspciReadsFromTheSameDump)
{
    const DumpCase cases[] = {
        {"cap-pcie-2", "01:00.0"},         {"cap-MSI-mapping", "0a:01.0"},
        {"cap-aer-root", "00:02.0"},       {"tree-fsl-p2020", "0000:05:00.0"},
        {"tree-fsl-p2020", "0001:02:00.0"}, {"cap-exp-lnkcap2", "02:00.0"},
        {"broken-ecaps", "00:00.0"},
    };
    for (const DumpCase& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.function);
        std::string file = dumpPath(c.file);
        std::vector<uint8_t> expected = lspciBytes(file, c.function);
        ASSERT_GE(expected.size(), 256u);
        ASSERT_EQ(vdlsim_config_load_lspci_file(0, VDLSIM_SPACE_CARD, file.c_str(), c.function),
                  0);
        for (unsigned off = 0; off < 4096; off += 4) {
            uint32_t word = 0;
            ASSERT_EQ(cfgRead(fd, off, 4, word), 0);
            for (unsigned i = 0; i < 4; ++i) {
                uint8_t want = off + i < expected.size() ? expected[off + i] : 0;
                ASSERT_EQ(uint8_t(word >> (8 * i)), want) << "offset " << off + i;
            }
        }
        // Identity through request 2 as lspci -n decodes it.
        std::string ids = run("lspci -F " + file + " -s " + c.function + " -n 2>/dev/null");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(ids, m, std::regex(" ([0-9a-f]{4}):([0-9a-f]{4})")));
        uint32_t word = 0;
        ASSERT_EQ(request(fd, VDLSIM_REQ_IDS, &word), 0);
        EXPECT_EQ(word & 0xFFFF, std::stoul(m[1], nullptr, 16));
        EXPECT_EQ(word >> 16, std::stoul(m[2], nullptr, 16));
    }
}

TEST_F(simConfig, LinkStatusAndMsixOfALoadedImageAsLspciDecodesThem)
{
    const std::string file = dumpPath("cap-pcie-2");
    ASSERT_EQ(vdlsim_config_load_lspci_file(0, VDLSIM_SPACE_CARD, file.c_str(), "01:00.0"), 0);
    std::string text = run("lspci -F " + file + " -s 01:00.0 -vvv 2>/dev/null");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("LnkSta:\\s+Speed ([0-9.]+)GT/s[^,]*, Width x([0-9]+)")));
    const double speed = std::stod(m[1]);
    const unsigned width = unsigned(std::stoul(m[2]));
    ASSERT_TRUE(std::regex_search(text, m, std::regex("MSI-X: Enable([+-]) Count=([0-9]+)")));
    const bool msixEnabled = m[1] == "+";
    const unsigned msixCount = unsigned(std::stoul(m[2]));

    unsigned exp = findCap(fd, 0x10);
    ASSERT_NE(exp, 0u);
    uint32_t status = 0;
    ASSERT_EQ(cfgRead(fd, exp + 0x12, 2, status), 0);
    const double speeds[] = {0, 2.5, 5, 8, 16, 32};
    ASSERT_LT(status & 0xF, 6u);
    EXPECT_DOUBLE_EQ(speeds[status & 0xF], speed);
    EXPECT_EQ((status >> 4) & 0x3F, width);
    unsigned msix = findCap(fd, 0x11);
    ASSERT_NE(msix, 0u);
    uint32_t control = 0;
    ASSERT_EQ(cfgRead(fd, msix + 2, 2, control), 0);
    EXPECT_EQ((control & 0x7FF) + 1, msixCount);
    EXPECT_EQ((control & 0x8000) != 0, msixEnabled);
}

// Writes the bridge's image in the text form lspci reads, so lspci can judge it.
std::string writeDump(const std::string& dir, unsigned card, int space)
{
    std::string path = dir + "/dump";
    std::ofstream out(path);
    out << "00:1c.0 PCI bridge: simulated\n";
    for (unsigned line = 0; line < 4096; line += 16) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02x:", line);
        out << buf;
        for (unsigned i = 0; i < 16; ++i) {
            uint32_t v = 0;
            vdlsim_config_peek(card, space, line + i, 1, &v);
            std::snprintf(buf, sizeof buf, " %02x", v);
            out << buf;
        }
        out << "\n";
    }
    return path;
}

TEST_F(simConfig, RealBridgeImageRecordsSurpriseDownAsLspciDecodesIt)
{
    const std::string file = dumpPath("tree-fsl-p2020");
    ASSERT_EQ(vdlsim_config_load_lspci_file(0, VDLSIM_SPACE_BRIDGE, file.c_str(), "0000:04:00.0"),
              0);
    ASSERT_EQ(vdlsim_config_load_lspci_file(0, VDLSIM_SPACE_CARD, file.c_str(), "0000:05:00.0"),
              0);
    ASSERT_EQ(upstreamDescriptor(fd, up), 0);
    uint16_t vendor;
    std::memcpy(&vendor, up.bytes + 8, 2);
    EXPECT_EQ(vendor, 0x1957);
    // This port's capability is at 0x4c and its AER at 0x100.
    const unsigned linkControl = 0x4c + 0x10;
    setBridge(linkControl, 2, bridge(linkControl, 2) | kLinkDisable);
    EXPECT_EQ(card(0, 4), 0xFFFFFFFFu);

    const vdltest::TempDir dumps("sim-dump");
    const std::string& dir = dumps.path();
    std::string text = run("lspci -F " + writeDump(dir, 0, VDLSIM_SPACE_BRIDGE) +
                           " -vvv 2>/dev/null");
    EXPECT_NE(text.find("Disabled+"), std::string::npos) << text;
    EXPECT_NE(text.find("UESta:\tDLP- SDES+"), std::string::npos) << text;

    setBridge(linkControl, 2, bridge(linkControl, 2) & ~kLinkDisable);
    EXPECT_EQ(card(0, 4), 0x003c168cu);
    std::string cleared = run("lspci -F " + writeDump(dir, 0, VDLSIM_SPACE_BRIDGE) +
                              " -vvv 2>/dev/null");
    EXPECT_NE(cleared.find("Disabled-"), std::string::npos);
}

TEST_F(simConfig, LspciTextErrors)
{
    const char* good = "03:00.0 Thing\n00: 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10\n";
    EXPECT_EQ(vdlsim_config_load_lspci_text(0, VDLSIM_SPACE_CARD, good, "04:00.0"), -ENOENT);
    EXPECT_EQ(vdlsim_config_load_lspci_text(0, VDLSIM_SPACE_CARD, "03:00.0 Thing\n\tdecoded\n",
                                            nullptr),
              -EINVAL);
    EXPECT_EQ(vdlsim_config_load_lspci_text(0, VDLSIM_SPACE_CARD,
                                            "03:00.0 X\n00: 01 02 zz 04 05 06 07 08 09 0a 0b "
                                            "0c 0d 0e 0f 10\n",
                                            nullptr),
              -EINVAL);
    EXPECT_EQ(vdlsim_config_load_lspci_text(0, VDLSIM_SPACE_CARD, "03:00.0 X\n00: 01 02 03\n",
                                            nullptr),
              -EINVAL);
    EXPECT_EQ(vdlsim_config_load_lspci_file(0, VDLSIM_SPACE_CARD, "/nonexistent/dump", nullptr),
              -ENOENT);
    // A failed load leaves the image alone.
    EXPECT_EQ(card(0, 4), 0x01001F3Au);
    ASSERT_EQ(vdlsim_config_load_lspci_text(0, VDLSIM_SPACE_CARD, good, "0000:03:00.0"), 0);
    EXPECT_EQ(card(0, 4), 0x04030201u);
    EXPECT_EQ(card(0x100, 4), 0u) << "bytes the dump does not give read 0";
}

} // namespace
