// Claiming and bulk transfers of a device, through the exported functions and
// the device class, against emulated devices.
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "usb_test_util.hpp"
#include "vdlsdk/VdlusbLib.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdltest_log.hpp"
#include "vdltest_process.hpp"

using namespace usbtest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// Long enough never to expire on a loaded machine where a transfer should complete.
constexpr int kTimeoutMs = 2000;
// For transfers meant to time out.
constexpr int kShortTimeoutMs = 50;
// A transfer that must complete, followed by one meant to time out, under one limit.
constexpr int kMixedTimeoutMs = 300;
constexpr int kPort = 2;
constexpr uint16_t kBoard = 0x1115;

std::vector<unsigned char> pattern(int length)
{
    std::vector<unsigned char> data(length);
    std::iota(data.begin(), data.end(), 1);
    return data;
}

} // namespace

TEST(usbSend, ZeroLengthPacketExactlyAfterMultiplesOf64)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard, "SN-SEND");
    VdlusbDevice* handle = openBoard(dev, kPort);

    std::vector<std::string> expected = {"claim 0", "altsetting 0 1"};
    std::vector<std::vector<uint8_t>> expectedData;
    for (int length : {0, 63, 64, 65, 128, 512}) {
        auto data = pattern(length);
        EXPECT_EQ(vdlusb_dev_send(handle, data.data(), length, kTimeoutMs), length) << length;
        expected.push_back("out 2 " + std::to_string(length));
        expectedData.emplace_back(data.begin(), data.end());
        if (length % 64 == 0) {
            expected.push_back("out 2 0");
            expectedData.emplace_back();
        }
    }
    // One claim and one alternate setting for the whole series.
    EXPECT_THAT(dev.events(), ElementsAreArray(expected));
    EXPECT_THAT(dev.outData(), ElementsAreArray(expectedData));
}

TEST(usbClaim, RuleByProductIdSelectsSettingAndEndpoint)
{
    struct Case {
        uint16_t productId;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {4, {"claim 0", "altsetting 0 1", "out 2 10"}},
        {5, {"claim 0", "altsetting 0 1", "out 2 10"}},
        {7, {"claim 0", "altsetting 0 1", "out 1 10"}},
        {0x1114, {"claim 0", "out 2 10"}},
        {0x1115, {"claim 0", "altsetting 0 1", "out 2 10"}},
        {0x1116, {"claim 0", "altsetting 0 1", "out 2 10"}},
        // Unsupported: interface 0 is given back at once, nothing is sent.
        {6, {"claim 0", "release 0"}},
    };
    std::vector<EmulatedDevice*> devices;
    for (size_t i = 0; i < cases.size(); ++i)
        devices.push_back(&addBoard(10 + i, 10 + i, cases[i].productId));

    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    VdlusbDevice* handle = nullptr;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].productId);
        handle = openBoard(*devices[i], 10 + i);
        auto data = pattern(10);
        const int expected = cases[i].productId == 6 ? -2 : 10;
        EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 10, kTimeoutMs), expected);
        EXPECT_THAT(devices[i]->events(), ElementsAreArray(cases[i].events));
    }
    // A receive meets the same refusal.
    devices.back()->clearEvents();
    unsigned char buffer[8];
    EXPECT_EQ(vdlusb_dev_recv(handle, buffer, sizeof buffer, kTimeoutMs), -2);
    EXPECT_THAT(devices.back()->events(), ElementsAre("claim 0", "release 0"));
    const std::string message = "Device ID 0X000006 is not supported";
    EXPECT_THAT(log.at("general", "error"), ElementsAre(message, message));
}

