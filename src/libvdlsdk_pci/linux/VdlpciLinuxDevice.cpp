// A card behind the kernel driver's device node.
#include "vdlsdk/VdlpciLinuxDevice.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <fmt/format.h>

#include "pci_regs.hpp"
#include "vdlsdk/VdlpciBar.hpp"
#include "vdlsdk/VdlpciKernelBuffer.hpp"
#include "vdlsdk/VdlpciLib.hpp"
#include "vdlsdk/VdlpciLinuxConfigSpace.hpp"
#include "vdlsdk/VdlpciLockedVirtualMemory.hpp"
#include "vdlsdk/VdlpciUpstreamBridgeConfigSpace.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdl_util.hpp"

namespace {

// BAR0 to BAR5 in the configuration header.
constexpr unsigned long kBarRegisterOffset = 0x10;
constexpr unsigned int kBarAddressMask = ~0xFu;
constexpr unsigned int kBarAllOnes = 0xFFFFFFF0u;

// Link flags.
constexpr unsigned int kLinkRegisters = 0x1;
constexpr unsigned int kLinkAer = 0x2;
constexpr unsigned int kLinkEnable = 0x4;
constexpr unsigned int kLinkDeleteOrRetrain = 0x8;
// Link status flags.
constexpr unsigned int kStatusSaved = 0x3;
constexpr unsigned int kStatusUp = 0x4;

// Identifiers carry the slot in 16 bits.
constexpr std::size_t kMaxSlots = 0x10000;

constexpr int kLogDebug = 1;
constexpr int kLogWarn = 3;

// Whether a port's link is enabled, as isLinkEnabled answers it (and traces
// and logs it, under its name), except that a register that cannot be read
// raises: the link status must not report a link that is down, and the other
// end's speeds, when nobody saw it down. A port that answers but has no PCI
// Express capability is a link that is not enabled.
bool linkEnabledAt(VdlpciConfigSpace& port)
{
    VDL_TRACE_IN(LOGGER_PCI, "isLinkEnabled", "checking if link is enabled");
    unsigned int cap = 0;
    try {
        port.findCaps(pci_regs::CAP_ID_PCI_EXPRESS, &cap);
    } catch (const VDLException<-13>& e) {
        e.log<int>(kLogWarn);
        return false;
    }
    const unsigned long reg = cap + pci_regs::EXP_LINK_CONTROL;
    unsigned short control = pci_regs::ALL_ONES_16;
    const int result = port.read16s(reg, &control, 1);
    if (result < 0) {
        vdl_throw_from_c_error(result,
                               fmt::format("could not read PCIe Link Control at {:#016x}", reg));
        throw VDLException<-1>("could not read PCIe Link Control at {:#016x}", reg);
    }
    return control != pci_regs::ALL_ONES_16 &&
           (control & pci_regs::EXP_LINK_CONTROL_LINK_DISABLE) == 0;
}

// The slot path into `out` (left as it was on failure); the driver's result.
int readSlotPath(vdlcard_handle* handle, std::string& out)
{
    char slot[VDLCARD_SLOT_PATH_SIZE] = {};
    vdlcard_slot_path request{};
    request.buffer = slot;
    request.length = VDLCARD_SLOT_PATH_SIZE;
    const int result = vdlcard_Status(handle, VDLCARD_STATUS_SLOT_PATH, &request);
    if (result == 0)
        out.assign(slot, strnlen(slot, sizeof(slot)));
    return result;
}

} // namespace

VdlpciLinuxDevice::VdlpciLinuxDevice(int cardnum) : VdlpciDevice(cardnum), m_upstream(nullptr) {}

VdlpciLinuxDevice::~VdlpciLinuxDevice()
{
    delete m_upstream;
    m_upstream = nullptr;
    // Buffers go back to the driver through the handle, so it is closed last.
    VdlpciDevice::close();
    closeDriver();
}

void VdlpciLinuxDevice::close() {}

void VdlpciLinuxDevice::location(std::string& out) { out = m_location; }

// A request the driver refused at the opening was warned about there; the
// card has no slot text then.
void VdlpciLinuxDevice::slotUid(std::string& out) { out = m_slotUid; }

vdlcard_handle* VdlpciLinuxDevice::getHandle() { return m_handle; }

bool VdlpciLinuxDevice::hasAccess() const { return vdlcard_has_access(m_index); }

