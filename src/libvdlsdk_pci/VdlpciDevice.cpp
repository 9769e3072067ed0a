// The platform-neutral half of a card: memory-space identifiers, the saved
// link state in the option file, interrupt set-up and release.
#include "vdlsdk/VdlpciDevice.hpp"

#include <cstdint>

#include <fmt/format.h>

#include "vdlsdk/VdlpciConfigSpace.hpp"
#include "vdlsdk/VdlpciLib.hpp"
#include "vdlsdk/VdlpciMemorySpace.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdl_util.hpp"

namespace {

// Capability IDs of the saved register blocks.
constexpr int kCapMsi = 0x05;
constexpr int kCapPcie = 0x10;
constexpr int kCapMsix = 0x11;

// BAR0 to BAR5 are dwords 4 to 9 of the configuration header.
constexpr int kFirstBarWord = 4;
// The low four bits of a memory BAR are type bits, not address.
constexpr unsigned int kBarAddressMask = ~0xFu;
// What an unanswered BAR register reads as once its type bits are dropped.
constexpr unsigned int kBarAllOnes = 0xFFFFFFF0u;

const char* const kAerTrue = "true";
const char* const kAerFalse = "false";

Vandrel::LibraryOptions& options() { return VdlpciLib::getInstance()->getOptions(); }

} // namespace

VdlpciDevice::VdlpciDevice(int index)
    : m_bars{}, m_pcicfg(nullptr), m_handle(nullptr), m_vendorId(0), m_deviceId(0),
      m_subsystemVendorId(0), m_subsystemId(0), m_index(index), m_pcicfgUpstream(nullptr),
      m_msiVectorCount(0), m_msiWaiting(nullptr), m_msiEnabled(false), m_pcieLinkUp(false),
      m_barsEnumerated(false)
{
}

VdlpciDevice::~VdlpciDevice() { cleanup(); }

void VdlpciDevice::close() { cleanup(); }

VdlpciConfigSpace* VdlpciDevice::pcicfgUpstream() { return m_pcicfgUpstream; }

std::string VdlpciDevice::keyName(const char* suffix) const
{
    return fmt::format("device{}{}", m_index, suffix);
}

std::string VdlpciDevice::getSavedBarsKeyName() { return keyName("/saved_bars"); }
std::string VdlpciDevice::getAerSurpriseKeyName() { return keyName("_upstream/saved_aer_surprise"); }
std::string VdlpciDevice::getSavedMsiKeyName() { return keyName("/saved_msidata"); }
std::string VdlpciDevice::getSavedMsixKeyName() { return keyName("/saved_msixdata"); }
std::string VdlpciDevice::getSavedPcieKeyName() { return keyName("/saved_pciedata"); }

std::string VdlpciDevice::wordsToText(const unsigned int* words, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += fmt::format("{:x} ", words[i]);
    return text;
}

std::string VdlpciDevice::savedValue(const std::string& key)
{
    std::string value;
    try {
        options().optionValue(key, value);
    } catch (const VDLException<-13>&) {
        value.clear();
    }
    return value;
}

void VdlpciDevice::saveBarsState(VdlpciConfigSpace* cfg)
{
    unsigned int words[kSavedBarsWords] = {};
    // Registers that could not be read must not replace a good saved state:
    // a restore would write the zeros back into the card.
    const int result = cfg->read32s(0, words, kSavedBarsWords);
    if (result < 0) {
        vdl_throw_from_c_error(result, "could not read the PCI BAR registers");
        throw VDLException<-1>("could not read the PCI BAR registers");
    }
    const std::string text = wordsToText(words, kSavedBarsWords);

    bool anyAddress = false;
    for (int i = kFirstBarWord; i < kSavedBarsWords; ++i) {
        const unsigned int address = words[i] & kBarAddressMask;
        if (address != 0 && address != kBarAllOnes)
            anyAddress = true;
    }
    if (!anyAddress)
        throw VDLException<-3>("could not find a nonzero PCI bar (PCI link is up, but not enumerated)");
    options().addOption(getSavedBarsKeyName(), text);
}

