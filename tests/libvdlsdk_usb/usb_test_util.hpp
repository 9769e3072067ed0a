#pragma once
// Shortcuts shared by the USB test files.
#include <string>

#include <gtest/gtest.h>

#include "usb_testbed.hpp"
#include "vdlsdk/vdlsdk_usb.h"

namespace usbtest {

// A device of the maker below hub 1-4 (created on first use) at port `port`.
inline EmulatedDevice& addBoard(int port, int address, uint16_t productId,
                                const std::string& serial = "", const std::string& product = "")
{
    static std::string hub;
    Testbed& bed = Testbed::get();
    if (hub.empty())
        hub = bed.addHubs(1, 4, 2);
    DeviceSpec spec;
    spec.sysname = "1-4." + std::to_string(port);
    spec.parent = hub;
    spec.address = address;
    spec.productId = productId;
    spec.serial = serial;
    spec.product = product;
    return bed.add(spec);
}

// libusb lists the newest device first: tests find devices by location.
inline int indexOf(const std::string& location)
{
    char text[64];
    const int count = vdlusb_dev_count();
    for (int i = 0; i < count; ++i)
        if (vdlusb_dev_location(i, text, sizeof text) == 0 && location == text)
            return i;
    return -1;
}

inline std::string boardLocation(int port) { return "[1-4." + std::to_string(port) + "]"; }

// Opens the board at `port` and forgets what enumeration and opening did.
inline VdlusbDevice* openBoard(EmulatedDevice& device, int port)
{
    VdlusbDevice* handle = nullptr;
    EXPECT_EQ(vdlusb_dev_open(indexOf(boardLocation(port)), &handle), 0);
    device.clearEvents();
    return handle;
}

} // namespace usbtest
