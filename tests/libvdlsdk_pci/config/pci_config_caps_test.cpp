// Capability walks, MSI, MSI-X, link speed and width, and device errors of
// the configuration-space base, on real dumps loaded into the stand-in and on
// small hand-made lists.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "config_test_support.hpp"
#include "vdlsdk/VdlpciLinuxConfigSpace.hpp"
#include "vdlsdk/VdlpciUpstreamBridgeConfigSpace.hpp"

using namespace cfgtest;

namespace {

constexpr unsigned NOT_FOUND = 0xDEAD;
constexpr unsigned short CAP_MSI = 0x05;
constexpr unsigned short CAP_EXP = 0x10;
constexpr unsigned short CAP_MSIX = 0x11;
constexpr unsigned short ECAP_AER = 0x0001;

// What `lspci -F FILE -vvv` decodes for one function of a dump. A capability
// offset of NOT_FOUND means lspci lists no such capability.
struct DumpCase {
    const char* file;
    const char* function;
    unsigned msi, exp, msix, aer;
    bool msiEnabled;
    unsigned long msiAddress;
    unsigned short msiData;
    int msiVectors;
    msix_info msixInfo;
    int capSpeed, capWidth, staSpeed, staWidth;
    int devsta;
};

const DumpCase DUMPS[] = {
    // 64-bit MSI, MSI-X with its table and PBA in BAR 3, errors pending in DevSta.
    {"cap-pcie-2", "01:00.0", 0x50, 0xa0, 0x70, 0x100, false, 0, 0, 1,
     {1, 0, 10, 3, 0, 3, 0x2000}, 1, 4, 1, 4, /* CorrErr+ UnsupReq+ AuxPwr+ */ 0x19},
    // A root port: 32-bit MSI at a non-zero address, no MSI-X, trained below capability.
    {"cap-pcie-1", "00:01.0", 0x60, 0x90, NOT_FOUND, 0x100, false, 0x20, 0, 1, {}, 2, 4, 1, 4,
     0},
    // MSI-X with 256 entries; AER behind two other extended capabilities.
    {"cap-aer-root", "03:00.0", NOT_FOUND, 0x60, 0x9c, 0x154, false, 0, 0, 0,
     {1, 0, 256, 0, 0x7c000, 0, 0x7d000}, 3, 8, 3, 8, 0},
    {"cap-aer-root", "00:02.0", 0x60, 0x90, NOT_FOUND, 0x148, false, 0, 0, 1, {}, 3, 8, 3, 8, 0},
    // The PCI Express capability first in the list, MSI enabled.
    {"cap-exp-lnkcap2", "00:1c.0", 0x80, 0x40, NOT_FOUND, 0x100, true, 0xfee00238, 0, 1, {}, 3,
     4, 3, 4, /* AuxPwr+ */ 0x10},
    // Extended list not in address order: AER at 0x420 after 0x128.
    {"cap-exp-lnkcap2", "02:00.0", 0x68, 0x78, NOT_FOUND, 0x420, false, 0, 0, 1, {}, 3, 4, 3, 4,
     /* CorrErr+ UnsupReq+ */ 0x09},
    {"cap-exp-lnkcap2", "08:00.0", 0x88, 0xc0, NOT_FOUND, 0x200, true, 0xfee002b8, 0, 1, {}, 1,
     4, 1, 4, 0x10},
    // Trained at 2.5 GT/s below a 5 GT/s capability.
    {"tree-fsl-p2020", "0002:01:00.0", 0x48, 0x70, 0xc0, 0x100, false, 0, 0, 1,
     {1, 0, 8, 2, 0, 2, 0x1000}, 2, 1, 1, 1, 0},
    {"tree-fsl-p2020", "0000:05:00.0", 0x50, 0x70, NOT_FOUND, 0x100, true, 0xfff41740, 3, 1, {},
     1, 1, 1, 1, 0},
    // Conventional 256-byte space with a list in descending order and no
    // extended space.
    {"cap-MSI-mapping", "0a:01.0", 0x80, 0xb0, NOT_FOUND, NOT_FOUND, false, 0, 0, 1, {}, 1, 16,
     1, 8, 0},
};

// The offset of a capability, or NOT_FOUND when the walk raises its -13.
unsigned findStd(VdlpciConfigSpace& cfg, unsigned short id)
{
    unsigned int offset = NOT_FOUND;
    const auto r = vdltest::raised([&] { cfg.findCaps(id, &offset); });
    EXPECT_TRUE(!r.raised || r.code == -13) << r.message;
    return r.raised ? NOT_FOUND : offset;
}

unsigned findExt(VdlpciConfigSpace& cfg, unsigned short id)
{
    unsigned int offset = NOT_FOUND;
    const auto r = vdltest::raised([&] { cfg.findExtendedCapability(id, &offset); });
    EXPECT_TRUE(!r.raised || r.code == -13) << r.message;
    return r.raised ? NOT_FOUND : offset;
}

// Every field of an MSI-X report, so that two compare in one assertion.
std::string msixText(const msix_info& info)
{
    return fmt::format("enabled {} mask {} size {} table BAR {} at {:#x} PBA BAR {} at {:#x}",
                       info.enabled, info.functionMask, info.tableSize, info.tableBir,
                       info.tableOffset, info.pbaBir, info.pbaOffset);
}

class pciConfigDumps : public pcitest::CardTest {};

TEST_F(pciConfigDumps, ReportsWhatLspciDecodes)
{
    for (const auto& c : DUMPS) {
        SCOPED_TRACE(std::string(c.file) + " " + c.function);
        loadCard(c.file, c.function);
        VdlpciLinuxConfigSpace cfg(m_handle);

        EXPECT_EQ(findStd(cfg, CAP_MSI), c.msi);
        EXPECT_EQ(findStd(cfg, CAP_EXP), c.exp);
        EXPECT_EQ(findStd(cfg, CAP_MSIX), c.msix);
        EXPECT_EQ(findExt(cfg, ECAP_AER), c.aer);

        if (c.msi != NOT_FOUND) {
            bool enabled = !c.msiEnabled;
            unsigned long address = ~0ul;
            unsigned short data = 0xFFFF;
            int vectors = -1;
            cfg.msiInfo(enabled, address, data, vectors);
            EXPECT_EQ(enabled, c.msiEnabled);
            EXPECT_EQ(address, c.msiAddress);
            EXPECT_EQ(data, c.msiData);
            EXPECT_EQ(vectors, c.msiVectors);
        }
        if (c.msix != NOT_FOUND) {
            msix_info info{};
            cfg.msixInfo(&info);
            EXPECT_EQ(msixText(info), msixText(c.msixInfo));
        }
        int speed = -1, width = -1;
        cfg.linkCapability(speed, width);
        EXPECT_EQ(speed, c.capSpeed);
        EXPECT_EQ(width, c.capWidth);
        cfg.linkStatus(speed, width);
        EXPECT_EQ(speed, c.staSpeed);
        EXPECT_EQ(width, c.staWidth);
        int devsta = -1;
        cfg.linkErrors(devsta, 0);
        EXPECT_EQ(devsta, c.devsta);
    }
}

TEST_F(pciConfigDumps, HostileExtendedListEndsAsNotFound)
{
    // The extended space mirrors the first 256 bytes, so the "headers" are
    // identity and BAR words whose next pointers lead around in circles.
    loadCard("broken-ecaps", "00:00.0");
    VdlpciLinuxConfigSpace cfg(m_handle);
    for (unsigned short id : {ECAP_AER, static_cast<unsigned short>(0x0002),
                              static_cast<unsigned short>(0xFFFF)}) {
        vdlsim_log_clear();
        unsigned int offset = NOT_FOUND;
        EXPECT_RAISES(cfg.findExtendedCapability(id, &offset), -13,
                      "Could not find extended capabilities");
        EXPECT_NE(offset, NOT_FOUND);
        // One read per distinct header at most.
        EXPECT_LE(count(VDLSIM_CMD_CFG_READ32), 960u);
        EXPECT_GE(count(VDLSIM_CMD_CFG_READ32), 1u);
    }
    // Its standard list is one non-PCI-Express capability.
    unsigned int offset = NOT_FOUND;
    EXPECT_RAISES(cfg.findCaps(CAP_EXP, &offset), -13, "Could not find PCI caps");
    EXPECT_EQ(offset, 0xc4u);
    bool was = false;
    EXPECT_RAISES(cfg.aerSurpriseEnable(false, was), -13,
                  "could not find PCI capability: PCIE_AER_CAPABILITY_ID");
}

TEST_F(pciConfigDumps, DeviceStatusClearWritesAllOnesAndReportsTheValueBefore)
{
    loadCard("cap-pcie-2", "01:00.0");
    VdlpciLinuxConfigSpace cfg(m_handle);
    constexpr unsigned devsta = 0xa0 + EXP_DEVSTA;

    int status = -1;
    cfg.linkErrors(status, 0);
    EXPECT_EQ(status, 0x19);
    EXPECT_EQ(count(VDLSIM_CMD_CFG_WRITE16), 0u);

    cfg.linkErrors(status, 1);
    EXPECT_EQ(status, 0x19);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_WRITE16), std::vector<std::uint64_t>{devsta});
    EXPECT_EQ(values(VDLSIM_CMD_CFG_WRITE16), std::vector<std::uint64_t>{0xFFFF});
    // The error bits are write-one-to-clear; Aux Power Detected stays.
    cfg.linkErrors(status, 0);
    EXPECT_EQ(status, 0x10);
}

