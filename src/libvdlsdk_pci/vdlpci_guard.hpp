#pragma once
// The exported boundary of libvdlsdk_pci: every exported function runs its
// work through `guarded`, so that no exception of any type leaves it.
#include <exception>
#include <new>

#include "vdlsdk/VdlpciDevice.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"

namespace vdlpci_detail {

inline constexpr int kNullPointer = -5;
inline constexpr int kOutOfMemory = -4;
inline constexpr int kFailed = -1;

// Logging must not raise out of an exported function either.
inline void logCaught(const VDLBaseException& e) noexcept
{
    try {
        e.log();
    } catch (...) {
    }
}

inline void logCaught(const char* what) noexcept
{
    try {
        VDL_ERROR(LOGGER_GENERAL, "{}", what);
    } catch (...) {
    }
}

// Runs `work`: an exception of the kit's family is logged and gives its code,
// exhausted memory gives -4 (logging would need memory too), anything else is
// logged and gives -1.
template <typename Work>
int guarded(Work&& work) noexcept
{
    try {
        return work();
    } catch (const VDLBaseException& e) {
        logCaught(e);
        return e.code;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (const std::exception& e) {
        logCaught(e.what());
    } catch (...) {
        logCaught("unknown exception");
    }
    return kFailed;
}

// As `guarded`, but every failure gives `failure` and the kit's own
// exceptions are not logged.
template <typename Work>
int guardedQuiet(Work&& work, int failure) noexcept
{
    try {
        return work();
    } catch (const VDLBaseException&) {
    } catch (const std::bad_alloc&) {
    } catch (const std::exception& e) {
        logCaught(e.what());
    } catch (...) {
        logCaught("unknown exception");
    }
    return failure;
}

inline VdlpciDevice* asCard(void* handle) { return static_cast<VdlpciDevice*>(handle); }

} // namespace vdlpci_detail
