#pragma once
// The classes of libvdlsdk_usb: a device's record, the device itself and the
// library object that owns the libusb context and the device table.
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vdlsdk/VdlsdkLib.hpp"
#include "vdlsdk/vdlsdk_usb.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_device_descriptor;

// What enumeration learned about one device. Copied by value wherever it goes.
class VdlusbDeviceEntry {
public:
    VdlusbDeviceEntry(unsigned short vendorId, unsigned short productId);
    VdlusbDeviceEntry(const VdlusbDeviceEntry& other);
    VdlusbDeviceEntry& operator=(const VdlusbDeviceEntry& other) = default;

    void getIds(unsigned short& vendorId, unsigned short& productId) const;
    void busAddress(unsigned char& bus, unsigned char& address) const;
    void serial(std::string& out) const;
    void location(std::string& out) const;
    void product(std::string& out) const;

    void setSerial(std::string serial);
    void setLocation(std::string location);
    void setProduct(std::string product);
    void setBusAddress(unsigned char bus, unsigned char address);

private:
    unsigned short m_vendorId;
    unsigned short m_productId;
    std::string m_serial;
    std::string m_location;
    std::string m_product;
    unsigned char m_bus = 0;
    unsigned char m_address = 0;
};

// One device as the library keeps it. Interface 0 is claimed on the first
// transfer; a series of sends claims once, every receive releases it again.
// A device belongs to the process that opened it: a forked child shares its
// usbfs descriptor, so in the child claim, send and receive raise -17, and
// unclaim and close only forget the handle (releasing the interface there
// would release the parent's claim).
class VdlusbDevice {
public:
    explicit VdlusbDevice(VdlusbDeviceEntry entry);
    ~VdlusbDevice();
    VdlusbDevice(const VdlusbDevice&) = delete;
    VdlusbDevice& operator=(const VdlusbDevice&) = delete;

    // Takes ownership of `handle` and selects configuration 1; libusb's result.
    int open(libusb_device_handle* handle, std::string serial, std::string product);
    bool isOpen() const;
    void claim(int attempts);
    void unclaim();
    void close();
    VdlusbDeviceEntry* entry();

    int send(unsigned char* data, int length, int timeout);
    int recv(unsigned char* buffer, int length, int timeout);
    // A send and then a receive; failures are logged, not raised.
    void sendRecv(unsigned char* sendData, int sendLength, int sendTimeout,
                  unsigned char* recvBuffer, int recvLength, int recvTimeout);

private:
    int m_inEndpoint = 0x81;
    int m_outEndpoint = 2;
    VdlusbDeviceEntry m_entry;
    libusb_device_handle* m_handle = nullptr;
    bool m_claimed = false;
    int m_ownerPid = 0; // the process that opened the handle
};

// The library object: one per process, created on first use. Its libusb
// context belongs to the process that created it: in a forked child, rescan
// and open raise -19, and the destruction at the child's exit makes no libusb
// call (libusb_exit would wait for the parent's event thread, which the child
// does not have).
class VdlusbLib : public Vandrel::VdlsdkLib {
public:
    static VdlusbLib* getInstance();

    VdlusbLib();
    ~VdlusbLib();

    void initLibusb();
    int rescan();
    void addEntry(libusb_device* device, libusb_device_descriptor& descriptor);

    static void getLocation(libusb_device* device, std::string& out);
    static void buildLocationString(int bus, unsigned char* ports, int count, std::string& out);
    static void getSerialFromDescriptor(libusb_device_handle* handle,
                                        libusb_device_descriptor& descriptor, std::string& out);
    static void getProductFromDescriptor(libusb_device_handle* handle,
                                         libusb_device_descriptor& descriptor, std::string& out);

    int entryCount();
    void entry(int index, const VdlusbDeviceEntry*& out);
    void device(int index, VdlusbDevice*& out);
    void deviceIndex(VdlusbDevice* device, int& index);
    void open(int index, VdlusbDevice*& out);
    void close(VdlusbDevice* device);
    void deleteDevices();

    static const std::string m_configName;
    static const nlohmann::json defaultConfig;

private:
    void releaseLibusb();

    std::mutex m_tableLock;
    std::vector<VdlusbDevice*> m_devices;
    libusb_context* m_context = nullptr;
    // The process that created the context. A forked child, which has one
    // thread, does not wait for the table lock at its exit: a thread of the
    // parent may have held it when the child was forked.
    int m_ownerPid = 0;
};