void VdlpciLinuxDevice::openDriver()
{
    if (m_handle != nullptr)
        return;
    m_handle = vdlcard_Open(static_cast<std::uint32_t>(m_index), VDLCARD_OPEN_FLAGS);
    if (m_handle == nullptr)
        throw VDLException<-13>("could not open PCI device");
    if (m_pcicfg != nullptr)
        m_pcicfg->setHandle(m_handle);
    else
        m_pcicfg = new VdlpciLinuxConfigSpace(m_handle);
    if (m_upstream != nullptr)
        m_upstream->setHandle(m_handle);
}

void VdlpciLinuxDevice::closeDriver()
{
    VDL_TRACE(LOGGER_PCI, "closing device");
    if (m_handle != nullptr) {
        vdlcard_Close(m_handle);
        m_handle = nullptr;
    }
}

void VdlpciLinuxDevice::undoOpen()
{
    for (auto& window : m_bars) {
        delete window;
        window = nullptr;
    }
    delete m_pcicfg;
    m_pcicfg = nullptr;
    closeDriver();
}

void VdlpciLinuxDevice::failOpen(int result, const char* message)
{
    undoOpen();
    vdl_throw_from_c_error(result, message);
    // A result outside the kit's codes must not let the opening go on.
    throw VDLException<-1>("{} (driver result {})", message, result);
}

void VdlpciLinuxDevice::openhandle()
{
    openDriver();

    m_barsEnumerated = false;
    vdlcard_bar_query sizes[kBarCount] = {};
    vdlcard_bar_query addresses[kBarCount] = {};
    for (int b = 0; b < kBarCount; ++b) {
        sizes[b].bar = static_cast<std::uint32_t>(b);
        int result = vdlcard_Status(m_handle, VDLCARD_STATUS_BAR_SIZE, &sizes[b]);
        if (result != 0)
            failOpen(result, "Error reading bar size");
        addresses[b].bar = static_cast<std::uint32_t>(b);
        result = vdlcard_Status(m_handle, VDLCARD_STATUS_BAR_ADDRESS, &addresses[b]);
        if (result != 0)
            failOpen(result, "Error reading bar address");
    }

    // A register that cannot be read (the read logs it) stays 0: the card
    // still opens, and with no address seen its BARs are refused with -40
    // while the rest of it works.
    unsigned int registers[kBarCount] = {};
    m_pcicfg->read32s(kBarRegisterOffset, registers, kBarCount);
    for (unsigned int reg : registers) {
        const unsigned int address = reg & kBarAddressMask;
        if (address != 0 && address != kBarAllOnes)
            m_barsEnumerated = true;
    }
    if (!m_barsEnumerated)
        VDL_WARN(LOGGER_PCI, "all BAR addresses are 0 - the FPGA looks to have been reconfigured");

    for (int b = 0; b < kBarCount; ++b)
        m_bars[b] = new VdlpciBar(m_handle, b, addresses[b].value, sizes[b].value);

    std::uint32_t word = 0;
    int result = vdlcard_Status(m_handle, VDLCARD_STATUS_DEVICE_ID, &word);
    if (result != 0)
        failOpen(result, "Error reading PCIe register");
    m_vendorId = static_cast<unsigned short>(word & 0xFFFFu);
    m_deviceId = static_cast<unsigned short>(word >> 16);
    VDL_TRACE(LOGGER_PCI, "PCIe Vendor ID: {:#X}", m_vendorId);
    VDL_TRACE(LOGGER_PCI, "PCIe Device ID: {:#X}", m_deviceId);

    result = vdlcard_Status(m_handle, VDLCARD_STATUS_SUBSYSTEM_ID, &word);
    if (result != 0)
        failOpen(result, "Error reading PCIe register");
    m_subsystemVendorId = static_cast<unsigned short>(word & 0xFFFFu);
    m_subsystemId = static_cast<unsigned short>(word >> 16);

    result = vdlcard_Status(m_handle, VDLCARD_STATUS_LOCATION, &word);
    if (result != 0)
        failOpen(result, "Error reading PCIe register");
    formatLocationString(m_location, static_cast<int>(word >> 16),
                         static_cast<int>((word >> 8) & 0xFFu), static_cast<int>(word & 0xFFu));

    result = readSlotPath(m_handle, m_slotUid);
    if (result != 0)
        VDL_WARN(LOGGER_PCI, "error {} reading slot path", result);

    try {
        m_upstream = new VdlpciUpstreamBridgeConfigSpace(m_handle);
        m_pcieLinkUp = m_upstream->isLinkEnabled();
        if (!m_pcieLinkUp)
            VDL_WARN(LOGGER_PCI, "PCI-e link is disabled");
    } catch (const VDLException<-34>& e) {
        // No bridge above the card: its own configuration space tells the link.
        e.log<int>(kLogDebug);
        m_upstream = nullptr;
        m_pcieLinkUp = m_pcicfg->isLinkEnabled();
    }

    msiInit(m_pcicfg);
}

