#pragma once
// One emulated USB device behind a umockdev testbed: the handler of its usbfs
// node plays the device (string descriptors, configuration, claims, alternate
// settings, bulk transfers) and can be told to misbehave like hardware does.
// Shared by the USB tests and benchmarks and by vdlusb-emulate.
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "vdlsdk/vdlsdk_usb.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace usbemu {

// The string descriptor indexes the tests' devices name in their descriptors.
constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;

struct DeviceSpec {
    std::string sysname;     // "1-4.2" gives ports 4 and 2; "usb1" a root hub without ports
    std::string parent;      // parent's syspath ("/sys/devices/usb1"), "" below the root
    int bus = 1;
    int address = 1;
    uint16_t vendorId = VDLUSB_VENDOR_ID;
    uint16_t productId = 0x1114;
    std::string serial;      // "" gives no string descriptor
    std::string product;
    std::string manufacturer = "Vandrel";
    bool hub = false;
    // Where the device descriptor names the strings (0: no such string).
    uint8_t manufacturerIndex = kManufacturerIndex;
    uint8_t productIndex = kProductIndex;
    uint8_t serialIndex = kSerialIndex;
};

enum class Outcome {
    Complete, // all of it (OUT), or the queued data (IN)
    Stall,    // endpoint halted
    IoError,  // protocol error on the bus
    Timeout,  // the device stops answering after `length` bytes
};

struct Reply {
    Outcome outcome = Outcome::Complete;
    int length = -1; // bytes moved; -1: everything offered
};

// One emulated device. The handler runs on umockdev's own thread, so every
// member is guarded by the mutex. Its requests may come from this process or
// from a child under umockdev's preload library: everything the caller sees
// goes through umockdev's resolved copies of its memory.
class EmulatedDevice {
public:
    explicit EmulatedDevice(DeviceSpec spec);
    ~EmulatedDevice();
    EmulatedDevice(const EmulatedDevice&) = delete;
    EmulatedDevice& operator=(const EmulatedDevice&) = delete;

    DeviceSpec spec() const;
    std::string syspath() const;
    std::string devnode() const;

    // Replies to the next OUT (or IN) bulk transfers, in order. Without one an
    // OUT transfer completes, and an IN transfer waits for its time-out.
    void queueOut(Reply reply);
    void queueIn(std::vector<uint8_t> data, Reply reply = {});
    void setClaimBusy(bool busy);
    // A new serial number, as after a firmware update.
    void setSerial(const std::string& serial);
    // The device left the bus: usbfs answers every request with ENODEV.
    void setGone(bool gone);
    // Benchmarks keep only counts, not the data sent.
    void setRecordData(bool record);

    // What the host did, in order: "string 3" (serial read), "config 1",
    // "claim 0", "claim 0 busy",
    // "altsetting 0 1", "release 0", "out 2 64", "in 129 512".
    std::vector<std::string> events() const;
    void clearEvents();
    std::vector<std::vector<uint8_t>> outData() const;
    int count(const std::string& event) const;
    long outTransfers() const;

    // The usbfs handler of the device node, made on first use and owned by the
    // device; give it to umockdev_testbed_attach_ioctl for devnode().
    UMockdevIoctlBase* handler();
    bool handleIoctl(UMockdevIoctlClient* client);

private:
    struct Urb {
        UMockdevIoctlData* data; // the submitted usbdevfs_urb, resolved
        unsigned long address;   // its address in the caller
        Reply reply;
        std::vector<uint8_t> in;
        bool discarded = false;
    };
    void note(std::string event);
    bool stringDescriptor(int index, std::vector<uint8_t>& out) const;
    bool submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    bool reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    bool discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);

    DeviceSpec m_spec;
    UMockdevIoctlBase* m_handler = nullptr;
    mutable std::mutex m_lock;
    std::deque<Reply> m_outReplies;
    std::deque<std::pair<std::vector<uint8_t>, Reply>> m_inReplies;
    std::deque<Urb> m_urbs;
    bool m_claimBusy = false;
    bool m_gone = false;
    bool m_recordData = true;
    long m_outTransfers = 0;
    std::vector<std::string> m_events;
    std::vector<std::vector<uint8_t>> m_outData;
};

// Device descriptor and configuration 1 of a device as the tests emulate it:
// interface 0 with alternate settings 0 and 1, each with bulk endpoints 0x81,
// 0x02 and 0x01; hubs get a bare interface.
std::vector<uint8_t> descriptors(const DeviceSpec& spec);

} // namespace usbemu