TEST_F(pciConfigDumps, DeviceStatusThatCannotBeClearedIsAFailure)
{
    loadCard("cap-pcie-2", "01:00.0");
    VdlpciLinuxConfigSpace cfg(m_handle);
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE16, EIO, 0xa0 + EXP_DEVSTA);
    int status = -1;
    EXPECT_RAISES(cfg.linkErrors(status, 1), -34,
                  "Error clearing PCIe Device Status register 0x000000000000aa");
    EXPECT_EQ(peek(VDLSIM_SPACE_CARD, 0xa0 + EXP_DEVSTA, 2), 0x19u);
}

TEST_F(pciConfigDumps, DeviceStatusThatCannotBeReadIsNeitherReportedNorCleared)
{
    loadCard("cap-pcie-2", "01:00.0");
    VdlpciLinuxConfigSpace cfg(m_handle);
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ16, EIO, 0xa0 + EXP_DEVSTA);
    int status = -1;
    const auto r = vdltest::raised([&] { cfg.linkErrors(status, 1); });
    EXPECT_EQ(r.code, -34);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(count(VDLSIM_CMD_CFG_WRITE16), 0u);
    EXPECT_EQ(peek(VDLSIM_SPACE_CARD, 0xa0 + EXP_DEVSTA, 2), 0x19u);
}

// ---------------------------------------------------------------------------
// Hand-made standard lists on the default card.

struct StdWalkCase {
    const char* name;
    std::vector<std::pair<unsigned, std::uint32_t>> dwords; // poked over the default image
    unsigned short id;
    int code;               // 0: found
    const char* message;
    unsigned offset;        // found at, or last visited
    std::size_t maxReads;
};

