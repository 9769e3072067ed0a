#include "vdlsim_config.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace vdlsim {

namespace {

constexpr unsigned kStdCapMin = 0x40;
constexpr unsigned kStdCapMax = 0xFF;
constexpr uint32_t kAllOnes32 = 0xFFFFFFFFu;
constexpr unsigned kExtNextShift = 20;
constexpr uint32_t kExtIdMask = 0xFFFF;
constexpr unsigned kHexBytesPerLine = 16;

// Writable and write-1-to-clear bits of the registers the model knows.
constexpr uint16_t kCommandWritable = 0x0547;    // I/O, memory, master, parity, SERR, INTx off
constexpr uint16_t kStatusErrorBits = 0xF900;    // parity, aborts, SERR, parity detected
constexpr uint16_t kIoBaseLimitWritable = 0xF0F0;
constexpr uint32_t kWindowWritable = 0xFFF0FFF0; // memory base and limit
constexpr uint16_t kBridgeControlWritable = 0x0FFF;
constexpr uint16_t kPmCsrWritable = 0x0103;      // power state, PME enable
constexpr uint16_t kPmCsrPmeStatus = 0x8000;
constexpr uint32_t kMsiAddressWritable = 0xFFFFFFFC;
constexpr uint16_t kDeviceStatusErrors = 0x000F;
constexpr uint16_t kLinkControlWritable = 0x0FFB; // ASPM, RCB, disable, retrain, clocks, IRQs
constexpr uint16_t kLinkStatusBandwidthBits = 0xC000;
constexpr uint16_t kSlotControlWritable = 0x1FFF;
constexpr uint16_t kSlotStatusEvents = 0x011F;
constexpr uint16_t kRootControlWritable = 0x001F;
constexpr uint8_t kRootStatusPmeByte = 0x01;
constexpr uint32_t kAerControlWritable = 0x00000140; // ECRC generation and check enables
constexpr uint32_t kAerRootCommandWritable = 0x00000007;
constexpr uint32_t kAerRootStatusBits = 0x0000007F;
constexpr uint16_t kAll16 = 0xFFFF;
constexpr uint32_t kRepeat16 = 0x00010001u; // a 16-bit pattern in both halves of a dword

} // namespace

uint32_t ConfigSpace::get(unsigned offset, unsigned width) const
{
    uint32_t value = 0;
    for (unsigned i = 0; i < width && offset + i < kConfigSize; ++i)
        value |= uint32_t(data[offset + i]) << (8 * i);
    return value;
}

void ConfigSpace::set(unsigned offset, unsigned width, uint32_t value)
{
    for (unsigned i = 0; i < width && offset + i < kConfigSize; ++i)
        data[offset + i] = uint8_t(value >> (8 * i));
}

void ConfigSpace::write(unsigned offset, unsigned width, uint32_t value)
{
    for (unsigned i = 0; i < width && offset + i < kConfigSize; ++i) {
        unsigned at = offset + i;
        uint8_t in = uint8_t(value >> (8 * i));
        uint8_t keep = uint8_t(~(rw[at] | w1c[at]));
        data[at] = uint8_t((data[at] & keep) | (in & rw[at]) | (data[at] & w1c[at] & ~in));
    }
}

void ConfigSpace::setMasks(unsigned offset, unsigned len, uint32_t rwPattern, uint32_t w1cPattern)
{
    for (unsigned i = 0; i < len && offset + i < kConfigSize; ++i) {
        unsigned shift = 8 * ((offset + i) % 4);
        rw[offset + i] = uint8_t(rwPattern >> shift);
        w1c[offset + i] = uint8_t(w1cPattern >> shift);
    }
}

unsigned ConfigSpace::findCapability(uint8_t id) const
{
    if (!(get(pci::kStatus, 2) & pci::kStatusCapList))
        return 0;
    bool visited[kStdCapMax + 1] = {};
    unsigned at = data[pci::kCapabilitiesPointer] & ~3u;
    while (at >= kStdCapMin && at <= kStdCapMax - 1 && !visited[at]) {
        visited[at] = true;
        if (data[at] == id)
            return at;
        at = data[at + 1] & ~3u;
    }
    return 0;
}