void VdlpciDevice::restoreBarsState(VdlpciConfigSpace* cfg)
{
    unsigned int words[kSavedBarsWords] = {};
    strTo32s(savedValue(getSavedBarsKeyName()), ' ', words, kSavedBarsWords);
    // A header that did not reach the card is a failed restore: the blocks
    // after it must not be written, and the caller must not be told success.
    const int result = cfg->write32s(0, words, kSavedBarsWords);
    if (result < 0) {
        vdl_throw_from_c_error(result, "could not write the PCI BAR registers");
        throw VDLException<-1>("could not write the PCI BAR registers");
    }
}

void VdlpciDevice::saveCapBlock(VdlpciConfigSpace* cfg, int capId, int count,
                                const std::string& key, bool missingIsFine)
{
    unsigned int words[kSavedMsiWords] = {};
    try {
        cfg->readPciCapRegisters(capId, words, count);
    } catch (const VDLException<-13>&) {
        // Without the capability the key still records a block (of zeros), so
        // a later restore finds the key and writes nothing for lack of it.
        if (!missingIsFine)
            throw;
    }
    options().addOption(key, wordsToText(words, count));
}

void VdlpciDevice::restoreCapBlock(VdlpciConfigSpace* cfg, int capId, int count,
                                   const std::string& key, bool missingIsFine)
{
    unsigned int words[kSavedMsiWords] = {};
    strTo32s(savedValue(key), ' ', words, count);
    try {
        cfg->writePciCapRegisters(capId, words, count);
    } catch (const VDLException<-13>&) {
        if (!missingIsFine)
            throw;
    }
}

void VdlpciDevice::saveMsiState(VdlpciConfigSpace* cfg)
{
    saveCapBlock(cfg, kCapMsi, kSavedMsiWords, getSavedMsiKeyName(), true);
}

void VdlpciDevice::restoreMsiState(VdlpciConfigSpace* cfg)
{
    restoreCapBlock(cfg, kCapMsi, kSavedMsiWords, getSavedMsiKeyName(), true);
}

void VdlpciDevice::saveMsixState(VdlpciConfigSpace* cfg)
{
    saveCapBlock(cfg, kCapMsix, kSavedMsixWords, getSavedMsixKeyName(), true);
}

void VdlpciDevice::restoreMsixState(VdlpciConfigSpace* cfg)
{
    restoreCapBlock(cfg, kCapMsix, kSavedMsixWords, getSavedMsixKeyName(), true);
}

void VdlpciDevice::saveDevctlState(VdlpciConfigSpace* cfg)
{
    saveCapBlock(cfg, kCapPcie, kSavedPcieWords, getSavedPcieKeyName(), false);
}

void VdlpciDevice::restoreDevctlState(VdlpciConfigSpace* cfg)
{
    restoreCapBlock(cfg, kCapPcie, kSavedPcieWords, getSavedPcieKeyName(), false);
}

void VdlpciDevice::saveAerSurpriseState(VdlpciConfigSpace* cfg)
{
    bool wasUnmasked = false;
    try {
        cfg->aerSurpriseEnable(false, wasUnmasked);
    } catch (const VDLException<-13>&) {
        // No AER on the bridge: nothing masks Surprise Down, "false" is recorded.
    }
    options().addOption(getAerSurpriseKeyName(), wasUnmasked ? kAerTrue : kAerFalse);
}

void VdlpciDevice::restoreAerSurpriseState(VdlpciConfigSpace* cfg)
{
    const std::string key = getAerSurpriseKeyName();
    const std::string value = savedValue(key);
    bool enable;
    if (value == kAerTrue)
        enable = true;
    else if (value == kAerFalse)
        enable = false;
    else
        throw VDLException<-3>("invalid value from config {}: {}", key, value);

    bool previous = false;
    try {
        cfg->aerSurpriseEnable(enable, previous);
    } catch (const VDLException<-13>&) {
    }
}

void VdlpciDevice::deleteSavedKeys()
{
    Vandrel::LibraryOptions& opts = options();
    try {
        opts.deleteOption(getSavedBarsKeyName());
        opts.deleteOption(getSavedMsiKeyName());
        opts.deleteOption(getSavedPcieKeyName());
        opts.deleteOption(getAerSurpriseKeyName());
    } catch (const VDLException<-13>&) {
        // The first absent key ends the deletion.
    }
}

