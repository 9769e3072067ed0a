// Capability walks, MSI and MSI-X reports, link speed and width, and device
// errors on any configuration space, through the element operations alone.
#include "vdlsdk/VdlpciConfigSpace.hpp"

#include <bitset>

#include <fmt/format.h>

#include "pci_regs.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"

using namespace pci_regs;

namespace {

void requireBuffer(const void* pointer)
{
    if (pointer == nullptr)
        throw VDLException<-5>("A null pointer was passed to the buffer argument");
}

// One flag per byte offset of the space: a walk that comes back to an entry
// it has visited is a loop in the list and ends as not found.
using VisitedOffsets = std::bitset<VdlpciConfigSpace::CONFIG_SPACE_SIZE>;

// One dword of a capability walk. A read that failed tells nothing about the
// list, so it raises with its own code instead of ending the walk as "not
// found": a save would otherwise record an absent block and a later restore
// write it over the live registers. (The bridge's space raises by itself.)
std::uint32_t walkRead(VdlpciConfigSpace& space, unsigned long offset)
{
    std::uint32_t value = ALL_ONES_32;
    const int result = space.read32s(offset, &value, 1);
    if (result < 0) {
        vdl_throw_from_c_error(
            result, fmt::format("could not read PCI capability list at {:#016x}", offset));
        throw VDLException<-1>("could not read PCI capability list at {:#016x}", offset);
    }
    return value;
}

// Bytes from a standard capability's header that the library reads or
// writes, as far as its ID (and for MSI its Message Control) tells them.
unsigned long standardCapLength(unsigned short id, std::uint32_t header)
{
    switch (id) {
    case CAP_ID_PCI_EXPRESS:
        return EXP_LENGTH_USED;
    case CAP_ID_MSIX:
        return MSIX_LENGTH;
    case CAP_ID_MSI:
        return MSI_LENGTH_32 + ((header & MSI_CTRL_64BIT) ? MSI_LENGTH_UPPER_ADDRESS : 0) +
               ((header & MSI_CTRL_PER_VECTOR_MASKING) ? MSI_LENGTH_MASKING : 0);
    default:
        return 4;
    }
}

unsigned long extendedCapLength(unsigned short id)
{
    return id == EXT_CAP_ID_AER ? AER_LENGTH_USED : 4;
}

// A capability whose registers would run past the end of its part of the
// space is malformed: using it would read, and write, registers of whatever
// lies beyond (the extended space, or nothing at all).
bool endsWithin(unsigned long offset, unsigned long length, unsigned long end)
{
    return offset <= end && end - offset >= length;
}

// The capability of a block: found, and with room for the whole block before
// the extended space begins.
unsigned int findCapBlock(VdlpciConfigSpace& space, int id, int count)
{
    unsigned int cap = 0;
    try {
        space.findCaps(static_cast<unsigned short>(id), &cap);
        if (count > 0 &&
            !endsWithin(cap, static_cast<unsigned long>(count) * sizeof(std::uint32_t),
                        CAP_LIST_END))
            throw VDLException<-13>("Could not find PCI caps");
    } catch (const VDLBaseException&) {
        VDL_TRACE(LOGGER_PCI, "PCI capability id {} not found", id);
        throw;
    }
    return cap;
}

} // namespace

VdlpciConfigSpace::VdlpciConfigSpace(void* handle)
    : VdlpciMemorySpace(handle, VDLPCI_MS_CONFIG, CONFIG_SPACE_SIZE)
{
}

VdlpciConfigSpace::~VdlpciConfigSpace() = default;

void VdlpciConfigSpace::findCaps(unsigned short id, unsigned int* offset)
{
    requireBuffer(offset);
    const std::uint32_t value = walkRead(*this, CAPABILITIES_POINTER);
    if (value == ALL_ONES_32)
        throw VDLException<-13>("Could not find PCI caps");

    // 0 is an empty list; anything else below the list's start would take
    // header registers (a BAR, the Cache Line Size) for a capability.
    unsigned int pointer = value & CAPABILITIES_POINTER_MASK;
    if (pointer < CAP_LIST_START)
        throw VDLException<-13>("Could not find PCI caps");

    VisitedOffsets visited;
    while (!visited.test(pointer)) {
        visited.set(pointer);
        const std::uint32_t header = walkRead(*this, pointer);
        if (header == ALL_ONES_32)
            throw VDLException<-3>("Could not find PCI cap");
        *offset = pointer;
        if ((header & CAP_ID_MASK) == id) {
            if (!endsWithin(pointer, standardCapLength(id, header), CAP_LIST_END))
                break;
            return;
        }
        const unsigned int next = (header >> CAP_NEXT_SHIFT) & CAP_NEXT_MASK;
        if (next < CAP_LIST_START)
            break;
        pointer = next;
    }
    throw VDLException<-13>("Could not find PCI caps");
}

void VdlpciConfigSpace::findExtendedCapability(unsigned short id, unsigned int* offset)
{
    requireBuffer(offset);
    unsigned int pointer = EXT_CAP_START;
    VisitedOffsets visited;
    while (!visited.test(pointer)) {
        visited.set(pointer);
        const std::uint32_t header = walkRead(*this, pointer);
        if (header == ALL_ONES_32)
            break;
        *offset = pointer;
        if ((header & EXT_CAP_ID_MASK) == id) {
            if (!endsWithin(pointer, extendedCapLength(id), EXT_CAP_END))
                break;
            return;
        }
        const unsigned int next = (header >> EXT_CAP_NEXT_SHIFT) & EXT_CAP_NEXT_MASK;
        // 0 ends the list; a pointer into the first 256 bytes is no capability.
        if (next < EXT_CAP_START)
            break;
        pointer = next;
    }
    throw VDLException<-13>("Could not find extended capabilities");
}

