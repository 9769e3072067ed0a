// A BAR window reached through the driver's register requests.
#include "vdlsdk/VdlpciBar.hpp"

#include <cstdint>
#include <cstring>
#include <typeinfo>

#include "element_loop.hpp"
#include "linux/bar_request.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"

namespace {

using vdlpci_detail::barRequest;

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

} // namespace

void vdlpci_detail::logBarFailure(bool write, unsigned long offset) noexcept
{
    try {
        if (write)
            logWriteFailure(offset);
        else
            logReadFailure(offset);
    } catch (...) {
    }
}

namespace {

void logInvalidWidth(int width) { VDL_ERROR(LOGGER_PCI, "invalid width {}", width); }

// The traces name the element access they come from, "read" or "write".
constexpr const char* kRead = "read";
constexpr const char* kWrite = "write";

void logOddOffset(const char* access)
{
    VDL_TRACE_IN(LOGGER_PCI, access, "offset not on 16 bit boundary");
}

void logMergeFailure(bool readPart)
{
    if (readPart)
        VDL_TRACE_IN(LOGGER_PCI, kWrite, "Read part of read modify write failed");
    else
        VDL_TRACE_IN(LOGGER_PCI, kWrite, "Write part of read modify write failed");
}

// One element of a BAR: the request of its width (what vdlcard_Read32,
// vdlcard_Read64, vdlcard_Write32 and vdlcard_Write64 send), or for 1 and 2
// bytes the aligned word that holds it.
template <int W>
int readElement(vdlcard_handle* handle, std::uint32_t bar, unsigned long offset,
                unsigned char* data)
{
    if constexpr (W == kWord) {
        if (barRequest(handle, VDLCARD_CMD_BAR_READ32, bar, nullptr, data, offset))
            return kWord;
        logReadFailure(offset);
        return 0;
    } else if constexpr (W == kDouble) {
        if (barRequest(handle, VDLCARD_CMD_BAR_READ64, bar, nullptr, data, offset))
            return kDouble;
        logReadFailure(offset);
        return 0;
    } else {
        if (W == kHalf && (offset & 1) != 0) {
            logOddOffset(kRead);
            logReadFailure(offset);
            return kOddOffset;
        }
        std::uint32_t word = 0;
        const bool done =
            barRequest(handle, VDLCARD_CMD_BAR_READ32, bar, nullptr, &word, alignedWord(offset));
        const std::uint32_t lane = word >> laneShift(offset);
        if constexpr (W == kHalf) {
            const auto value = static_cast<std::uint16_t>(lane & kHalfMask);
            std::memcpy(data, &value, sizeof(value));
        } else {
            *data = static_cast<unsigned char>(lane & kByteMask);
        }
        if (done)
            return W;
        logReadFailure(offset);
        return 0;
    }
}

// `derived`: a class derived from VdlpciBar, whose own read and write of the
// aligned word a narrow write goes through; null for the exact class.
template <int W>
int writeElement(vdlcard_handle* handle, std::uint32_t bar, unsigned long offset,
                 unsigned char* data, VdlpciBar* derived = nullptr)
{
    if constexpr (W == kWord) {
        if (barRequest(handle, VDLCARD_CMD_BAR_WRITE32, bar, data, nullptr, offset))
            return kWord;
        logWriteFailure(offset);
        return 0;
    } else if constexpr (W == kDouble) {
        if (barRequest(handle, VDLCARD_CMD_BAR_WRITE64, bar, data, nullptr, offset))
            return kDouble;
        logWriteFailure(offset);
        return 0;
    } else {
        if (W == kHalf && (offset & 1) != 0) {
            logOddOffset(kWrite);
            logWriteFailure(offset);
            return kOddOffset;
        }
        const unsigned long aligned = alignedWord(offset);
        const unsigned int shift = laneShift(offset);
        std::uint32_t word = 0;
        auto* wordBytes = reinterpret_cast<unsigned char*>(&word);
        const int readPart = derived != nullptr
                                 ? derived->read(aligned, wordBytes, kWord)
                                 : readElement<kWord>(handle, bar, aligned, wordBytes);
        if (readPart != kWord) {
            // The other bytes of the word are unknown now: writing it back would
            // overwrite them with zeros, so the element is not written.
            logMergeFailure(true);
            logWriteFailure(offset);
            return 0;
        }
        std::uint32_t value;
        std::uint32_t mask;
        if constexpr (W == kHalf) {
            std::uint16_t half;
            std::memcpy(&half, data, sizeof(half));
            value = half;
            mask = kHalfMask;
        } else {
            value = *data;
            mask = kByteMask;
        }
        word = (word & ~(mask << shift)) | (value << shift);
        const int result = derived != nullptr
                               ? derived->write(aligned, wordBytes, kWord)
                               : writeElement<kWord>(handle, bar, aligned, wordBytes);
        if (result == kWord)
            return W;
        logMergeFailure(false);
        logWriteFailure(offset);
        return result;
    }
}

vdlcard_handle* driverHandle(VdlpciMemorySpace& space)
{
    return static_cast<vdlcard_handle*>(space.deviceHandle());
}

} // namespace

