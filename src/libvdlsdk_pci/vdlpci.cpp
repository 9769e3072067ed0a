// The exported device, memory-space, link and option functions: thin wrappers
// that turn every exception into a code.
#include <cstdint>
#include <string>
#include <typeinfo>

#include "element_loop.hpp"
#include "linux/bar_request.hpp"
#include "linux/config_element.hpp"
#include "vdlpci_guard.hpp"
#include "vdlsdk/VdlpciConfigSpace.hpp"
#include "vdlsdk/VdlpciDevice.hpp"
#include "vdlsdk/VdlpciLib.hpp"
#include "vdlsdk/VdlpciMemorySpace.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_util.hpp"
#include "vdlsdk/vdlsdk_pci.h"

using namespace vdlpci_detail;

namespace {

constexpr const char* kVersion = "2024.1.0";
constexpr int kNotFound = -13;

VdlpciDevice* cardAt(int index)
{
    VdlpciDevice* card = nullptr;
    VdlpciLib::getInstance()->device(index, card);
    return card;
}

VdlpciMemorySpace* space(void* handle, uint32_t ms)
{
    VdlpciMemorySpace* found = nullptr;
    asCard(handle)->getMs(ms, found);
    return found;
}

// The element functions: for the library's own kinds of space the element
// loop of the width directly, for any other space its virtual operation.
template <typename T, bool Write, int (VdlpciMemorySpace::*Op)(unsigned long, T*, int)>
__attribute__((noinline)) int elements(void* handle, uint32_t ms, uint64_t offset, T* data,
                                       int count)
{
    if (handle == nullptr)
        return kNullPointer;
    return guarded([&] {
        VdlpciMemorySpace* found = asCard(handle)->readyMs(ms);
        if (found == nullptr)
            found = space(handle, ms);
        const OwnKind kind = ownKind(*found);
        if (kind == OwnKind::None)
            return (found->*Op)(offset, data, count);
        if (data == nullptr)
            throwNullBuffer();
        if (count <= 0)
            return 0;
        return ownElements<sizeof(T), Write>(kind, *found, offset,
                                             reinterpret_cast<unsigned char*>(data), count);
    });
}

// The 32- and 64-bit element functions: a single element of one of the
// card's own BAR windows is its one request, sent from here; one of its
// configuration space goes straight to that space's element access.
template <typename T, bool Write, int (VdlpciMemorySpace::*Op)(unsigned long, T*, int)>
int registerElements(void* handle, uint32_t ms, uint64_t offset, T* data, int count)
{
    if (handle != nullptr && data != nullptr && count == 1) {
        VdlpciMemorySpace* found = asCard(handle)->readyMs(ms);
        if (found != nullptr && &typeid(*found) == &typeid(VdlpciBar)) {
            constexpr std::uint32_t command =
                sizeof(T) == 4 ? (Write ? VDLCARD_CMD_BAR_WRITE32 : VDLCARD_CMD_BAR_READ32)
                               : (Write ? VDLCARD_CMD_BAR_WRITE64 : VDLCARD_CMD_BAR_READ64);
            const auto* hcard = static_cast<const vdlcard_handle*>(found->storedHandle());
            if (barRequest(hcard, command, found->type(), Write ? data : nullptr,
                           Write ? nullptr : data, offset))
                return 1;
            logBarFailure(Write, offset);
            return 0;
        }
        if (found != nullptr && &typeid(*found) == &typeid(VdlpciLinuxConfigSpace))
            return guarded([&] {
                constexpr int width = sizeof(T);
                auto* bytes = reinterpret_cast<unsigned char*>(data);
                void* cfg = found->storedHandle();
                const unsigned long size = found->storedSize();
                const int result = Write ? configWrite<width>(cfg, size, offset, bytes)
                                         : configRead<width>(cfg, size, offset, bytes);
                return result < 0 ? result : result / width;
            });
    }
    return elements<T, Write, Op>(handle, ms, offset, data, count);
}

template <void (VdlpciDevice::*Field)(std::string&)>
int copyText(int index, char* buffer, int size)
{
    return guarded([&] {
        std::string text;
        (cardAt(index)->*Field)(text);
        copyStdStringToCharPtr(text, buffer, size);
        return 0;
    });
}

} // namespace