TEST(usbSend, TimeOutReturnsBytesMovedAndStaysClaimed)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    auto data = pattern(128);

    // A full-packet send that times out is not ended by a zero-length packet.
    dev.queueOut({Outcome::Timeout, 40});
    EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 128, kShortTimeoutMs), 40);
    // A zero-length packet that times out still reports the data sent.
    dev.queueOut({});
    dev.queueOut({Outcome::Timeout, 0});
    EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 64, kMixedTimeoutMs), 64);
    EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 5, kTimeoutMs), 5);

    EXPECT_THAT(dev.events(), ElementsAre("claim 0", "altsetting 0 1", "out 2 128", "out 2 64",
                                          "out 2 0", "out 2 5"));
    EXPECT_THAT(log.at("general", "error"), IsEmpty());
    // The count traced is the data transfer's, also after a timed-out packet.
    for (const char* trace : {"libusb bulk transfer returned value -7", "USB transferred 40 bytes",
                              "USB transferred 64 bytes", "libusb bulk transfer returned value 0",
                              "USB transferred 5 bytes"})
        EXPECT_TRUE(log.has("vdlsdk_usb", "debug", trace)) << trace;
}

TEST(usbSend, FailuresGiveMinus34AndReleaseTheInterface)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    auto data = pattern(64);

    struct Case {
        std::vector<Reply> replies;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        // A failed data transfer counts, whatever the zero-length packet would do.
        {{{Outcome::Stall, 0}}, {"claim 0", "altsetting 0 1", "out 2 64", "release 0"}},
        {{{Outcome::IoError, 10}}, {"claim 0", "altsetting 0 1", "out 2 64", "release 0"}},
        // The zero-length packet's own failure counts too.
        {{{}, {Outcome::Stall, 0}},
         {"claim 0", "altsetting 0 1", "out 2 64", "out 2 0", "release 0"}},
    };
    for (const auto& c : cases) {
        dev.clearEvents();
        for (const auto& reply : c.replies)
            dev.queueOut(reply);
        EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 64, kTimeoutMs), -34);
        EXPECT_THAT(dev.events(), ElementsAreArray(c.events));
    }
    const std::string message = "Driver operation failed while sending data to USB device";
    EXPECT_THAT(log.at("general", "error"), ElementsAre(message, message, message));
}

TEST(usbRecv, ReturnsDataAndReleasesTheInterface)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    auto data = pattern(8);
    std::vector<unsigned char> buffer(256, 0);

    ASSERT_EQ(vdlusb_dev_send(handle, data.data(), 8, kTimeoutMs), 8);
    dev.queueIn({9, 8, 7, 6, 5});
    ASSERT_EQ(vdlusb_dev_recv(handle, buffer.data(), 256, kTimeoutMs), 5);
    EXPECT_THAT(std::vector<unsigned char>(buffer.begin(), buffer.begin() + 5),
                ElementsAre(9, 8, 7, 6, 5));
    // The next transfer claims again.
    ASSERT_EQ(vdlusb_dev_send(handle, data.data(), 8, kTimeoutMs), 8);
    EXPECT_THAT(dev.events(),
                ElementsAre("claim 0", "altsetting 0 1", "out 2 8", "in 129 256", "release 0",
                            "claim 0", "altsetting 0 1", "out 2 8"));
}

TEST(usbRecv, TimeOutsReturnBytesMoved)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    std::vector<unsigned char> buffer(100, 0);

    dev.queueIn(pattern(100), {Outcome::Timeout, 30});
    EXPECT_EQ(vdlusb_dev_recv(handle, buffer.data(), 100, kShortTimeoutMs), 30);
    EXPECT_EQ(buffer[29], 30);
    EXPECT_EQ(buffer[30], 0);
    // Nothing to deliver at all.
    EXPECT_EQ(vdlusb_dev_recv(handle, buffer.data(), 100, kShortTimeoutMs), 0);
    EXPECT_EQ(dev.count("release 0"), 2);
    EXPECT_THAT(log.at("general", "error"), IsEmpty());
    EXPECT_TRUE(log.has("vdlsdk_usb", "debug", "libusb bulk transfer returned value -7"));
    EXPECT_TRUE(log.has("vdlsdk_usb", "debug", "USB received 30 bytes"));
    EXPECT_TRUE(log.has("vdlsdk_usb", "debug", "USB received 0 bytes"));
}

