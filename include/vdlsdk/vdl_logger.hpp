#pragma once
// The five process-wide named loggers shared by all libraries of the kit.
//
// The holder objects VDLLogger<T>::_logger are defined once, in libvdlsdk_util,
// and every other library refers to those definitions. That keeps one set of
// loggers per process however the libraries are loaded (linked, or dlopen'ed
// with RTLD_GLOBAL or RTLD_LOCAL) and whatever the toolchain does with
// template statics.
#include <memory>
#include <string>

#include <spdlog/spdlog.h>

enum LoggerType : int {
    LOGGER_GENERAL = 0, // "general"
    LOGGER_PCI = 1,     // "vdlsdk_pci"
    LOGGER_USB = 2,     // "vdlsdk_usb"
    LOGGER_S10 = 3,     // "vdlsdk_s10"
    LOGGER_BMC = 4,     // "vdlsdk_bmc"
};

inline constexpr int VDL_LOGGER_COUNT = 5;

template <LoggerType T>
class VDLLogger {
public:
    VDLLogger() = delete;

    static std::shared_ptr<spdlog::logger> _logger;

    // Adds an appending file sink on `path`, once per logger per process. A sink
    // that cannot be created raises the logging library's exception and leaves
    // the logger free for a later call.
    static void set_log_file(const std::string& path);
};

// Declarations only: the definitions live in libvdlsdk_util.
template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_GENERAL>::_logger;
template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_PCI>::_logger;
template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_USB>::_logger;
template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_S10>::_logger;
template <> std::shared_ptr<spdlog::logger> VDLLogger<LOGGER_BMC>::_logger;
template <> void VDLLogger<LOGGER_GENERAL>::set_log_file(const std::string& path);
template <> void VDLLogger<LOGGER_PCI>::set_log_file(const std::string& path);
template <> void VDLLogger<LOGGER_USB>::set_log_file(const std::string& path);
template <> void VDLLogger<LOGGER_S10>::set_log_file(const std::string& path);
template <> void VDLLogger<LOGGER_BMC>::set_log_file(const std::string& path);

// Creates each of the five loggers that does not exist yet in this process.
// Runs from the static initialisation of every translation unit that includes
// this header; cheap once the loggers exist.
void vdl_create_loggers();

namespace vdl_detail {
struct LoggerInitialiser {
    LoggerInitialiser() { vdl_create_loggers(); }
};
// One per translation unit, on purpose.
static const LoggerInitialiser s_loggerInitialiser;
} // namespace vdl_detail

// A debug trace: "{}:{} {} - " followed by the message, with the source file,
// line and function as the first three arguments. The level is tested before
// anything is formatted, so a suppressed trace costs one comparison; the
// formatting itself is a cold call of its own, so that a hot function does not
// carry its stack frame and register saves. VDL_TRACE_IN names the function
// for code that works on behalf of another.
#define VDL_TRACE_IN(type, function, format, ...)                                       \
    do {                                                                               \
        spdlog::logger* vdl_trace_logger_ = ::VDLLogger<type>::_logger.get();          \
        if (vdl_trace_logger_ && vdl_trace_logger_->should_log(spdlog::level::debug)) { \
            const char* vdl_trace_function_ = (function);                              \
            [=]() __attribute__((noinline, cold)) {                                    \
                vdl_trace_logger_->debug("{}:{} {} - " format, __FILE__, __LINE__,     \
                                         vdl_trace_function_, ##__VA_ARGS__);          \
            }();                                                                       \
        }                                                                              \
    } while (0)
#define VDL_TRACE(type, format, ...)                                                   \
    VDL_TRACE_IN(type, static_cast<const char*>(__func__), format, ##__VA_ARGS__)

// Plain messages at warn and error level (no source prefix), formatted out of
// line like the traces. The arguments are captured by value, so that the
// caller's variables need not live in memory for them.
#define VDL_LOG(type, level, ...)                                                      \
    do {                                                                               \
        spdlog::logger* vdl_log_logger_ = ::VDLLogger<type>::_logger.get();            \
        if (vdl_log_logger_ && vdl_log_logger_->should_log(level))                     \
            [=]() __attribute__((noinline, cold)) {                                    \
                vdl_log_logger_->log(level, __VA_ARGS__);                              \
            }();                                                                       \
    } while (0)
#define VDL_WARN(type, ...) VDL_LOG(type, spdlog::level::warn, __VA_ARGS__)
#define VDL_ERROR(type, ...) VDL_LOG(type, spdlog::level::err, __VA_ARGS__)