const StdWalkCase STD_WALKS[] = {
    {"last capability of the list is found", {{0x34, 0x40}, {0x40, 0x5001}, {0x50, 0x0010}},
     0x10, 0, "", 0x50, 3},
    {"capability not in the list", {{0x34, 0x40}, {0x40, 0x5001}, {0x50, 0x0010}}, 0x05, -13,
     "Could not find PCI caps", 0x50, 3},
    {"Capabilities Pointer 0", {{0x34, 0x00}}, 0x10, -13, "Could not find PCI caps", NOT_FOUND,
     1},
    {"all ones at 0x34", {{0x34, 0xFFFFFFFF}}, 0x10, -13, "Could not find PCI caps", NOT_FOUND,
     1},
    {"all-ones header further down", {{0x34, 0x40}, {0x40, 0x5001}, {0x50, 0xFFFFFFFF}}, 0x10,
     -3, "Could not find PCI cap", 0x40, 3},
    {"an ID above 0xFF is never found", {{0x34, 0x40}, {0x40, 0x0005}}, 0x105, -13,
     "Could not find PCI caps", 0x40, 2},
    {"pointer only the low byte of 0x34 counts", {{0x34, 0xAABB0040}, {0x40, 0x0010}}, 0x10, 0,
     "", 0x40, 2},
    {"loop back to the first entry", {{0x34, 0x40}, {0x40, 0x5001}, {0x50, 0x4005}}, 0x10, -13,
     "Could not find PCI caps", 0x50, 3},
    {"entry pointing at itself", {{0x34, 0x40}, {0x40, 0x4001}}, 0x10, -13,
     "Could not find PCI caps", 0x40, 2},
    // Below 0x40 lies the header; a Cache Line Size of 0x10 would pass for
    // the PCI Express ID.
    {"Capabilities Pointer into the header", {{0x34, 0x0C}, {0x0C, 0x10}}, 0x10, -13,
     "Could not find PCI caps", NOT_FOUND, 1},
    {"next pointer into the header", {{0x40, 0x0C01}, {0x0C, 0x10}}, 0x10, -13,
     "Could not find PCI caps", 0x40, 2},
    {"next pointer to the header's last dword", {{0x40, 0x3C01}, {0x3C, 0x10}}, 0x10, -13,
     "Could not find PCI caps", 0x40, 2},
};

class pciConfigWalk : public pcitest::CardTest {};

// The card's own space or its bridge's, on the card's handle.
std::unique_ptr<VdlpciConfigSpace> spaceOf(int space, void* handle)
{
    if (space == VDLSIM_SPACE_CARD)
        return std::make_unique<VdlpciLinuxConfigSpace>(handle);
    return std::make_unique<VdlpciUpstreamBridgeConfigSpace>(handle);
}

void expectNoWrites()
{
    for (std::uint32_t write : {VDLSIM_CMD_CFG_WRITE8, VDLSIM_CMD_CFG_WRITE16,
                                VDLSIM_CMD_CFG_WRITE32, VDLSIM_CMD_UP_WRITE8,
                                VDLSIM_CMD_UP_WRITE16, VDLSIM_CMD_UP_WRITE32})
        EXPECT_EQ(count(write), 0u) << std::hex << write;
}

// The dwords around the end of the standard space and at the top of the space.
std::vector<std::uint32_t> edges(int space)
{
    std::vector<std::uint32_t> words;
    for (unsigned offset : {0xF0u, 0xF4u, 0xF8u, 0xFCu, 0x100u, 0x104u, 0x108u, 0x10Cu, 0xFF8u,
                            0xFFCu})
        words.push_back(peek(space, offset));
    return words;
}

TEST_F(pciConfigWalk, StandardListCases)
{
    for (const auto& c : STD_WALKS) {
        SCOPED_TRACE(c.name);
        vdlsim_card_setup(0);
        for (const auto& [offset, value] : c.dwords)
            poke(VDLSIM_SPACE_CARD, offset, 4, value);
        vdlsim_log_clear();
        VdlpciLinuxConfigSpace cfg(m_handle);
        unsigned int offset = NOT_FOUND;
        const auto r = vdltest::raised([&] { cfg.findCaps(c.id, &offset); });
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.message, c.message);
        EXPECT_EQ(offset, c.offset);
        EXPECT_EQ(count(VDLSIM_CMD_CFG_READ32), c.maxReads);
    }
}

TEST_F(pciConfigWalk, LongestPossibleLoopEnds)
{
    // Every dword from 0x40 to 0xFC is an entry, the last pointing back to the first.
    for (unsigned p = 0x40; p < 0x100; p += 4)
        poke(VDLSIM_SPACE_CARD, p, 4, ((p + 4 < 0x100 ? p + 4 : 0x40) << 8) | 0x09);
    poke(VDLSIM_SPACE_CARD, 0x34, 4, 0x40);
    vdlsim_log_clear();
    VdlpciLinuxConfigSpace cfg(m_handle);
    unsigned int offset = 0;
    EXPECT_RAISES(cfg.findCaps(CAP_EXP, &offset), -13, "Could not find PCI caps");
    EXPECT_EQ(offset, 0xFCu);
    EXPECT_EQ(count(VDLSIM_CMD_CFG_READ32), 1u + 48u);
}

// A read that fails is no answer about the list: it raises with the read's
// code, never as "not found", which the saves take for an absent capability.
TEST_F(pciConfigWalk, FailedReadsRaiseTheirOwnCode)
{
    struct Case {
        const char* name;
        unsigned address;
        bool extended;
        const char* message;
        unsigned offset;
    } cases[] = {
        {"capabilities pointer", 0x34, false,
         "could not read PCI capability list at 0x00000000000034", NOT_FOUND},
        {"second header", CARD_MSI, false, "could not read PCI capability list at 0x00000000000050",
         0x40},
        {"first extended header", 0x100, true,
         "could not read PCI capability list at 0x00000000000100", NOT_FOUND},
        {"second extended header", 0x148, true,
         "could not read PCI capability list at 0x00000000000148", 0x100},
    };
    VdlpciLinuxConfigSpace cfg(m_handle);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vdlsim_fault_clear();
        vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, c.address);
        unsigned int offset = NOT_FOUND;
        if (c.extended) {
            EXPECT_RAISES(cfg.findExtendedCapability(0x0003, &offset), -1, c.message);
        } else {
            EXPECT_RAISES(cfg.findCaps(CAP_MSIX, &offset), -1, c.message);
        }
        EXPECT_EQ(offset, c.offset);
    }
}