TEST(usbRecv, FailuresGiveMinus34)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    std::vector<unsigned char> buffer(64);

    for (Outcome failure : {Outcome::Stall, Outcome::IoError}) {
        dev.clearEvents();
        dev.queueIn(pattern(64), {failure, 0});
        EXPECT_EQ(vdlusb_dev_recv(handle, buffer.data(), 64, kTimeoutMs), -34);
        EXPECT_THAT(dev.events(), ElementsAre("claim 0", "altsetting 0 1", "in 129 64", "release 0"));
    }
    const std::string message = "Driver operation failed while receiving data to USB device";
    EXPECT_THAT(log.at("general", "error"), ElementsAre(message, message));
}

TEST(usbClaim, BusyInterfaceGivesMinus11AfterEveryAttempt)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    auto data = pattern(8);

    dev.setClaimBusy(true);
    EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 8, kTimeoutMs), -11);
    EXPECT_EQ(dev.count("claim 0 busy"), 500);
    EXPECT_THAT(log.at("general", "error"), ElementsAre("Timeout occured during claiming of USB device - try again"));

    // One attempt at least, whatever the caller asks for.
    for (int attempts : {1, 0, -3}) {
        dev.clearEvents();
        EXPECT_THROW(handle->claim(attempts), VDLException<-11>);
        EXPECT_EQ(dev.count("claim 0 busy"), 1) << attempts;
    }

    dev.setClaimBusy(false);
    dev.clearEvents();
    EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 8, kTimeoutMs), 8);
    EXPECT_THAT(dev.events(), ElementsAre("claim 0", "altsetting 0 1", "out 2 8"));
}

TEST(usbTransfer, ArgumentChecksComeFirstAndLogNothing)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    unsigned char data[8] = {};

    EXPECT_EQ(vdlusb_dev_send(nullptr, data, 8, kTimeoutMs), -5);
    EXPECT_EQ(vdlusb_dev_recv(nullptr, data, 8, kTimeoutMs), -5);
    EXPECT_EQ(vdlusb_dev_send(handle, data, -1, kTimeoutMs), -6);
    EXPECT_EQ(vdlusb_dev_recv(handle, data, -8, kTimeoutMs), -6);
    EXPECT_THAT(dev.events(), IsEmpty());
    EXPECT_THAT(log.at("general", "error"), IsEmpty());
}

TEST(usbTransfer, AfterCloseNothingReachesTheDevice)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    auto data = pattern(8);
    ASSERT_EQ(vdlusb_dev_send(handle, data.data(), 8, kTimeoutMs), 8);

    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    ASSERT_EQ(vdlusb_dev_close(handle), 0);
    EXPECT_FALSE(handle->isOpen());
    EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 8, kTimeoutMs), -17);
    EXPECT_EQ(vdlusb_dev_recv(handle, data.data(), 8, kTimeoutMs), -17);
    // Closing a closed device changes nothing.
    EXPECT_EQ(vdlusb_dev_close(handle), 0);
    EXPECT_THAT(dev.events(), ElementsAre("claim 0", "altsetting 0 1", "out 2 8", "release 0"));
    const std::string message = "Cannot claim USB device because it is not open";
    EXPECT_THAT(log.at("general", "error"), ElementsAre(message, message));
}

TEST(usbTransfer, VanishedDeviceGivesMinus34)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    auto data = pattern(8);
    ASSERT_EQ(vdlusb_dev_send(handle, data.data(), 8, kTimeoutMs), 8);

    Testbed::get().remove(dev);
    ASSERT_TRUE(Testbed::get().settle(2)); // the two hubs remain
    // The interface is still claimed: the transfer itself fails.
    EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 8, kTimeoutMs), -34);
    // Released by that failure; no claim can succeed any more.
    EXPECT_EQ(vdlusb_dev_recv(handle, data.data(), 8, kTimeoutMs), -11);
    EXPECT_EQ(vdlusb_dev_close(handle), 0);
    EXPECT_EQ(vdlusb_rescan(), 0);
}

