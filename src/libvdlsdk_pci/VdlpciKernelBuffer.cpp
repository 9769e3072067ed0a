// A contiguous DMA buffer allocated by the driver and mapped into the process.
#include "vdlsdk/VdlpciKernelBuffer.hpp"

#include <cstdint>
#include <new>

#include <unistd.h>

#include "element_access.hpp"
#include "element_loop.hpp"
#include "process_owner.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"

namespace {

constexpr unsigned int kAddressWordBits = 32;

using vdlpci_detail::moveElement;
using vdlpci_detail::moveElements;
using vdlpci_detail::isAccessWidth;
using vdlpci_detail::kMaxDriverLength;
using vdlpci_detail::ownedHere;
using vdlpci_detail::requireOwner;

constexpr const char* kWhat = "PCI kernel buffer";

} // namespace

VdlpciKernelBuffer::VdlpciKernelBuffer(void* handle, unsigned long size, unsigned int physLo,
                                       unsigned int physHi, void* virtAddr)
    : VdlpciMemorySpace(handle, VDLPCI_MS_KERNEL_BUFFER, size),
      physLo(physLo),
      physHi(physHi),
      virtAddr(virtAddr),
      driverLength(size),
      ownerPid(::getpid())
{
}

VdlpciKernelBuffer::~VdlpciKernelBuffer()
{
    if (!ownedHere(ownerPid)) {
        // The buffer and its mapping stay the owner's; only this process's
        // record of it on the handle's list goes.
        if (driverLength != 0) {
            auto* hcard = static_cast<vdlcard_handle*>(m_handle);
            vdlcard_contig_buffer_list_remove(hcard, vdlcard_find_buffer_from_list(hcard, virtAddr));
        }
        return;
    }
    try {
        freeKernelBuffer();
    } catch (const VDLBaseException& e) {
        // Nothing can be retried any more; the buffer stays with the driver
        // until the node is closed.
        try {
            e.log();
        } catch (...) {
        }
    }
}

void VdlpciKernelBuffer::alloc(void* handle, unsigned long size, VdlpciKernelBuffer*& out)
{
    // A length the driver's record cannot carry would silently give a smaller
    // buffer, and one of 0 bytes would be born released.
    if (size == 0 || size > kMaxDriverLength)
        throw VDLException<-34>("Unable to allocate memory.");
    auto* hcard = static_cast<vdlcard_handle*>(handle);
    vdlcard_contig_request request{};
    request.len = static_cast<std::uint32_t>(size);
    if (vdlcard_Control(hcard, VDLCARD_CONTROL_ALLOC, &request) != 0)
        throw VDLException<-34>("Unable to allocate memory.");
    auto* buffer = new (std::nothrow)
        VdlpciKernelBuffer(handle, size, request.phys[VDLCARD_PHYS_LO],
                           request.phys[VDLCARD_PHYS_HI], request.vaddr);
    if (buffer == nullptr) {
        vdlcard_Control(hcard, VDLCARD_CONTROL_FREE, &request);
        throw VDLException<-34>("Unable to allocate memory.");
    }
    // A driver may round the buffer up (never down: the interface refuses
    // that). The caller works within the length it asked for; the driver
    // is told of the buffer it gave.
    buffer->driverLength = request.len;
    out = buffer;
}

namespace {

vdlcard_contig_request driverRequest(unsigned int physHi, unsigned int physLo, void* vaddr,
                                     unsigned long size)
{
    vdlcard_contig_request request{};
    request.phys[VDLCARD_PHYS_HI] = physHi;
    request.phys[VDLCARD_PHYS_LO] = physLo;
    request.vaddr = vaddr;
    request.len = static_cast<std::uint32_t>(size);
    return request;
}

} // namespace

void VdlpciKernelBuffer::freeKernelBuffer()
{
    if (driverLength == 0)
        return;
    requireOwner(ownerPid, kWhat);
    vdlcard_contig_request request = driverRequest(physHi, physLo, virtAddr, driverLength);
    const int result =
        vdlcard_Control(static_cast<vdlcard_handle*>(m_handle), VDLCARD_CONTROL_FREE, &request);
    // Whatever the driver answered, the mapping is gone.
    virtAddr = nullptr;
    m_size = 0;
    if (result != 0)
        throw VDLException<-34>("could not free the kernel buffer at bus address {:#016x}",
                                (static_cast<unsigned long>(physHi) << kAddressWordBits) | physLo);
    driverLength = 0;
    physLo = 0;
    physHi = 0;
}

void VdlpciKernelBuffer::flushCache(bool toCpu)
{
    if (m_size == 0)
        throw VDLException<-7>("could not flush cache - buffer size was zero");
    requireOwner(ownerPid, kWhat);
    vdlcard_contig_request request = driverRequest(physHi, physLo, virtAddr, driverLength);
    if (vdlcard_Control(static_cast<vdlcard_handle*>(m_handle),
                        toCpu ? VDLCARD_CONTROL_SYNC_FOR_CPU : VDLCARD_CONTROL_SYNC_FOR_DEV,
                        &request) != 0)
        throw VDLException<-34>("could not flush cache");
}