TEST_F(pciConfigWalk, FailedBridgeReadsRaiseAndAreNotTakenForAMissingAer)
{
    VdlpciUpstreamBridgeConfigSpace bridge(m_handle);
    for (unsigned address : {0x34u, 0x100u}) {
        SCOPED_TRACE(address);
        vdlsim_fault_clear();
        vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_READ32, EIO, address);
        unsigned int offset = NOT_FOUND;
        const auto r = vdltest::raised([&] {
            if (address == 0x34)
                bridge.findCaps(CAP_EXP, &offset);
            else
                bridge.findExtendedCapability(ECAP_AER, &offset);
        });
        EXPECT_EQ(r.code, -34);
        vdlsim_fault_clear();
        vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_READ32, EIO, address);
        bool was = false;
        if (address == 0x100) {
            EXPECT_RAISES(bridge.aerSurpriseEnable(false, was), -34,
                          "Error reading32 upstream PCIe config register 0x00000000000100");
            EXPECT_EQ(peek(VDLSIM_SPACE_BRIDGE, BRIDGE_AER + AER_UEMSK) & 0x20u, 0u);
        }
    }
}

// Capability pointers are dword aligned; their two low bits are reserved.
// A function that sets them is walked as if they were clear, as lspci does.
TEST_F(pciConfigWalk, ReservedPointerBitsAreIgnored)
{
    struct Found {
        unsigned msi, exp, msix;
    };
    const auto walk = [&] {
        VdlpciLinuxConfigSpace cfg(m_handle);
        return Found{findStd(cfg, CAP_MSI), findStd(cfg, CAP_EXP), findStd(cfg, CAP_MSIX)};
    };
    for (const auto& c : DUMPS) {
        SCOPED_TRACE(std::string(c.file) + " " + c.function);
        loadCard(c.file, c.function);
        // Set both reserved bits of the pointer at 0x34 and of every next pointer.
        std::vector<unsigned> entries;
        unsigned pointer = peek(VDLSIM_SPACE_CARD, 0x34, 1) & 0xFC;
        while (pointer != 0 && entries.size() < 48) {
            entries.push_back(pointer);
            pointer = peek(VDLSIM_SPACE_CARD, pointer + 1, 1) & 0xFC;
        }
        ASSERT_FALSE(entries.empty());
        poke(VDLSIM_SPACE_CARD, 0x34, 1, peek(VDLSIM_SPACE_CARD, 0x34, 1) | 0x03);
        for (unsigned entry : entries) {
            const unsigned next = peek(VDLSIM_SPACE_CARD, entry + 1, 1);
            if (next != 0)
                poke(VDLSIM_SPACE_CARD, entry + 1, 1, next | 0x03);
        }
        const Found f = walk();
        EXPECT_EQ(f.msi, c.msi);
        EXPECT_EQ(f.exp, c.exp);
        EXPECT_EQ(f.msix, c.msix);
    }

    // An unaligned walk would find the ID 0x12 at 0x43 here (the last byte of
    // the first header).
    vdlsim_card_setup(0);
    poke(VDLSIM_SPACE_CARD, 0x34, 4, 0x43);
    poke(VDLSIM_SPACE_CARD, 0x40, 4, 0x12005001);
    poke(VDLSIM_SPACE_CARD, 0x50, 4, 0x00000010);
    VdlpciLinuxConfigSpace cfg(m_handle);
    EXPECT_EQ(findStd(cfg, 0x12), NOT_FOUND);
    EXPECT_EQ(findStd(cfg, CAP_EXP), 0x50u);
    EXPECT_EQ(findStd(cfg, 0x01), 0x40u);
}

struct ExtWalkCase {
    const char* name;
    std::vector<std::pair<unsigned, std::uint32_t>> dwords;
    unsigned short id;
    int code;
    unsigned offset;
};

const ExtWalkCase EXT_WALKS[] = {
    {"default model: AER first", {}, 0x0001, 0, 0x100},
    {"default model: serial number last", {}, 0x0003, 0, 0x148},
    {"no extended capabilities: all ones at 0x100", {{0x100, 0xFFFFFFFF}}, 0x0001, -13,
     NOT_FOUND},
    {"zero header at 0x100: not found", {{0x100, 0}}, 0x0001, -13, 0x100},
    {"zero header at 0x100: ID 0 is found there", {{0x100, 0}}, 0x0000, 0, 0x100},
    {"all-ones header further down", {{0x100, 0x20010002}, {0x200, 0xFFFFFFFF}}, 0x0001, -13,
     0x100},
    {"loop between two entries", {{0x100, 0x20010002}, {0x200, 0x10010004}}, 0x0001, -13,
     0x200},
    {"entry pointing at itself", {{0x100, 0x10010002}}, 0x0001, -13, 0x100},
    {"ID compared on 16 bits", {{0x100, 0x00010001}}, 0x0001, 0, 0x100},
    // Below 0x100 lies the standard space; a revision of 1 would pass for AER.
    {"next pointer into the first 256 bytes", {{0x100, 0x00810002}, {0x08, 0x12000001}}, 0x0001,
     -13, 0x100},
    {"next pointer to 0xFC", {{0x100, 0x0FC10002}, {0xFC, 0x00000001}}, 0x0001, -13, 0x100},
    // Bits 1:0 of Next are reserved: 0x1F1 and 0x1F3 lead to 0x1F0. Read
    // unaligned, 0x1F1 would give ID 0x0100 and 0x1F3 ID 0.
    {"next pointer with bit 0 set", {{0x100, 0x1F110002}, {0x1F0, 0x00010001}}, 0x0001, 0,
     0x1F0},
    {"next pointer with bits 1:0 set", {{0x100, 0x1F310002}, {0x1F0, 0x00010001}}, 0x0001, 0,
     0x1F0},
    {"next pointer 0x103 is 0x100 again", {{0x100, 0x10310002}}, 0x0001, -13, 0x100},
};

