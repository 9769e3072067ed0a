#pragma once
// Emulated USB devices for the tests and benchmarks of libvdlsdk_usb: umockdev
// provides sysfs and the usbfs device nodes under the real libusb, and each
// device of the maker answers usbfs requests from a handler that plays the
// device (string descriptors, claims, alternate settings, bulk transfers) and
// can be told to misbehave like hardware does.
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vdlsdk/vdlsdk_usb.h"

struct libusb_context;
typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace usbtest {

struct DeviceSpec {
    std::string sysname;     // "1-4.2" gives ports 4 and 2; "usb1" a root hub without ports
    std::string parent;      // parent's syspath ("/sys/devices/usb1"), "" below the root
    int bus = 1;
    int address = 1;
    uint16_t vendorId = VDLUSB_VENDOR_ID;
    uint16_t productId = 0x1114;
    std::string serial;      // "" gives no string descriptor
    std::string product;
    bool hub = false;
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
// member is guarded by the mutex.
class EmulatedDevice {
public:
    explicit EmulatedDevice(DeviceSpec spec);

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

    UMockdevIoctlBase* handler() const { return m_handler; }
    void attach(UMockdevIoctlBase* handler) { m_handler = handler; }
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
};
LibusbInjection& injection();
std::mutex& injectionLock();

// The errno that open() of `path` fails with, or 0.
int openDenied(const char* path);

} // namespace usbtest
