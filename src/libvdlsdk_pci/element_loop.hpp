#pragma once
// The element loop of every memory space and its fast paths for the
// library's own kinds of space, shared by the base class and the exported
// element functions.
#include <climits>
#include <cstdint>
#include <typeinfo>

#include "vdlsdk/VdlpciBar.hpp"
#include "vdlsdk/VdlpciKernelBuffer.hpp"
#include "vdlsdk/VdlpciLinuxConfigSpace.hpp"
#include "vdlsdk/VdlpciLockedVirtualMemory.hpp"
#include "vdlsdk/VdlpciMemorySpace.hpp"

namespace vdlpci_detail {

// The number of elements of a run, from the first, that the loop may visit:
// the first element whose offset would pass 2^64 ends it.
inline int elementsBeforeWrap(unsigned long offset, int width, int count)
{
    if (width <= 0 || count <= 0)
        return count;
    const unsigned long last = (ULONG_MAX - offset) / static_cast<unsigned long>(width);
    if (static_cast<unsigned long>(count - 1) <= last)
        return count;
    return static_cast<int>(last + 1);
}

// Raises the -8 of the element at `index`, the first whose offset would wrap.
[[noreturn]] void throwWrapped(unsigned long offset, int width, int index);
[[noreturn]] void throwNullBuffer();

// The kinds of space whose element operations are the library's own: the
// exact classes, not classes derived from them, which may override anything.
enum class OwnKind { None, Bar, Config, KernelBuffer, LockedMemory };

inline OwnKind ownKind(const VdlpciMemorySpace& space)
{
    const std::type_info* type = &typeid(space);
    if (type == &typeid(VdlpciBar))
        return OwnKind::Bar;
    if (type == &typeid(VdlpciLinuxConfigSpace))
        return OwnKind::Config;
    if (type == &typeid(VdlpciKernelBuffer))
        return OwnKind::KernelBuffer;
    if (type == &typeid(VdlpciLockedVirtualMemory))
        return OwnKind::LockedMemory;
    return OwnKind::None;
}

// Runs of `count` elements (1 or more) of width W for each own kind, with the
// results and failures of the element loop over that kind's element access.
template <int W, bool Write>
int barElements(VdlpciBar& bar, unsigned long offset, unsigned char* data, int count);
template <int W, bool Write>
int configElements(VdlpciLinuxConfigSpace& config, unsigned long offset, unsigned char* data,
                   int count);
template <int W, bool Write>
int kernelBufferElements(VdlpciKernelBuffer& buffer, unsigned long offset, unsigned char* data,
                         int count);
template <int W, bool Write>
int lockedElements(VdlpciLockedVirtualMemory& memory, unsigned long offset, unsigned char* data,
                   int count);

// A single register element, without the loop: 1 when it was transferred, 0
// when not, or the element's negative code.
template <int W, bool Write>
int barElement(VdlpciBar& bar, unsigned long offset, unsigned char* data);
template <int W, bool Write>
int configElement(VdlpciLinuxConfigSpace& config, unsigned long offset, unsigned char* data);

// The error line of a BAR element whose request failed.
__attribute__((cold)) void logBarFailure(bool write, unsigned long offset) noexcept;

template <int W, bool Write>
inline int ownElements(OwnKind kind, VdlpciMemorySpace& space, unsigned long offset,
                       unsigned char* data, int count)
{
    switch (kind) {
    case OwnKind::Bar:
        if (count == 1)
            return barElement<W, Write>(static_cast<VdlpciBar&>(space), offset, data);
        return barElements<W, Write>(static_cast<VdlpciBar&>(space), offset, data, count);
    case OwnKind::Config:
        if (count == 1)
            return configElement<W, Write>(static_cast<VdlpciLinuxConfigSpace&>(space), offset,
                                           data);
        return configElements<W, Write>(static_cast<VdlpciLinuxConfigSpace&>(space), offset, data,
                                        count);
    case OwnKind::KernelBuffer:
        return kernelBufferElements<W, Write>(static_cast<VdlpciKernelBuffer&>(space), offset,
                                              data, count);
    default:
        return lockedElements<W, Write>(static_cast<VdlpciLockedVirtualMemory&>(space), offset,
                                        data, count);
    }
}

// The loop over a run of elements whose access gives a byte count (0 for an
// element not transferred) or a negative code that ends the run.
template <int W, typename Access>
inline int countedElements(unsigned long offset, unsigned char* data, int count, Access&& access)
{
    const int visit = elementsBeforeWrap(offset, W, count);
    long bytes = 0;
    for (int i = 0; i < visit; ++i) {
        const long step = static_cast<long>(i) * W;
        const int result = access(offset + static_cast<unsigned long>(step), data + step);
        if (result < 0)
            return result;
        bytes += result;
    }
    if (visit < count)
        throwWrapped(offset, W, visit);
    return static_cast<int>(bytes / W);
}

} // namespace vdlpci_detail
