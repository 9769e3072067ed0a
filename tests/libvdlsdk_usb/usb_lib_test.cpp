// The library object: enumeration, location strings, opening and closing,
// rescans, and what happens when libusb itself fails.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "usb_test_util.hpp"
#include "vdlsdk/VdlusbLib.hpp"
#include "vdltest_log.hpp"

using namespace usbtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {
constexpr int kTimeoutMs = 2000;
}

namespace {

struct Identity {
    int result;
    unsigned short vendorId;
    unsigned short productId;
    std::string serial;
    std::string product;
};

Identity identity(int index)
{
    Identity id{};
    char text[80];
    id.result = vdlusb_dev_id(index, &id.vendorId, &id.productId);
    if (vdlusb_dev_serial(index, text, sizeof text) == 0)
        id.serial = text;
    if (vdlusb_dev_product(index, text, sizeof text) == 0)
        id.product = text;
    return id;
}

DeviceSpec spec(const std::string& sysname, const std::string& parent, int bus, int address,
                uint16_t vendorId, uint16_t productId, const std::string& serial = "")
{
    DeviceSpec s;
    s.sysname = sysname;
    s.parent = parent;
    s.bus = bus;
    s.address = address;
    s.vendorId = vendorId;
    s.productId = productId;
    s.serial = serial;
    return s;
}

void setInjection(void (*change)(LibusbInjection&))
{
    std::lock_guard<std::mutex> lock(injectionLock());
    change(injection());
}

LibusbInjection injected()
{
    std::lock_guard<std::mutex> lock(injectionLock());
    return injection();
}

} // namespace

TEST(usbLocation, BuildsBusAndPortPath)
{
    struct Case {
        int bus;
        std::vector<unsigned char> ports;
        int count;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {3, {1, 4}, 2, "[3-1.4]"},
        {2, {}, 0, "[2]"},
        {1, {7}, -1, "[1]"}, // libusb's error for a device too deep
        {5, {1, 2, 3, 4, 5, 6, 7, 8}, 8, "[5-1.2.3.4.5.6.7.8]"},
        {255, {255}, 1, "[255-255]"},
    };
    for (const auto& c : cases) {
        std::string out = "stale";
        std::vector<unsigned char> ports = c.ports;
        VdlusbLib::buildLocationString(c.bus, ports.data(), c.count, out);
        EXPECT_EQ(out, c.expected);
    }
}

TEST(usbEnumeration, ListsOnlyTheMakersDevicesWithTheirStrings)
{
    addBoard(2, 5, 4, "SN-A", "Board A");
    EmulatedDevice& loader = addBoard(3, 6, 1, "SN-B", "Loader");
    EmulatedDevice& blank = addBoard(5, 7, 0, "SN-C", "Blank");
    Testbed& bed = Testbed::get();
    bed.add(spec("1-4.6", "/sys/devices/usb1/1-4", 1, 8, 0x1209, 0x1114, "OTHER"));
    DeviceSpec root = spec("usb2", "", 2, 1, VDLUSB_VENDOR_ID, 0x1116, "ROOT");
    root.product = "Root board";
    bed.add(root);

    // Two hubs and a device of another vendor are left out.
    ASSERT_EQ(vdlusb_dev_count(), 4);
    struct Case {
        const char* location;
        unsigned short productId;
        const char* serial;
        const char* product;
    };
    for (const Case& c : {Case{"[1-4.2]", 4, "SN-A", "Board A"}, Case{"[1-4.3]", 1, "", ""},
                          Case{"[1-4.5]", 0, "", ""}, Case{"[2]", 0x1116, "ROOT", "Root board"}}) {
        SCOPED_TRACE(c.location);
        const int index = indexOf(c.location);
        ASSERT_GE(index, 0);
        const Identity id = identity(index);
        EXPECT_EQ(id.result, 0);
        EXPECT_EQ(id.vendorId, VDLUSB_VENDOR_ID);
        EXPECT_EQ(id.productId, c.productId);
        EXPECT_EQ(id.serial, c.serial);
        EXPECT_EQ(id.product, c.product);
    }
    // Product ids 0 and 1 are not even opened to read their strings.
    EXPECT_THAT(loader.events(), IsEmpty());
    EXPECT_THAT(blank.events(), IsEmpty());

    // Opening reads them.
    VdlusbDevice* handle = nullptr;
    ASSERT_EQ(vdlusb_dev_open(indexOf("[1-4.3]"), &handle), 0);
    EXPECT_EQ(identity(indexOf("[1-4.3]")).serial, "SN-B");
    EXPECT_EQ(identity(indexOf("[1-4.3]")).product, "Loader");
    EXPECT_THAT(loader.events(), ElementsAre("string 3", "string 2", "config 1"));
}

