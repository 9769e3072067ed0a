// The emulated devices behind the USB tests and benchmarks (see usb_testbed.hpp).
#include "usb_testbed.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <libusb.h>
#include <umockdev.h>

namespace usbtest {

namespace {

constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kRequestGetDescriptor = 6;
constexpr uint8_t kRequestTypeStandardIn = 0x80;
constexpr size_t kSetupSize = 8;
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;
constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr auto kSettleTimeout = std::chrono::seconds(5);
constexpr auto kSettlePoll = std::chrono::milliseconds(5);
const char* const kManufacturer = "Vandrel";

Testbed* g_testbed = nullptr;

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

void put16(std::vector<uint8_t>& out, unsigned value)
{
    out.push_back(value & 0xFF);
    out.push_back((value >> 8) & 0xFF);
}

void putEndpoint(std::vector<uint8_t>& out, uint8_t address)
{
    const unsigned maxPacket = 512;
    out.insert(out.end(), {7, 5, address, 2 /* bulk */});
    put16(out, maxPacket);
    out.push_back(0);
}

// Device descriptor and configuration 1: interface 0 with alternate settings 0
// and 1, each with bulk endpoints 0x81, 0x02 and 0x01. Hubs get a bare interface.
std::vector<uint8_t> descriptors(const DeviceSpec& spec)
{
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, uint8_t(spec.hub ? 9 : 0), 0, 0, 64};
    put16(d, spec.vendorId);
    put16(d, spec.productId);
    put16(d, 0x0100);
    d.push_back(spec.hub ? 0 : kManufacturerIndex);
    d.push_back(spec.product.empty() ? 0 : kProductIndex);
    d.push_back(spec.serial.empty() ? 0 : kSerialIndex);
    d.push_back(1);

    std::vector<uint8_t> interfaces;
    const int altSettings = spec.hub ? 1 : 2;
    for (int alt = 0; alt < altSettings; ++alt) {
        const uint8_t endpoints = spec.hub ? 0 : 3;
        interfaces.insert(interfaces.end(), {9, 4, 0, uint8_t(alt), endpoints,
                                             uint8_t(spec.hub ? 9 : 0xFF), 0, 0, 0});
        if (!spec.hub) {
            putEndpoint(interfaces, 0x81);
            putEndpoint(interfaces, 0x02);
            putEndpoint(interfaces, 0x01);
        }
    }
    d.insert(d.end(), {9, 2});
    put16(d, 9 + interfaces.size());
    d.insert(d.end(), {1, 1, 0, 0x80, 50});
    d.insert(d.end(), interfaces.begin(), interfaces.end());
    return d;
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer device)
{
    return static_cast<EmulatedDevice*>(device)->handleIoctl(client);
}

} // namespace

EmulatedDevice::EmulatedDevice(DeviceSpec spec) : m_spec(std::move(spec)) {}

std::string EmulatedDevice::syspath() const
{
    return (m_spec.parent.empty() ? std::string("/sys/devices") : m_spec.parent) + "/" +
           m_spec.sysname;
}

std::string EmulatedDevice::devnode() const
{
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", m_spec.bus, m_spec.address);
    return node;
}

void EmulatedDevice::queueOut(Reply reply)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_outReplies.push_back(reply);
}

void EmulatedDevice::queueIn(std::vector<uint8_t> data, Reply reply)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_inReplies.emplace_back(std::move(data), reply);
}

void EmulatedDevice::setClaimBusy(bool busy)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_claimBusy = busy;
}

void EmulatedDevice::setSerial(const std::string& serial)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_spec.serial = serial;
}

DeviceSpec EmulatedDevice::spec() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_spec;
}

void EmulatedDevice::setGone(bool gone)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_gone = gone;
}

void EmulatedDevice::setRecordData(bool record)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_recordData = record;
}

std::vector<std::string> EmulatedDevice::events() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

void EmulatedDevice::clearEvents()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_events.clear();
    m_outData.clear();
}

std::vector<std::vector<uint8_t>> EmulatedDevice::outData() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_outData;
}

