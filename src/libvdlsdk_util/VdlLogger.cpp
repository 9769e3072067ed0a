// The one definition of each logger holder for the whole process, their creation
// and their file sinks.
#include <array>
#include <cstdlib>
#include <mutex>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include "VdlLoggerFiles.hpp"
#include "vdlsdk/vdl_logger.hpp"

template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_GENERAL>::_logger{};
template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_PCI>::_logger{};
template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_USB>::_logger{};
template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_S10>::_logger{};
template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_BMC>::_logger{};

namespace {

template <LoggerType T>
void createLogger(const char* name)
{
    auto& holder = VDLLogger<T>::_logger;
    if (holder)
        return;
    // A logger of that name registered by the program itself is adopted rather
    // than registered twice (which would raise during library load).
    holder = spdlog::get(name);
    if (!holder) {
        // Thread-safe sinks: an interrupt wait and its cancel log from two threads.
        holder = spdlog::stdout_color_mt(name, spdlog::color_mode::automatic);
    }
    // No release of our own at exit: the holder's destructor releases the logger
    // when this library is finalised, after the libraries that depend on it. An
    // atexit handler registered here would run after that destructor (handlers run
    // in reverse order of registration) and release the logger a second time.
}

std::array<std::once_flag, VDL_LOGGER_COUNT>& fileFlags()
{
    static std::array<std::once_flag, VDL_LOGGER_COUNT> flags;
    return flags;
}

} // namespace

void vdl_create_loggers()
{
    // Static initialisation runs one initialiser at a time; no lock needed.
    createLogger<LOGGER_GENERAL>("general");
    createLogger<LOGGER_PCI>("vdlsdk_pci");
    createLogger<LOGGER_USB>("vdlsdk_usb");
    createLogger<LOGGER_S10>("vdlsdk_s10");
    createLogger<LOGGER_BMC>("vdlsdk_bmc");
}

namespace vdl_detail {

void addFileSink(int type, const std::function<spdlog::sink_ptr()>& makeSink)
{
    std::call_once(fileFlags().at(type), [&] {
        auto logger = loggerOfType(type);
        auto sink = makeSink();
        if (logger)
            logger->sinks().push_back(std::move(sink));
    });
}

std::shared_ptr<spdlog::logger> loggerOfType(int type)
{
    switch (type) {
    case LOGGER_GENERAL: return VDLLogger<LOGGER_GENERAL>::_logger;
    case LOGGER_PCI: return VDLLogger<LOGGER_PCI>::_logger;
    case LOGGER_USB: return VDLLogger<LOGGER_USB>::_logger;
    case LOGGER_S10: return VDLLogger<LOGGER_S10>::_logger;
    case LOGGER_BMC: return VDLLogger<LOGGER_BMC>::_logger;
    default: return nullptr;
    }
}

spdlog::sink_ptr makeFileSink(const std::string& path)
{
    return std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
}

} // namespace vdl_detail

#define VDL_DEFINE_SET_LOG_FILE(T)                                                   \
    template <> void VDLLogger<T>::set_log_file(const std::string& path)             \
    {                                                                                \
        vdl_detail::addFileSink(T, [&] { return vdl_detail::makeFileSink(path); });  \
    }
VDL_DEFINE_SET_LOG_FILE(LOGGER_GENERAL)
VDL_DEFINE_SET_LOG_FILE(LOGGER_PCI)
VDL_DEFINE_SET_LOG_FILE(LOGGER_USB)
VDL_DEFINE_SET_LOG_FILE(LOGGER_S10)
VDL_DEFINE_SET_LOG_FILE(LOGGER_BMC)
#undef VDL_DEFINE_SET_LOG_FILE
