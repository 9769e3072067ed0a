// The exported functions' own rules: argument checks, text copies, the version
// and the option file.
#include <cstring>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "usb_test_util.hpp"
#include "vdltest.hpp"
#include "vdltest_log.hpp"

using namespace usbtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

int libraryConstructions()
{
    std::lock_guard<std::mutex> lock(injectionLock());
    return injection().initCalls;
}

} // namespace

TEST(usbApi, VersionNeverCreatesTheLibrary)
{
    Testbed::get();
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    char text[16];
    EXPECT_EQ(vdlusb_version(text, 9), 0);
    EXPECT_STREQ(text, "2024.1.0");
    EXPECT_EQ(vdlusb_version(text, 4), -33);
    EXPECT_STREQ(text, "202");
    EXPECT_EQ(vdlusb_version(nullptr, 16), -5);
    EXPECT_EQ(log.at("general", "error").size(), 2u);
    EXPECT_EQ(libraryConstructions(), 0);
}

TEST(usbApi, NullArgumentsGiveMinus5WithoutLoggingOrLibrary)
{
    Testbed::get();
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    unsigned short id = 0;
    unsigned char data[4] = {};
    char text[16];
    const int results[] = {
        vdlusb_dev_send(nullptr, data, 4, 100),
        vdlusb_dev_recv(nullptr, data, 4, 100),
        vdlusb_dev_open(0, nullptr),
        vdlusb_dev_id(0, nullptr, &id),
        vdlusb_dev_id(0, &id, nullptr),
        vdlusb_set_option(nullptr, "1"),
        vdlusb_set_option("key", nullptr),
        vdlusb_get_option(nullptr, text, sizeof text),
    };
    for (int result : results)
        EXPECT_EQ(result, -5);
    EXPECT_THAT(log.at("general", "error"), IsEmpty());
    EXPECT_EQ(libraryConstructions(), 0);
    EXPECT_FALSE(std::ifstream(vdltest::configDir() + "/vdlusb_config.json").good());
}

TEST(usbApi, CloseWithNullHandleIsLogged)
{
    Testbed::get();
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    EXPECT_EQ(vdlusb_dev_close(nullptr), -5);
    EXPECT_THAT(log.at("general", "error"), ElementsAre("USB device is NULL"));
}

TEST(usbApi, TextCopiesReportSmallBuffers)
{
    addBoard(2, 5, 0x1114, "SERIAL-0123", "Board");
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    char text[32];
    EXPECT_EQ(vdlusb_dev_serial(0, text, 5), -33);
    EXPECT_STREQ(text, "SERI");
    EXPECT_EQ(vdlusb_dev_location(0, text, 1), -6);
    EXPECT_EQ(vdlusb_dev_product(0, nullptr, 8), -5);
    EXPECT_EQ(vdlusb_dev_product(0, text, sizeof text), 0);
    EXPECT_STREQ(text, "Board");
    EXPECT_EQ(log.at("general", "error").size(), 3u);
}

TEST(usbOptions, SetGetAndIterate)
{
    Testbed::get();
    char text[32];
    // A first run writes null: no options, no keys.
    EXPECT_EQ(vdlusb_option_count(), 0);
    EXPECT_EQ(vdlusb_get_next_option_key(nullptr, text, sizeof text), -27);

    ASSERT_EQ(vdlusb_set_option("beta", "two"), 0);
    ASSERT_EQ(vdlusb_set_option("alpha", "1"), 0);
    EXPECT_EQ(vdlusb_option_count(), 2);
    ASSERT_EQ(vdlusb_get_option("beta", text, sizeof text), 0);
    EXPECT_STREQ(text, "two");

    std::vector<std::string> keys;
    const char* previous = nullptr;
    std::string last;
    while (vdlusb_get_next_option_key(previous, text, sizeof text) == 0) {
        keys.push_back(last = text);
        previous = last.c_str();
    }
    EXPECT_THAT(keys, ElementsAre("alpha", "beta"));

    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    EXPECT_EQ(vdlusb_get_option("gamma", text, sizeof text), -13);
    EXPECT_EQ(vdlusb_get_option("gamma", nullptr, 0), -13);
    EXPECT_EQ(vdlusb_get_option("beta", nullptr, 0), -5);
    EXPECT_EQ(log.at("general", "error").size(), 3u);
}

TEST(usbOptions, CountReportsAFailedConstruction)
{
    Testbed::get();
    {
        std::lock_guard<std::mutex> lock(injectionLock());
        injection().initFailures = 1;
        injection().initError = -1;
    }
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    EXPECT_EQ(vdlusb_option_count(), -19);
    EXPECT_THAT(log.at("general", "error"), ElementsAre("could not initalize usb device"));
    EXPECT_EQ(vdlusb_option_count(), 0);
}
