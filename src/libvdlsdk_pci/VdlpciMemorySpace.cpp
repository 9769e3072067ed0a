// The element operations every memory space shares, built on its one
// element access.
#include "vdlsdk/VdlpciMemorySpace.hpp"

#include <cstddef>
#include <cstdint>

#include "element_loop.hpp"
#include "vdlsdk/vdl_exception.hpp"

namespace {

constexpr int kWidth8 = 1;
constexpr int kWidth16 = 2;
constexpr int kWidth32 = 4;
constexpr int kWidth64 = 8;

using ElementAccess = int (VdlpciMemorySpace::*)(unsigned long, unsigned char*, int);
using vdlpci_detail::OwnKind;

// The loop over any space's element access. The running byte count is 64-bit
// so that a run of 2 GiB or more still reports its element count.
int anyElements(VdlpciMemorySpace& space, ElementAccess access, unsigned long offset,
                unsigned char* data, int width, int count)
{
    const int visit = vdlpci_detail::elementsBeforeWrap(offset, width, count);
    const auto step = static_cast<std::ptrdiff_t>(width);
    std::int64_t bytes = 0;
    for (int i = 0; i < visit; ++i) {
        const int result = (space.*access)(offset + static_cast<unsigned long>(i * step),
                                           data + i * step, width);
        if (result < 0)
            return result;
        bytes += result;
    }
    if (visit < count)
        vdlpci_detail::throwWrapped(offset, width, visit);
    // Every kind refuses widths other than 1, 2, 4 and 8, but one that merely
    // transfers nothing must not make the division fault.
    if (width <= 0)
        return 0;
    return static_cast<int>(bytes / width);
}

template <bool Write>
int elementLoop(VdlpciMemorySpace& space, unsigned long offset, unsigned char* data, int width,
                int count)
{
    if (data == nullptr)
        vdlpci_detail::throwNullBuffer();
    if (count <= 0)
        return 0;
    const OwnKind kind = vdlpci_detail::ownKind(space);
    if (kind != OwnKind::None) {
        using vdlpci_detail::ownElements;
        switch (width) {
        case kWidth8: return ownElements<kWidth8, Write>(kind, space, offset, data, count);
        case kWidth16: return ownElements<kWidth16, Write>(kind, space, offset, data, count);
        case kWidth32: return ownElements<kWidth32, Write>(kind, space, offset, data, count);
        case kWidth64: return ownElements<kWidth64, Write>(kind, space, offset, data, count);
        default: break;
        }
    }
    return anyElements(space, Write ? &VdlpciMemorySpace::write : &VdlpciMemorySpace::read,
                       offset, data, width, count);
}

} // namespace

void vdlpci_detail::throwWrapped(unsigned long offset, int width, int index)
{
    throw VDLException<-8>("element {} of {} bytes from offset {:#016x} would pass the end of the "
                           "address space",
                           index, width, offset);
}

void vdlpci_detail::throwNullBuffer()
{
    throw VDLException<-5>("A null pointer was passed to the buffer argument");
}

VdlpciMemorySpace::VdlpciMemorySpace(void* handle, VdlpciMsType type, unsigned long size)
    : m_handle(handle), m_type(type), m_size(size)
{
}

VdlpciMemorySpace::~VdlpciMemorySpace() = default;

unsigned long VdlpciMemorySpace::size() { return m_size; }

void* VdlpciMemorySpace::deviceHandle() { return m_handle; }

void VdlpciMemorySpace::setHandle(void* handle) { m_handle = handle; }

int VdlpciMemorySpace::write8s(unsigned long offset, unsigned char* data, int count)
{
    return writes(offset, data, kWidth8, count);
}

int VdlpciMemorySpace::write16s(unsigned long offset, unsigned short* data, int count)
{
    return writes(offset, reinterpret_cast<unsigned char*>(data), kWidth16, count);
}

int VdlpciMemorySpace::write32s(unsigned long offset, unsigned int* data, int count)
{
    return writes(offset, reinterpret_cast<unsigned char*>(data), kWidth32, count);
}

int VdlpciMemorySpace::write64s(unsigned long offset, unsigned long* data, int count)
{
    return writes(offset, reinterpret_cast<unsigned char*>(data), kWidth64, count);
}

int VdlpciMemorySpace::read8s(unsigned long offset, unsigned char* data, int count)
{
    return reads(offset, data, kWidth8, count);
}

int VdlpciMemorySpace::read16s(unsigned long offset, unsigned short* data, int count)
{
    return reads(offset, reinterpret_cast<unsigned char*>(data), kWidth16, count);
}

int VdlpciMemorySpace::read32s(unsigned long offset, unsigned int* data, int count)
{
    return reads(offset, reinterpret_cast<unsigned char*>(data), kWidth32, count);
}

int VdlpciMemorySpace::read64s(unsigned long offset, unsigned long* data, int count)
{
    return reads(offset, reinterpret_cast<unsigned char*>(data), kWidth64, count);
}

int VdlpciMemorySpace::writes(unsigned long offset, unsigned char* data, int width, int count)
{
    return elementLoop<true>(*this, offset, data, width, count);
}

int VdlpciMemorySpace::reads(unsigned long offset, unsigned char* data, int width, int count)
{
    return elementLoop<false>(*this, offset, data, width, count);
}