TEST(usbSendRecv, FailureIsLoggedAndTheInterfaceReleased)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard);
    VdlusbDevice* handle = openBoard(dev, kPort);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    auto data = pattern(16);
    std::vector<unsigned char> buffer(16);

    dev.queueIn({1, 2, 3});
    handle->sendRecv(data.data(), 16, kTimeoutMs, buffer.data(), 16, kTimeoutMs);
    EXPECT_EQ(buffer[2], 3);
    EXPECT_THAT(dev.events(), ElementsAre("claim 0", "altsetting 0 1", "out 2 16", "in 129 16",
                                          "release 0"));

    // A length of 0 leaves that direction out.
    dev.clearEvents();
    dev.queueIn({4, 5});
    handle->sendRecv(data.data(), 0, kTimeoutMs, buffer.data(), 16, kTimeoutMs);
    EXPECT_EQ(buffer[1], 5);
    handle->sendRecv(data.data(), 16, kTimeoutMs, buffer.data(), 0, kTimeoutMs);
    EXPECT_THAT(dev.events(), ElementsAre("claim 0", "altsetting 0 1", "in 129 16", "release 0",
                                          "claim 0", "altsetting 0 1", "out 2 16", "release 0"));

    // A failed send skips the receive and is swallowed.
    dev.clearEvents();
    dev.queueOut({Outcome::Stall, 0});
    handle->sendRecv(data.data(), 16, kTimeoutMs, buffer.data(), 16, kTimeoutMs);
    EXPECT_THAT(dev.events(), ElementsAre("claim 0", "altsetting 0 1", "out 2 16", "release 0"));
    EXPECT_THAT(log.at("general", "error"), ElementsAre("Driver operation failed while sending data to USB device"));
}

// A forked child shares the parent's usbfs descriptors and has no libusb
// event thread of its own. Its transfers on the parent's devices and its
// rescan are refused, and its exit (which destroys its copy of the library
// object) makes no libusb call: releasing interface 0 there would release
// the parent's claim, and libusb_exit would wait for the parent's thread.
TEST(usbFork, ChildLeavesTheParentsClaimAndContextAlone)
{
    EmulatedDevice& dev = addBoard(kPort, 5, kBoard, "SN-FORK");
    VdlusbDevice* handle = openBoard(dev, kPort);
    auto data = pattern(10);
    ASSERT_EQ(vdlusb_dev_send(handle, data.data(), 10, kTimeoutMs), 10);

    void* shared = ::mmap(nullptr, sizeof(ForkedCalls), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* calls = new (shared) ForkedCalls;
    calls->parent = ::getpid();
    {
        std::lock_guard<std::mutex> lock(injectionLock());
        injection().forked = calls;
    }
    const int faults = vdltest::runInChild(
        [&] {
            int found = 0;
            if (vdlusb_dev_send(handle, data.data(), 10, kTimeoutMs) != -17)
                found |= 1;
            unsigned char buffer[8];
            if (vdlusb_dev_recv(handle, buffer, sizeof buffer, kTimeoutMs) != -17)
                found |= 2;
            if (vdlusb_rescan() != -19)
                found |= 4;
            return found;
        },
        vdltest::ChildExit::Normal);
    {
        std::lock_guard<std::mutex> lock(injectionLock());
        injection().forked = nullptr;
    }
    EXPECT_EQ(faults, 0) << "1: send, 2: receive, 3: rescan not refused";
    EXPECT_EQ(calls->claim, 0);
    EXPECT_EQ(calls->transfer, 0);
    EXPECT_EQ(calls->release, 0) << "the parent's claim";
    EXPECT_EQ(calls->close, 0);
    EXPECT_EQ(calls->list, 0);
    EXPECT_EQ(calls->exit, 0);
    ::munmap(shared, sizeof(ForkedCalls));

    // Still claimed by the parent: the next send claims nothing anew.
    dev.clearEvents();
    EXPECT_EQ(vdlusb_dev_send(handle, data.data(), 10, kTimeoutMs), 10);
    EXPECT_THAT(dev.events(), ElementsAre("out 2 10"));
}
