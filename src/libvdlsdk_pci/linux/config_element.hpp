#pragma once
// One register element of the card's configuration space: one command
// request for 1, 2 or 4 bytes, two 4-byte ones for 8. Shared by the class's
// element access and its element loops, and by the exported functions'
// direct path for a single element; the checks, texts and requests are those
// of VdlpciLinuxConfigSpace::read and write.
#include <cstdint>
#include <cstring>

#include "linux/config_command.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"

namespace vdlpci_detail {

inline constexpr int kConfigDword = 4;
inline constexpr int kConfigQword = 8;

// Out of line: raising, error lines and traces (texts and source as the
// class's own read and write give them).
[[noreturn]] __attribute__((cold)) void throwConfigOutOfRange(bool write, unsigned long offset,
                                                              unsigned long size);
__attribute__((cold)) void logConfigReadFailure(int width, unsigned long offset);
__attribute__((cold)) void logConfigWriteFailure(int width);
__attribute__((cold)) void traceConfigHalfFailed(bool write, bool first);
__attribute__((cold)) void traceConfigRead(unsigned long offset, std::uint32_t value);
__attribute__((cold)) void traceConfigWritten(int width, unsigned long offset,
                                              std::uint32_t value);

inline bool pciTracing()
{
    spdlog::logger* logger = ::VDLLogger<LOGGER_PCI>::_logger.get();
    return logger != nullptr && logger->should_log(spdlog::level::debug);
}

template <int W>
inline int configRead(void* handle, unsigned long size, unsigned long offset, unsigned char* data)
{
    if (outsideSpace(offset, W, size))
        throwConfigOutOfRange(false, offset, size);
    if constexpr (W == kConfigQword) {
        int result = configRead<kConfigDword>(handle, size, offset, data);
        if (result != kConfigDword) {
            traceConfigHalfFailed(false, true);
            return result;
        }
        result =
            configRead<kConfigDword>(handle, size, offset + kConfigDword, data + kConfigDword);
        if (result != kConfigDword) {
            traceConfigHalfFailed(false, false);
            return result;
        }
        return kConfigQword;
    } else {
        std::uint32_t value = 0;
        const std::uint32_t command = commandOfWidth(
            W, VDLCARD_CMD_CFG_READ8, VDLCARD_CMD_CFG_READ16, VDLCARD_CMD_CFG_READ32);
        const int result = configCommand(handle, command, offset, value);
        if (result != 0)
            logConfigReadFailure(W, offset);
        else if (pciTracing())
            traceConfigRead(offset, value);
        std::memcpy(data, &value, static_cast<std::size_t>(W));
        return result < 0 ? result : W;
    }
}

template <int W>
inline int configWrite(void* handle, unsigned long size, unsigned long offset,
                       unsigned char* data)
{
    if (outsideSpace(offset, W, size))
        throwConfigOutOfRange(true, offset, size);
    if constexpr (W == kConfigQword) {
        int result = configWrite<kConfigDword>(handle, size, offset, data);
        if (result != kConfigDword) {
            traceConfigHalfFailed(true, true);
            return result;
        }
        result =
            configWrite<kConfigDword>(handle, size, offset + kConfigDword, data + kConfigDword);
        if (result != kConfigDword) {
            traceConfigHalfFailed(true, false);
            return result;
        }
        return kConfigQword;
    } else {
        std::uint32_t value = 0;
        std::memcpy(&value, data, static_cast<std::size_t>(W));
        const std::uint32_t command = commandOfWidth(
            W, VDLCARD_CMD_CFG_WRITE8, VDLCARD_CMD_CFG_WRITE16, VDLCARD_CMD_CFG_WRITE32);
        const int result = configCommand(handle, command, offset, value);
        if (result != 0)
            logConfigWriteFailure(W);
        else if (pciTracing())
            traceConfigWritten(W, offset, value);
        return result < 0 ? result : W;
    }
}

} // namespace vdlpci_detail
