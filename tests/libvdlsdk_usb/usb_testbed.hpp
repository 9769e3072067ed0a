#pragma once
// Emulated USB devices for the tests and benchmarks of libvdlsdk_usb: umockdev
// provides sysfs and the usbfs device nodes under the real libusb, in the test's
// own process, and each device of the maker answers usbfs requests from the
// handler of usb_emulated_device.hpp.
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb_emulated_device.hpp"
#include "vdlsdk/vdlsdk_usb.h"

struct libusb_context;
typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usbtest {

using usbemu::DeviceSpec;
using usbemu::EmulatedDevice;
using usbemu::Outcome;
using usbemu::Reply;

// The process's one testbed. Created by the first get(), which must come before
// the library's first call; removed at exit after the library object is gone.
class Testbed {
public:
    static Testbed& get();

    EmulatedDevice& add(const DeviceSpec& spec);
    // A root hub "usb<bus>" and a hub "<bus>-<port>" below it, of another vendor;
    // returns the hub's syspath.
    std::string addHubs(int bus, int port, int hubAddress);
    void remove(EmulatedDevice& device);
    // open() of the device node fails with `error` while denied.
    void denyOpen(const EmulatedDevice& device, bool denied, int error = EACCES);

    // Waits until libusb lists `count` devices in all, so that hot-plug events
    // of added or removed devices have been taken in. False after 5 s.
    bool settle(int count);

    ~Testbed();

private:
    Testbed();
    static void teardown();
    libusb_context* probe();

    UMockdevTestbed* m_testbed = nullptr;
    libusb_context* m_probe = nullptr;
    std::vector<std::unique_ptr<EmulatedDevice>> m_devices;
};

// libusb calls made in processes forked from `parent`, counted in memory the
// parent shares with its children (vdltest-made, MAP_SHARED). A forked child's
// call is counted and not made: the usbfs descriptors, the context and its
// event thread are the parent's.
struct ForkedCalls {
    int parent = 0;
    int claim = 0;
    int release = 0;
    int transfer = 0;
    int close = 0;
    int list = 0;
    int exit = 0;
};

// Interposed libusb calls (tests only): failures to inject and calls counted.
struct LibusbInjection {
    int initFailures = 0;       // that many libusb_init calls fail ...
    int initError = 0;          // ... with this code
    int listFailures = 0;       // the same for libusb_get_device_list
    int listError = 0;
    int listThrows = 0;         // 1: the next libusb_get_device_list raises
                                // std::bad_alloc, 2: std::runtime_error
    int initCalls = 0;
    int exitCalls = 0;
    bool bypass = false;        // the testbed's own context is not counted
    ForkedCalls* forked = nullptr;
};
LibusbInjection& injection();
std::mutex& injectionLock();

// The errno that open() of `path` fails with, or 0.
int openDenied(const char* path);

} // namespace usbtest
