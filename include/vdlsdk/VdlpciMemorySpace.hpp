#pragma once
// The memory spaces of a PCIe card: everything a caller reads or writes on it
// (BAR windows, configuration spaces, DMA buffers) is a VdlpciMemorySpace.
// The base builds the element operations (runs of 8-, 16-, 32- or 64-bit
// elements) on the one element access, read or write, that each kind supplies.
#include <cstdint>

// The kind of a memory space. A BAR window's type is its BAR number. A
// caller's memory-space identifier carries the kind in its high 16 bits and
// the BAR number or buffer slot in its low 16 bits.
enum VdlpciMsType : std::uint32_t {
    VDLPCI_MS_BAR0 = 0,
    VDLPCI_MS_BAR1 = 1,
    VDLPCI_MS_BAR2 = 2,
    VDLPCI_MS_BAR3 = 3,
    VDLPCI_MS_BAR4 = 4,
    VDLPCI_MS_BAR5 = 5,
    VDLPCI_MS_CONFIG = 0x10000,
    VDLPCI_MS_KERNEL_BUFFER = 0x20000,
    VDLPCI_MS_LOCKED_VMEM = 0x30000,
};

// Number of BAR windows a card has.
inline constexpr int VDLPCI_BAR_COUNT = 6;
// Splitting a memory-space identifier into its kind and its BAR number or slot.
inline constexpr std::uint32_t VDLPCI_MS_KIND_MASK = 0xFFFF0000u;
inline constexpr std::uint32_t VDLPCI_MS_INDEX_MASK = 0x0000FFFFu;

class VdlpciMemorySpace {
public:
    // The handle is the card's driver handle (a vdlcard_handle); not owned.
    VdlpciMemorySpace(void* handle, VdlpciMsType type, unsigned long size);
    virtual ~VdlpciMemorySpace();
    VdlpciMemorySpace(const VdlpciMemorySpace&) = delete;
    VdlpciMemorySpace& operator=(const VdlpciMemorySpace&) = delete;

    // Size in bytes.
    virtual unsigned long size();
    virtual void* deviceHandle();
    // The card hands its spaces a new handle when it opens the driver again.
    virtual void setHandle(void* handle);

    // Runs of elements at consecutive offsets from a byte offset. The result is
    // the number of elements transferred or a negative error code. A null
    // buffer raises VDLException<-5>, even for a count of 0.
    virtual int write8s(unsigned long offset, unsigned char* data, int count);
    virtual int write16s(unsigned long offset, unsigned short* data, int count);
    virtual int write32s(unsigned long offset, unsigned int* data, int count);
    virtual int write64s(unsigned long offset, unsigned long* data, int count);
    virtual int read8s(unsigned long offset, unsigned char* data, int count);
    virtual int read16s(unsigned long offset, unsigned short* data, int count);
    virtual int read32s(unsigned long offset, unsigned int* data, int count);
    virtual int read64s(unsigned long offset, unsigned long* data, int count);

    // The element loop for any width: an element whose access gives 0 is not
    // counted and the loop goes on; a negative result ends the loop and is the
    // result; an exception from an access leaves the loop.
    virtual int writes(unsigned long offset, unsigned char* data, int width, int count);
    virtual int reads(unsigned long offset, unsigned char* data, int width, int count);

    // One element of `width` bytes: the number of bytes transferred (0 when the
    // element was not) or a negative error code; a kind may also raise.
    virtual int write(unsigned long offset, unsigned char* data, int width) = 0;
    virtual int read(unsigned long offset, unsigned char* data, int width) = 0;

    // The kind of this space.
    VdlpciMsType type() const { return m_type; }
    // The fields behind deviceHandle() and size(), for the element loops of
    // the library's own classes, which do not override those two.
    void* storedHandle() const { return m_handle; }
    unsigned long storedSize() const { return m_size; }

protected:
    void* m_handle;
    VdlpciMsType m_type;
    unsigned long m_size;
};
