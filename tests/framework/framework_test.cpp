// The exception family and the process-wide loggers, as seen from a program that
// links the runtime library and a peer library normally.
#include <climits>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlsdk_util.h"
#include "vdltest_log.hpp"
#include "vdltest_raises.hpp"

extern "C" {
uintptr_t peer_logger(int type);
int peer_catch_buffer_too_small();
void peer_throw(int code);
}

namespace {

// The exception vdl_throw_from_c_error raises for a code.
vdltest::Raised thrownFor(int code)
{
    return vdltest::raised([&] { vdl_throw_from_c_error(code, "driver said no"); });
}

template <int N>
bool throwsExactly(int code)
{
    try {
        vdl_throw_from_c_error(code, "x");
    } catch (const VDLException<N>&) {
        return true;
    } catch (...) {
    }
    return false;
}

} // namespace

TEST(framework, ThrowFromCErrorMapsEveryCodeAndIgnoresTheRest)
{
    for (int code = -41; code <= 1; ++code) {
        const bool inRange = code >= -40 && code <= -1;
        const auto r = thrownFor(code);
        EXPECT_EQ(r.code, inRange ? code : 0) << code;
        EXPECT_EQ(r.message, inRange ? "driver said no" : "") << code;
    }
    EXPECT_FALSE(thrownFor(INT_MIN).raised);
    EXPECT_FALSE(thrownFor(INT_MAX).raised);
    // The type, not only the code, is selected.
    EXPECT_TRUE(throwsExactly<-1>(-1));
    EXPECT_TRUE(throwsExactly<-40>(-40));
    EXPECT_TRUE(throwsExactly<-13>(-13));
    EXPECT_FALSE(throwsExactly<-13>(-14));
}

TEST(framework, MessagesAreVerbatimOrFormattedAtRunTime)
{
    struct Case {
        std::string expected;
        std::string actual;
    };
    const Case cases[] = {
        {"", VDLException<-1>("").what()},
        {"a {} stays", VDLException<-1>(std::string("a {} stays")).what()},
        {"PCI bar physical address offset 0x00000000001000 was out of range 0x00000000001000",
         VDLException<-8>("PCI bar physical address offset {:#016x} was out of range {:#016x}",
                          4096ul, 4096ul)
             .what()},
        {"0X20000 is not a valid memory space identifier",
         VDLException<-6>("{:#X} is not a valid memory space identifier", 0x20000).what()},
        {"Device ID 0X001114 is not supported",
         VDLException<-2>("Device ID {:#08X} is not supported", 0x1114).what()},
        {"function alloc is currently not supported",
         VDLException<-2>("function {} is currently not supported", "alloc").what()},
        {"invalid width 3", VDLException<-6>("invalid width {}", 3).what()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.actual, c.expected);
    EXPECT_EQ(VDLException<-6>("x").code, -6);
    EXPECT_THROW(VDLException<-3>("{} {}", 1), fmt::format_error);
}

TEST(framework, LogWritesTheMessageAloneAtTheChosenLevel)
{
    vdltest::LogCapture capture(LOGGER_GENERAL, vdltest::kKeepLevel);
    const VDLException<-5> e("braces {} and {:#x} stay");

    e.log();
    EXPECT_EQ(capture.text(), "error|braces {} and {:#x} stay\n");

    set_log_verbosity(LOGGER_GENERAL, spdlog::level::warn);
    e.log<int>(1);
    e.log<int>(3);
    EXPECT_EQ(capture.text(), "error|braces {} and {:#x} stay\nwarning|braces {} and {:#x} stay\n");

    set_log_verbosity(LOGGER_GENERAL, spdlog::level::off);
    e.log();
    EXPECT_EQ(capture.text(), "error|braces {} and {:#x} stay\nwarning|braces {} and {:#x} stay\n");
}

// A level number that names no message level (off, or outside 0 to 6) writes
// nothing, whatever the logger's own level, and never reaches the sinks'
// per-level tables.
TEST(framework, LogAtALevelThatIsNoMessageLevelWritesNothing)
{
    vdltest::LogCapture capture(LOGGER_GENERAL, vdltest::kKeepLevel);
    const VDLException<-5> e("m");
    const struct {
        int loggerLevel;
        int messageLevel;
    } cases[] = {
        {spdlog::level::off, spdlog::level::off},
        {spdlog::level::trace, spdlog::level::off},
        {-1, -1},
        {-1, 7},
        {-1, 42},
    };
    for (const auto& c : cases) {
        set_log_verbosity(LOGGER_GENERAL, c.loggerLevel);
        e.log<int>(c.messageLevel);
        EXPECT_EQ(capture.text(), "") << c.loggerLevel << " " << c.messageLevel;
    }
    set_log_verbosity(LOGGER_GENERAL, -1);
    e.log<int>(spdlog::level::critical);
    EXPECT_EQ(capture.text(), "critical|m\n");
}

TEST(framework, FiveLoggersAtInfoWithThreadSafeConsoleSinks)
{
    const char* names[] = {"general", "vdlsdk_pci", "vdlsdk_usb", "vdlsdk_s10", "vdlsdk_bmc"};
    for (int type = 0; type < VDL_LOGGER_COUNT; ++type) {
        auto registered = spdlog::get(names[type]);
        ASSERT_TRUE(registered) << names[type];
        EXPECT_EQ(reinterpret_cast<uintptr_t>(registered.get()), peer_logger(type));
        EXPECT_EQ(registered->level(), spdlog::level::info);
        ASSERT_EQ(registered->sinks().size(), 1u);
        EXPECT_TRUE(std::dynamic_pointer_cast<spdlog::sinks::stdout_color_sink_mt>(
            registered->sinks().front()));
    }
}

TEST(framework, DebugTraceIsSilentByDefaultAndCarriesTheSourcePrefix)
{
    vdltest::LogCapture capture(LOGGER_PCI, vdltest::kKeepLevel);
    int formatted = 0;
    auto count = [&] { return ++formatted; };

    VDL_TRACE(LOGGER_PCI, "value {}", count());
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(formatted, 0) << "arguments of a suppressed trace must not be evaluated";

    set_log_verbosity(LOGGER_PCI, spdlog::level::debug);
    const int line = __LINE__ + 1;
    VDL_TRACE(LOGGER_PCI, "Reading PCIe config register {:#016x}: {:#016x}", 0x10ul, 0xfful);
    const std::string expected = std::string("debug|") + __FILE__ + ":" + std::to_string(line) +
                                 " TestBody - Reading PCIe config register 0x00000000000010: "
                                 "0x000000000000ff\n";
    EXPECT_EQ(capture.text(), expected);

    VDL_WARN(LOGGER_PCI, "plain {}", 1);
    EXPECT_EQ(capture.text(), expected + "warning|plain 1\n");
}

TEST(framework, ExceptionsCrossLibrariesByType)
{
    EXPECT_EQ(peer_catch_buffer_too_small(), 3);
    EXPECT_THROW(peer_throw(-33), VDLException<-33>);
    EXPECT_RAISES(peer_throw(-7), -7, "thrown by the peer");
}