VdlpciBar::VdlpciBar(void* handle, int bar, unsigned long busAddress, unsigned long size)
    : VdlpciMemorySpace(handle, static_cast<VdlpciMsType>(bar), size), m_busAddress(busAddress)
{
}

VdlpciBar::~VdlpciBar() = default;

int VdlpciBar::read(unsigned long offset, unsigned char* data, int width)
{
    vdlcard_handle* handle = driverHandle(*this);
    switch (width) {
    case kWord: return readElement<kWord>(handle, m_type, offset, data);
    case kDouble: return readElement<kDouble>(handle, m_type, offset, data);
    case kHalf: return readElement<kHalf>(handle, m_type, offset, data);
    case kByte: return readElement<kByte>(handle, m_type, offset, data);
    default:
        logInvalidWidth(width);
        return kInvalidWidth;
    }
}

int VdlpciBar::write(unsigned long offset, unsigned char* data, int width)
{
    vdlcard_handle* handle = driverHandle(*this);
    // A derived class's own read and write carry the merge of a narrow write.
    VdlpciBar* derived = &typeid(*this) == &typeid(VdlpciBar) ? nullptr : this;
    switch (width) {
    case kWord: return writeElement<kWord>(handle, m_type, offset, data);
    case kDouble: return writeElement<kDouble>(handle, m_type, offset, data);
    case kHalf: return writeElement<kHalf>(handle, m_type, offset, data, derived);
    case kByte: return writeElement<kByte>(handle, m_type, offset, data, derived);
    default:
        logInvalidWidth(width);
        return kInvalidWidth;
    }
}

// For the exact class, whose deviceHandle, read and write are the ones above.
template <int W, bool Write>
int vdlpci_detail::barElements(VdlpciBar& bar, unsigned long offset, unsigned char* data,
                               int count)
{
    auto* handle = static_cast<vdlcard_handle*>(bar.storedHandle());
    const std::uint32_t number = bar.type();
    return countedElements<W>(offset, data, count, [&](unsigned long at, unsigned char* element) {
        return Write ? writeElement<W>(handle, number, at, element)
                     : readElement<W>(handle, number, at, element);
    });
}

template <int W, bool Write>
int vdlpci_detail::barElement(VdlpciBar& bar, unsigned long offset, unsigned char* data)
{
    auto* handle = static_cast<vdlcard_handle*>(bar.storedHandle());
    const int result = Write ? writeElement<W>(handle, bar.type(), offset, data)
                             : readElement<W>(handle, bar.type(), offset, data);
    return result < 0 ? result : result / W;
}

template int vdlpci_detail::barElements<1, false>(VdlpciBar&, unsigned long, unsigned char*, int);
template int vdlpci_detail::barElements<2, false>(VdlpciBar&, unsigned long, unsigned char*, int);
template int vdlpci_detail::barElements<4, false>(VdlpciBar&, unsigned long, unsigned char*, int);
template int vdlpci_detail::barElements<8, false>(VdlpciBar&, unsigned long, unsigned char*, int);
template int vdlpci_detail::barElements<1, true>(VdlpciBar&, unsigned long, unsigned char*, int);
template int vdlpci_detail::barElements<2, true>(VdlpciBar&, unsigned long, unsigned char*, int);
template int vdlpci_detail::barElements<4, true>(VdlpciBar&, unsigned long, unsigned char*, int);
template int vdlpci_detail::barElements<8, true>(VdlpciBar&, unsigned long, unsigned char*, int);

template int vdlpci_detail::barElement<1, false>(VdlpciBar&, unsigned long, unsigned char*);
template int vdlpci_detail::barElement<2, false>(VdlpciBar&, unsigned long, unsigned char*);
template int vdlpci_detail::barElement<4, false>(VdlpciBar&, unsigned long, unsigned char*);
template int vdlpci_detail::barElement<8, false>(VdlpciBar&, unsigned long, unsigned char*);
template int vdlpci_detail::barElement<1, true>(VdlpciBar&, unsigned long, unsigned char*);
template int vdlpci_detail::barElement<2, true>(VdlpciBar&, unsigned long, unsigned char*);
template int vdlpci_detail::barElement<4, true>(VdlpciBar&, unsigned long, unsigned char*);
template int vdlpci_detail::barElement<8, true>(VdlpciBar&, unsigned long, unsigned char*);

void VdlpciBar::phys_addr(unsigned long offset, unsigned long& phys)
{
    if (offset >= m_size)
        throw VDLException<-8>("PCI bar physical address offset {:#016x} was out of range {:#016x}",
                               offset, m_size);
    phys = m_busAddress + offset;
}
