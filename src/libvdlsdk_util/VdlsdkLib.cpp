// Base of the PCIe and USB library objects: loads the option file at start and
// writes it back at the end. Nothing raised inside leaves either.
#include "vdlsdk/VdlsdkLib.hpp"

#include <cstdlib>
#include <cstring>
#include <exception>

#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"

namespace Vandrel {

std::once_flag VdlsdkLib::_flag;

namespace {

constexpr int kLevelDebug = spdlog::level::debug;
constexpr int kLevelWarn = spdlog::level::warn;

// The last resort of the handlers below: logging itself may fail.
template <typename F>
void logQuietly(F&& write) noexcept
{
    try {
        write();
    } catch (...) {
    }
}

void logUnexpected(const char* where, const std::exception& e) noexcept
{
    logQuietly([&] { VDL_ERROR(LOGGER_GENERAL, "{}: {}", where, e.what()); });
}

void logUnknown(const char* where) noexcept
{
    logQuietly([&] { VDL_ERROR(LOGGER_GENERAL, "{}: unknown error", where); });
}

// Writes the defaults where there was no file; a failed write leaves the
// defaults in memory.
void saveDefaults(LibraryOptions& options)
{
    try {
        options.saveConfig(true);
    } catch (const VDLException<-14>& e) {
        e.log<int>(kLevelWarn);
    }
}

} // namespace

VdlsdkLib::VdlsdkLib(const std::string& fileName, const nlohmann::json& defaults)
    : m_options(fileName, defaults)
{
    try {
        try {
            m_options.loadConfig();
        } catch (const VDLException<-16>& e) {
            if (!m_options.loadFoundNothing()) {
                keepUnloadableFile(m_options._configPath(), e.what());
                return;
            }
            e.log<int>(kLevelDebug);
            saveDefaults(m_options);
            return;
        } catch (const nlohmann::json::exception& e) {
            keepUnloadableFile(m_options._configPath(), e.what());
            return;
        }
        _checkInitialLoggingState();
    } catch (const VDLBaseException& e) {
        logQuietly([&] { e.log(); });
    } catch (const std::exception& e) {
        logUnexpected("option file", e);
    } catch (...) {
        logUnknown("option file");
    }
}

VdlsdkLib::~VdlsdkLib()
{
    // A file that could not be loaded is only replaced for a change the caller made.
    if (m_options.m_keepOriginal && !m_options.m_changed)
        return;
    try {
        m_options.saveConfig(true);
    } catch (const VDLException<-14>& e) {
        logQuietly([&] { e.log<int>(kLevelWarn); });
    } catch (const VDLBaseException& e) {
        logQuietly([&] { e.log(); });
    } catch (const std::exception& e) {
        logUnexpected("option file", e);
    } catch (...) {
        logUnknown("option file");
    }
}

void VdlsdkLib::keepUnloadableFile(const std::string& path, const char* reason)
{
    // The defaults stay in memory and the user's file stays as it is.
    m_options.m_keepOriginal = true;
    VDL_WARN(LOGGER_GENERAL, "Could not load config file {}, using the defaults: {}", path,
             reason);
}

LibraryOptions& VdlsdkLib::getOptions() { return m_options; }

void VdlsdkLib::_checkInitialLoggingState()
{
    std::call_once(_flag, [] {
        const char* value = std::getenv("VDL_DEBUG");
        if (value == nullptr || std::strcmp(value, "1") != 0)
            return;
        VDLLogger<LOGGER_GENERAL>::_logger->set_level(spdlog::level::debug);
        VDLLogger<LOGGER_PCI>::_logger->set_level(spdlog::level::debug);
        VDLLogger<LOGGER_USB>::_logger->set_level(spdlog::level::debug);
        VDLLogger<LOGGER_S10>::_logger->set_level(spdlog::level::debug);
        VDLLogger<LOGGER_BMC>::_logger->set_level(spdlog::level::debug);
    });
}

} // namespace Vandrel
