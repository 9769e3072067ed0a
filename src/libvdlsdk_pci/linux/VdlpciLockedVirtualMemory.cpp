// Process memory pinned by the driver for DMA, with its page table.
#include "vdlsdk/VdlpciLockedVirtualMemory.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

#include <unistd.h>

#include "element_access.hpp"
#include "element_loop.hpp"
#include "process_owner.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"

namespace {

using vdlpci_detail::moveElement;
using vdlpci_detail::moveElements;
using vdlpci_detail::isAccessWidth;
using vdlpci_detail::kMaxDriverLength;
using vdlpci_detail::ownedHere;
using vdlpci_detail::requireOwner;

constexpr const char* kWhat = "PCI virtual memory";

unsigned long pageSize() { return static_cast<unsigned long>(::getpagesize()); }

[[noreturn]] void throwReleased() { throw VDLException<-5>("PCI kernel memory handle was null"); }

} // namespace

VdlpciLockedVirtualMemory::VdlpciLockedVirtualMemory(void* handle, unsigned long size,
                                                     vdlcard_lock_record* lockRecord,
                                                     void* virtAddr)
    : VdlpciMemorySpace(handle, VDLPCI_MS_LOCKED_VMEM, size),
      lockRecord(lockRecord),
      virtAddr(virtAddr),
      ownerPid(::getpid())
{
}

VdlpciLockedVirtualMemory::~VdlpciLockedVirtualMemory()
{
    // Released already by a direct free_mem: nothing is left to return.
    if (lockRecord == nullptr)
        return;
    if (!ownedHere(ownerPid)) {
        // The pinned pages are the owner's; this process holds copies of the
        // region and of the lock record (made by vdlcard_lockmem), which are
        // its own to free.
        std::free(lockRecord->pages);
        std::free(lockRecord);
        std::free(virtAddr);
        lockRecord = nullptr;
        virtAddr = nullptr;
        return;
    }
    try {
        free_mem();
    } catch (const VDLBaseException& e) {
        // Still pinned: the region is left to the driver rather than handed
        // back to the allocator while the device may write into it.
        try {
            e.log();
        } catch (...) {
        }
    }
}

void VdlpciLockedVirtualMemory::alloc(void* handle, unsigned long size,
                                      VdlpciLockedVirtualMemory*& out)
{
    // The driver would pin only the low 32 bits' worth of a larger region,
    // and a region of 0 bytes has no byte a bus address could name.
    if (size == 0 || size > kMaxDriverLength)
        throw VDLException<-4>("PCI virtual memory could not be allocated");
    void* region = nullptr;
    if (::posix_memalign(&region, pageSize(), size) != 0 || region == nullptr)
        throw VDLException<-4>("PCI virtual memory could not be allocated");
    auto* hcard = static_cast<vdlcard_handle*>(handle);
    vdlcard_lock_record* record = vdlcard_lockmem(hcard, region, static_cast<std::uint32_t>(size));
    if (record == nullptr) {
        std::free(region);
        throw VDLException<-5>("could not lock PCI virtual memory");
    }
    auto* memory = new (std::nothrow) VdlpciLockedVirtualMemory(handle, size, record, region);
    if (memory == nullptr) {
        vdlcard_unlockmem(hcard, record);
        std::free(region);
        throw VDLException<-4>("PCI virtual memory could not be allocated");
    }
    out = memory;
}

void VdlpciLockedVirtualMemory::free_mem()
{
    if (lockRecord == nullptr)
        throwReleased();
    requireOwner(ownerPid, kWhat);
    // Unpinned before the memory goes back to the heap: the device must not
    // reach memory that may be handed out again. Memory the driver did not
    // unpin stays with this object, which may try again.
    if (vdlcard_unlockmem(static_cast<vdlcard_handle*>(m_handle), lockRecord) != 0)
        throw VDLException<-34>("could not unpin PCI virtual memory");
    std::free(virtAddr);
    lockRecord = nullptr;
    virtAddr = nullptr;
}

void VdlpciLockedVirtualMemory::flushCache(bool toCpu)
{
    VDL_TRACE(LOGGER_PCI, "flushing cache");
    if (lockRecord == nullptr)
        throwReleased();
    requireOwner(ownerPid, kWhat);
    auto* hcard = static_cast<vdlcard_handle*>(m_handle);
    const int result = toCpu ? vdlcard_lockedmem_sync_for_cpu(hcard, lockRecord)
                             : vdlcard_lockedmem_sync_for_dev(hcard, lockRecord);
    if (result != 0)
        throw VDLException<-34>("could not flush cache");
}

void VdlpciLockedVirtualMemory::phys_addr(unsigned long offset, unsigned long& phys)
{
    const unsigned long page = pageSize();
    const int shift = __builtin_popcountl(page - 1);
    if (lockRecord == nullptr)
        throwReleased();
    requireOwner(ownerPid, kWhat);
    const unsigned long index = offset >> shift;
    // Only a byte of the region has a bus address: the table's entry past
    // the region's last page is not the region's, and the size bounds the
    // lookup within the table the library allocated.
    if (offset >= m_size || index >= lockRecord->npages)
        throw VDLException<-8>(
            "PCI virtual memory physical address offset {:#016x} was out of range {:#016x}",
            offset, m_size);
    phys = lockRecord->pages[index].phys + (offset & (page - 1));
}