void VdlpciLinuxDevice::requireConfigSpaces() const
{
    if (m_pcicfg != nullptr && m_upstream != nullptr)
        return;
    if (m_pcicfg == nullptr)
        VDL_ERROR(LOGGER_PCI, "PCI config was not initalized");
    if (m_upstream == nullptr)
        VDL_ERROR(LOGGER_PCI, "Parent PCI config was not initalized");
    throw VDLException<-13>("PCI/Parent PCI Config were not initalized");
}

void VdlpciLinuxDevice::linkSave(unsigned int flags)
{
    requireConfigSpaces();
    if (flags & kLinkDeleteOrRetrain)
        deleteSavedKeys();
    if (flags & kLinkRegisters) {
        saveBarsState(m_pcicfg);
        saveMsiState(m_pcicfg);
        saveDevctlState(m_pcicfg);
    }
    if (flags & kLinkAer) {
        try {
            saveAerSurpriseState(m_upstream);
        } catch (const VDLException<-13>& e) {
            e.log<int>(kLogDebug);
        }
    }
    if (flags & kLinkEnable)
        m_upstream->linkEnable(false);
}

void VdlpciLinuxDevice::linkRestore(unsigned int flags)
{
    requireConfigSpaces();
    if (flags & kLinkEnable)
        m_upstream->linkEnable(true);
    if (flags & kLinkDeleteOrRetrain)
        m_upstream->linkRetrain(true);
    if (flags & kLinkAer)
        restoreAerSurpriseState(m_upstream);
    if (flags & kLinkRegisters) {
        restoreBarsState(m_pcicfg);
        restoreMsiState(m_pcicfg);
        restoreDevctlState(m_pcicfg);
    }
}

void VdlpciLinuxDevice::linkStatus(unsigned int& flags, int& maxSpeed, int& maxWidth,
                                   int& currentSpeed, int& currentWidth)
{
    if (m_upstream == nullptr)
        throw VDLException<-13>("Parent PCI config was not initalized");

    unsigned int saved = 0;
    try {
        std::string value;
        VdlpciLib::getInstance()->getOptions().optionValue(getSavedBarsKeyName(), value);
        unsigned int words[kSavedBarsWords];
        strTo32s(value, ' ', words, kSavedBarsWords);
        saved = kStatusSaved;
    } catch (const VDLBaseException&) {
        saved = 0;
    }

    int capSpeed = 0, capWidth = 0, curSpeed = 0, curWidth = 0;
    unsigned int result = saved;
    if (linkEnabledAt(*m_upstream) && m_pcicfg != nullptr) {
        int bridgeSpeed = 0, bridgeWidth = 0;
        m_upstream->linkCapability(bridgeSpeed, bridgeWidth);
        m_pcicfg->linkStatus(curSpeed, curWidth);
        m_pcicfg->linkCapability(capSpeed, capWidth);
        capSpeed = std::min(capSpeed, bridgeSpeed);
        capWidth = std::min(capWidth, bridgeWidth);
        result = saved + kStatusUp;
    } else {
        m_upstream->linkStatus(curSpeed, curWidth);
        m_upstream->linkCapability(capSpeed, capWidth);
    }
    maxSpeed = capSpeed;
    maxWidth = capWidth;
    currentSpeed = curSpeed;
    currentWidth = curWidth;
    flags = result;
}

bool VdlpciLinuxDevice::recheckPcieLink()
{
    bool up = false;
    if (m_upstream != nullptr) {
        m_pcieLinkUp = m_upstream->isLinkEnabled();
        up = m_pcieLinkUp;
    } else if (m_pcicfg != nullptr) {
        m_pcieLinkUp = m_pcicfg->isLinkEnabled();
        up = m_pcieLinkUp;
    }
    if (!up)
        VDL_ERROR(LOGGER_PCI, "Re-Check Pcie Link: PCI-e link is still disabled");
    return up;
}

