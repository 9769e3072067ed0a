// The usbfs side of an emulated USB device (see usb_emulated_device.hpp).
#include "usb_emulated_device.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <umockdev.h>

namespace usbemu {

namespace {

constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kRequestGetDescriptor = 6;
constexpr uint8_t kRequestTypeStandardIn = 0x80;
constexpr size_t kSetupSize = 8;
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint16_t kLanguageEnglishUs = 0x0409;

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

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer device)
{
    return static_cast<EmulatedDevice*>(device)->handleIoctl(client);
}

} // namespace

std::vector<uint8_t> descriptors(const DeviceSpec& spec)
{
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, uint8_t(spec.hub ? 9 : 0), 0, 0, 64};
    put16(d, spec.vendorId);
    put16(d, spec.productId);
    put16(d, 0x0100);
    d.push_back(spec.hub || spec.manufacturer.empty() ? 0 : spec.manufacturerIndex);
    d.push_back(spec.product.empty() ? 0 : spec.productIndex);
    d.push_back(spec.serial.empty() ? 0 : spec.serialIndex);
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

EmulatedDevice::EmulatedDevice(DeviceSpec spec) : m_spec(std::move(spec)) {}

EmulatedDevice::~EmulatedDevice()
{
    if (m_handler != nullptr)
        g_object_unref(m_handler);
}

UMockdevIoctlBase* EmulatedDevice::handler()
{
    if (m_handler == nullptr) {
        m_handler = umockdev_ioctl_base_new();
        g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    }
    return m_handler;
}

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
    if (index == m_spec.manufacturerIndex && !m_spec.manufacturer.empty())
        text = m_spec.manufacturer;
    else if (index == m_spec.productIndex && !m_spec.product.empty())
        text = m_spec.product;
    else if (index == m_spec.serialIndex && !m_spec.serial.empty())
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

    // The buffer was resolved at submission: this is umockdev's copy, which goes
    // back to the caller with the URB when this request completes.
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

} // namespace usbemu
