// The exported DMA-memory, bus-address, cache, interrupt and self-test
// functions of the Linux library.
#include <cstdint>

#include "vdlpci_guard.hpp"
#include "vdlsdk/VdlpciBar.hpp"
#include "vdlsdk/VdlpciConfigSpace.hpp"
#include "vdlsdk/VdlpciKernelBuffer.hpp"
#include "vdlsdk/VdlpciLib.hpp"
#include "vdlsdk/VdlpciLinuxDevice.hpp"
#include "vdlsdk/VdlpciLockedVirtualMemory.hpp"
#include "vdlsdk/VdlpciMemorySpace.hpp"
#include "vdlsdk/vdlsdk_pci.h"

using namespace vdlpci_detail;

namespace {

constexpr int kNotSupported = -2;
constexpr int kBadFlags = -7;
constexpr int kNotFound = -13;

constexpr uint32_t kAllocKinds = VDLPCI_ALLOC_KERNEL_BUFFER | VDLPCI_ALLOC_LOCKED_VMEM;
// Allocation bits that are refused outright rather than ignored.
constexpr uint32_t kAllocRefused = 0x20u | 0x40u;

VdlpciLinuxDevice* linuxCard(void* handle)
{
    // Every card object of the library is a Linux card.
    return static_cast<VdlpciLinuxDevice*>(asCard(handle));
}

uint32_t kindOf(uint32_t ms) { return ms & VDLPCI_MS_KIND_MASK; }
int slotOf(uint32_t ms) { return static_cast<int>(ms & VDLPCI_MS_INDEX_MASK); }

// The buffer of that kind in the identifier's slot, or null.
template <typename Buffer>
Buffer* bufferAt(VdlpciLinuxDevice* card, uint32_t ms)
{
    return dynamic_cast<Buffer*>(card->mem(slotOf(ms)));
}

} // namespace

