// The exported device, memory-space, link and option functions: thin wrappers
// that turn every exception into a code.
#include <string>

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

template <typename T, int (VdlpciMemorySpace::*Op)(unsigned long, T*, int)>
int elements(void* handle, uint32_t ms, uint64_t offset, T* data, int count)
{
    if (handle == nullptr)
        return kNullPointer;
    return guarded([&] { return (space(handle, ms)->*Op)(offset, data, count); });
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
    return elements<unsigned char, &VdlpciMemorySpace::read8s>(handle, ms, offset, data, count);
}

int vdlpci_ms_read16s(void* handle, uint32_t ms, uint64_t offset, uint16_t* data, int count)
{
    return elements<unsigned short, &VdlpciMemorySpace::read16s>(handle, ms, offset, data, count);
}

int vdlpci_ms_read32s(void* handle, uint32_t ms, uint64_t offset, uint32_t* data, int count)
{
    return elements<unsigned int, &VdlpciMemorySpace::read32s>(handle, ms, offset, data, count);
}

int vdlpci_ms_read64s(void* handle, uint32_t ms, uint64_t offset, uint64_t* data, int count)
{
    return elements<unsigned long, &VdlpciMemorySpace::read64s>(handle, ms, offset, data, count);
}

int vdlpci_ms_write8s(void* handle, uint32_t ms, uint64_t offset, uint8_t* data, int count)
{
    return elements<unsigned char, &VdlpciMemorySpace::write8s>(handle, ms, offset, data, count);
}

int vdlpci_ms_write16s(void* handle, uint32_t ms, uint64_t offset, uint16_t* data, int count)
{
    return elements<unsigned short, &VdlpciMemorySpace::write16s>(handle, ms, offset, data, count);
}

int vdlpci_ms_write32s(void* handle, uint32_t ms, uint64_t offset, uint32_t* data, int count)
{
    return elements<unsigned int, &VdlpciMemorySpace::write32s>(handle, ms, offset, data, count);
}

int vdlpci_ms_write64s(void* handle, uint32_t ms, uint64_t offset, uint64_t* data, int count)
{
    return elements<unsigned long, &VdlpciMemorySpace::write64s>(handle, ms, offset, data, count);
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
