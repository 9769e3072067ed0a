// A device's record and the device: interface claiming and bulk transfers.
#include <libusb.h>
#include <unistd.h>

#include "vdlsdk/VdlusbLib.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlsdk_util.h"

namespace {

constexpr int kInterface = 0;
constexpr int kConfiguration = 1;
constexpr int kAltSetting = 1;
// A bulk OUT transfer that fills its last packet is ended by a zero-length packet.
constexpr int kPacketSizeMask = 64 - 1;
constexpr int kClaimAttempts = 500;
constexpr int kClaimRetryMs = 1;

// A handle belongs to the process that opened it; a forked child shares its
// usbfs descriptor with the parent.
bool ownedHere(int owner) { return ::getpid() == owner; }

void requireOwnProcess(libusb_device_handle* handle, int owner)
{
    if (handle != nullptr && !ownedHere(owner))
        throw VDLException<-17>("USB device was opened by process {}: process {} cannot use it",
                                owner, static_cast<int>(::getpid()));
}

} // namespace

VdlusbDeviceEntry::VdlusbDeviceEntry(unsigned short vendorId, unsigned short productId)
    : m_vendorId(vendorId), m_productId(productId)
{
}

VdlusbDeviceEntry::VdlusbDeviceEntry(const VdlusbDeviceEntry& other) = default;

void VdlusbDeviceEntry::getIds(unsigned short& vendorId, unsigned short& productId) const
{
    vendorId = m_vendorId;
    productId = m_productId;
}

void VdlusbDeviceEntry::busAddress(unsigned char& bus, unsigned char& address) const
{
    bus = m_bus;
    address = m_address;
}

void VdlusbDeviceEntry::serial(std::string& out) const { out = m_serial; }
void VdlusbDeviceEntry::location(std::string& out) const { out = m_location; }
void VdlusbDeviceEntry::product(std::string& out) const { out = m_product; }
void VdlusbDeviceEntry::setSerial(std::string serial) { m_serial = std::move(serial); }
void VdlusbDeviceEntry::setLocation(std::string location) { m_location = std::move(location); }
void VdlusbDeviceEntry::setProduct(std::string product) { m_product = std::move(product); }

void VdlusbDeviceEntry::setBusAddress(unsigned char bus, unsigned char address)
{
    m_bus = bus;
    m_address = address;
}

VdlusbDevice::VdlusbDevice(VdlusbDeviceEntry entry) : m_entry(std::move(entry)) {}

VdlusbDevice::~VdlusbDevice() { close(); }

int VdlusbDevice::open(libusb_device_handle* handle, std::string serial, std::string product)
{
    m_handle = handle;
    m_ownerPid = ::getpid();
    m_entry.setProduct(std::move(product));
    m_entry.setSerial(std::move(serial));
    return libusb_set_configuration(handle, kConfiguration);
}

bool VdlusbDevice::isOpen() const { return m_handle != nullptr; }

void VdlusbDevice::claim(int attempts)
{
    if (!isOpen())
        throw VDLException<-17>("Cannot claim USB device because it is not open");
    requireOwnProcess(m_handle, m_ownerPid);

    while (libusb_claim_interface(m_handle, kInterface) != 0) {
        --attempts;
        millisecond_sleep(kClaimRetryMs);
        if (attempts <= 0)
            throw VDLException<-11>("Timeout occured during claiming of USB device - try again");
    }

    unsigned short vendorId = 0;
    unsigned short productId = 0;
    m_entry.getIds(vendorId, productId);
    switch (productId) {
    case 7:
        libusb_set_interface_alt_setting(m_handle, kInterface, kAltSetting);
        m_outEndpoint = 1;
        break;
    case 4:
    case 5:
    case 0x1115:
    case 0x1116:
        libusb_set_interface_alt_setting(m_handle, kInterface, kAltSetting);
        m_outEndpoint = 2;
        break;
    case 0x1114:
        break;
    default:
        // Not marked claimed, so nothing else would ever release it.
        libusb_release_interface(m_handle, kInterface);
        throw VDLException<-2>("Device ID {:#08X} is not supported",
                               static_cast<unsigned int>(productId));
    }
    m_claimed = true;
}

void VdlusbDevice::unclaim()
{
    if (!m_claimed)
        return;
    if (ownedHere(m_ownerPid))
        libusb_release_interface(m_handle, kInterface);
    m_claimed = false;
}

void VdlusbDevice::close()
{
    unclaim();
    if (m_handle != nullptr) {
        // Another process's handle (and its usbfs descriptor, shared with the
        // owner) stays the owner's; this process only forgets it.
        if (ownedHere(m_ownerPid))
            libusb_close(m_handle);
        m_handle = nullptr;
    }
}

VdlusbDeviceEntry* VdlusbDevice::entry() { return &m_entry; }

int VdlusbDevice::send(unsigned char* data, int length, int timeout)
{
    requireOwnProcess(m_handle, m_ownerPid);
    if (!m_claimed)
        claim(kClaimAttempts);

    const auto endpoint = static_cast<unsigned char>(m_outEndpoint);
    int transferred = 0;
    int result = libusb_bulk_transfer(m_handle, endpoint, data, length, &transferred, timeout);
    VDL_TRACE(LOGGER_USB, "libusb bulk transfer returned value {}", result);

    // The data transfer's own result decides; the packet that ends it follows
    // only a transfer that completed.
    if (result == 0 && (length & kPacketSizeMask) == 0) {
        result = libusb_bulk_transfer(m_handle, endpoint, nullptr, 0, nullptr, timeout);
        VDL_TRACE(LOGGER_USB, "libusb bulk transfer returned value {}", result);
    }
    if (result != 0 && result != LIBUSB_ERROR_TIMEOUT) {
        unclaim();
        throw VDLException<-34>("Driver operation failed while sending data to USB device");
    }
    VDL_TRACE(LOGGER_USB, "USB transferred {} bytes", transferred);
    return transferred;
}

int VdlusbDevice::recv(unsigned char* buffer, int length, int timeout)
{
    requireOwnProcess(m_handle, m_ownerPid);
    if (!m_claimed)
        claim(kClaimAttempts);

    int received = 0;
    const int result = libusb_bulk_transfer(m_handle, static_cast<unsigned char>(m_inEndpoint),
                                            buffer, length, &received, timeout);
    VDL_TRACE(LOGGER_USB, "libusb bulk transfer returned value {}", result);
    unclaim();
    if (result != 0 && result != LIBUSB_ERROR_TIMEOUT)
        throw VDLException<-34>("Driver operation failed while receiving data to USB device");
    VDL_TRACE(LOGGER_USB, "USB received {} bytes", received);
    return received;
}

void VdlusbDevice::sendRecv(unsigned char* sendData, int sendLength, int sendTimeout,
                            unsigned char* recvBuffer, int recvLength, int recvTimeout)
{
    requireOwnProcess(m_handle, m_ownerPid);
    if (!m_claimed)
        claim(kClaimAttempts);
    try {
        if (sendLength != 0)
            send(sendData, sendLength, sendTimeout);
        if (recvLength != 0)
            recv(recvBuffer, recvLength, recvTimeout);
    } catch (const VDLBaseException& e) {
        e.log();
    }
    unclaim();
}