void VdlpciLockedVirtualMemory::writeAddressToBar(unsigned long, int, unsigned long, int)
{
    throw VDLException<-2>("function {} is currently not supported", "writeAddressToBar");
}

void VdlpciLockedVirtualMemory::writeAddressToContiguousKmem(unsigned long, VdlpciKernelBuffer*,
                                                            unsigned long, int)
{
    throw VDLException<-2>("function {} is currently not supported",
                           "writeAddressToContiguousKmem");
}

void* VdlpciLockedVirtualMemory::vmem() { return virtAddr; }

int VdlpciLockedVirtualMemory::write(unsigned long offset, unsigned char* data, int width)
{
    if (data == nullptr)
        throw VDLException<-6>("A null pointer was passed to the buffer argument");
    if (offset >= m_size)
        throw VDLException<-8>("PCI virtual memory write address {:#016x} was out of range {:#016x}",
                               offset, m_size);
    if (!isAccessWidth(width))
        throw VDLException<-6>("invalid width {}", width);
    // The region ends at the size; after free_mem it is gone altogether.
    if (m_size - offset < static_cast<unsigned long>(width))
        throw VDLException<-8>("PCI virtual memory write address {:#016x} was out of range {:#016x}",
                               offset, m_size);
    if (virtAddr == nullptr)
        throwReleased();
    moveElement<true>(static_cast<unsigned char*>(virtAddr) + offset, data, width);
    return width;
}

int VdlpciLockedVirtualMemory::read(unsigned long offset, unsigned char* data, int width)
{
    if (data == nullptr)
        throw VDLException<-6>("A null pointer was passed to the buffer argument");
    if (offset >= m_size)
        throw VDLException<-8>("PCI virtual memory read address {:#016x} was out of range {:#016x}",
                               offset, m_size);
    if (!isAccessWidth(width))
        throw VDLException<-6>("invalid width {}", width);
    if (m_size - offset < static_cast<unsigned long>(width))
        throw VDLException<-8>("PCI virtual memory read address {:#016x} was out of range {:#016x}",
                               offset, m_size);
    if (virtAddr == nullptr)
        throwReleased();
    moveElement<false>(static_cast<unsigned char*>(virtAddr) + offset, data, width);
    return width;
}

namespace {

[[noreturn]] __attribute__((cold)) void throwOutsideRegion(bool write, unsigned long offset,
                                                          unsigned long size)
{
    if (write)
        throw VDLException<-8>(
            "PCI virtual memory write address {:#016x} was out of range {:#016x}", offset, size);
    throw VDLException<-8>("PCI virtual memory read address {:#016x} was out of range {:#016x}",
                           offset, size);
}

} // namespace

// For the exact class: one range check for the run, whose outcome is that of
// the element accesses one by one (the first element refused after those
// before it were moved; a released region refuses its first element), then
// the elements.
template <int W, bool Write>
int vdlpci_detail::lockedElements(VdlpciLockedVirtualMemory& memory, unsigned long offset,
                                  unsigned char* data, int count)
{
    const unsigned long size = memory.storedSize();
    const unsigned long inside = offset > size ? 0 : (size - offset) / W;
    if (inside == 0)
        throwOutsideRegion(Write, offset, size);
    auto* region = static_cast<unsigned char*>(memory.vmem());
    if (region == nullptr)
        throwReleased();
    const auto wanted = static_cast<unsigned long>(count);
    const unsigned long moved = inside < wanted ? inside : wanted;
    moveElements<W, Write>(region + offset, data, moved);
    if (moved < wanted)
        throwOutsideRegion(Write, offset + moved * W, size);
    return count;
}

template int vdlpci_detail::lockedElements<1, false>(VdlpciLockedVirtualMemory&, unsigned long,
                                                     unsigned char*, int);
template int vdlpci_detail::lockedElements<2, false>(VdlpciLockedVirtualMemory&, unsigned long,
                                                     unsigned char*, int);
template int vdlpci_detail::lockedElements<4, false>(VdlpciLockedVirtualMemory&, unsigned long,
                                                     unsigned char*, int);
template int vdlpci_detail::lockedElements<8, false>(VdlpciLockedVirtualMemory&, unsigned long,
                                                     unsigned char*, int);
template int vdlpci_detail::lockedElements<1, true>(VdlpciLockedVirtualMemory&, unsigned long,
                                                    unsigned char*, int);
template int vdlpci_detail::lockedElements<2, true>(VdlpciLockedVirtualMemory&, unsigned long,
                                                    unsigned char*, int);
template int vdlpci_detail::lockedElements<4, true>(VdlpciLockedVirtualMemory&, unsigned long,
                                                    unsigned char*, int);
template int vdlpci_detail::lockedElements<8, true>(VdlpciLockedVirtualMemory&, unsigned long,
                                                    unsigned char*, int);