int EmulatedDevice::count(const std::string& event) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<int>(std::count(m_events.begin(), m_events.end(), event));
}

long EmulatedDevice::outTransfers() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_outTransfers;
}

void EmulatedDevice::note(std::string event)
{
    if (m_recordData)
        m_events.push_back(std::move(event));
}

bool EmulatedDevice::stringDescriptor(int index, std::vector<uint8_t>& out) const
{
    std::string text;
    if (index == 0) {
        out = {4, kDescriptorString};
        put16(out, kLanguageEnglishUs);
        return true;
    }
    if (index == kManufacturerIndex)
        text = kManufacturer;
    else if (index == kProductIndex && !m_spec.product.empty())
        text = m_spec.product;
    else if (index == kSerialIndex && !m_spec.serial.empty())
        text = m_spec.serial;
    else
        return false;
    out = {uint8_t(2 + 2 * text.size()), kDescriptorString};
    for (char c : text)
        put16(out, static_cast<unsigned char>(c));
    return true;
}

bool EmulatedDevice::handleIoctl(UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(m_lock);

    if (m_gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }

    auto value = [&](size_t size) { return umockdev_ioctl_data_resolve(arg, 0, size, nullptr); };
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        g_autoptr(UMockdevIoctlData) caps = value(sizeof(uint32_t));
        *reinterpret_cast<uint32_t*>(caps->data) =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
            USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_SETCONFIGURATION: {
        g_autoptr(UMockdevIoctlData) config = value(sizeof(unsigned int));
        note("config " + std::to_string(*reinterpret_cast<unsigned int*>(config->data)));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        g_autoptr(UMockdevIoctlData) number = value(sizeof(unsigned int));
        const bool claim = request == USBDEVFS_CLAIMINTERFACE;
        std::string event = std::string(claim ? "claim " : "release ") +
                            std::to_string(*reinterpret_cast<unsigned int*>(number->data));
        if (claim && m_claimBusy) {
            note(event + " busy");
            umockdev_ioctl_client_complete(client, -1, EBUSY);
        } else {
            note(event);
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        return TRUE;
    }
    case USBDEVFS_SETINTERFACE: {
        g_autoptr(UMockdevIoctlData) setting = value(sizeof(usbdevfs_setinterface));
        const auto* s = reinterpret_cast<usbdevfs_setinterface*>(setting->data);
        note("altsetting " + std::to_string(s->interface) + " " + std::to_string(s->altsetting));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_SUBMITURB:
        return submit(client, arg);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return reap(client, arg);
    case USBDEVFS_DISCARDURB:
        return discard(client, arg);
    default:
        std::fprintf(stderr, "emulated USB device: unhandled usbfs request 0x%lx\n", request);
        return FALSE;
    }
}

bool EmulatedDevice::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    Urb entry{urbData, urbData->client_addr, {}, {}};

    // A zero-length packet comes without a buffer.
    UMockdevIoctlData* buffer = nullptr;
    if (urb->buffer_length > 0 && urb->buffer != nullptr)
        buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                             urb->buffer_length, nullptr);

    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && buffer != nullptr &&
        urb->buffer_length >= static_cast<int>(kSetupSize)) {
        const uint8_t* setup = buffer->data;
        const unsigned value = setup[2] | (setup[3] << 8);
        const unsigned length = setup[6] | (setup[7] << 8);
        std::vector<uint8_t> descriptor;
        if (setup[0] == kRequestTypeStandardIn && setup[1] == kRequestGetDescriptor &&
            (value >> 8) == kDescriptorString && stringDescriptor(value & 0xFF, descriptor)) {
            if ((value & 0xFF) != 0)
                note("string " + std::to_string(value & 0xFF));
            descriptor.resize(std::min<size_t>(descriptor.size(), length));
            entry.in = std::move(descriptor);
        } else {
            entry.reply.outcome = Outcome::Stall;
        }
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && (urb->endpoint & kDirectionIn)) {
        note("in " + std::to_string(urb->endpoint) + " " + std::to_string(urb->buffer_length));
        if (m_inReplies.empty()) {
            entry.reply = {Outcome::Timeout, 0};
        } else {
            entry.in = std::move(m_inReplies.front().first);
            entry.reply = m_inReplies.front().second;
            m_inReplies.pop_front();
        }
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK) {
        note("out " + std::to_string(urb->endpoint) + " " + std::to_string(urb->buffer_length));
        ++m_outTransfers;
        if (m_recordData)
            m_outData.emplace_back(buffer ? buffer->data : nullptr,
                                   buffer ? buffer->data + urb->buffer_length : nullptr);
        if (!m_outReplies.empty()) {
            entry.reply = m_outReplies.front();
            m_outReplies.pop_front();
        }
    } else {
        entry.reply.outcome = Outcome::Stall;
    }
    if (buffer != nullptr)
        umockdev_ioctl_data_unref(buffer);
    m_urbs.push_back(std::move(entry));
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

