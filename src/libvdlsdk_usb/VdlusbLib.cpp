// The library object: libusb context, enumeration of the maker's devices,
// location strings, and opening devices by index.
#include <memory>

#include <libusb.h>
#include <unistd.h>

#include "vdlsdk/VdlusbLib.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"

const std::string VdlusbLib::m_configName = "vdlusb_config.json";
const nlohmann::json VdlusbLib::defaultConfig = nullptr;

namespace {

// libusb reports at most this many port numbers; deeper devices count as having none.
constexpr int kMaxPortDepth = 8;
// Room for a string descriptor of 79 characters and its NUL.
constexpr int kStringBufferSize = 80;
// Product ids up to this one are listed without being opened.
constexpr unsigned short kLastUnopenedProductId = 1;

// Frees a device list, and unreferences its devices, on every path out.
class DeviceList {
public:
    explicit DeviceList(libusb_device** list) : m_list(list) {}
    ~DeviceList() { libusb_free_device_list(m_list, 1); }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    libusb_device* operator[](ssize_t i) const { return m_list[i]; }

private:
    libusb_device** m_list;
};

void readString(libusb_device_handle* handle, uint8_t index, std::string& out)
{
    unsigned char buffer[kStringBufferSize] = {};
    if (libusb_get_string_descriptor_ascii(handle, index, buffer, kStringBufferSize) > 0)
        out = reinterpret_cast<const char*>(buffer);
}

// Reads the serial and product strings of a device just opened; a failure
// closes the handle before it passes on.
void readStrings(libusb_device_handle* handle, libusb_device_descriptor& descriptor,
                 std::string& serial, std::string& product)
{
    try {
        VdlusbLib::getSerialFromDescriptor(handle, descriptor, serial);
        VdlusbLib::getProductFromDescriptor(handle, descriptor, product);
    } catch (...) {
        libusb_close(handle);
        throw;
    }
}

// The libusb context belongs to the process that created it: a forked
// child has a copy without the event thread, and shares the parent's
// descriptors.
void requireOwnContext(const libusb_context* context, int owner)
{
    if (context != nullptr && ::getpid() != owner)
        throw VDLException<-19>("the USB library was started by process {}: process {} cannot use it",
                                owner, static_cast<int>(::getpid()));
}

} // namespace

VdlusbLib* VdlusbLib::getInstance()
{
    static VdlusbLib instance;
    return &instance;
}

VdlusbLib::VdlusbLib() : Vandrel::VdlsdkLib(m_configName, defaultConfig)
{
    try {
        initLibusb();
        rescan();
    } catch (...) {
        // The next call constructs everything anew; what this attempt made
        // (the context and its event thread, devices) would otherwise leak.
        releaseLibusb();
        throw;
    }
}

VdlusbLib::~VdlusbLib() { releaseLibusb(); }

void VdlusbLib::releaseLibusb()
{
    if (m_context != nullptr && ::getpid() != m_ownerPid) {
        for (VdlusbDevice* device : m_devices)
            delete device;
        m_devices.clear();
    } else {
        deleteDevices();
    }
    if (m_context != nullptr) {
        // A forked child's copy of the context is left alone: its event
        // thread lives only in the parent, and libusb_exit would wait for it.
        if (::getpid() == m_ownerPid)
            libusb_exit(m_context);
        m_context = nullptr;
    }
}


void VdlusbLib::initLibusb()
{
    if (m_context != nullptr)
        return;
    const int result = libusb_init(&m_context);
    if (result != 0) {
        m_context = nullptr;
        VDL_TRACE(LOGGER_USB, "libusb failed to initalized with return value {}", result);
        throw VDLException<-19>("could not initalize usb device");
    }
    m_ownerPid = ::getpid();
}

int VdlusbLib::rescan()
{
    requireOwnContext(m_context, m_ownerPid);
    deleteDevices();

    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &raw);
    if (count < 0)
        throw VDLException<-19>("libusb_get_device_list failed with return value {}",
                                static_cast<int>(count));
    const DeviceList list(raw);

    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0) {
            VDL_TRACE(LOGGER_USB, "Warning: could not get descriptor for libusb device index {}", i);
            continue;
        }
        if (descriptor.idVendor == VDLUSB_VENDOR_ID)
            addEntry(list[i], descriptor);
    }
    return entryCount();
}