unsigned ConfigSpace::findExtendedCapability(uint16_t id) const
{
    static constexpr unsigned kSlots = kConfigSize / 4;
    bool visited[kSlots] = {};
    unsigned at = pci::kExtCapStart;
    while (at >= pci::kExtCapStart && at <= kConfigSize - 4 && !visited[at / 4]) {
        visited[at / 4] = true;
        uint32_t header = get(at, 4);
        if (header == 0 || header == kAllOnes32)
            return 0;
        if ((header & kExtIdMask) == id)
            return at;
        at = (header >> kExtNextShift) & ~3u;
    }
    return 0;
}

void ConfigSpace::locateCapabilities()
{
    pcie = findCapability(pci::kCapIdPcie);
    aer = findExtendedCapability(pci::kExtCapIdAer);
}

void ConfigSpace::saveResetImage() { std::memcpy(resetImage, data, sizeof data); }

void ConfigSpace::restoreResetImage()
{
    std::memcpy(data, resetImage, sizeof data);
    locateCapabilities();
}

void ConfigSpace::deriveMasks()
{
    std::memset(rw, 0, sizeof rw);
    std::memset(w1c, 0, sizeof w1c);
    auto rw16 = [&](unsigned at, uint16_t m) { setMasks(at, 2, uint32_t(m) * kRepeat16, 0); };
    auto w1c16 = [&](unsigned at, uint16_t m) { setMasks(at, 2, 0, uint32_t(m) * kRepeat16); };
    auto rw32 = [&](unsigned at, uint32_t m) {
        if (at % 4 == 0)
            setMasks(at, 4, m, 0);
    };
    auto w1c32 = [&](unsigned at, uint32_t m) {
        if (at % 4 == 0)
            setMasks(at, 4, 0, m);
    };

    // Memory, I/O and bus master enables, SERR, parity, INTx disable.
    rw16(pci::kCommand, kCommandWritable);
    w1c16(pci::kStatus, kStatusErrorBits);
    rw[pci::kCacheLineSize] = 0xFF;
    rw[pci::kLatencyTimer] = 0xFF;
    rw[pci::kInterruptLine] = 0xFF;
    if ((data[pci::kHeaderType] & pci::kHeaderTypeMask) == pci::kHeaderTypeBridge) {
        setMasks(pci::kPrimaryBus, 4, kAllOnes32, 0);
        rw16(pci::kIoBase, kIoBaseLimitWritable);
        w1c16(pci::kSecondaryStatus, kStatusErrorBits);
        rw32(pci::kMemoryBase, kWindowWritable);
        rw32(pci::kPrefetchBase, kWindowWritable);
        rw32(pci::kPrefetchUpper, kAllOnes32);
        rw32(pci::kPrefetchUpper + 4, kAllOnes32);
        rw32(pci::kIoUpper, kAllOnes32);
        rw16(pci::kBridgeControl, kBridgeControlWritable);
    }

    if (unsigned pm = findCapability(pci::kCapIdPm)) {
        rw16(pm + pci::kPmCsr, kPmCsrWritable);
        w1c16(pm + pci::kPmCsr, kPmCsrPmeStatus);
    }
    if (unsigned msi = findCapability(pci::kCapIdMsi)) {
        uint16_t control = uint16_t(get(msi + pci::kMsiControl, 2));
        rw16(msi + pci::kMsiControl, pci::kMsiEnable | pci::kMsiMultipleEnable);
        rw32(msi + pci::kMsiAddress, kMsiAddressWritable);
        unsigned next = msi + pci::kMsiAddress + 4;
        if (control & pci::kMsi64Bit) {
            rw32(next, kAllOnes32);
            next += 4;
        }
        rw16(next, kAll16);
        if (control & pci::kMsiPerVectorMask)
            rw32(next + 4, kAllOnes32);
    }
    if (unsigned msix = findCapability(pci::kCapIdMsix))
        rw16(msix + pci::kMsixControl, pci::kMsixEnable | pci::kMsixFunctionMask);
    if (unsigned exp = findCapability(pci::kCapIdPcie)) {
        uint16_t caps = uint16_t(get(exp + pci::kExpCapabilities, 2));
        rw16(exp + pci::kExpDeviceControl, kAll16);
        w1c16(exp + pci::kExpDeviceStatus, kDeviceStatusErrors);
        rw16(exp + pci::kExpLinkControl, kLinkControlWritable);
        w1c16(exp + pci::kExpLinkStatus, kLinkStatusBandwidthBits);
        if (caps & pci::kExpSlotImplemented) {
            rw16(exp + pci::kExpSlotControl, kSlotControlWritable);
            w1c16(exp + pci::kExpSlotStatus, kSlotStatusEvents);
        }
        if ((caps & pci::kExpTypeMask) == pci::kExpTypeRootPort) {
            rw16(exp + pci::kExpRootControl, kRootControlWritable);
            setMasks(exp + pci::kExpRootStatus + 2, 1, 0, kRootStatusPmeByte);
        }
        if ((caps & pci::kExpVersionMask) >= 2) {
            rw16(exp + pci::kExpDeviceControl2, kAll16);
            rw16(exp + pci::kExpLinkControl2, kAll16);
        }
    }
    if (unsigned aerAt = findExtendedCapability(pci::kExtCapIdAer)) {
        w1c32(aerAt + pci::kAerUncorStatus, kAllOnes32);
        rw32(aerAt + pci::kAerUncorMask, kAllOnes32);
        rw32(aerAt + pci::kAerUncorSeverity, kAllOnes32);
        w1c32(aerAt + pci::kAerCorStatus, kAllOnes32);
        rw32(aerAt + pci::kAerCorMask, kAllOnes32);
        rw32(aerAt + pci::kAerCapControl, kAerControlWritable);
        unsigned exp = findCapability(pci::kCapIdPcie);
        if (exp && (get(exp + pci::kExpCapabilities, 2) & pci::kExpTypeMask) ==
                       pci::kExpTypeRootPort) {
            rw32(aerAt + pci::kAerRootCommand, kAerRootCommandWritable);
            w1c32(aerAt + pci::kAerRootStatus, kAerRootStatusBits);
        }
    }
    locateCapabilities();
}

