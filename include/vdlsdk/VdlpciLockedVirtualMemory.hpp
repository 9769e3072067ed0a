#pragma once
// Page-aligned process memory pinned by the kernel driver for DMA, with the
// bus address of every page in the driver's page table. Element accesses
// touch the memory directly; only pinning, unpinning and cache
// synchronisation are driver requests.
#include "vdlsdk/VdlpciMemorySpace.hpp"

struct vdlcard_lock_record;
class VdlpciKernelBuffer;

class VdlpciLockedVirtualMemory : public VdlpciMemorySpace {
public:
    // Takes ownership of the lock record and of the region (allocated by alloc).
    VdlpciLockedVirtualMemory(void* handle, unsigned long size, vdlcard_lock_record* lockRecord,
                              void* virtAddr);
    // Unpins and frees the region; never raises. A region the driver does not
    // unpin is not freed: the device may still write into it. In a process
    // other than the one that pinned it (a forked child) nothing is sent: the
    // process's own copy of the region and of the page table is freed.
    ~VdlpciLockedVirtualMemory() override;

    // Allocates a page-aligned region of `size` bytes (1 byte to 4 GiB - 1:
    // the driver carries 32-bit lengths), has the driver pin it and creates its
    // object in `out`. VDLException<-4> for another size or when the memory
    // cannot be had, VDLException<-5> when the driver does not pin it.
    static void alloc(void* handle, unsigned long size, VdlpciLockedVirtualMemory*& out);

    // Unpins and frees the region. VDLException<-5> once released,
    // VDLException<-34> when the driver does not unpin it: the region then
    // stays pinned and live, and the call may be repeated.
    void free_mem();
    // Cache synchronisation of the whole region, for the CPU or for the device.
    // VDLException<-5> once released, VDLException<-34> when the driver fails.
    void flushCache(bool toCpu);
    // The bus address of a byte offset from the page table. VDLException<-5>
    // once released, VDLException<-8> for an offset not inside the region.
    void phys_addr(unsigned long offset, unsigned long& phys);
    // These three raise VDLException<-7> in a process other than the owner.

    // Not supported: VDLException<-2>.
    void writeAddressToBar(unsigned long offset, int bar, unsigned long barOffset, int width);
    void writeAddressToContiguousKmem(unsigned long offset, VdlpciKernelBuffer* buffer,
                                      unsigned long bufferOffset, int width);

    // The region's address in the process; null once released.
    void* vmem();

    // One element of 1, 2, 4 or 8 bytes. VDLException<-6> for a null buffer or
    // another width, VDLException<-8> for an element not inside the region.
    int write(unsigned long offset, unsigned char* data, int width) override;
    int read(unsigned long offset, unsigned char* data, int width) override;

private:
    vdlcard_lock_record* lockRecord;
    void* virtAddr;
    // The process that pinned the region.
    int ownerPid;
};