TEST_F(pciConfigWalk, ExtendedListCases)
{
    for (const auto& c : EXT_WALKS) {
        SCOPED_TRACE(c.name);
        vdlsim_card_setup(0);
        for (const auto& [offset, value] : c.dwords)
            poke(VDLSIM_SPACE_CARD, offset, 4, value);
        VdlpciLinuxConfigSpace cfg(m_handle);
        unsigned int offset = NOT_FOUND;
        const auto r = vdltest::raised([&] { cfg.findExtendedCapability(c.id, &offset); });
        EXPECT_EQ(r.code, c.code);
        if (c.code != 0) {
            EXPECT_EQ(r.message, "Could not find extended capabilities");
        }
        EXPECT_EQ(offset, c.offset);
    }
}

// A malformed card or bridge whose lists point into the header: every
// operation that writes a capability's register finds no capability and
// writes nothing, on either kind of space.
TEST_F(pciConfigWalk, NothingIsWrittenOutsideACapability)
{
    // PM's Next is 0x0C, whose Cache Line Size reads as the PCI Express ID;
    // AER's Next is 0x008, whose revision reads as the AER ID.
    const std::vector<std::pair<unsigned, std::uint32_t>> trap = {
        {0x0C, 0x10}, {0x40, 0x0C01}, {0x08, 0x06040001}, {0x100, 0x00810002}};
    struct Operation {
        const char* name;
        std::function<void(VdlpciConfigSpace&)> run;
        const char* message;
    };
    const Operation operations[] = {
        {"linkErrors", [](VdlpciConfigSpace& s) { int v = 0; s.linkErrors(v, 1); },
         "Could not find PCI caps"},
        {"linkEnable", [](VdlpciConfigSpace& s) { s.linkEnable(false); }, "Could not find PCI caps"},
        {"linkRetrain", [](VdlpciConfigSpace& s) { s.linkRetrain(false); },
         "Could not find PCI caps"},
        {"writePciCapRegisters",
         [](VdlpciConfigSpace& s) {
             unsigned int words[4] = {~0u, ~0u, ~0u, ~0u};
             s.writePciCapRegisters(CAP_EXP, words, 4);
         },
         "Could not find PCI caps"},
        {"aerSurpriseEnable", [](VdlpciConfigSpace& s) { bool was = false; s.aerSurpriseEnable(false, was); },
         "could not find PCI capability: PCIE_AER_CAPABILITY_ID"},
    };
    for (int space : {VDLSIM_SPACE_CARD, VDLSIM_SPACE_BRIDGE}) {
        SCOPED_TRACE(space == VDLSIM_SPACE_CARD ? "card" : "bridge");
        for (const auto& [offset, value] : trap)
            poke(space, offset, 4, value);
        std::vector<std::uint32_t> header;
        for (unsigned offset = 0; offset < 0x40; offset += 4)
            header.push_back(peek(space, offset));
        const auto cfg = spaceOf(space, m_handle);
        vdlsim_log_clear();
        for (const auto& op : operations) {
            SCOPED_TRACE(op.name);
            EXPECT_RAISES(op.run(*cfg), -13, op.message);
        }
        int speed = -1, width = -1;
        EXPECT_RAISES(cfg->linkStatus(speed, width), -13, "Could not find PCI caps");
        EXPECT_EQ(speed, -1);
        expectNoWrites();
        for (unsigned offset = 0; offset < 0x40; offset += 4)
            EXPECT_EQ(peek(space, offset), header[offset / 4]) << offset;
    }
}