TEST(usbEnumeration, WithoutTheMakersDevicesEveryLookupGivesMinus13)
{
    Testbed& bed = Testbed::get();
    const std::string hub = bed.addHubs(1, 4, 2);
    bed.add(spec("1-4.1", hub, 1, 3, 0x1209, 0x1114, "OTHER"));
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});

    EXPECT_EQ(vdlusb_dev_count(), 0);
    EXPECT_EQ(vdlusb_rescan(), 0);
    unsigned short vendorId = 0;
    unsigned short productId = 0;
    char text[16];
    VdlusbDevice* handle = reinterpret_cast<VdlusbDevice*>(&log);
    EXPECT_EQ(vdlusb_dev_id(0, &vendorId, &productId), -13);
    EXPECT_EQ(vdlusb_dev_location(0, text, sizeof text), -13);
    EXPECT_EQ(vdlusb_dev_open(0, &handle), -13);
    EXPECT_EQ(handle, nullptr);
    const std::string message = "could not find USB device at index 0";
    EXPECT_THAT(log.at("general", "error"), ElementsAre(message, message, message));
}

TEST(usbOpen, SecondOpenGivesTheSameDeviceAndReopenReadsAgain)
{
    EmulatedDevice& dev = addBoard(2, 5, 0x1114, "SN-1", "Board");
    const int index = indexOf(boardLocation(2));
    VdlusbDevice* first = nullptr;
    VdlusbDevice* second = nullptr;
    ASSERT_EQ(vdlusb_dev_open(index, &first), 0);
    dev.clearEvents();
    ASSERT_EQ(vdlusb_dev_open(index, &second), 0);
    EXPECT_EQ(second, first);
    EXPECT_THAT(dev.events(), IsEmpty());

    unsigned char data[4] = {};
    ASSERT_EQ(vdlusb_dev_send(first, data, 4, kTimeoutMs), 4);
    ASSERT_EQ(vdlusb_dev_close(first), 0);
    dev.setSerial("SN-2");
    ASSERT_EQ(vdlusb_dev_open(index, &second), 0);
    EXPECT_EQ(second, first);
    EXPECT_EQ(identity(index).serial, "SN-2");
    ASSERT_EQ(vdlusb_dev_send(second, data, 4, kTimeoutMs), 4);
    EXPECT_THAT(dev.events(), ElementsAre("claim 0", "out 2 4", "release 0", "string 3", "string 2",
                                          "config 1", "claim 0", "out 2 4"));
}

TEST(usbOpen, IndexOutsideTheTableGivesMinus13AndNull)
{
    addBoard(2, 5, 0x1114, "SN-1");
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    for (int index : {-1, 1}) {
        VdlusbDevice* handle = reinterpret_cast<VdlusbDevice*>(&log);
        EXPECT_EQ(vdlusb_dev_open(index, &handle), -13);
        EXPECT_EQ(handle, nullptr);
    }
    char text[16];
    EXPECT_EQ(vdlusb_dev_serial(1, text, sizeof text), -13);
    EXPECT_THAT(log.at("general", "error"), ElementsAre("could not find USB device at index -1",
                                          "could not find USB device at index 1",
                                          "could not find USB device at index 1"));
}

TEST(usbOpen, MovedDeviceCannotBeOpened)
{
    EmulatedDevice& dev = addBoard(2, 5, 0x1114, "SN-1");
    ASSERT_EQ(vdlusb_dev_count(), 1);
    Testbed::get().remove(dev);
    addBoard(3, 6, 0x1114, "SN-1");
    ASSERT_TRUE(Testbed::get().settle(3));

    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    VdlusbDevice* handle = nullptr;
    EXPECT_EQ(vdlusb_dev_open(0, &handle), -13);
    EXPECT_NE(handle, nullptr); // the record is there, the device is not open
    EXPECT_THAT(log.at("general", "error"), ElementsAre("could not open USB device index 0"));
    // Found again by a rescan, at its new place.
    ASSERT_EQ(vdlusb_rescan(), 1);
    EXPECT_EQ(indexOf(boardLocation(3)), 0);
    EXPECT_EQ(vdlusb_dev_open(0, &handle), 0);
}

