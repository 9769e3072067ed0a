// The emulated devices behind the USB tests and benchmarks (see usb_testbed.hpp).
#include "usb_testbed.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>


#include <libusb.h>
#include <unistd.h>
#include <umockdev.h>

namespace usbtest {

namespace {

constexpr auto kSettleTimeout = std::chrono::seconds(5);
constexpr auto kSettlePoll = std::chrono::milliseconds(5);

Testbed* g_testbed = nullptr;
// The process that made the testbed, the only one that removes it.
pid_t g_testbedOwner = 0;

// The testbed's own libusb calls are neither counted nor made to fail.
void setBypass(bool bypass)
{
    std::lock_guard<std::mutex> lock(injectionLock());
    injection().bypass = bypass;
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

} // namespace

Testbed::Testbed() : m_testbed(umockdev_testbed_new()) {}

Testbed& Testbed::get()
{
    if (g_testbed == nullptr) {
        g_testbed = new Testbed;
        g_testbedOwner = ::getpid();
        std::atexit(teardown);
    }
    return *g_testbed;
}

void Testbed::teardown()
{
    // A forked child that exits must not remove the parent's testbed (or wait
    // in libusb_exit for the parent's event thread).
    if (::getpid() != g_testbedOwner)
        return;
    delete g_testbed;
    g_testbed = nullptr;
}

Testbed::~Testbed()
{
    if (m_probe != nullptr) {
        setBypass(true);
        libusb_exit(m_probe);
    }
    // Before the devices, whose handlers it holds.
    g_object_unref(m_testbed);
}

EmulatedDevice& Testbed::add(const DeviceSpec& spec)
{
    m_devices.push_back(std::make_unique<EmulatedDevice>(spec));
    EmulatedDevice& device = *m_devices.back();
    GError* error = nullptr;
    if (!spec.hub) {
        // Attached first, so the node answers as soon as the device appears.
        if (!umockdev_testbed_attach_ioctl(m_testbed, device.devnode().c_str(), device.handler(),
                                           &error)) {
            std::fprintf(stderr, "attach_ioctl: %s\n", error->message);
            std::abort();
        }
    }
    const std::string node = device.devnode();
    const std::string text =
        "P: " + device.syspath().substr(4) + "\n" + "N: " + node.substr(5) + "\n" +
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n" +
        "E: DEVNAME=" + node + "\n" +
        "E: BUSNUM=" + node.substr(13, 3) + "\nE: DEVNUM=" + node.substr(17, 3) + "\n" +
        "A: busnum=" + std::to_string(spec.bus) + "\\n\n" +
        "A: devnum=" + std::to_string(spec.address) + "\\n\n" +
        "A: bConfigurationValue=1\\n\nA: speed=480\\n\n" +
        "H: descriptors=" + hex(usbemu::descriptors(spec)) + "\n";
    if (!umockdev_testbed_add_from_string(m_testbed, text.c_str(), &error)) {
        std::fprintf(stderr, "add_from_string: %s\n", error->message);
        std::abort();
    }
    return device;
}

std::string Testbed::addHubs(int bus, int port, int hubAddress)
{
    const uint16_t otherVendor = 0x1209;
    DeviceSpec root;
    root.sysname = "usb" + std::to_string(bus);
    root.bus = bus;
    root.vendorId = otherVendor;
    root.productId = 2;
    root.hub = true;
    DeviceSpec hub = root;
    hub.sysname = std::to_string(bus) + "-" + std::to_string(port);
    hub.parent = add(root).syspath();
    hub.address = hubAddress;
    hub.productId = 0x4001;
    return add(hub).syspath();
}

void Testbed::remove(EmulatedDevice& device)
{
    device.setGone(true);
    // Removing the files alone sends no event; libusb would keep listing it.
    umockdev_testbed_uevent(m_testbed, device.syspath().c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, device.syspath().c_str());
}

namespace {
std::mutex& deniedLock()
{
    static std::mutex lock;
    return lock;
}
std::map<std::string, int>& deniedPaths()
{
    static std::map<std::string, int> paths;
    return paths;
}
} // namespace

void Testbed::denyOpen(const EmulatedDevice& device, bool denied, int error)
{
    std::lock_guard<std::mutex> lock(deniedLock());
    if (denied)
        deniedPaths()[device.devnode()] = error;
    else
        deniedPaths().erase(device.devnode());
}

int openDenied(const char* path)
{
    if (path == nullptr || std::strncmp(path, "/dev/bus/usb/", 13) != 0)
        return 0;
    std::lock_guard<std::mutex> lock(deniedLock());
    const auto found = deniedPaths().find(path);
    return found == deniedPaths().end() ? 0 : found->second;
}

libusb_context* Testbed::probe()
{
    if (m_probe == nullptr) {
        setBypass(true);
        libusb_init(&m_probe);
        setBypass(false);
    }
    return m_probe;
}

bool Testbed::settle(int count)
{
    libusb_context* context = probe();
    const auto deadline = std::chrono::steady_clock::now() + kSettleTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        libusb_device** list = nullptr;
        setBypass(true);
        const ssize_t n = libusb_get_device_list(context, &list);
        setBypass(false);
        if (n >= 0)
            libusb_free_device_list(list, 1);
        if (n == count)
            return true;
        std::this_thread::sleep_for(kSettlePoll);
    }
    return false;
}

LibusbInjection& injection()
{
    static LibusbInjection state;
    return state;
}

std::mutex& injectionLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace usbtest
