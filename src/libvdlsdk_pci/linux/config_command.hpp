#pragma once
// One configuration register command through the driver, as the card's own
// space and the bridge above it both send it.
#include <cstdint>

#include "vdlsdk/vdlcard.h"

namespace vdlpci_detail {

// A register of 1, 2 or 4 bytes must lie wholly inside the space: one that
// starts inside and runs past its end (4 bytes at 0xFFE) is refused like one
// that starts beyond. An 8-byte access is two dword registers, each checked as
// it is sent: one that starts in the last dword moves that dword and is
// refused at the second.
inline bool outsideSpace(unsigned long offset, unsigned long width, unsigned long size)
{
    constexpr unsigned long kRegister = 4;
    const unsigned long checked = width < kRegister ? width : kRegister;
    return offset >= size || size - offset < checked;
}

// The command word of a register access of 1, 2 or 4 bytes.
inline std::uint32_t commandOfWidth(int width, std::uint32_t of8, std::uint32_t of16,
                                    std::uint32_t of32)
{
    return width == 1 ? of8 : width == 2 ? of16 : of32;
}

// The driver moves the value through the word at readBuffer in both
// directions; a bridge's command also carries the descriptor that names it.
inline int configCommand(void* handle, std::uint32_t command, unsigned long offset,
                         std::uint32_t& value,
                         const vdlcard_upstream_descriptor* upstream = nullptr)
{
    vdlcard_command packet{};
    packet.command = command;
    if (upstream != nullptr) {
        packet.writeCount = VDLCARD_UPSTREAM_DESCRIPTOR_SIZE;
        packet.writeBuffer = upstream;
    }
    packet.readCount = 1;
    packet.readBuffer = &value;
    packet.address = offset;
    return vdlcard_Status(static_cast<vdlcard_handle*>(handle), VDLCARD_STATUS_COMMAND, &packet);
}

} // namespace vdlpci_detail