// A capability is found only when the registers the library uses of it end
// at or before the end of its part of the space (0x100 standard, 0x1000
// extended): just inside is found, a dword further is not, on both spaces.
TEST_F(pciConfigWalk, CapabilitiesMustEndInsideTheirSpace)
{
    constexpr std::uint32_t MSI_64 = 1u << 23;
    constexpr std::uint32_t MSI_MASKING = 1u << 24;
    struct Case {
        const char* name;
        unsigned at;
        std::uint32_t header; // Next 0
        unsigned short id;
        bool extended;
        bool found;
    } const cases[] = {
        {"PCI Express through Link Status at 0xEC", 0xEC, 0x10, CAP_EXP, false, true},
        {"PCI Express at 0xF0", 0xF0, 0x10, CAP_EXP, false, false},
        {"PCI Express at PM's Next 0xFC", 0xFC, 0x10, CAP_EXP, false, false},
        {"MSI-X at 0xF4", 0xF4, 0x11, CAP_MSIX, false, true},
        {"MSI-X at 0xF8", 0xF8, 0x11, CAP_MSIX, false, false},
        {"32-bit MSI at 0xF4", 0xF4, 0x05, CAP_MSI, false, true},
        {"32-bit MSI at 0xF8", 0xF8, 0x05, CAP_MSI, false, false},
        {"64-bit MSI at 0xF0", 0xF0, 0x05 | MSI_64, CAP_MSI, false, true},
        {"64-bit MSI at 0xF4", 0xF4, 0x05 | MSI_64, CAP_MSI, false, false},
        {"32-bit MSI with masking at 0xEC", 0xEC, 0x05 | MSI_MASKING, CAP_MSI, false, true},
        {"32-bit MSI with masking at 0xF0", 0xF0, 0x05 | MSI_MASKING, CAP_MSI, false, false},
        {"64-bit MSI with masking at 0xE8", 0xE8, 0x05 | MSI_64 | MSI_MASKING, CAP_MSI, false,
         true},
        {"64-bit MSI with masking at 0xEC", 0xEC, 0x05 | MSI_64 | MSI_MASKING, CAP_MSI, false,
         false},
        {"AER through its mask at 0xFF4", 0xFF4, 0x00010001, ECAP_AER, true, true},
        {"AER at 0xFF8", 0xFF8, 0x00010001, ECAP_AER, true, false},
        {"AER at 0xFFC", 0xFFC, 0x00010001, ECAP_AER, true, false},
    };
    for (int space : {VDLSIM_SPACE_CARD, VDLSIM_SPACE_BRIDGE}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(fmt::format("{} of the {}", c.name,
                                     space == VDLSIM_SPACE_CARD ? "card" : "bridge"));
            vdlsim_card_setup(0);
            if (c.extended) {
                poke(space, 0x100, 4, (c.at << 20) | 0x00010002);
            } else {
                poke(space, 0x34, 4, 0x40);
                poke(space, 0x40, 4, (c.at << 8) | 0x01);
            }
            poke(space, c.at, 4, c.header);
            const auto cfg = spaceOf(space, m_handle);
            unsigned int offset = NOT_FOUND;
            const auto r = vdltest::raised([&] {
                if (c.extended)
                    cfg->findExtendedCapability(c.id, &offset);
                else
                    cfg->findCaps(c.id, &offset);
            });
            EXPECT_EQ(r.code, c.found ? 0 : -13);
            if (!c.found) {
                EXPECT_EQ(r.message, c.extended ? "Could not find extended capabilities"
                                                : "Could not find PCI caps");
            }
        }
    }
}

// On a card or bridge whose capabilities run past the end of their space,
// nothing reads or writes beyond it: every operation finds no capability.
TEST_F(pciConfigWalk, NothingIsWrittenPastTheEndOfACapabilitySpace)
{
    constexpr std::uint32_t MSI_64 = 1u << 23;
    struct Operation {
        const char* name;
        std::vector<std::pair<unsigned, std::uint32_t>> dwords;
        std::function<void(VdlpciConfigSpace&)> run;
        const char* message;
    };
    // PM at 0x40 leads to the capability under test.
    const auto standardAt = [](unsigned at, std::uint32_t header) {
        return std::vector<std::pair<unsigned, std::uint32_t>>{
            {0x34, 0x40}, {0x40, (at << 8) | 0x01}, {at, header}};
    };
    const Operation operations[] = {
        {"linkErrors with clear, PCI Express at 0xFC", standardAt(0xFC, 0x10),
         [](VdlpciConfigSpace& s) { int v = 0; s.linkErrors(v, 1); }, "Could not find PCI caps"},
        {"linkEnable, PCI Express at 0xF0", standardAt(0xF0, 0x10),
         [](VdlpciConfigSpace& s) { s.linkEnable(false); }, "Could not find PCI caps"},
        {"linkRetrain, PCI Express at 0xF0", standardAt(0xF0, 0x10),
         [](VdlpciConfigSpace& s) { s.linkRetrain(false); }, "Could not find PCI caps"},
        {"PCI Express block, at 0xFC", standardAt(0xFC, 0x10),
         [](VdlpciConfigSpace& s) {
             unsigned int words[3] = {~0u, ~0u, ~0u};
             s.writePciCapRegisters(CAP_EXP, words, 3);
         },
         "Could not find PCI caps"},
        // The 32-bit form itself ends at 0x100; the saved block of four dwords would not.
        {"MSI block, 32-bit MSI at 0xF4", standardAt(0xF4, 0x05),
         [](VdlpciConfigSpace& s) {
             unsigned int words[4] = {~0u, ~0u, ~0u, ~0u};
             s.writePciCapRegisters(CAP_MSI, words, 4);
         },
         "Could not find PCI caps"},
        {"msiInfo, 64-bit MSI at 0xF4", standardAt(0xF4, 0x05 | MSI_64),
         [](VdlpciConfigSpace& s) {
             bool enabled = false;
             unsigned long address = 0;
             unsigned short data = 0;
             int vectors = 0;
             s.msiInfo(enabled, address, data, vectors);
         },
         "Could not find PCI caps"},
        {"aerSurpriseEnable, AER at 0xFF8", {{0x100, 0xFF810002}, {0xFF8, 0x00010001}},
         [](VdlpciConfigSpace& s) { bool was = false; s.aerSurpriseEnable(false, was); },
         "could not find PCI capability: PCIE_AER_CAPABILITY_ID"},
    };
    for (int space : {VDLSIM_SPACE_CARD, VDLSIM_SPACE_BRIDGE}) {
        for (const auto& op : operations) {
            SCOPED_TRACE(fmt::format("{} of the {}", op.name,
                                     space == VDLSIM_SPACE_CARD ? "card" : "bridge"));
            vdlsim_card_setup(0);
            for (const auto& [offset, value] : op.dwords)
                poke(space, offset, 4, value);
            // The registers just past 0x100 (AER's Uncorrectable Error Status
            // is write-one-to-clear) and those at the top of the space.
            poke(space, 0x104, 4, 0x00000020);
            const std::vector<std::uint32_t> before = edges(space);
            const auto cfg = spaceOf(space, m_handle);
            vdlsim_log_clear();
            EXPECT_RAISES(op.run(*cfg), -13, op.message);
            expectNoWrites();
            EXPECT_EQ(edges(space), before);
        }
    }
}

// ---------------------------------------------------------------------------
// MSI, MSI-X and link registers set by hand on the default card.

class pciConfigReports : public pcitest::CardTest {};

