// A card's configuration space through the driver's command request: one
// request per access of 1, 2 or 4 bytes, two for 8.
#include "vdlsdk/VdlpciLinuxConfigSpace.hpp"

#include <cstdint>
#include <cstring>

#include "element_access.hpp"
#include "element_loop.hpp"
#include "linux/config_element.hpp"
#include "pci_regs.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"

namespace {

constexpr int DWORD_BYTES = 4;
constexpr int QWORD_BYTES = 8;

// The traces name the element access they come from, "read" or "write".
constexpr const char* kRead = "read";
constexpr const char* kWrite = "write";

using vdlpci_detail::configRead;
using vdlpci_detail::configWrite;
using vdlpci_detail::isAccessWidth;

[[noreturn]] __attribute__((cold)) void throwInvalidWidth(int width)
{
    throw VDLException<-6>("invalid width {}", width);
}

} // namespace

void vdlpci_detail::throwConfigOutOfRange(bool write, unsigned long offset, unsigned long size)
{
    if (write)
        throw VDLException<-8>("PCI config space write address {:#016x} was out of range {:#016x}",
                               offset, size);
    throw VDLException<-8>("PCI config space read address {:#016x} was out of range {:#016x}",
                           offset, size);
}

void vdlpci_detail::logConfigReadFailure(int width, unsigned long offset)
{
    if (width == 1)
        VDL_ERROR(LOGGER_PCI, "Error reading8 PCIe confg register {:#016x}", offset);
    else if (width == 2)
        VDL_ERROR(LOGGER_PCI, "Error reading16 PCIe confg register {:#016x}", offset);
    else
        VDL_ERROR(LOGGER_PCI, "Error reading32 PCIe confg register {:#016x}", offset);
}

void vdlpci_detail::logConfigWriteFailure(int width)
{
    if (width == 1)
        VDL_ERROR(LOGGER_PCI, "Error writing8 PCIe config register");
    else if (width == 2)
        VDL_ERROR(LOGGER_PCI, "Error writing16 PCIe config register");
    else
        VDL_ERROR(LOGGER_PCI, "Error writing32 PCIe config register");
}

void vdlpci_detail::traceConfigHalfFailed(bool write, bool first)
{
    if (!write)
        VDL_TRACE_IN(LOGGER_PCI, kRead, "Error reading PCIe register");
    else if (first)
        VDL_TRACE_IN(LOGGER_PCI, kWrite, "Error writing64 PCIe config register");
    else
        VDL_TRACE_IN(LOGGER_PCI, kWrite, "Error writing PCIe register");
}

void vdlpci_detail::traceConfigRead(unsigned long offset, std::uint32_t value)
{
    VDL_TRACE_IN(LOGGER_PCI, kRead, "Reading PCIe config register {:#016x}: {:#016x}", offset,
                 value);
}

void vdlpci_detail::traceConfigWritten(int width, unsigned long offset, std::uint32_t value)
{
    if (width == 1)
        VDL_TRACE_IN(LOGGER_PCI, kWrite, "Writing PCIe config register {:#016x}: {:#016X}", offset,
                     value);
    else
        VDL_TRACE_IN(LOGGER_PCI, kWrite, "Writing PCIe config register {:#016x}: {:#016x}", offset,
                     value);
}

VdlpciLinuxConfigSpace::VdlpciLinuxConfigSpace(void* handle) : VdlpciConfigSpace(handle) {}

VdlpciLinuxConfigSpace::~VdlpciLinuxConfigSpace() = default;

// An 8-byte access is two 4-byte ones through the virtual read and write, so
// that a class derived from this one sees both halves.
int VdlpciLinuxConfigSpace::read(unsigned long offset, unsigned char* data, int width)
{
    if (!isAccessWidth(width))
        throwInvalidWidth(width);
    const unsigned long limit = size();
    if (vdlpci_detail::outsideSpace(offset, static_cast<unsigned long>(width), limit))
        vdlpci_detail::throwConfigOutOfRange(false, offset, limit);

    if (width == QWORD_BYTES) {
        int result = read(offset, data, DWORD_BYTES);
        if (result != DWORD_BYTES) {
            VDL_TRACE(LOGGER_PCI, "Error reading PCIe register");
            return result;
        }
        result = read(offset + DWORD_BYTES, data + DWORD_BYTES, DWORD_BYTES);
        if (result != DWORD_BYTES) {
            VDL_TRACE(LOGGER_PCI, "Error reading PCIe register");
            return result;
        }
        return QWORD_BYTES;
    }
    void* handle = deviceHandle();
    switch (width) {
    case 1: return configRead<1>(handle, limit, offset, data);
    case 2: return configRead<2>(handle, limit, offset, data);
    default: return configRead<DWORD_BYTES>(handle, limit, offset, data);
    }
}

