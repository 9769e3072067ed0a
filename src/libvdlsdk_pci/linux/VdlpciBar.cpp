// A BAR window reached through the driver's register requests.
#include "vdlsdk/VdlpciBar.hpp"

#include <cstdint>
#include <cstring>

#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"

namespace {

constexpr int kByte = 1;
constexpr int kHalf = 2;
constexpr int kWord = 4;
constexpr int kDouble = 8;

// Accesses of 1 and 2 bytes go through the 32-bit word that holds them.
constexpr unsigned long kWordOffsetMask = 3;
constexpr unsigned int kBitsPerByte = 8;
constexpr std::uint32_t kByteMask = 0xFFu;
constexpr std::uint32_t kHalfMask = 0xFFFFu;

constexpr int kOddOffset = -8;
constexpr int kInvalidWidth = -6;

constexpr unsigned long alignedWord(unsigned long offset) { return offset & ~kWordOffsetMask; }
constexpr unsigned int laneShift(unsigned long offset)
{
    return static_cast<unsigned int>(offset & kWordOffsetMask) * kBitsPerByte;
}

void logReadFailure(unsigned long offset)
{
    VDL_ERROR(LOGGER_PCI, "PCI bar could not read from offset {:#016x}", offset);
}

void logWriteFailure(unsigned long offset)
{
    VDL_ERROR(LOGGER_PCI, "PCI bar could not write to offset {:#016x}", offset);
}

void logInvalidWidth(int width) { VDL_ERROR(LOGGER_PCI, "invalid width {}", width); }

} // namespace

VdlpciBar::VdlpciBar(void* handle, int bar, unsigned long busAddress, unsigned long size)
    : VdlpciMemorySpace(handle, static_cast<VdlpciMsType>(bar), size), m_busAddress(busAddress)
{
}

VdlpciBar::~VdlpciBar() = default;

int VdlpciBar::read(unsigned long offset, unsigned char* data, int width)
{
    auto* handle = static_cast<vdlcard_handle*>(deviceHandle());
    const std::uint32_t bar = m_type;
    switch (width) {
    case kWord:
        if (vdlcard_Read32(handle, bar, reinterpret_cast<std::uint32_t*>(data), offset) == kWord)
            return kWord;
        logReadFailure(offset);
        return 0;
    case kDouble:
        if (vdlcard_Read64(handle, bar, reinterpret_cast<std::uint64_t*>(data), offset) ==
            kDouble)
            return kDouble;
        logReadFailure(offset);
        return 0;
    case kHalf:
    case kByte: {
        if (width == kHalf && (offset & 1) != 0) {
            VDL_TRACE(LOGGER_PCI, "offset not on 16 bit boundary");
            logReadFailure(offset);
            return kOddOffset;
        }
        std::uint32_t word = 0;
        const auto result = vdlcard_Read32(handle, bar, &word, alignedWord(offset));
        const std::uint32_t lane = word >> laneShift(offset);
        if (width == kHalf) {
            const auto value = static_cast<std::uint16_t>(lane & kHalfMask);
            std::memcpy(data, &value, sizeof(value));
        } else {
            *data = static_cast<unsigned char>(lane & kByteMask);
        }
        if (result == kWord)
            return width;
        logReadFailure(offset);
        return 0;
    }
    default:
        logInvalidWidth(width);
        return kInvalidWidth;
    }
}

int VdlpciBar::write(unsigned long offset, unsigned char* data, int width)
{
    auto* handle = static_cast<vdlcard_handle*>(deviceHandle());
    const std::uint32_t bar = m_type;
    switch (width) {
    case kWord:
        if (vdlcard_Write32(handle, bar, reinterpret_cast<const std::uint32_t*>(data), offset) ==
            kWord)
            return kWord;
        logWriteFailure(offset);
        return 0;
    case kDouble:
        if (vdlcard_Write64(handle, bar, reinterpret_cast<const std::uint64_t*>(data), offset) ==
            kDouble)
            return kDouble;
        logWriteFailure(offset);
        return 0;
    case kHalf:
    case kByte: {
        if (width == kHalf && (offset & 1) != 0) {
            VDL_TRACE(LOGGER_PCI, "offset not on 16 bit boundary");
            logWriteFailure(offset);
            return kOddOffset;
        }
        const unsigned long aligned = alignedWord(offset);
        const unsigned int shift = laneShift(offset);
        std::uint32_t word = 0;
        if (read(aligned, reinterpret_cast<unsigned char*>(&word), kWord) != kWord) {
            // The other bytes of the word are unknown now: writing it back would
            // overwrite them with zeros, so the element is not written.
            VDL_TRACE(LOGGER_PCI, "Read part of read modify write failed");
            logWriteFailure(offset);
            return 0;
        }
        std::uint32_t value;
        std::uint32_t mask;
        if (width == kHalf) {
            std::uint16_t half;
            std::memcpy(&half, data, sizeof(half));
            value = half;
            mask = kHalfMask;
        } else {
            value = *data;
            mask = kByteMask;
        }
        word = (word & ~(mask << shift)) | (value << shift);
        const int result = write(aligned, reinterpret_cast<unsigned char*>(&word), kWord);
        if (result == kWord)
            return width;
        VDL_TRACE(LOGGER_PCI, "Write part of read modify write failed");
        logWriteFailure(offset);
        return result;
    }
    default:
        logInvalidWidth(width);
        return kInvalidWidth;
    }
}

void VdlpciBar::phys_addr(unsigned long offset, unsigned long& phys)
{
    if (offset >= m_size)
        throw VDLException<-8>("PCI bar physical address offset {:#016x} was out of range {:#016x}",
                               offset, m_size);
    phys = m_busAddress + offset;
}
