#pragma once
// A physically contiguous DMA buffer that the kernel driver allocates and the
// process maps through the card's device node. Element accesses touch the
// mapping directly; only allocation, release and cache synchronisation are
// driver requests.
#include "vdlsdk/VdlpciMemorySpace.hpp"

class VdlpciKernelBuffer : public VdlpciMemorySpace {
public:
    VdlpciKernelBuffer(void* handle, unsigned long size, unsigned int physLo, unsigned int physHi,
                       void* virtAddr);
    // Returns the buffer to the driver; never raises. In a process other than
    // the one that allocated it (a forked child) it sends nothing and leaves
    // the buffer to its owner.
    ~VdlpciKernelBuffer() override;

    // Allocates and maps a buffer of `size` bytes (1 byte to 4 GiB - 1: the
    // driver carries 32-bit lengths) and creates its object in `out`; a
    // buffer the driver rounds up keeps `size` as its size.
    // VDLException<-34> "Unable to allocate memory." for another size or when
    // the driver refuses or gives less.
    static void alloc(void* handle, unsigned long size, VdlpciKernelBuffer*& out);

    // Returns the buffer to the driver and leaves the object released (size 0);
    // nothing for a released object. The mapping goes first, as the driver
    // expects. VDLException<-34> when the driver keeps the buffer: the object
    // is then unusable like a released one (size 0) but still holds the bus
    // address, and the call (or the destructor) tries again.
    // VDLException<-7> in a process other than the owner.
    void freeKernelBuffer();
    // Cache synchronisation of the whole buffer, for the CPU or for the device.
    // VDLException<-7> for a released buffer or in a process other than the
    // owner, VDLException<-34> when the driver fails.
    void flushCache(bool toCpu);
    // The bus address of a byte offset; VDLException<-8> for an offset above
    // the size (the end of the buffer itself is accepted), VDLException<-7> in
    // a process other than the owner.
    void phys_addr(unsigned long offset, unsigned long& phys);
    unsigned int phys_addrLo();
    unsigned int phys_addrHi();
    // The mapping's address in the process.
    void* vmem();

    // Plain copies of `width` bytes between `data` and the mapping.
    // VDLException<-6> for a null buffer or a width other than 1, 2, 4 or 8,
    // VDLException<-8> for an element not inside the buffer.
    int write(unsigned long offset, unsigned char* data, int width) override;
    int read(unsigned long offset, unsigned char* data, int width) override;

private:
    // The bus address in the host's order: physLo is bits 31-0, physHi 63-32.
    unsigned int physLo;
    unsigned int physHi;
    void* virtAddr;
    // The buffer's length as the driver gave it (at least the size; more when
    // the driver rounds up), which every request about it names. Kept when
    // the driver refuses the release: the buffer is then unmapped and
    // unusable (size 0), but still the driver's until a later release.
    unsigned long driverLength;
    // The process that allocated the buffer.
    int ownerPid;
};
