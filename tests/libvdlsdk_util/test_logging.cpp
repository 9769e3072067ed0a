// Logging control, sleeps, time stamps and bit helpers.
#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "util_test_support.hpp"
#include "vdlsdk/vdlsdk_util.h"

using namespace utiltest;

// A stand-in for the C library's nanosleep, taking its place for the whole
// test program, the library included: it notes what a sleep asks for and
// returns at once, or, for the next g_interruptions calls, as a signal would
// end it halfway. Nothing in this program really sleeps.
int g_interruptions = 0;
std::vector<std::pair<long, long>> g_asked; // seconds, nanoseconds

extern "C" int nanosleep(const timespec* length, timespec* remaining)
{
    g_asked.emplace_back(length->tv_sec, length->tv_nsec);
    if (g_interruptions == 0)
        return 0;
    --g_interruptions;
    constexpr long long kSecond = 1000000000;
    const long long half = (length->tv_sec * kSecond + length->tv_nsec) / 2;
    if (remaining != nullptr)
        *remaining = {static_cast<time_t>(half / kSecond), static_cast<long>(half % kSecond)};
    errno = EINTR;
    return -1;
}

namespace {

constexpr int kDebug = 1;
constexpr int kInfo = 2;
constexpr int kOff = 6;

template <LoggerType T>
spdlog::sink_ptr lastSink()
{
    return VDLLogger<T>::_logger->sinks().back();
}

TEST(utilVerbosity, OutOfRangeTypesAreIgnored)
{
    for (int type : {5, -1, 100, INT32_MIN}) {
        set_log_verbosity(type, kDebug);
        EXPECT_EQ(get_log_verbosity(type), -1) << type;
    }
    for (int type = 0; type < VDL_LOGGER_COUNT; ++type)
        EXPECT_EQ(get_log_verbosity(type), kInfo) << type;
}

TEST(utilVerbosity, LevelsAreStoredAsGiven)
{
    LogCapture log;
    set_log_verbosity(LOGGER_GENERAL, 42);
    EXPECT_EQ(get_log_verbosity(LOGGER_GENERAL), 42);
    VDLBaseException("silenced", -1).log();
    VDLLogger<LOGGER_GENERAL>::_logger->critical("silenced");
    EXPECT_EQ(log.text(), "");

    set_log_verbosity(LOGGER_GENERAL, -3);
    EXPECT_EQ(get_log_verbosity(LOGGER_GENERAL), -3);
    VDLLogger<LOGGER_GENERAL>::_logger->trace("through");
    EXPECT_EQ(log.text(), "trace|through\n");
    // Only the one logger changed.
    EXPECT_EQ(get_log_verbosity(LOGGER_PCI), kInfo);
}

TEST(utilVerbosity, AllFive)
{
    set_log_verbosity_all(kDebug);
    for (int type = 0; type < VDL_LOGGER_COUNT; ++type)
        EXPECT_EQ(get_log_verbosity(type), kDebug) << type;
    set_log_verbosity_all(kOff);
    for (int type = 0; type < VDL_LOGGER_COUNT; ++type)
        EXPECT_EQ(get_log_verbosity(type), kOff) << type;
}

TEST(utilLogFile, FirstPathWinsAndConsoleGoesOn)
{
    ConfigDir dir;
    const std::string a = dir.file("a.log"), b = dir.file("b.log");
    writeFile(a, "earlier\n");
    LogCapture console(LOGGER_PCI);
    set_log_file(LOGGER_PCI, a.c_str());
    set_log_file(LOGGER_PCI, b.c_str());
    VDL_WARN(LOGGER_PCI, "to the file {}", 1);
    VDLLogger<LOGGER_PCI>::_logger->flush();
    const std::string text = readFile(a);
    EXPECT_EQ(text.rfind("earlier\n", 0), 0u) << "appended, not truncated";
    EXPECT_NE(text.find("[vdlsdk_pci] [warning] to the file 1"), std::string::npos) << text;
    EXPECT_NE(access(b.c_str(), F_OK), 0);
    EXPECT_EQ(console.text(), "warning|to the file 1\n");
}

TEST(utilLogFile, FailedFirstTryLeavesTheLoggerFree)
{
    ConfigDir dir;
    LogCapture errors;
    // Below a regular file: no directory can be made there.
    writeFile(dir.file("plain"), "x");
    const std::string bad = dir.file("plain/x.log");
    set_log_file(LOGGER_USB, bad.c_str());
    EXPECT_EQ(errors.count("error|set_log_file: "), 1) << errors.text();
    const std::string good = dir.file("good.log");
    set_log_file(LOGGER_USB, good.c_str());
    VDL_WARN(LOGGER_USB, "usb line");
    VDLLogger<LOGGER_USB>::_logger->flush();
    EXPECT_NE(readFile(good).find("usb line"), std::string::npos);
}

TEST(utilLogFile, FailedFirstTryForAllLeavesEveryLoggerFree)
{
    ConfigDir dir;
    LogCapture errors;
    writeFile(dir.file("plain"), "x");
    set_log_file_all(dir.file("plain/x.log").c_str());
    EXPECT_EQ(errors.count("error|set_log_file_all: "), 1) << errors.text();
    const std::string good = dir.file("good.log");
    set_log_file_all(good.c_str());
    VDL_WARN(LOGGER_S10, "s10 line");
    VDL_WARN(LOGGER_GENERAL, "general line");
    VDLLogger<LOGGER_GENERAL>::_logger->flush();
    const std::string text = readFile(good);
    EXPECT_NE(text.find("[vdlsdk_s10] [warning] s10 line"), std::string::npos) << text;
    EXPECT_NE(text.find("[general] [warning] general line"), std::string::npos) << text;
}

TEST(utilLogFile, NullPathsAreReportedNotRaised)
{
    LogCapture errors;
    set_log_file(LOGGER_BMC, nullptr);
    set_log_file_all(nullptr);
    EXPECT_EQ(errors.count("error|set_log_file: "), 1) << errors.text();
    EXPECT_EQ(errors.count("error|set_log_file_all: "), 1) << errors.text();
    // An out-of-range type does not read the path at all.
    set_log_file(VDL_LOGGER_COUNT, nullptr);
    set_log_file(-1, nullptr);
    EXPECT_EQ(errors.count("error|"), 2) << errors.text();
    const auto sinks = VDLLogger<LOGGER_BMC>::_logger->sinks().size();
    EXPECT_EQ(sinks, 1u); // the console alone
}

TEST(utilLogFile, AllSharesOneSinkAndSkipsLoggersWithAFile)
{
    ConfigDir dir;
    const std::string a = dir.file("a.log"), b = dir.file("b.log");
    set_log_file(LOGGER_PCI, a.c_str());
    const auto pciSink = lastSink<LOGGER_PCI>();
    set_log_file_all(b.c_str());
    EXPECT_EQ(lastSink<LOGGER_PCI>(), pciSink);
    EXPECT_EQ(VDLLogger<LOGGER_PCI>::_logger->sinks().size(), 2u);
    const auto shared = lastSink<LOGGER_GENERAL>();
    EXPECT_NE(shared, pciSink);
    EXPECT_EQ(lastSink<LOGGER_USB>(), shared);
    EXPECT_EQ(lastSink<LOGGER_S10>(), shared);
    EXPECT_EQ(lastSink<LOGGER_BMC>(), shared);

    VDL_WARN(LOGGER_PCI, "pci line");
    VDL_WARN(LOGGER_BMC, "bmc line");
    VDLLogger<LOGGER_PCI>::_logger->flush();
    VDLLogger<LOGGER_BMC>::_logger->flush();
    EXPECT_NE(readFile(a).find("pci line"), std::string::npos);
    EXPECT_EQ(readFile(b).find("pci line"), std::string::npos);
    EXPECT_NE(readFile(b).find("bmc line"), std::string::npos);
}

TEST(utilLogFile, LinesOfDifferentLoggersNeverTear)
{
    ConfigDir dir;
    const std::string path = dir.file("all.log");
    set_log_file_all(path.c_str());
    // Console output would only slow the writers down.
    VDLLogger<LOGGER_GENERAL>::_logger->sinks().front()->set_level(spdlog::level::off);
    VDLLogger<LOGGER_USB>::_logger->sinks().front()->set_level(spdlog::level::off);

    constexpr int kLines = 2000;
    const std::string payload(100, 'p');
    auto writer = [&](auto logger) {
        for (int i = 0; i < kLines; ++i)
            logger->warn("{} {}", i, payload);
    };
    std::thread t1(writer, VDLLogger<LOGGER_GENERAL>::_logger);
    std::thread t2(writer, VDLLogger<LOGGER_USB>::_logger);
    t1.join();
    t2.join();
    VDLLogger<LOGGER_GENERAL>::_logger->flush();

    const std::regex line(R"(\[[^\]]+\] \[(general|vdlsdk_usb)\] \[warning\] \d+ p{100})");
    std::istringstream in(readFile(path));
    std::string text;
    int count = 0;
    while (std::getline(in, text)) {
        ++count;
        ASSERT_TRUE(std::regex_match(text, line)) << text;
    }
    EXPECT_EQ(count, 2 * kLines);
}

TEST(utilBits, Table)
{
    struct Case {
        int value, shift, set;
    };
    const std::vector<Case> cases = {
        {0, 0, 0},   {1, 0, 1},        {0x10, 4, 1},  {0x1FF, 0, 8},
        {0x180, 7, 1}, {static_cast<int>(0x80000000u), 31, 0}, {-1, 0, 8},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(numbits_to_shift(c.value), c.shift) << std::hex << c.value;
        EXPECT_EQ(get_numbits_set(c.value), c.set) << std::hex << c.value;
    }
}

TEST(utilBits, SetNumbitsAndItsRangeError)
{
    LogCapture log;
    EXPECT_EQ(set_numbits(0), 0);
    EXPECT_EQ(set_numbits(1), 1);
    EXPECT_EQ(set_numbits(3), 7);
    EXPECT_EQ(set_numbits(8), 0xFF);
    EXPECT_EQ(log.text(), "");
    for (int count : {9, -1, INT32_MIN})
        EXPECT_EQ(set_numbits(count), 0) << count;
    const std::string line = "error|Number of bits to be set must be in range 0-8\n";
    EXPECT_EQ(log.text(), line + line + line);
}

// What each sleep asks of nanosleep: its length in whole seconds and the
// nanoseconds beyond them, and after each interruption by a signal what
// remained of it, so that no signal shortens a sleep. A length of 0 or less
// asks for nothing.
TEST(utilTime, SleepsAskForTheirWholeLengthAndNonPositiveOnesForNothing)
{
    using Asked = std::vector<std::pair<long, long>>;
    struct Case {
        const char* name;
        void (*sleep)(int);
        int length;
        int interruptions;
        Asked asked;
    };
    const std::vector<Case> cases = {
        {"1 ms", millisecond_sleep, 1, 0, {{0, 1000000}}},
        {"1.5 s in milliseconds", millisecond_sleep, 1500, 0, {{1, 500000000}}},
        {"the longest in milliseconds", millisecond_sleep, INT32_MAX, 0, {{2147483, 647000000}}},
        {"60 ms, interrupted twice", millisecond_sleep, 60, 2,
         {{0, 60000000}, {0, 30000000}, {0, 15000000}}},
        {"1 us", microsecond_sleep, 1, 0, {{0, 1000}}},
        {"2.5 s and 1 us in microseconds", microsecond_sleep, 2500001, 0, {{2, 500001000}}},
        {"the longest in microseconds", microsecond_sleep, INT32_MAX, 0, {{2147, 483647000}}},
        {"3 s in microseconds, interrupted once", microsecond_sleep, 3000000, 1,
         {{3, 0}, {1, 500000000}}},
    };
    for (const auto& c : cases) {
        g_asked.clear();
        g_interruptions = c.interruptions;
        c.sleep(c.length);
        EXPECT_EQ(g_asked, c.asked) << c.name;
    }
    g_asked.clear();
    for (void (*sleep)(int) : {millisecond_sleep, microsecond_sleep})
        for (const int length : {0, -5, INT32_MIN})
            sleep(length);
    EXPECT_EQ(g_asked, Asked{});
}

TEST(utilTime, StampsNeverDecreaseAndAgree)
{
    uint64_t previousMs = milliseconds_since_epoch();
    uint64_t previousUs = microseconds_since_epoch();
    for (int i = 0; i < 10000; ++i) {
        const uint64_t ms = milliseconds_since_epoch();
        const uint64_t us = microseconds_since_epoch();
        ASSERT_GE(ms, previousMs);
        ASSERT_GE(us, previousUs);
        previousMs = ms;
        previousUs = us;
    }
    // Both read the same monotonic clock: a microsecond stamp lies between the
    // millisecond stamps read before and after it.
    const uint64_t before = milliseconds_since_epoch();
    const uint64_t us = microseconds_since_epoch();
    const uint64_t after = milliseconds_since_epoch();
    EXPECT_LE(before, us / 1000);
    EXPECT_LE(us / 1000, after);
}

} // namespace