TEST(usbOpen, PermissionRefusedAtEnumerationAndAtOpen)
{
    EmulatedDevice& dev = addBoard(2, 5, 0x1114, "SN-1", "Board");
    Testbed::get().denyOpen(dev, true);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});

    ASSERT_EQ(vdlusb_dev_count(), 1);
    EXPECT_EQ(identity(0).serial, "");
    EXPECT_TRUE(log.has("vdlsdk_usb", "debug", "Warning: insufficient permissions to open USB device [1-4.2]"));

    VdlusbDevice* handle = nullptr;
    EXPECT_EQ(vdlusb_dev_open(0, &handle), -13);
    EXPECT_TRUE(log.has("vdlsdk_usb", "debug", "Warning: insufficient permissions to open device [1-4.2]"));
    EXPECT_THAT(log.at("general", "error"), ElementsAre("could not open USB device index 0"));

    Testbed::get().denyOpen(dev, false);
    EXPECT_EQ(vdlusb_dev_open(0, &handle), 0);
    EXPECT_EQ(identity(0).serial, "SN-1");
}

// Any refusal but a permission one: not reported while listing, -35 at open.
TEST(usbOpen, OtherOpenFailuresGiveMinus35)
{
    EmulatedDevice& dev = addBoard(2, 5, 0x1114, "SN-1", "Board");
    Testbed::get().denyOpen(dev, true, EIO);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});

    ASSERT_EQ(vdlusb_dev_count(), 1);
    EXPECT_EQ(identity(0).serial, "");
    EXPECT_EQ(identity(0).product, "");
    EXPECT_FALSE(log.has("vdlsdk_usb", "debug", "Warning: insufficient permissions to open USB device [1-4.2]"));
    EXPECT_THAT(log.at("general", "error"), IsEmpty());

    VdlusbDevice* handle = nullptr;
    EXPECT_EQ(vdlusb_dev_open(0, &handle), -35);
    ASSERT_NE(handle, nullptr);
    EXPECT_FALSE(handle->isOpen());
    EXPECT_THAT(log.at("general", "error"), ElementsAre("failed to open libusb device"));

    Testbed::get().denyOpen(dev, false);
    EXPECT_EQ(vdlusb_dev_open(0, &handle), 0);
    EXPECT_EQ(identity(0).product, "Board");
}

// Another device plugged into the same port is not the one listed there.
TEST(usbOpen, DifferentDeviceAtTheSamePlaceIsNotOpened)
{
    EmulatedDevice* current = &addBoard(2, 5, 0x1114, "SN-1");
    ASSERT_EQ(vdlusb_dev_count(), 1);

    struct Case {
        uint16_t vendorId;
        uint16_t productId;
    };
    int address = 6;
    for (const Case& c : {Case{VDLUSB_VENDOR_ID, 0x1115}, Case{0x1209, 0x1114}}) {
        SCOPED_TRACE(c.productId);
        Testbed::get().remove(*current);
        ASSERT_TRUE(Testbed::get().settle(2));
        current = &Testbed::get().add(
            spec("1-4.2", "/sys/devices/usb1/1-4", 1, address++, c.vendorId, c.productId, "SN-2"));
        ASSERT_TRUE(Testbed::get().settle(3));

        vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
        VdlusbDevice* handle = nullptr;
        EXPECT_EQ(vdlusb_dev_open(0, &handle), -13);
        EXPECT_THAT(log.at("general", "error"), ElementsAre("could not open USB device index 0"));
        EXPECT_THAT(current->events(), IsEmpty());
    }
}

TEST(usbRescan, SeesAddedAndRemovedDevices)
{
    EmulatedDevice& first = addBoard(2, 5, 0x1114, "SN-1");
    ASSERT_EQ(vdlusb_dev_count(), 1);

    addBoard(3, 6, 0x1115, "SN-2", "Second");
    ASSERT_TRUE(Testbed::get().settle(4));
    EXPECT_EQ(vdlusb_rescan(), 2);
    EXPECT_EQ(identity(indexOf(boardLocation(3))).product, "Second");

    Testbed::get().remove(first);
    ASSERT_TRUE(Testbed::get().settle(3));
    EXPECT_EQ(vdlusb_rescan(), 1);
    EXPECT_EQ(vdlusb_dev_count(), 1);
    EXPECT_EQ(identity(0).serial, "SN-2");
}

// Two devices can share a location: one too deep for its port path to be
// known counts as sitting on the bus itself.
TEST(usbOpen, StopsAtTheFirstDeviceOpened)
{
    Testbed& bed = Testbed::get();
    EmulatedDevice& top = bed.add(spec("usb1", "", 1, 1, VDLUSB_VENDOR_ID, 0x1114, "TOP"));
    std::string parent = top.syspath();
    std::string name = "1-1";
    for (int depth = 1; depth <= 8; ++depth) {
        DeviceSpec hub = spec(name, parent, 1, 1 + depth, 0x1209, 0x4001);
        hub.hub = true;
        parent = bed.add(hub).syspath();
        name += ".1";
    }
    EmulatedDevice& deep = bed.add(spec(name, parent, 1, 20, VDLUSB_VENDOR_ID, 0x1114, "DEEP"));

    ASSERT_EQ(vdlusb_dev_count(), 2);
    char location[32];
    for (int index : {0, 1}) {
        ASSERT_EQ(vdlusb_dev_location(index, location, sizeof location), 0);
        EXPECT_STREQ(location, "[1]");
    }
    top.clearEvents();
    deep.clearEvents();
    VdlusbDevice* handle = nullptr;
    ASSERT_EQ(vdlusb_dev_open(0, &handle), 0);
    EXPECT_EQ(top.count("config 1") + deep.count("config 1"), 1);
}