extern "C" {

int vdlpci_version(char* buffer, int size)
{
    return guarded([&] {
        copyStdStringToCharPtr(kVersion, buffer, size);
        return 0;
    });
}

int vdlpci_dev_count(void)
{
    return guardedQuiet([] { return VdlpciLib::getInstance()->deviceCount(); }, 0);
}

int vdlpci_dev_id(int index, uint16_t* vendorId, uint16_t* deviceId, uint16_t* subsystemVendorId,
                  uint16_t* subsystemId)
{
    if (vendorId == nullptr || deviceId == nullptr || subsystemVendorId == nullptr ||
        subsystemId == nullptr)
        return kNullPointer;
    return guarded([&] {
        cardAt(index)->getIds(*vendorId, *deviceId, *subsystemVendorId, *subsystemId);
        return 0;
    });
}

int vdlpci_dev_location(int index, char* buffer, int size)
{
    return copyText<&VdlpciDevice::location>(index, buffer, size);
}

int vdlpci_dev_slot_uid(int index, char* buffer, int size)
{
    return copyText<&VdlpciDevice::slotUid>(index, buffer, size);
}

int vdlpci_dev_open(int index, void** handle)
{
    if (handle == nullptr)
        return kNullPointer;
    return guarded([&] {
        VdlpciLib* lib = VdlpciLib::getInstance();
        VdlpciDevice* card = nullptr;
        try {
            lib->open(index, card);
        } catch (...) {
            *handle = nullptr;
            throw;
        }
        *handle = card;
        return 0;
    });
}

int vdlpci_dev_index(void* handle, int* index)
{
    if (handle == nullptr || index == nullptr)
        return kNullPointer;
    return guarded([&] {
        VdlpciLib::getInstance()->deviceIndex(asCard(handle), *index);
        return 0;
    });
}

int vdlpci_dev_close(void* handle)
{
    return guarded([&] {
        VdlpciLib::getInstance()->close(asCard(handle));
        return 0;
    });
}

int vdlpci_ms_size(void* handle, uint32_t ms, uint64_t* size)
{
    if (handle == nullptr || size == nullptr)
        return kNullPointer;
    return guarded([&] {
        *size = space(handle, ms)->size();
        return 0;
    });
}

int vdlpci_ms_read8s(void* handle, uint32_t ms, uint64_t offset, uint8_t* data, int count)
{
    return elements<unsigned char, false, &VdlpciMemorySpace::read8s>(handle, ms, offset,
                                                                      data, count);
}

int vdlpci_ms_read16s(void* handle, uint32_t ms, uint64_t offset, uint16_t* data, int count)
{
    return elements<unsigned short, false, &VdlpciMemorySpace::read16s>(handle, ms, offset,
                                                                        data, count);
}

int vdlpci_ms_read32s(void* handle, uint32_t ms, uint64_t offset, uint32_t* data, int count)
{
    return registerElements<unsigned int, false, &VdlpciMemorySpace::read32s>(handle, ms, offset,
                                                                              data, count);
}

int vdlpci_ms_read64s(void* handle, uint32_t ms, uint64_t offset, uint64_t* data, int count)
{
    return registerElements<unsigned long, false, &VdlpciMemorySpace::read64s>(handle, ms, offset,
                                                                               data, count);
}

int vdlpci_ms_write8s(void* handle, uint32_t ms, uint64_t offset, uint8_t* data, int count)
{
    return elements<unsigned char, true, &VdlpciMemorySpace::write8s>(handle, ms, offset,
                                                                      data, count);
}

int vdlpci_ms_write16s(void* handle, uint32_t ms, uint64_t offset, uint16_t* data, int count)
{
    return elements<unsigned short, true, &VdlpciMemorySpace::write16s>(handle, ms, offset,
                                                                        data, count);
}

int vdlpci_ms_write32s(void* handle, uint32_t ms, uint64_t offset, uint32_t* data, int count)
{
    return registerElements<unsigned int, true, &VdlpciMemorySpace::write32s>(handle, ms, offset,
                                                                              data, count);
}

int vdlpci_ms_write64s(void* handle, uint32_t ms, uint64_t offset, uint64_t* data, int count)
{
    return registerElements<unsigned long, true, &VdlpciMemorySpace::write64s>(handle, ms, offset,
                                                                               data, count);
}

int vdlpci_msi_info(void* handle, int* enabled, uint64_t* address, uint16_t* data, int* vectors)
{
    if (handle == nullptr || enabled == nullptr || address == nullptr || data == nullptr ||
        vectors == nullptr)
        return kNullPointer;
    VdlpciConfigSpace* cfg = asCard(handle)->pcicfg();
    if (cfg == nullptr)
        return kNotFound;
    return guarded([&] {
        // Also stored when the report fails after reading the enable bit.
        bool flag = false;
        try {
            cfg->msiInfo(flag, *address, *data, *vectors);
        } catch (...) {
            *enabled = flag ? 1 : 0;
            throw;
        }
        *enabled = flag ? 1 : 0;
        return 0;
    });
}

int vdlpci_msix_info(void* handle, msix_info* info)
{
    if (handle == nullptr || info == nullptr)
        return kNullPointer;
    VdlpciConfigSpace* cfg = asCard(handle)->pcicfg();
    if (cfg == nullptr)
        return kNotFound;
    return guarded([&] {
        cfg->msixInfo(info);
        return 0;
    });
}

int vdlpci_link_status(int index, uint32_t* flags, int* maxSpeed, int* maxWidth,
                       int* currentSpeed, int* currentWidth)
{
    if (flags == nullptr || maxSpeed == nullptr || maxWidth == nullptr ||
        currentSpeed == nullptr || currentWidth == nullptr)
        return kNullPointer;
    return guarded([&] {
        unsigned int status = 0;
        cardAt(index)->linkStatus(status, *maxSpeed, *maxWidth, *currentSpeed, *currentWidth);
        *flags = status;
        return 0;
    });
}

int vdlpci_link_errors(void* handle, int* errors, int clear)
{
    if (handle == nullptr || errors == nullptr)
        return kNullPointer;
    VdlpciConfigSpace* cfg = asCard(handle)->pcicfg();
    if (cfg == nullptr)
        return kNotFound;
    return guarded([&] {
        int status = 0;
        cfg->linkErrors(status, clear);
        *errors = status;
        return 0;
    });
}

int vdlpci_link_save(int index, uint32_t flags)
{
    return guarded([&] {
        cardAt(index)->linkSave(flags);
        return 0;
    });
}

int vdlpci_link_restore(int index, uint32_t flags)
{
    return guarded([&] {
        cardAt(index)->linkRestore(flags);
        return 0;
    });
}

int vdlpci_option_count(void)
{
    // There is no count for a library object that cannot be made: its code.
    return guarded([] { return VdlpciLib::getInstance()->getOptions().optionCount(); });
}

int vdlpci_set_option(const char* key, const char* value)
{
    if (key == nullptr || value == nullptr)
        return kNullPointer;
    return guarded([&] {
        VdlpciLib::getInstance()->getOptions().setOption(key, value);
        return 0;
    });
}

int vdlpci_get_option(const char* key, char* buffer, int size)
{
    if (key == nullptr || buffer == nullptr)
        return kNullPointer;
    return guarded([&] {
        std::string text;
        VdlpciLib::getInstance()->getOptions().optionValue(key, text);
        copyStdStringToCharPtr(text, buffer, size);
        return 0;
    });
}

int vdlpci_get_next_option_key(const char* previousKey, char* buffer, int size)
{
    return guarded([&] {
        // The document itself: a copy per call would make a walk quadratic.
        iterateKeys(VdlpciLib::getInstance()->getOptions().data(), previousKey, buffer, size);
        return 0;
    });
}

} // extern "C"
