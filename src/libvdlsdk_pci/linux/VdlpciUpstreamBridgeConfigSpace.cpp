// The bridge above a card, reached through the card's own node with the
// descriptor the driver hands out for it; failures raise.
#include "vdlsdk/VdlpciUpstreamBridgeConfigSpace.hpp"

#include <cstdint>
#include <cstring>

#include "linux/config_command.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"

namespace {

constexpr int DWORD_BYTES = 4;
constexpr int QWORD_BYTES = 8;

using vdlpci_detail::commandOfWidth;
using vdlpci_detail::configCommand;
using vdlpci_detail::outsideSpace;

bool isRegisterWidth(int width) { return width == 1 || width == 2 || width == 4; }

[[noreturn]] void throwOutOfRange(bool write, unsigned long offset, unsigned long size)
{
    if (write)
        throw VDLException<-8>(
            "PCI upstream config space write address {:#016x} was out of range {:#016x}", offset,
            size);
    throw VDLException<-8>(
        "PCI upstream config space read address {:#016x} was out of range {:#016x}", offset,
        size);
}

} // namespace

VdlpciUpstreamBridgeConfigSpace::VdlpciUpstreamBridgeConfigSpace(void* handle)
    : VdlpciConfigSpace(handle)
{
    SetupUpstream();
}

VdlpciUpstreamBridgeConfigSpace::~VdlpciUpstreamBridgeConfigSpace() = default;

int VdlpciUpstreamBridgeConfigSpace::SetupUpstream()
{
    vdlcard_command packet{};
    packet.readCount = VDLCARD_UPSTREAM_DESCRIPTOR_SIZE;
    packet.readBuffer = &m_descriptor;
    if (vdlcard_Status(static_cast<vdlcard_handle*>(deviceHandle()), VDLCARD_STATUS_UPSTREAM,
                       &packet) != 0)
        throw VDLException<-34>("Error finding upstream device");
    VDL_TRACE(LOGGER_PCI, "Upstream PCIe Vendor ID: {:#X}", m_descriptor.vendorId);
    VDL_TRACE(LOGGER_PCI, "Upstream PCIe Device ID: {:#X}", m_descriptor.deviceId);
    return 0;
}

int VdlpciUpstreamBridgeConfigSpace::read(unsigned long offset, unsigned char* data, int width)
{
    if (width == QWORD_BYTES) {
        read(offset, data, DWORD_BYTES);
        read(offset + DWORD_BYTES, data + DWORD_BYTES, DWORD_BYTES);
        return 0;
    }
    if (!isRegisterWidth(width))
        throw VDLException<-6>("invalid width {} when reading a memory space", width);
    if (outsideSpace(offset, static_cast<unsigned long>(width), size()))
        throwOutOfRange(false, offset, size());

    std::uint32_t value = 0;
    const std::uint32_t command = commandOfWidth(width, VDLCARD_CMD_UP_READ8,
                                                 VDLCARD_CMD_UP_READ16, VDLCARD_CMD_UP_READ32);
    if (configCommand(deviceHandle(), command, offset, value, &m_descriptor) != 0) {
        if (width == 1)
            throw VDLException<-34>("Error reading8 upstream PCIe config register {:#016x}",
                                    offset);
        if (width == 2)
            throw VDLException<-34>("Error reading16 upstream PCIe config register {:#016x}",
                                    offset);
        throw VDLException<-34>("Error reading32 upstream PCIe config register {:#016x}", offset);
    }
    if (width == DWORD_BYTES)
        VDL_TRACE(LOGGER_PCI, "PCIe config register {:#016X}: {:#08x}", offset, value);
    else
        VDL_TRACE(LOGGER_PCI, "PCIe config register {:#016x}: {:#02X}", offset, value);
    std::memcpy(data, &value, static_cast<std::size_t>(width));
    return 0;
}

int VdlpciUpstreamBridgeConfigSpace::write(unsigned long offset, unsigned char* data, int width)
{
    if (width == QWORD_BYTES) {
        write(offset, data, DWORD_BYTES);
        write(offset + DWORD_BYTES, data + DWORD_BYTES, DWORD_BYTES);
        return 0;
    }
    if (!isRegisterWidth(width))
        throw VDLException<-6>("invalid width {}", width);
    if (outsideSpace(offset, static_cast<unsigned long>(width), size()))
        throwOutOfRange(true, offset, size());

    // The driver reads the value from a buffer of the register's width; a
    // zeroed word keeps it from reaching past the caller's bytes.
    std::uint32_t value = 0;
    std::memcpy(&value, data, static_cast<std::size_t>(width));
    const std::uint32_t command = commandOfWidth(width, VDLCARD_CMD_UP_WRITE8,
                                                 VDLCARD_CMD_UP_WRITE16, VDLCARD_CMD_UP_WRITE32);
    if (configCommand(deviceHandle(), command, offset, value, &m_descriptor) != 0)
        throw VDLException<-34>("Error writing PCIe config register {:#016x}", offset);
    if (width == 1)
        VDL_TRACE(LOGGER_PCI, "Writing8 PCIe config register {:#016x}: {:#02X}", offset, value);
    else if (width == 2)
        VDL_TRACE(LOGGER_PCI, "Writing16 PCIe config register {:#016x}: {:#04X}", offset, value);
    else
        VDL_TRACE(LOGGER_PCI, "Writing32 PCIe config register {:#016x}: {:#08x}", offset, value);
    return 0;
}
