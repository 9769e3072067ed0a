// A small library that uses the shared framework the way the device libraries do.
// The load-pattern tests open two copies of it (one linked -Bsymbolic) and compare
// what each sees.
#include <cstdint>
#include <string>

#include <spdlog/spdlog.h>

#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdl_util.hpp"

namespace {

spdlog::logger* holderOf(int type)
{
    switch (type) {
    case LOGGER_GENERAL: return VDLLogger<LOGGER_GENERAL>::_logger.get();
    case LOGGER_PCI: return VDLLogger<LOGGER_PCI>::_logger.get();
    case LOGGER_USB: return VDLLogger<LOGGER_USB>::_logger.get();
    case LOGGER_S10: return VDLLogger<LOGGER_S10>::_logger.get();
    case LOGGER_BMC: return VDLLogger<LOGGER_BMC>::_logger.get();
    default: return nullptr;
    }
}

const char* const kNames[] = {"general", "vdlsdk_pci", "vdlsdk_usb", "vdlsdk_s10", "vdlsdk_bmc"};

} // namespace

extern "C" {

// The logger object this library writes to for `type`.
uintptr_t peer_logger(int type) { return reinterpret_cast<uintptr_t>(holderOf(type)); }

// The logger the registry holds under the type's name.
uintptr_t peer_registered_logger(int type)
{
    return reinterpret_cast<uintptr_t>(spdlog::get(kNames[type]).get());
}

// Bit 0: the runtime library's -33 was caught as VDLException<-33>;
// bit 1: caught as VDLBaseException with code -33.
int peer_catch_buffer_too_small()
{
    int result = 0;
    char buffer[2];
    try {
        copyStdStringToCharPtr("abc", buffer, sizeof buffer);
    } catch (VDLException<-33>&) {
        result |= 1;
    } catch (...) {
    }
    try {
        copyStdStringToCharPtr("abc", buffer, sizeof buffer);
    } catch (VDLBaseException& e) {
        if (e.code == -33)
            result |= 2;
    } catch (...) {
    }
    return result;
}

// Throws VDLException<code> out of this library, for a caller in another one.
void peer_throw(int code) { vdl_throw_from_c_error(code, "thrown by the peer"); }

} // extern "C"