void VdlpciKernelBuffer::phys_addr(unsigned long offset, unsigned long& phys)
{
    if (offset > m_size)
        throw VDLException<-8>(
            "PCI kernel buffer physical address offset {:#016x} was out of range {:#016x}", offset,
            m_size);
    requireOwner(ownerPid, kWhat);
    phys = ((static_cast<unsigned long>(physHi) << kAddressWordBits) | physLo) + offset;
}

unsigned int VdlpciKernelBuffer::phys_addrLo() { return physLo; }

unsigned int VdlpciKernelBuffer::phys_addrHi() { return physHi; }

void* VdlpciKernelBuffer::vmem() { return virtAddr; }

// The mapping ends at the size: an element that does not lie wholly inside it
// (a released buffer has size 0) would touch memory the process does not own.
int VdlpciKernelBuffer::write(unsigned long offset, unsigned char* data, int width)
{
    if (data == nullptr)
        throw VDLException<-6>("A null pointer was passed to the buffer argument");
    if (!isAccessWidth(width))
        throw VDLException<-6>("invalid width {}", width);
    if (offset >= m_size || m_size - offset < static_cast<unsigned long>(width))
        throw VDLException<-8>("PCI kernel buffer write address {:#016x} was out of range {:#016x}",
                               offset, m_size);
    moveElement<true>(static_cast<unsigned char*>(virtAddr) + offset, data, width);
    return width;
}

int VdlpciKernelBuffer::read(unsigned long offset, unsigned char* data, int width)
{
    if (data == nullptr)
        throw VDLException<-6>("A null pointer was passed to the buffer argument");
    if (!isAccessWidth(width))
        throw VDLException<-6>("invalid width {}", width);
    if (offset >= m_size || m_size - offset < static_cast<unsigned long>(width))
        throw VDLException<-8>("PCI kernel buffer read address {:#016x} was out of range {:#016x}",
                               offset, m_size);
    moveElement<false>(static_cast<unsigned char*>(virtAddr) + offset, data, width);
    return width;
}

namespace {

[[noreturn]] __attribute__((cold)) void throwOutsideBuffer(bool write, unsigned long offset,
                                                          unsigned long size)
{
    if (write)
        throw VDLException<-8>("PCI kernel buffer write address {:#016x} was out of range {:#016x}",
                               offset, size);
    throw VDLException<-8>("PCI kernel buffer read address {:#016x} was out of range {:#016x}",
                           offset, size);
}

} // namespace

// For the exact class: one range check for the run, whose outcome is that of
// the element accesses one by one (the first element not wholly inside the
// buffer is refused after those before it were moved), then the elements.
template <int W, bool Write>
int vdlpci_detail::kernelBufferElements(VdlpciKernelBuffer& buffer, unsigned long offset,
                                        unsigned char* data, int count)
{
    const unsigned long size = buffer.storedSize();
    const unsigned long inside = offset > size ? 0 : (size - offset) / W;
    const auto wanted = static_cast<unsigned long>(count);
    const unsigned long moved = inside < wanted ? inside : wanted;
    if (moved > 0)
        moveElements<W, Write>(static_cast<unsigned char*>(buffer.vmem()) + offset, data, moved);
    if (moved < wanted)
        throwOutsideBuffer(Write, offset + moved * W, size);
    return count;
}

template int vdlpci_detail::kernelBufferElements<1, false>(VdlpciKernelBuffer&, unsigned long,
                                                           unsigned char*, int);
template int vdlpci_detail::kernelBufferElements<2, false>(VdlpciKernelBuffer&, unsigned long,
                                                           unsigned char*, int);
template int vdlpci_detail::kernelBufferElements<4, false>(VdlpciKernelBuffer&, unsigned long,
                                                           unsigned char*, int);
template int vdlpci_detail::kernelBufferElements<8, false>(VdlpciKernelBuffer&, unsigned long,
                                                           unsigned char*, int);
template int vdlpci_detail::kernelBufferElements<1, true>(VdlpciKernelBuffer&, unsigned long,
                                                          unsigned char*, int);
template int vdlpci_detail::kernelBufferElements<2, true>(VdlpciKernelBuffer&, unsigned long,
                                                          unsigned char*, int);
template int vdlpci_detail::kernelBufferElements<4, true>(VdlpciKernelBuffer&, unsigned long,
                                                          unsigned char*, int);
template int vdlpci_detail::kernelBufferElements<8, true>(VdlpciKernelBuffer&, unsigned long,
                                                          unsigned char*, int);