TEST_F(pciConfigReports, MsiForms)
{
    constexpr std::uint32_t MSI_ON = 1u << 16;
    constexpr std::uint32_t MSI_64 = 1u << 23;
    struct Case {
        const char* name;
        std::uint32_t control, w1, w2, w3;
        unsigned long address;
        unsigned short data;
        int vectors;
        bool enabled;
    } cases[] = {
        {"64-bit, upper address 1, no bit masked", MSI_ON | (5u << 20) | MSI_64, 0xFEE00003, 1,
         0xFFFF4321, 0x1FEE00003ul, 0x4321, 32, true},
        {"32-bit: data in the dword at +8", MSI_ON | (2u << 20), 0xFEE01000, 0xABCD1234, 0x5555,
         0xFEE01000ul, 0x1234, 4, true},
        {"disabled, 8 capable, 1 enabled", 3u << 17, 0x10, 0x20, 0x30, 0x10, 0x20, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        poke(VDLSIM_SPACE_CARD, CARD_MSI, 4,
             (peek(VDLSIM_SPACE_CARD, CARD_MSI) & 0xFF00) | CAP_MSI | c.control);
        poke(VDLSIM_SPACE_CARD, CARD_MSI + 4, 4, c.w1);
        poke(VDLSIM_SPACE_CARD, CARD_MSI + 8, 4, c.w2);
        poke(VDLSIM_SPACE_CARD, CARD_MSI + 12, 4, c.w3);
        VdlpciLinuxConfigSpace cfg(m_handle);
        bool enabled = !c.enabled;
        unsigned long address = 0;
        unsigned short data = 0;
        int vectors = 0;
        cfg.msiInfo(enabled, address, data, vectors);
        EXPECT_EQ(enabled, c.enabled);
        EXPECT_EQ(address, c.address);
        EXPECT_EQ(data, c.data);
        EXPECT_EQ(vectors, c.vectors);
    }
}

TEST_F(pciConfigReports, MsiMultipleMessageEnableAboveFiveIsRefused)
{
    const std::uint32_t next = peek(VDLSIM_SPACE_CARD, CARD_MSI) & 0xFF00;
    for (std::uint32_t mme : {6u, 7u}) {
        poke(VDLSIM_SPACE_CARD, CARD_MSI, 4, next | 0x05 | (1u << 16) | (mme << 20));
        VdlpciLinuxConfigSpace cfg(m_handle);
        bool enabled = false;
        unsigned long address = 77;
        unsigned short data = 88;
        int vectors = 99;
        EXPECT_RAISES(cfg.msiInfo(enabled, address, data, vectors), -3,
                      "Invalid MSI_MME value " + std::to_string(mme));
        EXPECT_TRUE(enabled);
        EXPECT_EQ(address, 77u);
        EXPECT_EQ(data, 88u);
        EXPECT_EQ(vectors, 99);
    }
}

TEST_F(pciConfigReports, MsixFields)
{
    struct Case {
        std::uint32_t d0, d1, d2;
        msix_info expected;
    } cases[] = {
        {0x00000011, 0x13, 0x0000080A, {0, 0, 1, 3, 0x10, 2, 0x808}},
        {0x87FF0011, 0xFFFFFFFF, 0xFFFFFFF8, {1, 0, 2048, 7, 0xFFFFFFF8, 0, 0xFFFFFFF8}},
        {0x40000011, 0, 5, {0, 1, 1, 0, 0, 5, 0}},
    };
    const std::uint32_t next = peek(VDLSIM_SPACE_CARD, CARD_MSIX) & 0xFF00;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.d0);
        poke(VDLSIM_SPACE_CARD, CARD_MSIX, 4, c.d0 | next);
        poke(VDLSIM_SPACE_CARD, CARD_MSIX + 4, 4, c.d1);
        poke(VDLSIM_SPACE_CARD, CARD_MSIX + 8, 4, c.d2);
        VdlpciLinuxConfigSpace cfg(m_handle);
        msix_info info{};
        cfg.msixInfo(&info);
        EXPECT_EQ(msixText(info), msixText(c.expected));
    }
}

TEST_F(pciConfigReports, LinkSpeedAndWidthAreTheRawFields)
{
    poke(VDLSIM_SPACE_CARD, CARD_EXP + EXP_LNKSTA, 2, 0x0083);
    poke(VDLSIM_SPACE_CARD, CARD_EXP + EXP_LNKCAP, 2, 0x0104);
    VdlpciLinuxConfigSpace cfg(m_handle);
    int speed = 0, width = 0;
    cfg.linkStatus(speed, width);
    EXPECT_EQ(speed, 3);
    EXPECT_EQ(width, 8);
    cfg.linkCapability(speed, width);
    EXPECT_EQ(speed, 4);
    EXPECT_EQ(width, 16);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_READ16),
              (std::vector<std::uint64_t>{CARD_EXP + EXP_LNKSTA, CARD_EXP + EXP_LNKCAP}));
}

TEST_F(pciConfigReports, MissingCapabilityPassesOutOfEveryReport)
{
    loadCard("cap-vendor-virtio", "00:09.0"); // MSI-X only, no PCI Express, no MSI
    VdlpciLinuxConfigSpace cfg(m_handle);
    int a = 0, b = 0;
    bool enabled = false;
    unsigned long address = 0;
    unsigned short data = 0;
    EXPECT_RAISES(cfg.linkStatus(a, b), -13, "Could not find PCI caps");
    EXPECT_RAISES(cfg.linkCapability(a, b), -13, "Could not find PCI caps");
    EXPECT_RAISES(cfg.linkErrors(a, 1), -13, "Could not find PCI caps");
    EXPECT_RAISES(cfg.msiInfo(enabled, address, data, a), -13, "Could not find PCI caps");
    msix_info info{};
    cfg.msixInfo(&info);
    EXPECT_EQ(info.tableSize, 3u);
    EXPECT_EQ(count(VDLSIM_CMD_CFG_WRITE16), 0u);
}

