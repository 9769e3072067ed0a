// Raw access to the simulated driver, the way a client of the driver talks to it:
// open, ioctl and mmap with records laid out here by hand.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "vdlsim.h"
#include "vdltest_sim.hpp"

namespace simtest {

struct Command {
    uint32_t command = 0;
    uint32_t writeCount = 0;
    const void* writeBuffer = nullptr;
    uint32_t readCount = 0;
    uint32_t padding = 0;
    void* readBuffer = nullptr;
    uint64_t address = 0;
};
static_assert(sizeof(Command) == 40 && offsetof(Command, readBuffer) == 24 &&
              offsetof(Command, address) == 32);

struct BarQuery {
    uint32_t bar = 0;
    uint32_t padding = 0;
    uint64_t value = 0;
};
static_assert(sizeof(BarQuery) == 16);

struct SlotPath {
    char* buffer = nullptr;
    uint32_t length = 0;
    uint32_t padding = 0;
};
static_assert(sizeof(SlotPath) == 16);

struct ContigRequest {
    uint32_t physHi = 0;
    uint32_t physLo = 0;
    void* vaddr = nullptr;
    uint32_t len = 0;
    uint32_t padding = 0;
};
static_assert(sizeof(ContigRequest) == 24);

struct PageEntry {
    uint64_t phys = 0;
    uint64_t unused = 0;
};

struct LockRecord {
    uint32_t npages = 0;
    uint32_t padding0 = 0;
    PageEntry* pages = nullptr;
    void* addr = nullptr;
    uint32_t size = 0;
    uint32_t padding1 = 0;
    uint64_t reserved = 0;
};
static_assert(sizeof(LockRecord) == 40 && offsetof(LockRecord, size) == 24);

struct IntWait {
    uint32_t vector = 0;
    uint32_t timeout = 0;
    uint32_t status = 0;
    uint32_t value = 0;
};
static_assert(sizeof(IntWait) == 16);

struct UpstreamDescriptor {
    uint8_t bytes[40] = {};
};

inline std::string nodePath(unsigned card)
{
    return "/dev/vdlsdk_pci/vdlpci" + std::to_string(card);
}

inline int openCard(unsigned card) { return ::open(nodePath(card).c_str(), O_RDWR | O_SYNC); }

// The errno of a request that answered -1, or 0.
inline int request(int fd, unsigned long req, void* arg)
{
    int rc = ::ioctl(fd, req, arg);
    return rc == 0 ? 0 : errno;
}

inline int command(int fd, Command& c) { return request(fd, VDLSIM_REQ_COMMAND, &c); }

// One register command of the configuration family: the value travels in the
// word at readBuffer both ways; an upstream command also carries the bridge's
// descriptor.
inline int registerCommand(int fd, uint32_t word, const UpstreamDescriptor* up, unsigned offset,
                           uint32_t& value)
{
    Command c;
    c.command = word;
    if (up != nullptr) {
        c.writeCount = 40;
        c.writeBuffer = up;
    }
    c.readCount = 1;
    c.readBuffer = &value;
    c.address = offset;
    return command(fd, c);
}

inline int cfgRead(int fd, unsigned offset, unsigned width, uint32_t& value)
{
    static const uint32_t words[] = {0, VDLSIM_CMD_CFG_READ8, VDLSIM_CMD_CFG_READ16, 0,
                                     VDLSIM_CMD_CFG_READ32};
    value = 0;
    return registerCommand(fd, words[width], nullptr, offset, value);
}

inline int cfgWrite(int fd, unsigned offset, unsigned width, uint32_t value)
{
    static const uint32_t words[] = {0, VDLSIM_CMD_CFG_WRITE8, VDLSIM_CMD_CFG_WRITE16, 0,
                                     VDLSIM_CMD_CFG_WRITE32};
    return registerCommand(fd, words[width], nullptr, offset, value);
}

inline int upstreamDescriptor(int fd, UpstreamDescriptor& d)
{
    Command c;
    c.readCount = 40;
    c.readBuffer = &d;
    return request(fd, VDLSIM_REQ_UPSTREAM, &c);
}

inline int upRead(int fd, const UpstreamDescriptor& d, unsigned offset, unsigned width,
                  uint32_t& value)
{
    static const uint32_t words[] = {0, VDLSIM_CMD_UP_READ8, VDLSIM_CMD_UP_READ16, 0,
                                     VDLSIM_CMD_UP_READ32};
    value = 0;
    return registerCommand(fd, words[width], &d, offset, value);
}

inline int upWrite(int fd, const UpstreamDescriptor& d, unsigned offset, unsigned width,
                   uint32_t value)
{
    static const uint32_t words[] = {0, VDLSIM_CMD_UP_WRITE8, VDLSIM_CMD_UP_WRITE16, 0,
                                     VDLSIM_CMD_UP_WRITE32};
    return registerCommand(fd, words[width], &d, offset, value);
}

// A BAR element: a read's value comes back in the read buffer, a write's goes
// out in the write buffer.
inline int barCommand(int fd, uint32_t word, uint64_t offset, void* value, bool isWrite)
{
    Command c;
    c.command = word;
    if (isWrite) {
        c.writeCount = 1;
        c.writeBuffer = value;
    } else {
        c.readCount = 1;
        c.readBuffer = value;
    }
    c.address = offset;
    return command(fd, c);
}

inline int barRead32(int fd, unsigned bar, uint64_t offset, uint32_t& value)
{
    return barCommand(fd, VDLSIM_CMD_BAR_READ32 + bar, offset, &value, false);
}

inline int barWrite32(int fd, unsigned bar, uint64_t offset, uint32_t value)
{
    return barCommand(fd, VDLSIM_CMD_BAR_WRITE32 + bar, offset, &value, true);
}

inline int barRead64(int fd, unsigned bar, uint64_t offset, uint64_t& value)
{
    return barCommand(fd, VDLSIM_CMD_BAR_READ64 + bar, offset, &value, false);
}

inline int barWrite64(int fd, unsigned bar, uint64_t offset, uint64_t value)
{
    return barCommand(fd, VDLSIM_CMD_BAR_WRITE64 + bar, offset, &value, true);
}

// Standard capability walk through the driver, bounded.
inline unsigned findCap(int fd, uint8_t id)
{
    uint32_t ptr = 0;
    cfgRead(fd, 0x34, 1, ptr);
    for (int guard = 0; guard < 48 && ptr >= 0x40; ++guard) {
        uint32_t header = 0;
        cfgRead(fd, ptr, 2, header);
        if ((header & 0xFF) == id)
            return ptr;
        ptr = (header >> 8) & 0xFC;
    }
    return 0;
}

// The number of cards the driver reports through descriptor `fd`, or -1 when
// the request fails.
inline int32_t cardCount(int fd)
{
    int32_t n = -1;
    Command c;
    c.command = VDLSIM_CMD_CARD_COUNT;
    c.readCount = 4;
    c.readBuffer = &n;
    return command(fd, c) == 0 ? n : -1;
}

inline std::string lastViolation()
{
    const auto all = vdltest::simViolations();
    return all.empty() ? std::string() : all.back();
}

// The default model with card 0's node open as `fd`.
class SimCardTest : public vdltest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        fd = openCard(0);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        if (fd >= 0)
            ::close(fd);
        SimTest::TearDown();
    }

    int fd = -1;
};

} // namespace simtest
