// One function's configuration space: the image, per-byte write masks and the image
// the function returns to on reset.
#pragma once

#include <cstdint>
#include <string>

namespace vdlsim {

constexpr unsigned kConfigSize = 4096;
constexpr unsigned kLegacyConfigSize = 256;

// Register offsets and bits, named as the PCI and PCI Express specifications name them.
namespace pci {
constexpr unsigned kVendorId = 0x00;
constexpr unsigned kCommand = 0x04;
constexpr unsigned kStatus = 0x06;
constexpr unsigned kClassRevision = 0x08;
constexpr unsigned kCacheLineSize = 0x0C;
constexpr unsigned kLatencyTimer = 0x0D;
constexpr unsigned kHeaderType = 0x0E;
constexpr unsigned kBar0 = 0x10;
constexpr unsigned kSubsystemVendorId = 0x2C;
constexpr unsigned kCapabilitiesPointer = 0x34;
constexpr unsigned kInterruptLine = 0x3C;
constexpr unsigned kInterruptPin = 0x3D;

constexpr unsigned kPrimaryBus = 0x18;
constexpr unsigned kIoBase = 0x1C;
constexpr unsigned kSecondaryStatus = 0x1E;
constexpr unsigned kMemoryBase = 0x20;
constexpr unsigned kPrefetchBase = 0x24;
constexpr unsigned kPrefetchUpper = 0x28;
constexpr unsigned kIoUpper = 0x30;
constexpr unsigned kBridgeControl = 0x3E;

constexpr uint16_t kStatusCapList = 0x0010;
constexpr uint8_t kHeaderTypeMask = 0x7F;
constexpr uint8_t kHeaderTypeBridge = 0x01;

constexpr uint8_t kCapIdPm = 0x01;
constexpr uint8_t kCapIdMsi = 0x05;
constexpr uint8_t kCapIdPcie = 0x10;
constexpr uint8_t kCapIdMsix = 0x11;
constexpr uint16_t kExtCapIdAer = 0x0001;
constexpr uint16_t kExtCapIdDsn = 0x0003;
constexpr unsigned kExtCapStart = 0x100;

constexpr unsigned kPmCsr = 0x04;

constexpr unsigned kMsiControl = 0x02;
constexpr unsigned kMsiAddress = 0x04;
constexpr uint16_t kMsiEnable = 0x0001;
constexpr uint16_t kMsiMultipleEnable = 0x0070;
constexpr uint16_t kMsi64Bit = 0x0080;
constexpr uint16_t kMsiPerVectorMask = 0x0100;

constexpr unsigned kMsixControl = 0x02;
constexpr uint16_t kMsixEnable = 0x8000;
constexpr uint16_t kMsixFunctionMask = 0x4000;

constexpr unsigned kExpCapabilities = 0x02;
constexpr unsigned kExpDeviceControl = 0x08;
constexpr unsigned kExpDeviceStatus = 0x0A;
constexpr unsigned kExpLinkCapabilities = 0x0C;
constexpr unsigned kExpLinkControl = 0x10;
constexpr unsigned kExpLinkStatus = 0x12;
constexpr unsigned kExpSlotControl = 0x18;
constexpr unsigned kExpSlotStatus = 0x1A;
constexpr unsigned kExpRootControl = 0x1C;
constexpr unsigned kExpRootStatus = 0x20;
constexpr unsigned kExpDeviceControl2 = 0x28;
constexpr unsigned kExpLinkControl2 = 0x30;
constexpr uint16_t kExpSlotImplemented = 0x0100;
constexpr uint16_t kExpTypeMask = 0x00F0;
constexpr uint16_t kExpTypeRootPort = 0x0040;
constexpr uint16_t kExpVersionMask = 0x000F;
constexpr uint32_t kLinkCapDllActiveReporting = 1u << 20;
constexpr uint16_t kLinkDisable = 0x0010;
constexpr uint16_t kRetrainLink = 0x0020;
constexpr uint16_t kLinkTraining = 0x0800;
constexpr uint16_t kLinkActive = 0x2000;

constexpr unsigned kAerUncorStatus = 0x04;
constexpr unsigned kAerUncorMask = 0x08;
constexpr unsigned kAerUncorSeverity = 0x0C;
constexpr unsigned kAerCorStatus = 0x10;
constexpr unsigned kAerCorMask = 0x14;
constexpr unsigned kAerCapControl = 0x18;
constexpr unsigned kAerRootCommand = 0x2C;
constexpr unsigned kAerRootStatus = 0x30;
constexpr uint32_t kAerSurpriseDown = 0x00000020;
} // namespace pci

struct ConfigSpace {
    uint8_t data[kConfigSize] = {};
    uint8_t rw[kConfigSize] = {};
    uint8_t w1c[kConfigSize] = {};
    uint8_t resetImage[kConfigSize] = {};
    // Offsets of the capabilities the link model needs; 0 when absent.
    unsigned pcie = 0;
    unsigned aer = 0;

    uint32_t get(unsigned offset, unsigned width) const;
    void set(unsigned offset, unsigned width, uint32_t value);
    // A write through the masks.
    void write(unsigned offset, unsigned width, uint32_t value);
    void setMasks(unsigned offset, unsigned len, uint32_t rwPattern, uint32_t w1cPattern);
    // Finds the capabilities again; call after the image changed.
    void locateCapabilities();
    void deriveMasks();
    void saveResetImage();
    void restoreResetImage();

    // Capability walks that always end: they stop on 0, all ones, a pointer out of
    // range and a capability already visited.
    unsigned findCapability(uint8_t id) const;
    unsigned findExtendedCapability(uint16_t id) const;
};

// Fills `space` from `lspci -xxxx` text; returns 0, -ENOENT or -EINVAL.
int parseLspci(const std::string& text, const char* function, ConfigSpace& space);

// The default images of the card and of its bridge.
void buildDefaultCard(ConfigSpace& space, unsigned card);
void buildDefaultBridge(ConfigSpace& space, unsigned card);

} // namespace vdlsim
