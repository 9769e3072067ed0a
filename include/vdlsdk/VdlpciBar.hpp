#pragma once
// One BAR window of a card. The window is never mapped into the process:
// every element is a register request to the kernel driver, and accesses of 1
// and 2 bytes go through the aligned 32-bit word that holds them.
#include "vdlsdk/VdlpciMemorySpace.hpp"

class VdlpciBar : public VdlpciMemorySpace {
public:
    // busAddress is the BAR's base address on the bus as the driver reports it.
    VdlpciBar(void* handle, int bar, unsigned long busAddress, unsigned long size);
    ~VdlpciBar() override;

    // Widths 1, 2, 4 and 8. A failed driver request is logged and gives 0; a
    // 2-byte access at an odd offset gives -8, another width -6. Offsets are
    // not checked against the window's size: that is the driver's business.
    // Writes of 1 and 2 bytes are a read-modify-write of the aligned word.
    int write(unsigned long offset, unsigned char* data, int width) override;
    int read(unsigned long offset, unsigned char* data, int width) override;

    // The bus address of a byte offset; VDLException<-8> for an offset at or
    // beyond the size.
    void phys_addr(unsigned long offset, unsigned long& phys);

private:
    unsigned long m_busAddress;
};