TEST(usbLibrary, ContextFailureGivesCountZeroAndRescanMinus19)
{
    addBoard(2, 5, 0x1114, "SN-1");
    setInjection([](LibusbInjection& s) {
        s.initFailures = 2;
        s.initError = -99;
    });
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    EXPECT_EQ(vdlusb_dev_count(), 0);
    EXPECT_TRUE(log.has("vdlsdk_usb", "debug", "libusb failed to initalized with return value -99"));
    EXPECT_EQ(vdlusb_rescan(), -19);
    EXPECT_THAT(log.at("general", "error"), ElementsAre("could not initalize usb device",
                                          "could not initalize usb device"));
    // Each call tried again; the third one succeeds.
    EXPECT_EQ(vdlusb_dev_count(), 1);
    EXPECT_EQ(injected().initCalls, 3);
}

TEST(usbLibrary, FailedConstructionEndsItsContext)
{
    addBoard(2, 5, 0x1114, "SN-1");
    setInjection([](LibusbInjection& s) {
        s.listFailures = 1;
        s.listError = -1;
    });
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    EXPECT_EQ(vdlusb_rescan(), -19);
    EXPECT_THAT(log.at("general", "error"), ElementsAre("libusb_get_device_list failed with return value -1"));
    EXPECT_EQ(injected().initCalls, 1);
    EXPECT_EQ(injected().exitCalls, 1);

    EXPECT_EQ(vdlusb_rescan(), 1);
    EXPECT_EQ(injected().initCalls, 2);
    EXPECT_EQ(injected().exitCalls, 1);
}

TEST(usbOpen, DeviceListFailuresLeaveTheDeviceClosed)
{
    EmulatedDevice& dev = addBoard(2, 5, 0x1114, "SN-1");
    ASSERT_EQ(vdlusb_dev_count(), 1);
    vdltest::LogCapture log({LOGGER_GENERAL, LOGGER_USB});
    VdlusbDevice* handle = nullptr;

    setInjection([](LibusbInjection& s) {
        s.listFailures = 1;
        s.listError = -99;
    });
    EXPECT_EQ(vdlusb_dev_open(0, &handle), -19);
    EXPECT_NE(handle, nullptr);
    EXPECT_TRUE(log.has("vdlsdk_usb", "debug", "libusb_get_device_list failed with return code -99"));

    // Exceptions outside the kit's family do not escape either.
    setInjection([](LibusbInjection& s) { s.listThrows = 1; });
    EXPECT_EQ(vdlusb_dev_open(0, &handle), -4);
    setInjection([](LibusbInjection& s) { s.listThrows = 2; });
    EXPECT_EQ(vdlusb_dev_open(0, &handle), -1);
    EXPECT_THAT(log.at("general", "error"),
                ElementsAre("could not get the USB device list", "device list exploded"));

    unsigned char data[4] = {};
    EXPECT_EQ(vdlusb_dev_send(handle, data, 4, kTimeoutMs), -17);
    dev.clearEvents();
    EXPECT_EQ(vdlusb_dev_open(0, &handle), 0);
    EXPECT_EQ(dev.count("config 1"), 1);
}

namespace {
EmulatedDevice* g_exitDevice = nullptr;

// Runs after the library object is gone, before the testbed is.
void checkReleasedAtExit()
{
    const auto events = g_exitDevice->events();
    const bool released = !events.empty() && events.back() == "release 0";
    const bool ended = injected().exitCalls == 1;
    if (!released || !ended) {
        std::fprintf(stderr, "at exit: interface released %d, context ended %d\n", released, ended);
        _exit(1);
    }
}
} // namespace

TEST(usbLibrary, DestructionReleasesDevicesThenEndsTheContext)
{
    g_exitDevice = &addBoard(2, 5, 0x1114, "SN-1");
    std::atexit(checkReleasedAtExit);
    VdlusbDevice* handle = nullptr;
    ASSERT_EQ(vdlusb_dev_open(0, &handle), 0);
    unsigned char data[4] = {};
    ASSERT_EQ(vdlusb_dev_send(handle, data, 4, kTimeoutMs), 4);
    EXPECT_EQ(g_exitDevice->events().back(), "out 2 4");
}