int VdlpciLinuxConfigSpace::write(unsigned long offset, unsigned char* data, int width)
{
    if (!isAccessWidth(width))
        throwInvalidWidth(width);
    const unsigned long limit = size();
    if (vdlpci_detail::outsideSpace(offset, static_cast<unsigned long>(width), limit))
        vdlpci_detail::throwConfigOutOfRange(true, offset, limit);

    if (width == QWORD_BYTES) {
        int result = write(offset, data, DWORD_BYTES);
        if (result != DWORD_BYTES) {
            VDL_TRACE(LOGGER_PCI, "Error writing64 PCIe config register");
            return result;
        }
        result = write(offset + DWORD_BYTES, data + DWORD_BYTES, DWORD_BYTES);
        if (result != DWORD_BYTES) {
            VDL_TRACE(LOGGER_PCI, "Error writing PCIe register");
            return result;
        }
        return QWORD_BYTES;
    }
    void* handle = deviceHandle();
    switch (width) {
    case 1: return configWrite<1>(handle, limit, offset, data);
    case 2: return configWrite<2>(handle, limit, offset, data);
    default: return configWrite<DWORD_BYTES>(handle, limit, offset, data);
    }
}

// For the exact class, whose size, deviceHandle, read and write are the ones
// above: the halves of an 8-byte element are this class's own 4-byte accesses.
template <int W, bool Write>
int vdlpci_detail::configElements(VdlpciLinuxConfigSpace& config, unsigned long offset,
                                  unsigned char* data, int count)
{
    void* handle = config.storedHandle();
    const unsigned long limit = config.storedSize();
    return countedElements<W>(offset, data, count, [&](unsigned long at, unsigned char* element) {
        return Write ? configWrite<W>(handle, limit, at, element)
                     : configRead<W>(handle, limit, at, element);
    });
}

template <int W, bool Write>
int vdlpci_detail::configElement(VdlpciLinuxConfigSpace& config, unsigned long offset,
                                 unsigned char* data)
{
    void* handle = config.storedHandle();
    const unsigned long limit = config.storedSize();
    const int result = Write ? configWrite<W>(handle, limit, offset, data)
                             : configRead<W>(handle, limit, offset, data);
    return result < 0 ? result : result / W;
}

template int vdlpci_detail::configElements<1, false>(VdlpciLinuxConfigSpace&, unsigned long,
                                                     unsigned char*, int);
template int vdlpci_detail::configElements<2, false>(VdlpciLinuxConfigSpace&, unsigned long,
                                                     unsigned char*, int);
template int vdlpci_detail::configElements<4, false>(VdlpciLinuxConfigSpace&, unsigned long,
                                                     unsigned char*, int);
template int vdlpci_detail::configElements<8, false>(VdlpciLinuxConfigSpace&, unsigned long,
                                                     unsigned char*, int);
template int vdlpci_detail::configElements<1, true>(VdlpciLinuxConfigSpace&, unsigned long,
                                                    unsigned char*, int);
template int vdlpci_detail::configElements<2, true>(VdlpciLinuxConfigSpace&, unsigned long,
                                                    unsigned char*, int);
template int vdlpci_detail::configElements<4, true>(VdlpciLinuxConfigSpace&, unsigned long,
                                                    unsigned char*, int);
template int vdlpci_detail::configElements<8, true>(VdlpciLinuxConfigSpace&, unsigned long,
                                                    unsigned char*, int);

template int vdlpci_detail::configElement<1, false>(VdlpciLinuxConfigSpace&, unsigned long,
                                                    unsigned char*);
template int vdlpci_detail::configElement<2, false>(VdlpciLinuxConfigSpace&, unsigned long,
                                                    unsigned char*);
template int vdlpci_detail::configElement<4, false>(VdlpciLinuxConfigSpace&, unsigned long,
                                                    unsigned char*);
template int vdlpci_detail::configElement<8, false>(VdlpciLinuxConfigSpace&, unsigned long,
                                                    unsigned char*);
template int vdlpci_detail::configElement<1, true>(VdlpciLinuxConfigSpace&, unsigned long,
                                                   unsigned char*);
template int vdlpci_detail::configElement<2, true>(VdlpciLinuxConfigSpace&, unsigned long,
                                                   unsigned char*);
template int vdlpci_detail::configElement<4, true>(VdlpciLinuxConfigSpace&, unsigned long,
                                                   unsigned char*);
template int vdlpci_detail::configElement<8, true>(VdlpciLinuxConfigSpace&, unsigned long,
                                                   unsigned char*);

int VdlpciLinuxConfigSpace::displayConfigRegisters(unsigned long limit)
{
    const unsigned long end = limit < size() ? limit : size();
    int result = 0;
    for (unsigned long offset = 0; offset < end; offset += DWORD_BYTES) {
        std::uint32_t value = 0;
        result = read(offset, reinterpret_cast<unsigned char*>(&value), DWORD_BYTES);
    }
    return result;
}

int VdlpciLinuxConfigSpace::enableMemorySpace()
{
    unsigned short command = pci_regs::COMMAND_MEMORY_SPACE_ENABLE;
    return write16s(pci_regs::COMMAND, &command, 1);
}