// ---------------------------------------------------------------------------
// lspci text

namespace {

struct Address {
    unsigned domain = 0, bus = 0, device = 0, function = 0;
    bool operator==(const Address& o) const
    {
        return domain == o.domain && bus == o.bus && device == o.device && function == o.function;
    }
};

bool parseHex(const std::string& s, unsigned& out)
{
    if (s.empty() || s.size() > 8)
        return false;
    out = 0;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        out = out * 16 + unsigned(std::isdigit(static_cast<unsigned char>(c))
                                       ? c - '0'
                                       : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return true;
}

// "[domain:]bus:dev.fn" at the start of `token`.
bool parseAddress(const std::string& token, Address& a)
{
    std::string t = token;
    size_t dot = t.find('.');
    if (dot == std::string::npos || dot + 2 != t.size())
        return false;
    unsigned fn;
    if (!parseHex(t.substr(dot + 1), fn) || fn > 7)
        return false;
    t = t.substr(0, dot);
    size_t c2 = t.rfind(':');
    if (c2 == std::string::npos)
        return false;
    unsigned dev, bus, dom = 0;
    if (!parseHex(t.substr(c2 + 1), dev) || t.size() - c2 - 1 != 2)
        return false;
    t = t.substr(0, c2);
    size_t c1 = t.rfind(':');
    if (c1 != std::string::npos) {
        if (!parseHex(t.substr(0, c1), dom))
            return false;
        t = t.substr(c1 + 1);
    }
    if (t.size() != 2 || !parseHex(t, bus))
        return false;
    a = Address{dom, bus, dev, fn};
    return true;
}

// "OFF: bb bb ..." -> offset and bytes; false when the line is not a hex line.
bool isHexLine(const std::string& line)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon < 2 || colon > 3)
        return false;
    for (size_t i = 0; i < colon; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(line[i])))
            return false;
    return colon + 1 < line.size() ? line[colon + 1] == ' ' : true;
}

} // namespace

