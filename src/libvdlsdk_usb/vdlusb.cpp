// The exported functions: thin wrappers that turn every exception into a code.
#include <new>

#include "vdlsdk/VdlusbLib.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdl_util.hpp"
#include "vdlsdk/vdlsdk_usb.h"

namespace {

constexpr const char* kVersion = "2024.1.0";

constexpr int kNullPointer = -5;
constexpr int kInvalidArgument = -6;
constexpr int kOutOfMemory = -4;
constexpr int kFailed = -1;

// Logging must not raise out of an exported function either.
void logCaught(const VDLBaseException& e) noexcept
{
    try {
        e.log();
    } catch (...) {
    }
}

void logCaught(const char* what) noexcept
{
    try {
        VDL_ERROR(LOGGER_GENERAL, "{}", what);
    } catch (...) {
    }
}

// Runs `work`; an exception of the kit's family gives its code, exhausted memory
// -4, anything else -1. `failure`, when set, replaces the code.
template <typename Work>
int guarded(Work&& work, const int* failure = nullptr) noexcept
{
    try {
        return work();
    } catch (const VDLBaseException& e) {
        logCaught(e);
        return failure ? *failure : e.code;
    } catch (const std::bad_alloc&) {
        return failure ? *failure : kOutOfMemory;
    } catch (const std::exception& e) {
        logCaught(e.what());
    } catch (...) {
        logCaught("unknown exception");
    }
    return failure ? *failure : kFailed;
}

const VdlusbDeviceEntry* entryAt(int index)
{
    const VdlusbDeviceEntry* record = nullptr;
    VdlusbLib::getInstance()->entry(index, record);
    return record;
}

template <void (VdlusbDeviceEntry::*Field)(std::string&) const>
int copyField(int index, char* buffer, int size)
{
    return guarded([&] {
        std::string text;
        (entryAt(index)->*Field)(text);
        copyStdStringToCharPtr(text, buffer, size);
        return 0;
    });
}

} // namespace

extern "C" {

int vdlusb_version(char* buffer, int size)
{
    return guarded([&] {
        copyStdStringToCharPtr(kVersion, buffer, size);
        return 0;
    });
}

int vdlusb_rescan(void)
{
    return guarded([] { return VdlusbLib::getInstance()->rescan(); });
}

int vdlusb_dev_count(void)
{
    static const int noDevices = 0;
    return guarded([] { return VdlusbLib::getInstance()->entryCount(); }, &noDevices);
}

int vdlusb_dev_id(int index, unsigned short* vendorId, unsigned short* productId)
{
    if (vendorId == nullptr || productId == nullptr)
        return kNullPointer;
    return guarded([&] {
        entryAt(index)->getIds(*vendorId, *productId);
        return 0;
    });
}

int vdlusb_dev_serial(int index, char* buffer, int size)
{
    return copyField<&VdlusbDeviceEntry::serial>(index, buffer, size);
}

int vdlusb_dev_product(int index, char* buffer, int size)
{
    return copyField<&VdlusbDeviceEntry::product>(index, buffer, size);
}

int vdlusb_dev_location(int index, char* buffer, int size)
{
    return copyField<&VdlusbDeviceEntry::location>(index, buffer, size);
}

int vdlusb_dev_open(int index, VdlusbDevice** handle)
{
    if (handle == nullptr)
        return kNullPointer;
    return guarded([&] {
        VdlusbLib::getInstance()->open(index, *handle);
        return 0;
    });
}

int vdlusb_dev_close(VdlusbDevice* handle)
{
    return guarded([&] {
        VdlusbLib::getInstance()->close(handle);
        return 0;
    });
}

int vdlusb_dev_send(VdlusbDevice* handle, unsigned char* data, int length, int timeout)
{
    if (handle == nullptr)
        return kNullPointer;
    // libusb would hand a negative length to the kernel as a huge buffer.
    if (length < 0)
        return kInvalidArgument;
    return guarded([&] { return handle->send(data, length, timeout); });
}

int vdlusb_dev_recv(VdlusbDevice* handle, unsigned char* buffer, int length, int timeout)
{
    if (handle == nullptr)
        return kNullPointer;
    if (length < 0)
        return kInvalidArgument;
    return guarded([&] { return handle->recv(buffer, length, timeout); });
}

int vdlusb_option_count(void)
{
    return guarded([] { return VdlusbLib::getInstance()->getOptions().optionCount(); });
}

int vdlusb_set_option(const char* key, const char* value)
{
    if (key == nullptr || value == nullptr)
        return kNullPointer;
    return guarded([&] {
        VdlusbLib::getInstance()->getOptions().setOption(key, value);
        return 0;
    });
}

int vdlusb_get_option(const char* key, char* buffer, int size)
{
    if (key == nullptr)
        return kNullPointer;
    return guarded([&] {
        std::string text;
        VdlusbLib::getInstance()->getOptions().optionValue(key, text);
        copyStdStringToCharPtr(text, buffer, size);
        return 0;
    });
}

int vdlusb_get_next_option_key(const char* previousKey, char* buffer, int size)
{
    return guarded([&] {
        // The document itself: a copy per call would make a walk quadratic.
        iterateKeys(VdlusbLib::getInstance()->getOptions().data(), previousKey, buffer, size);
        return 0;
    });
}

} // extern "C"
