#pragma once
// One BAR register request of the driver interface: the command packet on
// the stack and one ioctl. vdlcard_Read32, vdlcard_Write32, vdlcard_Read64
// and vdlcard_Write64 are this; the exported element functions of the
// library's own BAR windows use it inline.
#include <cstdint>

#include <sys/ioctl.h>

#include "vdlsdk/vdlcard.h"

namespace vdlpci_detail {

// `in` set: a write of the value at `in`; otherwise a read into `out`.
// True when the driver carried it out.
inline bool barRequest(const vdlcard_handle* hcard, std::uint32_t command, std::uint32_t bar,
                       const void* in, void* out, std::uint64_t offset)
{
    if (hcard == nullptr)
        return false;
    vdlcard_command cmd{};
    cmd.command = command | (bar & VDLCARD_CMD_BAR_MASK);
    if (in != nullptr) {
        cmd.writeCount = 1;
        cmd.writeBuffer = in;
    } else {
        cmd.readCount = 1;
        cmd.readBuffer = out;
    }
    cmd.address = offset;
    return ::ioctl(hcard->fd, VDLCARD_REQ_COMMAND, &cmd) == 0;
}

} // namespace vdlpci_detail