void VdlpciConfigSpace::linkGenAndWidth(unsigned short offset, int& speed, int& width)
{
    unsigned int cap = 0;
    findCaps(CAP_ID_PCI_EXPRESS, &cap);
    const unsigned long at = cap + offset;
    unsigned short reg = 0;
    // The card's space gives zero for a failed read, which is no link state.
    if (read16s(at, &reg, 1) < 0)
        throw VDLException<-34>("Error reading PCIe link register {:#016x}", at);
    speed = reg & EXP_LINK_SPEED_MASK;
    width = (reg >> EXP_LINK_WIDTH_SHIFT) & EXP_LINK_WIDTH_MASK;
}

void VdlpciConfigSpace::linkCapability(int& speed, int& width)
{
    linkGenAndWidth(EXP_LINK_CAPABILITIES, speed, width);
}

void VdlpciConfigSpace::linkStatus(int& speed, int& width)
{
    linkGenAndWidth(EXP_LINK_STATUS, speed, width);
}

void VdlpciConfigSpace::linkErrors(int& status, int clear)
{
    unsigned int cap = 0;
    findCaps(CAP_ID_PCI_EXPRESS, &cap);
    const unsigned long reg = cap + EXP_DEVICE_STATUS;
    unsigned short value = 0;
    // A status that could not be read must neither pass for "no errors" nor
    // be cleared unseen.
    if (read16s(reg, &value, 1) < 0)
        throw VDLException<-34>("Error reading PCIe Device Status register {:#016x}", reg);
    status = value;
    if (clear != 0) {
        unsigned short all = EXP_DEVICE_STATUS_CLEAR_ALL;
        // Errors still pending must not be reported as cleared.
        if (write16s(reg, &all, 1) < 0)
            throw VDLException<-34>("Error clearing PCIe Device Status register {:#016x}", reg);
    }
}

void VdlpciConfigSpace::msiInfo(bool& enabled, unsigned long& address, unsigned short& data,
                                int& vectors)
{
    unsigned int cap = 0;
    findCaps(CAP_ID_MSI, &cap);
    std::uint32_t control = 0;
    // Zero from a failed read would pass for a disabled MSI with one vector.
    if (read32s(cap, &control, 1) < 0)
        throw VDLException<-34>("Error reading PCI capability id {} at {:#016x}", CAP_ID_MSI, cap);
    // The form read now decides which words are read next.
    if (!endsWithin(cap, standardCapLength(CAP_ID_MSI, control), CAP_LIST_END))
        throw VDLException<-13>("Could not find PCI caps");
    enabled = (control & MSI_CTRL_ENABLE) != 0;

    const std::uint32_t mme = (control >> MSI_CTRL_MME_SHIFT) & MSI_CTRL_MME_MASK;
    if (mme > MSI_MME_MAX)
        throw VDLException<-3>("Invalid MSI_MME value {}", mme);
    vectors = 1 << mme;

    // Message Address, then Upper Address in the 64-bit form, then Data.
    std::uint32_t words[3] = {0, 0, 0};
    const int count = (control & MSI_CTRL_64BIT) ? 3 : 2;
    if (read32s(cap + MSI_MESSAGE_ADDRESS, words, count) < 0)
        throw VDLException<-34>("Error reading PCI capability id {} at {:#016x}", CAP_ID_MSI, cap);
    if (count == 3) {
        address = (static_cast<unsigned long>(words[1]) << 32) | words[0];
        data = static_cast<unsigned short>(words[2] & MSI_DATA_MASK);
    } else {
        address = words[0];
        data = static_cast<unsigned short>(words[1] & MSI_DATA_MASK);
    }
}

void VdlpciConfigSpace::msixInfo(msix_info* info)
{
    requireBuffer(info);
    unsigned int cap = 0;
    findCaps(CAP_ID_MSIX, &cap);
    std::uint32_t d[MSIX_DWORDS] = {0, 0, 0};
    if (read32s(cap, d, MSIX_DWORDS) < 0)
        throw VDLException<-34>("Error reading PCI capability id {} at {:#016x}", CAP_ID_MSIX, cap);

    info->tableSize = ((d[0] >> MSIX_CTRL_TABLE_SIZE_SHIFT) & MSIX_CTRL_TABLE_SIZE_MASK) + 1;
    info->enabled = (d[0] & MSIX_CTRL_ENABLE) != 0;
    info->functionMask = (d[0] & MSIX_CTRL_FUNCTION_MASK) != 0;
    info->tableBir = static_cast<std::uint8_t>(d[1] & MSIX_BIR_MASK);
    info->tableOffset = d[1] & ~MSIX_BIR_MASK;
    info->pbaBir = static_cast<std::uint8_t>(d[2] & MSIX_BIR_MASK);
    info->pbaOffset = d[2] & ~MSIX_BIR_MASK;
}

void VdlpciConfigSpace::readPciCapRegisters(int id, unsigned int* buffer, int count)
{
    const unsigned int cap = findCapBlock(*this, id, count);
    // The block is saved and later written back: words that were never read
    // must not be taken for the registers' contents.
    if (read32s(cap, buffer, count) < 0)
        throw VDLException<-34>("Error reading PCI capability id {} at {:#016x}", id, cap);
}

void VdlpciConfigSpace::writePciCapRegisters(int id, unsigned int* buffer, int count)
{
    const unsigned int cap = findCapBlock(*this, id, count);
    if (write32s(cap, buffer, count) < 0)
        throw VDLException<-34>("Error writing PCI capability id {} at {:#016x}", id, cap);
}