bool EmulatedDevice::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    auto ready = std::find_if(m_urbs.begin(), m_urbs.end(), [](const Urb& u) {
        return u.discarded || u.reply.outcome != Outcome::Timeout;
    });
    if (ready == m_urbs.end()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    Urb done = std::move(*ready);
    m_urbs.erase(ready);

    auto* urb = reinterpret_cast<usbdevfs_urb*>(done.data->data);
    const bool control = urb->type == USBDEVFS_URB_TYPE_CONTROL;
    const bool in = control || (urb->endpoint & kDirectionIn);
    const int offset = control ? static_cast<int>(kSetupSize) : 0;
    const int capacity = urb->buffer_length - offset;
    int offered = in ? static_cast<int>(done.in.size()) : capacity;
    if (done.reply.length >= 0)
        offered = std::min(offered, done.reply.length);
    int moved = std::max(0, std::min(offered, capacity));
    if (done.discarded && done.reply.outcome != Outcome::Timeout)
        moved = 0;

    int status = 0;
    if (done.discarded)
        status = -ENOENT;
    else if (done.reply.outcome == Outcome::Stall)
        status = -EPIPE;
    else if (done.reply.outcome == Outcome::IoError)
        status = -EPROTO;

    // Same address space: the data goes straight into the caller's buffer.
    if (in && moved > 0)
        std::memcpy(static_cast<uint8_t*>(urb->buffer) + offset, done.in.data(), moved);
    urb->actual_length = moved;
    urb->status = status;

    g_autoptr(UMockdevIoctlData) where = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(where, 0, done.data);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(done.data);
    return TRUE;
}

bool EmulatedDevice::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    const unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
    auto it = std::find_if(m_urbs.begin(), m_urbs.end(), [&](const Urb& u) {
        return u.address == address && !u.discarded;
    });
    if (it == m_urbs.end()) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    it->discarded = true;
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

Testbed::Testbed() : m_testbed(umockdev_testbed_new()) {}

Testbed& Testbed::get()
{
    if (g_testbed == nullptr) {
        g_testbed = new Testbed;
        std::atexit(teardown);
    }
    return *g_testbed;
}

void Testbed::teardown()
{
    delete g_testbed;
    g_testbed = nullptr;
}

Testbed::~Testbed()
{
    if (m_probe != nullptr) {
        setBypass(true);
        libusb_exit(m_probe);
    }
    g_object_unref(m_testbed);
    for (auto& device : m_devices) {
        if (device->handler() != nullptr)
            g_object_unref(device->handler());
    }
}

EmulatedDevice& Testbed::add(const DeviceSpec& spec)
{
    m_devices.push_back(std::make_unique<EmulatedDevice>(spec));
    EmulatedDevice& device = *m_devices.back();
    GError* error = nullptr;
    if (!spec.hub) {
        // Attached first, so the node answers as soon as the device appears.
        UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), &device);
        device.attach(handler);
        if (!umockdev_testbed_attach_ioctl(m_testbed, device.devnode().c_str(), handler, &error)) {
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
        "H: descriptors=" + hex(descriptors(spec)) + "\n";
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
