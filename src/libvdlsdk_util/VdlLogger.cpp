// The one definition of each logger holder for the whole process, their creation
// and their file sinks.
#include <algorithm>
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

const char* const kLoggerNames[VDL_LOGGER_COUNT] = {"general", "vdlsdk_pci", "vdlsdk_usb",
                                                    "vdlsdk_s10", "vdlsdk_bmc"};

// What this library put into the logging library, which outlives it (libspdlog
// stays mapped once loaded): the loggers it registered and the file sinks it
// added. Both hold code of this library (the sinks' control blocks), so they
// are taken back when this library is finalised, at exit or when dlclose
// unloads it; a later load starts afresh. Constant-initialised, so the
// initialisers of other translation units may fill it before this one runs;
// defined after the holders, so it is finalised before them.
struct Contributions {
    std::array<bool, VDL_LOGGER_COUNT> registered{};
    std::array<spdlog::sink_ptr, VDL_LOGGER_COUNT> fileSinks{};
    ~Contributions();
};
Contributions s_contributions;

template <LoggerType T>
void createLogger()
{
    auto& holder = VDLLogger<T>::_logger;
    if (holder)
        return;
    // A logger of that name registered by the program itself is adopted rather
    // than registered twice (which would raise during library load).
    holder = spdlog::get(kLoggerNames[T]);
    if (!holder) {
        // Thread-safe sinks: an interrupt wait and its cancel log from two threads.
        holder = spdlog::stdout_color_mt(kLoggerNames[T], spdlog::color_mode::automatic);
        s_contributions.registered[T] = true;
    }
    // No release of our own at exit: Contributions and the holder's destructor
    // release the logger when this library is finalised, after the libraries
    // that depend on it.
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
    createLogger<LOGGER_GENERAL>();
    createLogger<LOGGER_PCI>();
    createLogger<LOGGER_USB>();
    createLogger<LOGGER_S10>();
    createLogger<LOGGER_BMC>();
}

namespace {

Contributions::~Contributions()
{
    for (int type = 0; type < VDL_LOGGER_COUNT; ++type) {
        auto logger = vdl_detail::loggerOfType(type);
        if (!logger)
            continue;
        if (fileSinks[type]) {
            auto& sinks = logger->sinks();
            sinks.erase(std::remove(sinks.begin(), sinks.end(), fileSinks[type]), sinks.end());
            fileSinks[type].reset();
        }
        if (registered[type] && spdlog::get(kLoggerNames[type]) == logger)
            spdlog::drop(kLoggerNames[type]);
    }
}

} // namespace

namespace vdl_detail {

void addFileSink(int type, const std::function<spdlog::sink_ptr()>& makeSink)
{
    std::call_once(fileFlags().at(type), [&] {
        auto logger = loggerOfType(type);
        auto sink = makeSink();
        if (logger) {
            logger->sinks().push_back(sink);
            s_contributions.fileSinks[type] = std::move(sink);
        }
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