int parseLspci(const std::string& text, const char* function, ConfigSpace& space)
{
    Address wanted;
    if (function && !parseAddress(function, wanted))
        return -EINVAL;
    std::istringstream in(text);
    std::string line;
    bool inTarget = false, found = false, any = false;
    uint8_t image[kConfigSize] = {};
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || std::isspace(static_cast<unsigned char>(line[0])))
            continue;
        if (isHexLine(line)) {
            if (!inTarget)
                continue;
            size_t colon = line.find(':');
            unsigned offset;
            if (!parseHex(line.substr(0, colon), offset) || offset % kHexBytesPerLine != 0 ||
                offset >= kConfigSize)
                return -EINVAL;
            std::istringstream bytes(line.substr(colon + 1));
            std::string b;
            unsigned n = 0, v;
            while (bytes >> b) {
                if (b.size() != 2 || !parseHex(b, v) || n >= kHexBytesPerLine)
                    return -EINVAL;
                image[offset + n++] = uint8_t(v);
            }
            if (n != kHexBytesPerLine)
                return -EINVAL;
            any = true;
            continue;
        }
        // A header line starts the next function.
        if (found && inTarget)
            break;
        Address a;
        std::string token = line.substr(0, line.find(' '));
        if (!parseAddress(token, a))
            continue;
        if (!function || a == wanted) {
            inTarget = true;
            found = true;
        }
    }
    if (!found)
        return -ENOENT;
    if (!any)
        return -EINVAL;
    std::memcpy(space.data, image, sizeof image);
    space.saveResetImage();
    space.deriveMasks();
    return 0;
}

// ---------------------------------------------------------------------------
// Default images

namespace {

constexpr uint16_t kSimVendor = 0x1F3A;
constexpr uint16_t kCardDevice = 0x0100;
constexpr uint16_t kCardSubsystem = 0x0001;
constexpr uint16_t kBridgeDevice = 0x0200;
constexpr uint32_t kClassAccelerator = 0x120000;
constexpr uint32_t kClassPciBridge = 0x060400;
constexpr uint8_t kRevision = 0x01;
constexpr uint16_t kStatusCapListFast = 0x0010;

// Link Capabilities: speed code in bits 3:0, width in 9:4.
constexpr uint32_t kSpeed16GT = 4;
constexpr uint32_t kSpeed8GT = 3;
constexpr uint32_t kWidth16 = 16;
constexpr uint32_t kWidth8 = 8;
constexpr uint32_t kLinkCapSurpriseDownReporting = 1u << 19;
constexpr unsigned kLinkWidthShift = 4;

constexpr uint16_t kExpVersion2 = 0x0002;
constexpr uint16_t kExpTypeEndpoint = 0x0000;
constexpr uint8_t kExtVersion1 = 1;
constexpr uint8_t kExtVersion2 = 2;
constexpr uint16_t kCommandMemoryMaster = 0x0006; // as firmware leaves an enumerated function
constexpr uint16_t kPmCapabilities = 0x0003;      // PM version 3
constexpr uint32_t kEndpointDeviceCaps = 0x00008FC2; // 512-byte payload, role-based errors
constexpr uint32_t kPortDeviceCaps = 0x00008002;
constexpr uint16_t kEndpointDeviceControl = 0x2810;  // 512-byte read request, relaxed ordering
constexpr uint32_t kAerDefaultSeverity = 0x00462030;
constexpr uint32_t kAerDefaultCorMask = 0x00002000; // advisory non-fatal masked

uint32_t extHeader(uint16_t id, uint8_t version, unsigned next)
{
    return uint32_t(id) | (uint32_t(version) << 16) | (uint32_t(next) << kExtNextShift);
}

void header(ConfigSpace& s, uint16_t device, uint32_t classCode, uint8_t headerType)
{
    std::memset(s.data, 0, sizeof s.data);
    s.set(pci::kVendorId, 2, kSimVendor);
    s.set(pci::kVendorId + 2, 2, device);
    s.set(pci::kCommand, 2, kCommandMemoryMaster);
    s.set(pci::kStatus, 2, kStatusCapListFast);
    s.set(pci::kClassRevision, 4, (classCode << 8) | kRevision);
    s.data[pci::kHeaderType] = headerType;
    s.data[pci::kInterruptPin] = 1;
}

} // namespace

