#pragma once
// The configuration space of one PCI function: capability walks, MSI and
// MSI-X reports, link status, device errors and link control, all built on
// the element operations of the memory-space base. The two register accesses
// stay pure: the card's own space and its upstream bridge's supply them.
#include "vdlsdk/VdlpciMemorySpace.hpp"
#include "vdlsdk/vdlpci_types.h"

class VdlpciConfigSpace : public VdlpciMemorySpace {
public:
    // Size of a PCI Express function's configuration space in bytes.
    static constexpr unsigned long CONFIG_SPACE_SIZE = 4096;

    explicit VdlpciConfigSpace(void* handle);
    ~VdlpciConfigSpace() override;

    // Offset of the standard (extended) capability with this ID. Raises -13
    // when the list ends without it; the offset holds the last one visited.
    virtual void findCaps(unsigned short id, unsigned int* offset);
    virtual void findExtendedCapability(unsigned short id, unsigned int* offset);

    // Link control on this function's PCI Express capability.
    virtual bool isLinkEnabled();
    virtual void linkEnable(bool enable);
    virtual void linkRetrain(bool wait);
    virtual void waitForLinkTrainingComplete(int polls);
    // Unmasks (true) or masks Surprise Down errors; wasEnabled tells whether
    // they were unmasked before.
    virtual void aerSurpriseEnable(bool enable, bool& wasEnabled);

    // Raw 4-bit speed code and 6-bit lane count.
    virtual void linkCapability(int& speed, int& width);
    virtual void linkStatus(int& speed, int& width);
    // Device Status; clears its write-one-to-clear bits when clear is not 0.
    virtual void linkErrors(int& status, int clear);

    virtual void msiInfo(bool& enabled, unsigned long& address, unsigned short& data,
                         int& vectors);
    virtual void msixInfo(msix_info* info);

    // count dwords from the header of the standard capability with this ID.
    virtual void readPciCapRegisters(int id, unsigned int* buffer, int count);
    virtual void writePciCapRegisters(int id, unsigned int* buffer, int count);

    // Speed and width from the 16-bit register at this offset within the
    // PCI Express capability.
    virtual void linkGenAndWidth(unsigned short offset, int& speed, int& width);
};