void VdlpciDevice::msiInit(VdlpciConfigSpace* cfg)
{
    // MSI-X that cannot be used, absent or unreadable, leaves the decision to
    // MSI, and MSI that cannot be used leaves interrupts off: the card still
    // opens. (The card's space has logged a failed read; the MSI and MSI-X
    // reports asked for later raise one.)
    try {
        msix_info info{};
        cfg->msixInfo(&info);
        m_msiVectorCount = static_cast<int>(info.tableSize);
        m_msiEnabled = info.enabled != 0;
    } catch (const VDLBaseException&) {
        try {
            unsigned long address = 0;
            unsigned short data = 0;
            cfg->msiInfo(m_msiEnabled, address, data, m_msiVectorCount);
        } catch (const VDLBaseException&) {
            m_msiEnabled = false;
            m_msiVectorCount = 0;
        }
    }
    if (m_msiEnabled) {
        delete[] m_msiWaiting;
        m_msiWaiting = new int[static_cast<std::size_t>(m_msiVectorCount)]();
    }
}

bool VdlpciDevice::getPcieLinkStatus() { return m_pcieLinkUp; }

void VdlpciDevice::getMs(unsigned int id, VdlpciMemorySpace*& out)
{
    if (!m_pcieLinkUp && !recheckPcieLink())
        throw VDLException<-39>("Unable to perform read/write as the PCIe link is still disabled.");

    out = nullptr;
    const unsigned int kind = id & VDLPCI_MS_KIND_MASK;
    const int n = static_cast<int>(id & VDLPCI_MS_INDEX_MASK);
    switch (kind) {
    case VDLPCI_MS_BAR0:
        if (!m_barsEnumerated)
            throw VDLException<-40>("Cannot access PCI BAR memory space (PCI link is up, but not enumerated)");
        out = bar(n);
        break;
    case VDLPCI_MS_CONFIG:
        if (n != 0)
            throw VDLException<-13>("Could not find memory space {:#X}", id);
        out = m_pcicfg;
        break;
    case VDLPCI_MS_KERNEL_BUFFER:
    case VDLPCI_MS_LOCKED_VMEM:
        out = mem(n);
        break;
    default:
        throw VDLException<-6>("{:#X} is not a valid memory space identifier", id);
    }
    if (out == nullptr)
        throw VDLException<-13>("Could not find memory space {:#X}", id);
}

void VdlpciDevice::getIds(unsigned short& vendorId, unsigned short& deviceId,
                          unsigned short& subsystemVendorId, unsigned short& subsystemId)
{
    vendorId = m_vendorId;
    deviceId = m_deviceId;
    subsystemVendorId = m_subsystemVendorId;
    subsystemId = m_subsystemId;
}

VdlpciMemorySpace* VdlpciDevice::bar(int n)
{
    if (static_cast<unsigned int>(n) >= static_cast<unsigned int>(kBarCount))
        return nullptr;
    return m_bars[n];
}

VdlpciConfigSpace* VdlpciDevice::pcicfg() { return m_pcicfg; }

int VdlpciDevice::memCount() { return static_cast<int>(m_mems.size()); }

VdlpciMemorySpace* VdlpciDevice::mem(int slot)
{
    if (slot < 0 || static_cast<std::size_t>(slot) >= m_mems.size())
        return nullptr;
    return m_mems[static_cast<std::size_t>(slot)];
}

void VdlpciDevice::cleanup()
{
    for (VdlpciMemorySpace* buffer : m_mems)
        delete buffer;
    m_mems.clear();
    delete m_pcicfg;
    m_pcicfg = nullptr;
    for (auto& window : m_bars) {
        delete window;
        window = nullptr;
    }
    delete[] m_msiWaiting;
    m_msiWaiting = nullptr;
}

void VdlpciDevice::formatLocationString(std::string& out, int bus, int device, int function)
{
    out = fmt::format("{:02x}:{:02x}.{:x}", bus, device, function);
}
