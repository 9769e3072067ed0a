// A card's configuration space through the driver's command request: one
// request per access of 1, 2 or 4 bytes, two for 8.
#include "vdlsdk/VdlpciLinuxConfigSpace.hpp"

#include <cstdint>
#include <cstring>

#include "element_access.hpp"
#include "linux/config_command.hpp"
#include "pci_regs.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"

namespace {

constexpr int DWORD_BYTES = 4;
constexpr int QWORD_BYTES = 8;

using vdlpci_detail::commandOfWidth;
using vdlpci_detail::configCommand;
using vdlpci_detail::isAccessWidth;

} // namespace

VdlpciLinuxConfigSpace::VdlpciLinuxConfigSpace(void* handle) : VdlpciConfigSpace(handle) {}

VdlpciLinuxConfigSpace::~VdlpciLinuxConfigSpace() = default;

int VdlpciLinuxConfigSpace::read(unsigned long offset, unsigned char* data, int width)
{
    if (!isAccessWidth(width))
        throw VDLException<-6>("invalid width {}", width);
    if (offset >= size())
        throw VDLException<-8>("PCI config space read address {:#016x} was out of range {:#016x}",
                               offset, size());

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

    std::uint32_t value = 0;
    const std::uint32_t command = commandOfWidth(width, VDLCARD_CMD_CFG_READ8,
                                                 VDLCARD_CMD_CFG_READ16, VDLCARD_CMD_CFG_READ32);
    const int result = configCommand(deviceHandle(), command, offset, value);
    if (result == 0) {
        VDL_TRACE(LOGGER_PCI, "Reading PCIe config register {:#016x}: {:#016x}", offset, value);
    } else if (width == 1) {
        VDL_ERROR(LOGGER_PCI, "Error reading8 PCIe confg register {:#016x}", offset);
    } else if (width == 2) {
        VDL_ERROR(LOGGER_PCI, "Error reading16 PCIe confg register {:#016x}", offset);
    } else {
        VDL_ERROR(LOGGER_PCI, "Error reading32 PCIe confg register {:#016x}", offset);
    }
    std::memcpy(data, &value, static_cast<std::size_t>(width));
    return result < 0 ? result : width;
}

int VdlpciLinuxConfigSpace::write(unsigned long offset, unsigned char* data, int width)
{
    if (!isAccessWidth(width))
        throw VDLException<-6>("invalid width {}", width);
    if (offset >= size())
        throw VDLException<-8>("PCI config space write address {:#016x} was out of range {:#016x}",
                               offset, size());

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

    std::uint32_t value = 0;
    std::memcpy(&value, data, static_cast<std::size_t>(width));
    const std::uint32_t command = commandOfWidth(width, VDLCARD_CMD_CFG_WRITE8,
                                                 VDLCARD_CMD_CFG_WRITE16, VDLCARD_CMD_CFG_WRITE32);
    const int result = configCommand(deviceHandle(), command, offset, value);
    if (result == 0) {
        if (width == 1)
            VDL_TRACE(LOGGER_PCI, "Writing PCIe config register {:#016x}: {:#016X}", offset, value);
        else
            VDL_TRACE(LOGGER_PCI, "Writing PCIe config register {:#016x}: {:#016x}", offset, value);
    } else if (width == 1) {
        VDL_ERROR(LOGGER_PCI, "Error writing8 PCIe config register");
    } else if (width == 2) {
        VDL_ERROR(LOGGER_PCI, "Error writing16 PCIe config register");
    } else {
        VDL_ERROR(LOGGER_PCI, "Error writing32 PCIe config register");
    }
    return result < 0 ? result : width;
}

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
