// Built-in devices of the simulated driver, for examples and programs that have no
// device model of their own.
//
// "dma-engine": a DMA engine that writes a counting pattern into host memory and
// signals completion with an interrupt. Its 32-bit registers sit at the start of
// its BAR; the rest of the BAR stays plain memory.
//
//   0x00  ID        reads 0x444D4131 ("DMA1"); read-only
//   0x04  STATUS    1 done, 2 the last transfer failed (address not in a buffer of
//                   the card, or a length over 16 MiB); read-only
//   0x08  DEST_LO   bus address of the destination, low and high word
//   0x0C  DEST_HI
//   0x10  LENGTH    bytes to write
//   0x14  PATTERN   word i of the destination receives PATTERN + i
//   0x18  VECTOR    the interrupt vector raised on completion
//   0x1C  DOORBELL  any write starts a transfer: the engine writes the pattern, sets
//                   STATUS, counts it in COUNT and raises VECTOR with the number
//                   of bytes written (0 for a failed transfer)
//   0x20  COUNT     transfers done since the scenario set the device up; read-only
//
// The transfer completes before the doorbell write returns, as a real engine's
// interrupt would arrive while the program is on its way to the wait: the
// interrupt stays pending until the program waits for it.
#include "vdlsim_devices.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "vdlsim.h"
#include "vdlsim_model.hpp"

namespace vdlsim {

namespace {

namespace dma {
constexpr uint32_t kId = 0x00;
constexpr uint32_t kStatus = 0x04;
constexpr uint32_t kDestLo = 0x08;
constexpr uint32_t kDestHi = 0x0C;
constexpr uint32_t kLength = 0x10;
constexpr uint32_t kPattern = 0x14;
constexpr uint32_t kVector = 0x18;
constexpr uint32_t kDoorbell = 0x1C;
constexpr uint32_t kCount = 0x20;
constexpr uint32_t kRegisterBytes = 0x40;

constexpr uint32_t kIdValue = 0x444D4131u;
constexpr uint32_t kStatusDone = 1;
constexpr uint32_t kStatusFailed = 2;
constexpr uint32_t kMaxLength = 16u << 20;

bool readOnly(uint64_t offset)
{
    const uint64_t reg = offset & ~uint64_t(3);
    return reg == kId || reg == kStatus || reg == kCount;
}

uint32_t get(const uint8_t* regs, uint32_t at)
{
    uint32_t v;
    std::memcpy(&v, regs + at, 4);
    return v;
}

void put(uint8_t* regs, uint32_t at, uint32_t v) { std::memcpy(regs + at, &v, 4); }

void transfer(unsigned card, uint8_t* regs)
{
    const uint64_t dest = get(regs, kDestLo) | (uint64_t(get(regs, kDestHi)) << 32);
    const uint32_t length = get(regs, kLength);
    const uint32_t pattern = get(regs, kPattern);
    const uint32_t vector = get(regs, kVector);
    bool ok = length <= kMaxLength;
    if (ok && length > 0) {
        std::vector<uint8_t> data(length);
        for (uint32_t i = 0; i < length; i += 4) {
            const uint32_t word = pattern + i / 4;
            std::memcpy(data.data() + i, &word, std::min<uint32_t>(4, length - i));
        }
        ok = vdlsim_dma_write(card, dest, data.data(), length) == 0;
    }
    put(regs, kStatus, ok ? kStatusDone : kStatusFailed);
    put(regs, kCount, get(regs, kCount) + 1);
    vdlsim_irq_raise(card, vector, ok ? length : 0);
}

// Writes go to the register memory here, byte by byte, so that read-only registers
// keep their values whatever the access width; reads come from that memory.
int callback(void* context, unsigned card, unsigned bar, int isWrite, uint64_t offset,
             void* value, unsigned width)
{
    const unsigned deviceBar = unsigned(reinterpret_cast<uintptr_t>(context));
    if (bar != deviceBar || offset >= kRegisterBytes || !isWrite)
        return VDLSIM_BAR_DEFAULT;
    auto* regs = static_cast<uint8_t*>(vdlsim_card_bar_memory(card, bar));
    if (!regs)
        return -ENODEV;
    const auto* in = static_cast<const uint8_t*>(value);
    bool doorbell = false;
    for (unsigned i = 0; i < width && offset + i < kRegisterBytes; ++i) {
        const uint64_t at = offset + i;
        if (!readOnly(at))
            regs[at] = in[i];
        doorbell = doorbell || (at & ~uint64_t(3)) == kDoorbell;
    }
    if (doorbell)
        transfer(card, regs);
    return VDLSIM_BAR_HANDLED;
}
} // namespace dma

} // namespace

int installDevice(Card& c, const std::string& name, unsigned bar)
{
    if (bar >= kNumBars)
        return -EINVAL;
    if (name == "none") {
        c.callback = nullptr;
        c.callbackContext = nullptr;
        return 0;
    }
    if (name != "dma-engine" || c.bars[bar].size < dma::kRegisterBytes || !c.bars[bar].memory)
        return -EINVAL;
    uint8_t* regs = c.bars[bar].memory;
    std::memset(regs, 0, dma::kRegisterBytes);
    dma::put(regs, dma::kId, dma::kIdValue);
    c.callback = &dma::callback;
    // The context carries the device's BAR number.
    c.callbackContext = reinterpret_cast<void*>(uintptr_t(bar));
    return 0;
}

} // namespace vdlsim