void buildDefaultCard(ConfigSpace& s, unsigned card)
{
    constexpr unsigned kPm = 0x40, kMsi = 0x50, kExp = 0x70, kMsix = 0xB0;
    constexpr unsigned kAer = 0x100, kDsn = 0x148;
    constexpr uint16_t kMsiCapable32 = 0x000A; // Multiple Message Capable: 32 vectors
    constexpr uint16_t kMsixTableSize32 = 31;
    constexpr uint32_t kMsixTableBar2 = 0x00000002;
    constexpr uint32_t kMsixPbaBar2 = 0x00000802;
    constexpr uint64_t kSerialBase = 0x1F3A0000C0DE0000ull;

    header(s, kCardDevice, kClassAccelerator, 0x00);
    s.set(pci::kSubsystemVendorId, 2, kSimVendor);
    s.set(pci::kSubsystemVendorId + 2, 2, kCardSubsystem);
    s.data[pci::kCapabilitiesPointer] = kPm;

    s.set(kPm, 2, pci::kCapIdPm | (kMsi << 8));
    s.set(kPm + 2, 2, kPmCapabilities);

    s.set(kMsi, 2, pci::kCapIdMsi | (kExp << 8));
    s.set(kMsi + pci::kMsiControl, 2, pci::kMsi64Bit | kMsiCapable32);

    s.set(kExp, 2, pci::kCapIdPcie | (kMsix << 8));
    s.set(kExp + pci::kExpCapabilities, 2, kExpVersion2 | kExpTypeEndpoint);
    s.set(kExp + 4, 4, kEndpointDeviceCaps);
    s.set(kExp + pci::kExpDeviceControl, 2, kEndpointDeviceControl);
    s.set(kExp + pci::kExpLinkCapabilities, 4,
          kSpeed16GT | (kWidth16 << kLinkWidthShift) | (0u << 24));
    s.set(kExp + pci::kExpLinkStatus, 2, kSpeed8GT | (kWidth8 << kLinkWidthShift));

    s.set(kMsix, 2, pci::kCapIdMsix | (0u << 8));
    s.set(kMsix + pci::kMsixControl, 2, pci::kMsixEnable | kMsixTableSize32);
    s.set(kMsix + 4, 4, kMsixTableBar2);
    s.set(kMsix + 8, 4, kMsixPbaBar2);

    s.set(kAer, 4, extHeader(pci::kExtCapIdAer, kExtVersion2, kDsn));
    s.set(kAer + pci::kAerUncorSeverity, 4, kAerDefaultSeverity);
    s.set(kAer + pci::kAerCorMask, 4, kAerDefaultCorMask);
    s.set(kDsn, 4, extHeader(pci::kExtCapIdDsn, kExtVersion1, 0));
    uint64_t serial = kSerialBase + card;
    s.set(kDsn + 4, 4, uint32_t(serial));
    s.set(kDsn + 8, 4, uint32_t(serial >> 32));

    s.saveResetImage();
    s.deriveMasks();
}

void buildDefaultBridge(ConfigSpace& s, unsigned card)
{
    constexpr unsigned kPm = 0x40, kMsi = 0x50, kExp = 0x60, kAer = 0x100;
    header(s, kBridgeDevice, kClassPciBridge, pci::kHeaderTypeBridge);
    s.data[pci::kPrimaryBus] = 0;
    s.data[pci::kPrimaryBus + 1] = uint8_t(card + 1); // secondary bus: the card's
    s.data[pci::kPrimaryBus + 2] = uint8_t(card + 1); // subordinate bus
    s.data[pci::kCapabilitiesPointer] = kPm;

    s.set(kPm, 2, pci::kCapIdPm | (kMsi << 8));
    s.set(kPm + 2, 2, kPmCapabilities);
    s.set(kMsi, 2, pci::kCapIdMsi | (kExp << 8));
    s.set(kMsi + pci::kMsiControl, 2, pci::kMsi64Bit);

    s.set(kExp, 2, pci::kCapIdPcie | (0u << 8));
    s.set(kExp + pci::kExpCapabilities, 2, kExpVersion2 | pci::kExpTypeRootPort);
    s.set(kExp + 4, 4, kPortDeviceCaps);
    s.set(kExp + pci::kExpLinkCapabilities, 4,
          kSpeed8GT | (kWidth8 << kLinkWidthShift) | pci::kLinkCapDllActiveReporting |
              kLinkCapSurpriseDownReporting | ((card + 1u) << 24));
    s.set(kExp + pci::kExpLinkStatus, 2,
          kSpeed8GT | (kWidth8 << kLinkWidthShift) | pci::kLinkActive);

    s.set(kAer, 4, extHeader(pci::kExtCapIdAer, kExtVersion2, 0));
    s.set(kAer + pci::kAerUncorSeverity, 4, kAerDefaultSeverity);
    s.set(kAer + pci::kAerCorMask, 4, kAerDefaultCorMask);

    s.saveResetImage();
    s.deriveMasks();
}

} // namespace vdlsim
