#pragma once
// One opened PCIe card: its BAR windows, configuration space, DMA buffers,
// identity and interrupt set-up, and the saved state of its PCIe link, which
// lives in the library's option file. The handle the exported functions give
// out is a pointer to this object. The platform half (opening, link control,
// interrupts, buffer allocation) is VdlpciLinuxDevice.
#include <string>
#include <vector>

#include "vdlsdk/VdlpciConfigSpace.hpp"
#include "vdlsdk/VdlpciMemorySpace.hpp"
#include "vdlsdk/vdlcard.h"

class VdlpciDevice {
public:
    explicit VdlpciDevice(int index);
    virtual ~VdlpciDevice();
    VdlpciDevice(const VdlpciDevice&) = delete;
    VdlpciDevice& operator=(const VdlpciDevice&) = delete;

    // Releases the card's objects (the Linux card keeps them instead).
    virtual void close();
    virtual void location(std::string& out) = 0;
    virtual void slotUid(std::string& out) = 0;
    virtual void linkSave(unsigned int flags) = 0;
    virtual void linkRestore(unsigned int flags) = 0;
    virtual void linkStatus(unsigned int& flags, int& maxSpeed, int& maxWidth, int& currentSpeed,
                            int& currentWidth) = 0;
    // Tests the link again and remembers the answer.
    virtual bool recheckPcieLink() = 0;
    virtual VdlpciConfigSpace* pcicfgUpstream();

    // Option keys of the saved link state: "device<N>/saved_bars" and so on.
    virtual std::string getSavedBarsKeyName();
    virtual std::string getAerSurpriseKeyName();
    virtual std::string getSavedMsiKeyName();
    virtual std::string getSavedMsixKeyName();
    virtual std::string getSavedPcieKeyName();

    // Saved link state. The register blocks work on the card's configuration
    // space, the Surprise Down setting on the upstream bridge's.
    virtual void saveBarsState(VdlpciConfigSpace* cfg);
    virtual void restoreBarsState(VdlpciConfigSpace* cfg);
    virtual void saveAerSurpriseState(VdlpciConfigSpace* cfg);
    virtual void restoreAerSurpriseState(VdlpciConfigSpace* cfg);
    virtual void saveMsiState(VdlpciConfigSpace* cfg);
    virtual void restoreMsiState(VdlpciConfigSpace* cfg);
    virtual void saveMsixState(VdlpciConfigSpace* cfg);
    virtual void restoreMsixState(VdlpciConfigSpace* cfg);
    virtual void saveDevctlState(VdlpciConfigSpace* cfg);
    virtual void restoreDevctlState(VdlpciConfigSpace* cfg);
    // Deletes the BAR, MSI, PCI Express and Surprise Down keys in this order,
    // stopping at the first that is absent.
    virtual void deleteSavedKeys();

    // Vector count and enable state from MSI-X, else MSI (when MSI-X cannot be
    // used: absent or unreadable), else off with no vector; a failed read
    // raises nothing.
    virtual void msiInit(VdlpciConfigSpace* cfg);
    // Whether the link was up at its last test.
    virtual bool getPcieLinkStatus();

    // Resolves a memory-space identifier (kind in bits 31-16, BAR number or
    // slot in bits 15-0), re-checking a link that was down first.
    void getMs(unsigned int id, VdlpciMemorySpace*& out);
    // What getMs gives when it can be had without a test that may fail or
    // re-test the link; null otherwise, and getMs says why.
    __attribute__((always_inline)) VdlpciMemorySpace* readyMs(unsigned int id) const
    {
        if (!m_pcieLinkUp)
            return nullptr;
        const unsigned int n = id & VDLPCI_MS_INDEX_MASK;
        const unsigned int kind = id & VDLPCI_MS_KIND_MASK;
        // BARs first: they carry the register traffic.
        if (kind == VDLPCI_MS_BAR0)
            return m_barsEnumerated && n < static_cast<unsigned int>(kBarCount) ? m_bars[n]
                                                                                : nullptr;
        if (kind == VDLPCI_MS_CONFIG)
            return n == 0 ? m_pcicfg : nullptr;
        if (kind == VDLPCI_MS_KERNEL_BUFFER || kind == VDLPCI_MS_LOCKED_VMEM)
            return n < m_mems.size() ? m_mems[n] : nullptr;
        return nullptr;
    }
    void getIds(unsigned short& vendorId, unsigned short& deviceId,
                unsigned short& subsystemVendorId, unsigned short& subsystemId);
    // Null for n outside 0 to 5.
    VdlpciMemorySpace* bar(int n);
    VdlpciConfigSpace* pcicfg();
    // Entries of the buffer table, empty ones included.
    int memCount();
    // Null for an empty slot or one beyond the table.
    VdlpciMemorySpace* mem(int slot);
    // Deletes buffers, configuration space, BARs and wait flags.
    void cleanup();
    // "bb:dd.f" in lower-case hexadecimal.
    void formatLocationString(std::string& out, int bus, int device, int function);

    int index() const { return m_index; }
    int msiVectorCount() const { return m_msiVectorCount; }
    bool msiEnabled() const { return m_msiEnabled; }
    bool barsEnumerated() const { return m_barsEnumerated; }

    // Number of BAR windows and of words in each saved block.
    static constexpr int kBarCount = 6;
    static constexpr int kSavedBarsWords = 10;
    static constexpr int kSavedMsiWords = 4;
    static constexpr int kSavedMsixWords = 3;
    static constexpr int kSavedPcieWords = 3;

protected:
    // The text of a saved block: each word in lower-case hexadecimal, each
    // followed by one blank.
    static std::string wordsToText(const unsigned int* words, int count);
    // The value of a saved key, or "" when the key is absent.
    static std::string savedValue(const std::string& key);
    void saveCapBlock(VdlpciConfigSpace* cfg, int capId, int count, const std::string& key,
                      bool missingIsFine);
    void restoreCapBlock(VdlpciConfigSpace* cfg, int capId, int count, const std::string& key,
                         bool missingIsFine);
    std::string keyName(const char* suffix) const;

    VdlpciMemorySpace* m_bars[kBarCount];
    VdlpciConfigSpace* m_pcicfg;
    std::vector<VdlpciMemorySpace*> m_mems;
    vdlcard_handle* m_handle;
    unsigned short m_vendorId;
    unsigned short m_deviceId;
    unsigned short m_subsystemVendorId;
    unsigned short m_subsystemId;
    int m_index;
    VdlpciConfigSpace* m_pcicfgUpstream;
    int m_msiVectorCount;
    int* m_msiWaiting;
    bool m_msiEnabled;
    bool m_pcieLinkUp;
    bool m_barsEnumerated;
};
