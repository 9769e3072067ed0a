// The records the driver exchanges with its callers, laid out as the driver sees them
// (x86-64, little-endian, 8-byte pointers). Written here independently of the
// library's own header so that a layout mistake on either side shows up as a
// refused request.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vdlsim {

struct Command {
    uint32_t command;
    uint32_t writeCount;
    uint64_t writeBuffer;
    uint32_t readCount;
    uint32_t padding;
    uint64_t readBuffer;
    uint64_t address;
};
static_assert(sizeof(Command) == 40);
static_assert(offsetof(Command, writeCount) == 4);
static_assert(offsetof(Command, writeBuffer) == 8);
static_assert(offsetof(Command, readCount) == 16);
static_assert(offsetof(Command, readBuffer) == 24);
static_assert(offsetof(Command, address) == 32);

struct UpstreamDescriptor {
    uint32_t magic;
    uint32_t card;
    uint16_t vendorId;
    uint16_t deviceId;
    uint32_t bridgeLocation;
    uint8_t reserved[24];
};
static_assert(sizeof(UpstreamDescriptor) == 40);
static_assert(offsetof(UpstreamDescriptor, vendorId) == 8);
static_assert(offsetof(UpstreamDescriptor, deviceId) == 10);

struct BarQuery {
    uint32_t bar;
    uint32_t padding;
    uint64_t value;
};
static_assert(sizeof(BarQuery) == 16);
static_assert(offsetof(BarQuery, value) == 8);

struct SlotPath {
    uint64_t buffer;
    uint32_t length;
    uint32_t padding;
};
static_assert(sizeof(SlotPath) == 16);
static_assert(offsetof(SlotPath, length) == 8);

// The bus address travels high word first.
struct ContigRequest {
    uint32_t physHi;
    uint32_t physLo;
    uint64_t vaddr;
    uint32_t len;
    uint32_t padding;
};
static_assert(sizeof(ContigRequest) == 24);
static_assert(offsetof(ContigRequest, vaddr) == 8);
static_assert(offsetof(ContigRequest, len) == 16);

struct LockRecord {
    uint32_t npages;
    uint32_t padding0;
    uint64_t pages;
    uint64_t addr;
    uint32_t size;
    uint32_t padding1;
    uint64_t reserved;
};
static_assert(sizeof(LockRecord) == 40);
static_assert(offsetof(LockRecord, pages) == 8);
static_assert(offsetof(LockRecord, addr) == 16);
static_assert(offsetof(LockRecord, size) == 24);
static_assert(offsetof(LockRecord, reserved) == 32);

struct PageEntry {
    uint64_t phys;
    uint64_t unused;
};
static_assert(sizeof(PageEntry) == 16);

struct IntWait {
    uint32_t vector;
    uint32_t timeout;
    uint32_t status;
    uint32_t value;
};
static_assert(sizeof(IntWait) == 16);
static_assert(offsetof(IntWait, status) == 8);
static_assert(offsetof(IntWait, value) == 12);

constexpr uint32_t kWaitTimedOut = 1;
constexpr uint32_t kWaitCancelled = 2;
constexpr uint32_t kWaitInterrupt = 3;

constexpr uint32_t kUpstreamMagic = 0x50555356; // "VSUP"

} // namespace vdlsim