void VdlpciLinuxDevice::checkVector(int vector) const
{
    // A negative vector is refused like one beyond the count: it has no flag.
    if (vector < 0 || vector >= m_msiVectorCount)
        throw VDLException<-6>("message {} was out of range {}", vector, m_msiVectorCount);
}

void VdlpciLinuxDevice::msiWait(int vector, unsigned int timeout, unsigned int& value)
{
    checkVector(vector);
    vdlcard_int_wait wait{};
    wait.vector = static_cast<std::uint32_t>(vector);
    wait.timeout = timeout;
    wait.status = VDLCARD_WAIT_NONE;

    // Flags exist only while interrupts are enabled on the card.
    int* flag = m_msiWaiting != nullptr ? &m_msiWaiting[vector] : nullptr;
    if (flag != nullptr)
        *flag = 1;
    vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_WAIT, &wait);
    value = wait.value;
    if (flag != nullptr)
        *flag = 0;

    switch (wait.status) {
    case VDLCARD_WAIT_INTERRUPT:
        return;
    case VDLCARD_WAIT_TIMEOUT:
        throw VDLException<-9>("timeout of {} reached", wait.timeout);
    case VDLCARD_WAIT_CANCELLED:
        throw VDLException<-12>("interrupt was canceled");
    default:
        throw VDLException<-34>("did not recieve an interrupt");
    }
}

void VdlpciLinuxDevice::msiCancelWait(int vector)
{
    checkVector(vector);
    std::int32_t target = vector;
    // A wait the driver was not told to end goes on until its time-out.
    if (vdlcard_Control(m_handle, VDLCARD_CONTROL_INT_CANCEL, &target) != 0)
        throw VDLException<-34>("could not cancel the wait on message {}", vector);
}

int VdlpciLinuxDevice::addMem(VdlpciMemorySpace* buffer)
{
    const auto empty = std::find(m_mems.begin(), m_mems.end(), nullptr);
    if (empty != m_mems.end()) {
        *empty = buffer;
        return static_cast<int>(empty - m_mems.begin());
    }
    m_mems.push_back(buffer);
    return static_cast<int>(m_mems.size() - 1);
}

void VdlpciLinuxDevice::requireFreeSlot() const
{
    if (m_mems.size() < kMaxSlots)
        return;
    if (std::find(m_mems.begin(), m_mems.end(), nullptr) == m_mems.end())
        throw VDLException<-4>("no free memory space slot: {} buffers are allocated", m_mems.size());
}

template <typename Buffer>
int VdlpciLinuxDevice::allocAndRegister(unsigned long size, Buffer*& out)
{
    requireFreeSlot();
    Buffer::alloc(m_handle, size, out);
    try {
        return addMem(out);
    } catch (...) {
        delete out;
        out = nullptr;
        throw;
    }
}

int VdlpciLinuxDevice::allocContiguousKmem(unsigned long size, VdlpciKernelBuffer*& out)
{
    return allocAndRegister(size, out);
}

int VdlpciLinuxDevice::allocLockedVmem(unsigned long size, VdlpciLockedVirtualMemory*& out)
{
    return allocAndRegister(size, out);
}

void VdlpciLinuxDevice::freeMem(VdlpciMemorySpace* buffer)
{
    const auto entry = std::find(m_mems.begin(), m_mems.end(), buffer);
    if (entry == m_mems.end())
        throw VDLException<-13>("could not find memory space {:#016x}",
                                static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(buffer)));
    if (*entry == nullptr)
        return;
    // Released before the slot is emptied: a buffer the driver kept raises
    // and stays registered, so a later free can try again.
    if (auto* kernel = dynamic_cast<VdlpciKernelBuffer*>(*entry))
        kernel->freeKernelBuffer();
    else if (auto* pinned = dynamic_cast<VdlpciLockedVirtualMemory*>(*entry))
        pinned->free_mem();
    delete *entry;
    *entry = nullptr;
}

void VdlpciLinuxDevice::freeKernelBuffer(VdlpciKernelBuffer*& buffer) { freeMem(buffer); }

void VdlpciLinuxDevice::freeLockedVmem(VdlpciLockedVirtualMemory*& buffer) { freeMem(buffer); }