TEST_F(pciConfigReports, RegistersThatCannotBeReadAreNotReported)
{
    // The card's space gives zero for a failed read: MSI-X "disabled with one
    // entry" or a link of speed and width 0 would pass for what the card holds.
    VdlpciLinuxConfigSpace cfg(m_handle);
    bool enabled = false;
    unsigned long address = 0;
    unsigned short data = 0;
    int vectors = 0, speed = 0, width = 0;
    msix_info info{};
    const auto msi = [&] { cfg.msiInfo(enabled, address, data, vectors); };
    const auto msix = [&] { cfg.msixInfo(&info); };
    const auto status = [&] { cfg.linkStatus(speed, width); };
    const auto capability = [&] { cfg.linkCapability(speed, width); };
    struct Case {
        const char* name;
        std::uint32_t command;
        unsigned address;
        std::uint32_t skip; // the walk reads the header first
        std::function<void()> report;
    } cases[] = {
        {"MSI header", VDLSIM_CMD_CFG_READ32, CARD_MSI, 1, msi},
        {"MSI message address", VDLSIM_CMD_CFG_READ32, CARD_MSI + 4, 0, msi},
        {"MSI-X header", VDLSIM_CMD_CFG_READ32, CARD_MSIX, 1, msix},
        {"MSI-X PBA offset", VDLSIM_CMD_CFG_READ32, CARD_MSIX + 8, 0, msix},
        {"Link Status", VDLSIM_CMD_CFG_READ16, CARD_EXP + EXP_LNKSTA, 0, status},
        {"Link Capabilities", VDLSIM_CMD_CFG_READ16, CARD_EXP + EXP_LNKCAP, 0, capability},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vdlsim_fault_clear();
        vdltest::addFault(VDLSIM_REQ_COMMAND, c.command, EIO, c.address, c.skip);
        address = 77;
        data = 88;
        speed = width = -1;
        info.tableSize = 12345;
        EXPECT_EQ(vdltest::raised(c.report).code, -34);
        EXPECT_EQ(address, 77u);
        EXPECT_EQ(data, 88u);
        EXPECT_EQ(info.tableSize, 12345u);
        EXPECT_EQ(speed, -1);
        EXPECT_EQ(width, -1);
    }
}

TEST_F(pciConfigReports, NullOutPointersAreRefusedBeforeAnyRequest)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    const char* message = "A null pointer was passed to the buffer argument";
    EXPECT_RAISES(cfg.findCaps(CAP_EXP, nullptr), -5, message);
    EXPECT_RAISES(cfg.findExtendedCapability(ECAP_AER, nullptr), -5, message);
    EXPECT_RAISES(cfg.msixInfo(nullptr), -5, message);
    EXPECT_EQ(vdlsim_log_count(), 0u);
}

class pciConfigBlocks : public pcitest::CardTest {};

TEST_F(pciConfigBlocks, ReadAndWriteStartAtTheHeader)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    unsigned int words[4] = {};
    cfg.readPciCapRegisters(CAP_MSI, words, 4);
    for (unsigned i = 0; i < 4; ++i)
        EXPECT_EQ(words[i], peek(VDLSIM_SPACE_CARD, CARD_MSI + 4 * i)) << i;
    EXPECT_EQ(words[0] & 0xFF, CAP_MSI);

    unsigned int message[4] = {words[0] | (1u << 16), 0xFEE00010, 0x1, 0xBEEF};
    cfg.writePciCapRegisters(CAP_MSI, message, 4);
    EXPECT_EQ(addresses(VDLSIM_CMD_CFG_WRITE32),
              (std::vector<std::uint64_t>{CARD_MSI, CARD_MSI + 4, CARD_MSI + 8, CARD_MSI + 12}));
    bool enabled = false;
    unsigned long address = 0;
    unsigned short data = 0;
    int vectors = 0;
    cfg.msiInfo(enabled, address, data, vectors);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(address, 0x1FEE00010ul);
    EXPECT_EQ(data, 0xBEEF);
}

TEST_F(pciConfigBlocks, MissingCapabilityIsTracedAndPassedOn)
{
    loadCard("cap-pcie-1", "00:01.0"); // no MSI-X
    VdlpciLinuxConfigSpace cfg(m_handle);
    vdltest::LogCapture log(LOGGER_PCI);
    unsigned int words[3] = {1, 2, 3};
    EXPECT_RAISES(cfg.readPciCapRegisters(17, words, 3), -13, "Could not find PCI caps");
    EXPECT_TRUE(log.has("debug", "PCI capability id 17 not found"));
    log.clear();
    // The full int ID is traced; its low 16 bits are looked up.
    EXPECT_RAISES(cfg.writePciCapRegisters(0x10011, words, 3), -13, "Could not find PCI caps");
    EXPECT_TRUE(log.has("debug", "PCI capability id 65553 not found"));
    EXPECT_EQ(count(VDLSIM_CMD_CFG_WRITE32), 0u);
    EXPECT_EQ(words[0], 1u);
}

TEST_F(pciConfigBlocks, FailedBlockAccessIsReportedNotTakenForData)
{
    VdlpciLinuxConfigSpace cfg(m_handle);
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, CARD_MSI + 8);
    unsigned int words[4] = {};
    EXPECT_EQ(vdltest::raised([&] { cfg.readPciCapRegisters(CAP_MSI, words, 4); }).code, -34);

    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_WRITE32, EIO, CARD_MSI + 4);
    EXPECT_EQ(vdltest::raised([&] { cfg.writePciCapRegisters(CAP_MSI, words, 4); }).code, -34);
}

} // namespace