void VdlusbLib::addEntry(libusb_device* device, libusb_device_descriptor& descriptor)
{
    const unsigned char address = libusb_get_device_address(device);
    const unsigned char bus = libusb_get_bus_number(device);
    std::string location;
    getLocation(device, location);

    VdlusbDeviceEntry record(descriptor.idVendor, descriptor.idProduct);
    if (descriptor.idProduct > kLastUnopenedProductId) {
        libusb_device_handle* handle = nullptr;
        const int result = libusb_open(device, &handle);
        if (result == 0) {
            std::string serial;
            std::string product;
            readStrings(handle, descriptor, serial, product);
            libusb_close(handle);
            record.setSerial(std::move(serial));
            record.setProduct(std::move(product));
        } else if (result == LIBUSB_ERROR_ACCESS) {
            VDL_TRACE(LOGGER_USB, "Warning: insufficient permissions to open USB device {}",
                      location);
        }
    }
    record.setLocation(location);
    record.setBusAddress(bus, address);

    std::lock_guard<std::mutex> lock(m_tableLock);
    auto added = std::make_unique<VdlusbDevice>(record);
    m_devices.push_back(added.get());
    added.release();
}

void VdlusbLib::getLocation(libusb_device* device, std::string& out)
{
    unsigned char ports[kMaxPortDepth] = {};
    const int count = libusb_get_port_numbers(device, ports, kMaxPortDepth);
    buildLocationString(libusb_get_bus_number(device), ports, count, out);
}

void VdlusbLib::buildLocationString(int bus, unsigned char* ports, int count, std::string& out)
{
    out = "[" + std::to_string(bus);
    for (int i = 0; i < count; ++i) {
        out += i == 0 ? '-' : '.';
        out += std::to_string(ports[i]);
    }
    out += ']';
}

void VdlusbLib::getSerialFromDescriptor(libusb_device_handle* handle,
                                        libusb_device_descriptor& descriptor, std::string& out)
{
    readString(handle, descriptor.iSerialNumber, out);
}

void VdlusbLib::getProductFromDescriptor(libusb_device_handle* handle,
                                         libusb_device_descriptor& descriptor, std::string& out)
{
    readString(handle, descriptor.iProduct, out);
}

int VdlusbLib::entryCount()
{
    std::lock_guard<std::mutex> lock(m_tableLock);
    return static_cast<int>(m_devices.size());
}

void VdlusbLib::entry(int index, const VdlusbDeviceEntry*& out)
{
    VdlusbDevice* found = nullptr;
    device(index, found);
    out = found->entry();
}

void VdlusbLib::device(int index, VdlusbDevice*& out)
{
    std::lock_guard<std::mutex> lock(m_tableLock);
    if (index < 0 || index >= static_cast<int>(m_devices.size()))
        throw VDLException<-13>("could not find USB device at index {}", index);
    out = m_devices[index];
}

void VdlusbLib::deviceIndex(VdlusbDevice* device, int& index)
{
    std::lock_guard<std::mutex> lock(m_tableLock);
    for (size_t i = 0; i < m_devices.size(); ++i) {
        if (m_devices[i] == device) {
            index = static_cast<int>(i);
            return;
        }
    }
    throw VDLException<-13>("could not find USB device");
}

void VdlusbLib::open(int index, VdlusbDevice*& out)
{
    try {
        device(index, out);
    } catch (const VDLException<-13>&) {
        out = nullptr;
        throw;
    }
    if (out->isOpen())
        return;
    requireOwnContext(m_context, m_ownerPid);

    const VdlusbDeviceEntry* record = out->entry();
    unsigned short vendorId = 0;
    unsigned short productId = 0;
    record->getIds(vendorId, productId);
    std::string wanted;
    record->location(wanted);

    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &raw);
    if (count < 0) {
        VDL_TRACE(LOGGER_USB, "libusb_get_device_list failed with return code {}", count);
        throw VDLException<-19>("could not get the USB device list");
    }
    const DeviceList list(raw);

    std::string location;
    // Stops at the first device opened: another one at the same place would
    // replace its handle, which would then never be closed.
    for (ssize_t i = 0; i < count && !out->isOpen(); ++i) {
        getLocation(list[i], location);
        if (location != wanted)
            continue;
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0)
            throw VDLException<-34>("failed to get libusb device descriptor");
        if (descriptor.idVendor != vendorId || descriptor.idProduct != productId)
            continue;

        libusb_device_handle* handle = nullptr;
        const int result = libusb_open(list[i], &handle);
        if (result == 0) {
            std::string serial;
            std::string product;
            readStrings(handle, descriptor, serial, product);
            out->open(handle, std::move(serial), std::move(product));
        } else if (result == LIBUSB_ERROR_ACCESS) {
            VDL_TRACE(LOGGER_USB, "Warning: insufficient permissions to open device {}", location);
        } else {
            throw VDLException<-35>("failed to open libusb device");
        }
    }
    if (!out->isOpen())
        throw VDLException<-13>("could not open USB device index {}", index);
}

void VdlusbLib::close(VdlusbDevice* device)
{
    if (device == nullptr)
        throw VDLException<-5>("USB device is NULL");
    device->close();
}

void VdlusbLib::deleteDevices()
{
    std::lock_guard<std::mutex> lock(m_tableLock);
    for (VdlusbDevice* device : m_devices)
        delete device;
    m_devices.clear();
}