extern "C" {

int vdlpci_alloc_mem(void* handle, uint64_t size, void** address, uint32_t* ms, uint32_t flags)
{
    if (handle == nullptr)
        return kNullPointer;
    const uint32_t kind = flags & kAllocKinds;
    if (kind != VDLPCI_ALLOC_KERNEL_BUFFER && kind != VDLPCI_ALLOC_LOCKED_VMEM)
        return kBadFlags;
    if (flags & kAllocRefused)
        return kBadFlags;
    // A buffer nobody could name again could never be freed.
    if (ms == nullptr)
        return kNullPointer;
    return guarded([&] {
        VdlpciLinuxDevice* card = linuxCard(handle);
        if (kind == VDLPCI_ALLOC_KERNEL_BUFFER) {
            VdlpciKernelBuffer* buffer = nullptr;
            const int slot = card->allocContiguousKmem(size, buffer);
            if (address != nullptr)
                *address = buffer->vmem();
            *ms = VDLPCI_MS_ID_KERNEL_BUFFER | static_cast<uint32_t>(slot);
        } else {
            VdlpciLockedVirtualMemory* buffer = nullptr;
            const int slot = card->allocLockedVmem(size, buffer);
            if (address != nullptr)
                *address = buffer->vmem();
            *ms = VDLPCI_MS_ID_LOCKED_VMEM | static_cast<uint32_t>(slot);
        }
        return 0;
    });
}

int vdlpci_free_mem(void* handle, uint32_t ms)
{
    if (handle == nullptr)
        return kNullPointer;
    return guarded([&] {
        VdlpciLinuxDevice* card = linuxCard(handle);
        switch (kindOf(ms)) {
        case VDLPCI_MS_ID_KERNEL_BUFFER: {
            VdlpciKernelBuffer* buffer = bufferAt<VdlpciKernelBuffer>(card, ms);
            if (buffer == nullptr)
                return kNotFound;
            card->freeKernelBuffer(buffer);
            return 0;
        }
        case VDLPCI_MS_ID_LOCKED_VMEM: {
            VdlpciLockedVirtualMemory* buffer = bufferAt<VdlpciLockedVirtualMemory>(card, ms);
            if (buffer == nullptr)
                return kNotFound;
            card->freeLockedVmem(buffer);
            return 0;
        }
        default:
            return kBadFlags;
        }
    });
}

int vdlpci_ms_phys_addr(void* handle, uint32_t ms, uint64_t offset, uint64_t* address)
{
    if (handle == nullptr || address == nullptr)
        return kNullPointer;
    return guarded([&] {
        VdlpciLinuxDevice* card = linuxCard(handle);
        unsigned long phys = 0;
        switch (kindOf(ms)) {
        case VDLPCI_MS_ID_BAR: {
            auto* window = dynamic_cast<VdlpciBar*>(card->bar(slotOf(ms)));
            if (window == nullptr)
                return kNotFound;
            window->phys_addr(offset, phys);
            break;
        }
        case VDLPCI_MS_ID_KERNEL_BUFFER: {
            VdlpciKernelBuffer* buffer = bufferAt<VdlpciKernelBuffer>(card, ms);
            if (buffer == nullptr)
                return kNotFound;
            buffer->phys_addr(offset, phys);
            break;
        }
        case VDLPCI_MS_ID_LOCKED_VMEM: {
            VdlpciLockedVirtualMemory* buffer = bufferAt<VdlpciLockedVirtualMemory>(card, ms);
            if (buffer == nullptr)
                return kNotFound;
            buffer->phys_addr(offset, phys);
            break;
        }
        default:
            return kNotSupported;
        }
        *address = phys;
        return 0;
    });
}

int vdlpci_flush_cache(void* handle, uint32_t ms, int direction)
{
    if (handle == nullptr)
        return kNullPointer;
    if (direction != VDLPCI_FLUSH_FOR_DEVICE && direction != VDLPCI_FLUSH_FOR_CPU)
        return kBadFlags;
    const bool toCpu = direction == VDLPCI_FLUSH_FOR_CPU;
    return guarded([&] {
        VdlpciLinuxDevice* card = linuxCard(handle);
        switch (kindOf(ms)) {
        case VDLPCI_MS_ID_KERNEL_BUFFER: {
            VdlpciMemorySpace* found = nullptr;
            card->getMs(ms, found);
            auto* buffer = dynamic_cast<VdlpciKernelBuffer*>(found);
            if (buffer == nullptr)
                return kNotFound;
            buffer->flushCache(toCpu);
            return 0;
        }
        case VDLPCI_MS_ID_LOCKED_VMEM: {
            VdlpciLockedVirtualMemory* buffer = bufferAt<VdlpciLockedVirtualMemory>(card, ms);
            if (buffer == nullptr)
                return kNotFound;
            buffer->flushCache(toCpu);
            return 0;
        }
        default:
            return kNotSupported;
        }
    });
}

int vdlpci_int_wait(void* handle, int vector, uint32_t timeout, uint32_t* value)
{
    if (handle == nullptr || value == nullptr)
        return kNullPointer;
    return guarded([&] {
        linuxCard(handle)->msiWait(vector, timeout, *value);
        return 0;
    });
}

int vdlpci_int_cancel_wait(void* handle, int vector)
{
    if (handle == nullptr)
        return kNullPointer;
    return guarded([&] {
        linuxCard(handle)->msiCancelWait(vector);
        return 0;
    });
}

int vdlpci_test(void)
{
    return guarded([] {
        VdlpciDevice* card = nullptr;
        VdlpciLib::getInstance()->open(0, card);
        VdlpciConfigSpace* cfg = card->pcicfg();
        if (cfg == nullptr)
            return kNotFound;
        unsigned int word = 0;
        const int result = cfg->read32s(0, &word, 1);
        if (result > 0)
            return 0;
        // No element read is a failure even when no code says why.
        return result < 0 ? result : kFailed;
    });
}

} // extern "C"
