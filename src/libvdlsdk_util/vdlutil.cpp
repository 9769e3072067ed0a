// Logging control, sleeps, monotonic time stamps and bit helpers.
#include <cerrno>
#include <chrono>
#include <ctime>
#include <exception>
#include <new>

#include "VdlLoggerFiles.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlsdk_util.h"

namespace {

bool isLoggerType(int type) { return static_cast<unsigned int>(type) < VDL_LOGGER_COUNT; }

// No exception leaves an exported function: it is logged on "general" instead.
template <typename F>
void guarded(const char* function, F&& body) noexcept
{
    try {
        body();
    } catch (const std::exception& e) {
        try {
            VDL_ERROR(LOGGER_GENERAL, "{}: {}", function, e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            VDL_ERROR(LOGGER_GENERAL, "{}: unknown error", function);
        } catch (...) {
        }
    }
}

void sleepFor(time_t seconds, long nanoseconds)
{
    timespec remaining{seconds, nanoseconds};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

} // namespace

extern "C" {

void set_log_verbosity(int type, int level)
{
    if (auto logger = vdl_detail::loggerOfType(type); isLoggerType(type) && logger)
        logger->set_level(static_cast<spdlog::level::level_enum>(level));
}

void set_log_verbosity_all(int level)
{
    for (int type = 0; type < VDL_LOGGER_COUNT; ++type)
        set_log_verbosity(type, level);
}

int get_log_verbosity(int type)
{
    auto logger = isLoggerType(type) ? vdl_detail::loggerOfType(type) : nullptr;
    return logger ? static_cast<int>(logger->level()) : -1;
}

void set_log_file(int type, const char* path)
{
    if (!isLoggerType(type))
        return;
    guarded("set_log_file", [&] {
        if (path == nullptr)
            throw std::invalid_argument("null log file path");
        const std::string file(path);
        vdl_detail::addFileSink(type, [&] { return vdl_detail::makeFileSink(file); });
    });
}

void set_log_file_all(const char* path)
{
    guarded("set_log_file_all", [&] {
        if (path == nullptr)
            throw std::invalid_argument("null log file path");
        const std::string file(path);
        // One sink shared by every logger that takes the file, so lines of
        // different loggers never tear each other.
        spdlog::sink_ptr shared;
        for (int type = 0; type < VDL_LOGGER_COUNT; ++type) {
            vdl_detail::addFileSink(type, [&] {
                if (!shared)
                    shared = vdl_detail::makeFileSink(file);
                return shared;
            });
        }
    });
}

void microsecond_sleep(int microseconds)
{
    if (microseconds <= 0)
        return;
    sleepFor(microseconds / 1000000, (microseconds % 1000000) * 1000L);
}

void millisecond_sleep(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    sleepFor(milliseconds / 1000, (milliseconds % 1000) * 1000000L);
}

uint64_t microseconds_since_epoch(void)
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

uint64_t milliseconds_since_epoch(void)
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int numbits_to_shift(int mask)
{
    const auto bits = static_cast<unsigned int>(mask);
    for (int position = 0; position < 32; ++position) {
        if (bits & (1u << position))
            return position;
    }
    return 0;
}

int get_numbits_set(int value) { return __builtin_popcount(static_cast<unsigned int>(value) & 0xFFu); }

int set_numbits(int count)
{
    if (static_cast<unsigned int>(count) > 8) {
        guarded("set_numbits",
                [] { VDL_ERROR(LOGGER_GENERAL, "Number of bits to be set must be in range 0-8"); });
        return 0;
    }
    return (1 << count) - 1;
}

} // extern "C"
