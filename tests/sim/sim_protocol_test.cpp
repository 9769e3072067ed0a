// The simulated driver's protocol: nodes, requests, strictness, log, faults, DMA,
// device callbacks and scenarios.
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_raw.hpp"

using namespace simtest;

namespace {

constexpr uint64_t kPage = 4096;

class simProtocol : public SimCardTest {};

// ---------------------------------------------------------------------------
// Nodes

TEST_F(simProtocol, NodesOpenAndAccessAsTheModelSays)
{
    ASSERT_EQ(vdlsim_card_setup(1), 0);
    ASSERT_EQ(vdlsim_card_set_access(1, 0), 0);
    ASSERT_EQ(vdlsim_card_setup(2), 0);
    ASSERT_EQ(vdlsim_card_set_present(2, 0), 0);
    ASSERT_EQ(vdlsim_card_setup(3), 0);
    ASSERT_EQ(vdlsim_card_set_open_errno(3, EBUSY), 0);
    const struct {
        const char* path;
        int mode;
        int accessErr; // errno of access(path, mode)
        int openErr;   // errno of open(path, O_RDWR | O_SYNC)
    } cases[] = {
        {"/dev/vdlsdk_pci/vdlpci0", R_OK | W_OK, 0, 0},
        {"/dev/vdlsdk_pci/vdlpci0", F_OK, 0, 0},
        {"/dev/vdlsdk_pci/vdlpci0", X_OK, EACCES, 0},
        {"/dev/vdlsdk_pci/vdlpci1", R_OK | W_OK, EACCES, 0},
        {"/dev/vdlsdk_pci/vdlpci1", F_OK, 0, 0},
        {"/dev/vdlsdk_pci/vdlpci2", F_OK, ENOENT, ENOENT},
        {"/dev/vdlsdk_pci/vdlpci3", R_OK | W_OK, 0, EBUSY},
        {"/dev/vdlsdk_pci/vdlpci4", F_OK, ENOENT, ENOENT},
        {"/dev/vdlsdk_pci/vdlpci00", F_OK, ENOENT, ENOENT},
        {"/dev/vdlsdk_pci/vdlpci16", F_OK, ENOENT, ENOENT},
        {"/dev/vdlsdk_pci/vdlpci-1", F_OK, ENOENT, ENOENT},
        {"/dev/vdlsdk_pci/other", F_OK, ENOENT, ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " mode " + std::to_string(c.mode));
        errno = 0;
        int rc = ::access(c.path, c.mode);
        EXPECT_EQ(rc == 0 ? 0 : errno, c.accessErr);
        rc = ::faccessat(AT_FDCWD, c.path, c.mode, 0);
        EXPECT_EQ(rc == 0 ? 0 : errno, c.accessErr);
        int f = ::open(c.path, O_RDWR | O_SYNC);
        EXPECT_EQ(f >= 0 ? 0 : errno, c.openErr);
        if (f >= 0)
            ::close(f);
        f = ::openat(AT_FDCWD, c.path, O_RDWR | O_SYNC | O_CLOEXEC);
        EXPECT_EQ(f >= 0 ? 0 : errno, c.openErr);
        if (f >= 0)
            ::close(f);
    }
}

TEST_F(simProtocol, OpenFlagsOtherThanReadWriteSynchronousAreRefused)
{
    m_checkViolations = false; // every refusal is a violation
    const int refused[] = {O_RDONLY | O_SYNC, O_WRONLY | O_SYNC, O_RDWR, O_RDWR | O_DSYNC,
                           O_RDWR | O_SYNC | O_NONBLOCK, O_RDWR | O_SYNC | O_APPEND};
    for (int flags : refused) {
        SCOPED_TRACE(flags);
        size_t before = vdlsim_violation_count();
        errno = 0;
        EXPECT_EQ(::open(nodePath(0).c_str(), flags), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(vdlsim_violation_count(), before + 1);
    }
    EXPECT_EQ(::open(nodePath(0).c_str(), O_RDWR | O_SYNC | O_CREAT, 0600), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(simProtocol, DescriptorsAreRealAndOtherFilesPassThrough)
{
    struct stat st;
    ASSERT_EQ(::fstat(fd, &st), 0);
    int regular = ::open("/proc/self/status", O_RDONLY);
    ASSERT_GE(regular, 0);
    EXPECT_NE(regular, fd);
    char buf[16];
    EXPECT_GT(::read(regular, buf, sizeof buf), 0);
    EXPECT_EQ(::ioctl(regular, VDLSIM_REQ_IDS, buf), -1) << "no driver behind a regular file";
    EXPECT_EQ(::access("/proc/self/status", R_OK), 0);
    EXPECT_EQ(::close(regular), 0);
    EXPECT_EQ(vdlsim_card_open_count(0), 1);
    int second = openCard(0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(vdlsim_card_open_count(0), 2);
    EXPECT_EQ(::close(second), 0);
    EXPECT_EQ(vdlsim_card_open_count(0), 1);
    uint32_t word;
    EXPECT_EQ(request(second, VDLSIM_REQ_IDS, &word), EBADF) << "closed descriptor";
}

// ---------------------------------------------------------------------------
// Identity and queries

TEST_F(simProtocol, IdentityLocationSlotAndBarQueries)
{
    uint32_t word = 0;
    ASSERT_EQ(request(fd, VDLSIM_REQ_DRIVER_WORD, &word), 0);
    EXPECT_EQ(word, VDLSIM_DRIVER_WORD);
    ASSERT_EQ(request(fd, VDLSIM_REQ_IDS, &word), 0);
    EXPECT_EQ(word, 0x01001F3Au);
    ASSERT_EQ(request(fd, VDLSIM_REQ_SUBSYSTEM_IDS, &word), 0);
    EXPECT_EQ(word, 0x00011F3Au);
    ASSERT_EQ(request(fd, VDLSIM_REQ_LOCATION, &word), 0);
    EXPECT_EQ(word, 0x00010000u);
    char text[128];
    SlotPath slot{text, sizeof text};
    ASSERT_EQ(request(fd, VDLSIM_REQ_SLOT_PATH, &slot), 0);
    EXPECT_STREQ(text, "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0");

    const uint64_t sizes[] = {1u << 20, 0, 64u << 10, 0, 4u << 10, 0};
    const uint64_t buses[] = {0xF0000000, 0, 0xF0100000, 0, 0xF0110000, 0};
    for (unsigned bar = 0; bar < 6; ++bar) {
        BarQuery q{bar};
        ASSERT_EQ(request(fd, VDLSIM_REQ_BAR_SIZE, &q), 0);
        EXPECT_EQ(q.value, sizes[bar]) << bar;
        BarQuery a{bar};
        ASSERT_EQ(request(fd, VDLSIM_REQ_BAR_ADDRESS, &a), 0);
        EXPECT_EQ(a.value, buses[bar]) << bar;
    }

    ASSERT_EQ(vdlsim_card_set_ids(0, 0x1234, 0x5678, 0x9ABC, 0xDEF0), 0);
    ASSERT_EQ(vdlsim_card_set_location(0, 0x13B, 0x1F, 7), 0);
    ASSERT_EQ(vdlsim_card_set_slot_path(0, "slot-12345"), 0);
    ASSERT_EQ(vdlsim_card_set_bar(0, 3, 1ull << 33, 0x2000000000ull), 0);
    ASSERT_EQ(request(fd, VDLSIM_REQ_IDS, &word), 0);
    EXPECT_EQ(word, 0x56781234u);
    ASSERT_EQ(cfgRead(fd, 0, 4, word), 0);
    EXPECT_EQ(word, 0x56781234u) << "identity lives in the configuration space";
    ASSERT_EQ(request(fd, VDLSIM_REQ_SUBSYSTEM_IDS, &word), 0);
    EXPECT_EQ(word, 0xDEF09ABCu);
    ASSERT_EQ(request(fd, VDLSIM_REQ_LOCATION, &word), 0);
    EXPECT_EQ(word, 0x013B1F07u);
    char small[5];
    SlotPath shortSlot{small, sizeof small};
    ASSERT_EQ(request(fd, VDLSIM_REQ_SLOT_PATH, &shortSlot), 0);
    EXPECT_STREQ(small, "slot") << "truncated to the buffer, NUL included";
    BarQuery q{3};
    ASSERT_EQ(request(fd, VDLSIM_REQ_BAR_SIZE, &q), 0);
    EXPECT_EQ(q.value, 1ull << 33);
    ASSERT_EQ(request(fd, VDLSIM_REQ_BAR_ADDRESS, &q), 0);
    EXPECT_EQ(q.value, 0x2000000000ull);
    EXPECT_EQ(vdlsim_card_set_bar(0, 3, 3000, 0), -EINVAL) << "not a power of two";

    ASSERT_EQ(vdlsim_card_set_slot_path(0, nullptr), 0);
    EXPECT_EQ(request(fd, VDLSIM_REQ_SLOT_PATH, &slot), ENOENT);
}

TEST_F(simProtocol, CardCountIsTheConfiguredCardsOrTheSetAnswer)
{
    EXPECT_EQ(cardCount(fd), 1);
    ASSERT_EQ(vdlsim_card_setup(5), 0);
    ASSERT_EQ(vdlsim_card_set_present(5, 0), 0);
    EXPECT_EQ(cardCount(fd), 2) << "configured, whether its node is present or not";
    vdlsim_set_card_count_answer(7);
    EXPECT_EQ(cardCount(fd), 7);
    vdlsim_set_card_count_answer(0);
    EXPECT_EQ(cardCount(fd), 0);
    vdlsim_set_card_count_answer(-1);
    EXPECT_EQ(cardCount(fd), 2);
}

TEST_F(simProtocol, BarAccessesReachTheBarMemoryWithinTheWindow)
{
    auto* bar2 = static_cast<uint8_t*>(vdlsim_card_bar_memory(0, 2));
    ASSERT_NE(bar2, nullptr);
    ASSERT_EQ(barWrite32(fd, 2, 0x40, 0x11223344), 0);
    ASSERT_EQ(barWrite64(fd, 2, 0x48, 0x8877665544332211ull), 0);
    uint32_t w;
    std::memcpy(&w, bar2 + 0x40, 4);
    EXPECT_EQ(w, 0x11223344u);
    uint64_t q = 0;
    ASSERT_EQ(barRead64(fd, 2, 0x44, q), 0);
    EXPECT_EQ(q, 0x4433221100000000ull) << "unaligned 64-bit read within the window";
    const uint32_t pattern = 0xA5A5F00D;
    std::memcpy(bar2 + 0xFFFC, &pattern, 4);
    ASSERT_EQ(barRead32(fd, 2, 0xFFFC, w), 0);
    EXPECT_EQ(w, pattern);

    const struct {
        unsigned bar;
        uint64_t offset;
        bool wide;
    } outside[] = {{2, 0x10000, false}, {2, 0xFFFE, false}, {2, 0xFFFC, true},
                   {1, 0, false},       {5, 0, true},       {2, ~0ull - 1, false}};
    for (const auto& c : outside) {
        SCOPED_TRACE(c.offset);
        if (c.wide)
            EXPECT_EQ(barRead64(fd, c.bar, c.offset, q), EINVAL);
        else
            EXPECT_EQ(barRead32(fd, c.bar, c.offset, w), EINVAL);
    }
    EXPECT_EQ(vdlsim_violation_count(), 0u) << "a range refusal is not a protocol violation";
}

// ---------------------------------------------------------------------------
// Strictness

// One malformed request and what it must not have done.
struct Refusal {
    const char* what;
    std::function<int(int fd)> send; // the errno of the request
};

TEST_F(simProtocol, StrictRefusalsAnswerEinvalAndAreRecorded)
{
    m_checkViolations = false; // every refusal is a violation
    static uint32_t value;
    static int32_t word;
    static char text[128];
    static PageEntry entries[8];
    static UpstreamDescriptor descriptor;
    ASSERT_EQ(upstreamDescriptor(fd, descriptor), 0);
    auto cmd = [](uint32_t command, uint32_t wc, const void* wb, uint32_t rc, void* rb,
                  uint64_t address = 0, uint32_t padding = 0) {
        return [=](int f) {
            Command c;
            c.command = command;
            c.writeCount = wc;
            c.writeBuffer = wb;
            c.readCount = rc;
            c.readBuffer = rb;
            c.address = address;
            c.padding = padding;
            return simtest::command(f, c);
        };
    };
    auto raw = [](unsigned long req, void* arg) {
        return [=](int f) { return request(f, req, arg); };
    };
    static void* region = nullptr;
    if (!region)
        region = ::mmap(nullptr, 4 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                        -1, 0);
    const std::vector<Refusal> cases = {
        {"unknown request number 22", raw(0xc0087816, &value)},
        {"request number 0", raw(0x80047800, &value)},
        {"request 2 with the wrong size bits", raw(0x80087802, &value)},
        {"request value above 32 bits", raw(0x1c0087805ul, &value)},
        {"null record, request 2", raw(VDLSIM_REQ_IDS, nullptr)},
        {"null record, request 5", raw(VDLSIM_REQ_COMMAND, nullptr)},
        {"null record, request 13", raw(VDLSIM_REQ_INT_WAIT, nullptr)},
        {"null record, request 14", raw(VDLSIM_REQ_INT_CANCEL, nullptr)},
        {"null record, request 15", raw(VDLSIM_REQ_LOCK, nullptr)},
        {"command padding set", cmd(VDLSIM_CMD_CFG_READ32, 0, nullptr, 1, &value, 0, 1)},
        {"command family not 0x9100", cmd(0x92000400, 0, nullptr, 1, &value)},
        {"unknown operation", cmd(0x91000E00, 0, nullptr, 1, &value)},
        {"low bits on a configuration command", cmd(0x91000401, 0, nullptr, 1, &value)},
        {"configuration read with a write count", cmd(VDLSIM_CMD_CFG_READ32, 1, nullptr, 1, &value)},
        {"configuration read with a write buffer", cmd(VDLSIM_CMD_CFG_READ32, 0, &value, 1, &value)},
        {"configuration read count 4", cmd(VDLSIM_CMD_CFG_READ32, 0, nullptr, 4, &value)},
        {"configuration read without a buffer", cmd(VDLSIM_CMD_CFG_READ16, 0, nullptr, 1, nullptr)},
        {"configuration write count 0", cmd(VDLSIM_CMD_CFG_WRITE32, 0, nullptr, 0, &value)},
        {"configuration offset 4096", cmd(VDLSIM_CMD_CFG_READ8, 0, nullptr, 1, &value, 4096)},
        {"upstream read without descriptor", cmd(VDLSIM_CMD_UP_READ32, 0, nullptr, 1, &value)},
        {"upstream read, write count 39", cmd(VDLSIM_CMD_UP_READ32, 39, &descriptor, 1, &value)},
        {"upstream read, foreign descriptor", cmd(VDLSIM_CMD_UP_READ32, 40, text, 1, &value)},
        {"BAR number 6", cmd(VDLSIM_CMD_BAR_READ32 + 6, 0, nullptr, 1, &value)},
        {"BAR number 0xFF", cmd(VDLSIM_CMD_BAR_WRITE64 + 0xFF, 1, &value, 0, nullptr)},
        {"BAR read with a stray write buffer", cmd(VDLSIM_CMD_BAR_READ32, 0, &value, 1, &value)},
        {"BAR read count 2", cmd(VDLSIM_CMD_BAR_READ64, 0, nullptr, 2, &value)},
        {"BAR write with a stray read buffer", cmd(VDLSIM_CMD_BAR_WRITE32, 1, &value, 0, &value)},
        {"BAR write count 0", cmd(VDLSIM_CMD_BAR_WRITE32, 0, &value, 0, nullptr)},
        {"card count, read count 1", cmd(VDLSIM_CMD_CARD_COUNT, 0, nullptr, 1, &word)},
        {"card count, address 4", cmd(VDLSIM_CMD_CARD_COUNT, 0, nullptr, 4, &word, 4)},
        {"upstream descriptor, read count 39",
         [](int f) {
             Command c;
             c.readCount = 39;
             c.readBuffer = &descriptor;
             return request(f, VDLSIM_REQ_UPSTREAM, &c);
         }},
        {"upstream descriptor, command set",
         [](int f) {
             Command c;
             c.command = VDLSIM_CMD_UP_READ32;
             c.readCount = 40;
             c.readBuffer = &descriptor;
             return request(f, VDLSIM_REQ_UPSTREAM, &c);
         }},
        {"BAR query of BAR 6",
         [](int f) {
             BarQuery q{6};
             return request(f, VDLSIM_REQ_BAR_SIZE, &q);
         }},
        {"BAR query with padding",
         [](int f) {
             BarQuery q{0, 0xDEADBEEF};
             return request(f, VDLSIM_REQ_BAR_ADDRESS, &q);
         }},
        {"slot path length 0",
         [](int f) {
             SlotPath p{text, 0};
             return request(f, VDLSIM_REQ_SLOT_PATH, &p);
         }},
        {"slot path without a buffer",
         [](int f) {
             SlotPath p{nullptr, 128};
             return request(f, VDLSIM_REQ_SLOT_PATH, &p);
         }},
        {"mapping mode 2",
         [](int f) {
             int32_t mode = 2;
             return request(f, VDLSIM_REQ_MAP_MODE, &mode);
         }},
        {"allocation of length 0",
         [](int f) {
             ContigRequest r;
             return request(f, VDLSIM_REQ_CONTIG_ALLOC, &r);
         }},
        {"allocation with vaddr set",
         [](int f) {
             ContigRequest r;
             r.len = 4096;
             r.vaddr = &value;
             return request(f, VDLSIM_REQ_CONTIG_ALLOC, &r);
         }},
        {"allocation with a bus address",
         [](int f) {
             ContigRequest r;
             r.len = 4096;
             r.physLo = 0x1000;
             return request(f, VDLSIM_REQ_CONTIG_ALLOC, &r);
         }},
        {"free of a buffer never allocated",
         [](int f) {
             ContigRequest r;
             r.physHi = 1;
             r.len = 4096;
             return request(f, VDLSIM_REQ_CONTIG_FREE, &r);
         }},
        {"select of a buffer never allocated",
         [](int f) {
             ContigRequest r;
             r.physHi = 1;
             r.len = 4096;
             return request(f, VDLSIM_REQ_CONTIG_SELECT, &r);
         }},
        {"sync of a buffer never allocated",
         [](int f) {
             ContigRequest r;
             r.physHi = 1;
             r.len = 4096;
             return request(f, VDLSIM_REQ_CONTIG_SYNC_CPU, &r);
         }},
        {"wait with status preset",
         [](int f) {
             IntWait w{0, 10, 1};
             return request(f, VDLSIM_REQ_INT_WAIT, &w);
         }},
        {"wait on vector 2048",
         [](int f) {
             IntWait w{2048, 10};
             return request(f, VDLSIM_REQ_INT_WAIT, &w);
         }},
        {"cancel of vector -1",
         [](int f) {
             int32_t v = -1;
             return request(f, VDLSIM_REQ_INT_CANCEL, &v);
         }},
        {"lock with too few page entries for an unaligned region",
         [](int f) {
             // 8096 bytes from offset 100 span three pages; size / page + 1 gives only 2.
             LockRecord r;
             r.addr = static_cast<char*>(region) + 100;
             r.size = 8096;
             r.npages = 8096 / 4096 + 1;
             r.pages = entries;
             return request(f, VDLSIM_REQ_LOCK, &r);
         }},
        {"lock without a page table",
         [](int f) {
             LockRecord r;
             r.addr = region;
             r.size = 4096;
             r.npages = 2;
             return request(f, VDLSIM_REQ_LOCK, &r);
         }},
        {"lock with reserved set",
         [](int f) {
             LockRecord r;
             r.addr = region;
             r.size = 4096;
             r.npages = 2;
             r.pages = entries;
             r.reserved = 1;
             return request(f, VDLSIM_REQ_LOCK, &r);
         }},
        {"lock with padding set",
         [](int f) {
             LockRecord r;
             r.addr = region;
             r.size = 4096;
             r.npages = 2;
             r.pages = entries;
             r.padding1 = 1;
             return request(f, VDLSIM_REQ_LOCK, &r);
         }},
        {"unlock of a region never locked",
         [](int f) {
             LockRecord r;
             r.addr = region;
             r.size = 4096;
             r.npages = 2;
             r.pages = entries;
             return request(f, VDLSIM_REQ_UNLOCK, &r);
         }},
        {"mmap without a selected buffer",
         [](int f) {
             void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, f, 0);
             return p == MAP_FAILED ? errno : 0;
         }},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        vdlsim_log_clear();
        size_t before = vdlsim_violation_count();
        EXPECT_EQ(c.send(fd), EINVAL);
        ASSERT_EQ(vdlsim_violation_count(), before + 1);
        vdlsim_log_entry e;
        ASSERT_EQ(vdlsim_log_get(vdlsim_log_count() - 1, &e), 0);
        EXPECT_EQ(e.violation, 1u);
        EXPECT_EQ(e.result, -1);
        EXPECT_EQ(e.err, EINVAL);
    }
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 0);
    EXPECT_NE(lastViolation().find("mmap"), std::string::npos) << lastViolation();
}

TEST_F(simProtocol, AccessCrossingTheEndOfTheSpaceIsRefusedButNotAViolation)
{
    uint32_t v;
    EXPECT_EQ(cfgRead(fd, 4094, 4, v), EINVAL);
    EXPECT_EQ(cfgRead(fd, 4095, 2, v), EINVAL);
    EXPECT_EQ(cfgRead(fd, 4095, 1, v), 0);
    EXPECT_EQ(cfgRead(fd, 4092, 4, v), 0);
}

// ---------------------------------------------------------------------------
// Request log

TEST_F(simProtocol, RequestLogRecordsRequestsInOrder)
{
    vdlsim_log_clear();
    EXPECT_EQ(vdlsim_log_count(), 0u) << "no request at all";
    uint32_t v;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(cfgRead(fd, 4, 2, v), 0);
    ASSERT_EQ(barWrite32(fd, 4, 0x10, 0xABCD), 0);
    BarQuery q{2};
    ASSERT_EQ(request(fd, VDLSIM_REQ_BAR_SIZE, &q), 0);
    ASSERT_EQ(barRead32(fd, 4, 0x1000, v), EINVAL);

    ASSERT_EQ(vdlsim_log_count(), 6u);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ16), 3u);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, 0), 5u);
    EXPECT_EQ(vdlsim_log_count_requests(0, 0), 6u);
    const struct {
        uint32_t request, command;
        uint64_t address, value;
        int32_t result, err;
    } expected[] = {
        {VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ16, 4, 0x0006, 0, 0},
        {VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ16, 4, 0x0006, 0, 0},
        {VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ16, 4, 0x0006, 0, 0},
        {VDLSIM_REQ_COMMAND, VDLSIM_CMD_BAR_WRITE32 + 4, 0x10, 0xABCD, 0, 0},
        {VDLSIM_REQ_BAR_SIZE, 0, 2, 64u << 10, 0, 0},
        {VDLSIM_REQ_COMMAND, VDLSIM_CMD_BAR_READ32 + 4, 0x1000, 0, -1, EINVAL},
    };
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        vdlsim_log_entry e;
        ASSERT_EQ(vdlsim_log_get(i, &e), 0);
        EXPECT_EQ(e.event, uint32_t(VDLSIM_EV_IOCTL));
        EXPECT_EQ(e.card, 0u);
        EXPECT_EQ(e.fd, fd);
        EXPECT_EQ(e.request, expected[i].request);
        EXPECT_EQ(e.command, expected[i].command);
        EXPECT_EQ(e.address, expected[i].address);
        EXPECT_EQ(e.value, expected[i].value);
        EXPECT_EQ(e.result, expected[i].result);
        EXPECT_EQ(e.err, expected[i].err);
        EXPECT_EQ(e.violation, 0u);
    }
    vdlsim_log_entry past;
    EXPECT_EQ(vdlsim_log_get(6, &past), -ENOENT);

    // Open and close are events of their own.
    vdlsim_log_clear();
    int second = openCard(0);
    ASSERT_GE(second, 0);
    ::close(second);
    ASSERT_EQ(vdlsim_log_count(), 2u);
    vdlsim_log_entry e;
    vdlsim_log_get(0, &e);
    EXPECT_EQ(e.event, uint32_t(VDLSIM_EV_OPEN));
    EXPECT_EQ(e.value, uint64_t(O_RDWR | O_SYNC));
    EXPECT_EQ(e.fd, second);
    vdlsim_log_get(1, &e);
    EXPECT_EQ(e.event, uint32_t(VDLSIM_EV_CLOSE));
    EXPECT_EQ(vdlsim_log_count_requests(0, 0), 0u);

    // Off: nothing recorded.
    vdlsim_log_enable(0);
    ASSERT_EQ(cfgRead(fd, 0, 4, v), 0);
    EXPECT_EQ(vdlsim_log_count(), 2u);
    vdlsim_log_enable(1);
}

TEST_F(simProtocol, RequestLogKeepsTheNewestEntriesWhenFull)
{
    vdlsim_log_clear();
    uint32_t v;
    const size_t extra = 10;
    for (size_t i = 0; i < VDLSIM_LOG_CAPACITY + extra; ++i)
        ASSERT_EQ(cfgRead(fd, unsigned(i % 1024) * 4, 4, v), 0);
    EXPECT_EQ(vdlsim_log_count(), size_t(VDLSIM_LOG_CAPACITY));
    EXPECT_EQ(vdlsim_log_dropped(), extra);
    vdlsim_log_entry first;
    ASSERT_EQ(vdlsim_log_get(0, &first), 0);
    EXPECT_EQ(first.address, (extra % 1024) * 4);
}

// A forked child has its own copy of the model; the shared log carries what
// each process sent, with its process number, to one file.
TEST_F(simProtocol, SharedLogCarriesTheRequestsOfForkedChildren)
{
    EXPECT_EQ(vdlsim_log_share(-5), 0) << "negative: off";
    int closed = ::dup(0);
    ASSERT_GE(closed, 0);
    ::close(closed);
    EXPECT_EQ(vdlsim_log_share(closed), -EBADF);

    std::FILE* shared = std::tmpfile();
    ASSERT_NE(shared, nullptr);
    ASSERT_EQ(vdlsim_log_share(fileno(shared)), 0);
    uint32_t v;
    ASSERT_EQ(cfgRead(fd, 4, 2, v), 0);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        uint32_t w;
        cfgRead(fd, 8, 4, w);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(vdlsim_log_share(-1), 0);
    ASSERT_EQ(cfgRead(fd, 12, 4, v), 0);

    std::vector<std::pair<pid_t, uint64_t>> seen;
    vdlsim_shared_log_entry record{};
    std::rewind(shared);
    while (std::fread(&record, sizeof(record), 1, shared) == 1)
        seen.emplace_back(record.pid, record.entry.address);
    const std::vector<std::pair<pid_t, uint64_t>> expected = {{::getpid(), 4}, {child, 8}};
    EXPECT_EQ(seen, expected);
    std::fclose(shared);
}

// ---------------------------------------------------------------------------
// Fault injection

TEST_F(simProtocol, FaultRulesSkipThenFailThenPass)
{
    vdlsim_fault rule{0, VDLSIM_REQ_COMMAND, VDLSIM_CMD_BAR_READ32 + 0, 0x40, 1, 2, EIO};
    int id = vdlsim_fault_add(&rule);
    ASSERT_GE(id, 0);
    uint32_t v;
    std::vector<int> at40, at44;
    for (int i = 0; i < 5; ++i) {
        at40.push_back(barRead32(fd, 0, 0x40, v));
        at44.push_back(barRead32(fd, 0, 0x44, v));
    }
    EXPECT_EQ(at40, (std::vector<int>{0, EIO, EIO, 0, 0}));
    EXPECT_EQ(at44, (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(vdlsim_fault_hits(id), 2);
    // A failed write is not carried out.
    vdlsim_fault_clear();
    vdlsim_fault w{VDLSIM_FAULT_ANY_CARD, 0, VDLSIM_CMD_CFG_WRITE8, VDLSIM_FAULT_ANY_ADDRESS, 0,
                   VDLSIM_FAULT_FOREVER, ENXIO};
    ASSERT_GE(vdlsim_fault_add(&w), 0);
    EXPECT_EQ(cfgWrite(fd, 0x3C, 1, 0x77), ENXIO);
    EXPECT_EQ(cfgWrite(fd, 0x3C, 1, 0x77), ENXIO);
    ASSERT_EQ(cfgRead(fd, 0x3C, 1, v), 0);
    EXPECT_EQ(v, 0u);
    vdlsim_log_entry e;
    ASSERT_EQ(vdlsim_log_get(vdlsim_log_count() - 2, &e), 0);
    EXPECT_EQ(e.err, ENXIO);
    EXPECT_EQ(e.violation, 0u);
}

TEST_F(simProtocol, FaultRulesOnRequestsOpenMmapAndCards)
{
    ASSERT_EQ(vdlsim_card_setup(1), 0);
    vdlsim_fault ids{1, VDLSIM_REQ_IDS, 0, VDLSIM_FAULT_ANY_ADDRESS, 0, VDLSIM_FAULT_FOREVER,
                     EIO};
    ASSERT_GE(vdlsim_fault_add(&ids), 0);
    vdlsim_fault open1{VDLSIM_FAULT_ANY_CARD, VDLSIM_FAULT_OPEN, 0, VDLSIM_FAULT_ANY_ADDRESS, 0, 1,
                       EACCES};
    ASSERT_GE(vdlsim_fault_add(&open1), 0);
    EXPECT_EQ(openCard(1), -1);
    EXPECT_EQ(errno, EACCES);
    int f1 = openCard(1);
    ASSERT_GE(f1, 0);
    uint32_t word;
    EXPECT_EQ(request(f1, VDLSIM_REQ_IDS, &word), EIO);
    EXPECT_EQ(request(fd, VDLSIM_REQ_IDS, &word), 0) << "card 0 is not affected";
    ::close(f1);

    vdlsim_fault map{0, VDLSIM_FAULT_MMAP, 0, VDLSIM_FAULT_ANY_ADDRESS, 0, 1, ENOMEM};
    ASSERT_GE(vdlsim_fault_add(&map), 0);
    ContigRequest r;
    r.len = 4096;
    ASSERT_EQ(request(fd, VDLSIM_REQ_CONTIG_ALLOC, &r), 0);
    int32_t one = 1;
    ASSERT_EQ(request(fd, VDLSIM_REQ_MAP_MODE, &one), 0);
    ContigRequest sel = r;
    ASSERT_EQ(request(fd, VDLSIM_REQ_CONTIG_SELECT, &sel), 0);
    EXPECT_EQ(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
    EXPECT_EQ(errno, ENOMEM);
    void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    EXPECT_NE(p, MAP_FAILED) << "the selection survives a failed mapping";
    ::munmap(p, 4096);

    // Protocol checks come first: a malformed request is a violation, not a fault.
    vdlsim_fault any{VDLSIM_FAULT_ANY_CARD, 0, 0, VDLSIM_FAULT_ANY_ADDRESS, 0,
                     VDLSIM_FAULT_FOREVER, EPERM};
    ASSERT_GE(vdlsim_fault_add(&any), 0);
    EXPECT_EQ(request(fd, VDLSIM_REQ_IDS, nullptr), EINVAL);
    EXPECT_EQ(vdltest::simViolations(), std::vector<std::string>{"card 0 request 0x80047802: null record"});
    m_checkViolations = false;
    EXPECT_EQ(request(fd, VDLSIM_REQ_LOCATION, &word), EPERM);
    vdlsim_fault bad{0, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(vdlsim_fault_add(&bad), -EINVAL);
}

// ---------------------------------------------------------------------------
// DMA

// The allocation as a client does it: 6, 9 (1), 8, mmap, 9 (0).
void* allocate(int fd, uint32_t len, ContigRequest& r)
{
    r = ContigRequest{};
    r.len = len;
    if (request(fd, VDLSIM_REQ_CONTIG_ALLOC, &r) != 0)
        return nullptr;
    int32_t mode = 1;
    EXPECT_EQ(request(fd, VDLSIM_REQ_MAP_MODE, &mode), 0);
    ContigRequest sel;
    sel.physHi = r.physHi;
    sel.physLo = r.physLo;
    sel.len = r.len;
    EXPECT_EQ(request(fd, VDLSIM_REQ_CONTIG_SELECT, &sel), 0);
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    mode = 0;
    EXPECT_EQ(request(fd, VDLSIM_REQ_MAP_MODE, &mode), 0);
    return p == MAP_FAILED ? nullptr : p;
}

uint64_t busOf(const ContigRequest& r) { return (uint64_t(r.physHi) << 32) | r.physLo; }

TEST_F(simProtocol, ContiguousBufferIsSharedBetweenProcessAndDevice)
{
    ContigRequest a, b;
    auto* pa = static_cast<uint8_t*>(allocate(fd, 8192, a));
    auto* pb = static_cast<uint8_t*>(allocate(fd, 100, b));
    ASSERT_NE(pa, nullptr);
    ASSERT_NE(pb, nullptr);
    // High word first: the first buffer sits at 0x1_8000_0000.
    EXPECT_EQ(a.physHi, 0x1u);
    EXPECT_EQ(a.physLo, 0x80000000u);
    EXPECT_EQ(a.vaddr, nullptr) << "the driver does not fill vaddr";
    EXPECT_GT(busOf(b), busOf(a) + 8192) << "buffers do not touch in bus space";
    EXPECT_EQ(busOf(b) % kPage, 0u);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 2);

    std::memset(pa, 0x5A, 8192);
    uint8_t got[16];
    ASSERT_EQ(vdlsim_dma_read(0, busOf(a) + 8176, got, 16), 0);
    EXPECT_EQ(got[15], 0x5A);
    const char msg[] = "from the device";
    ASSERT_EQ(vdlsim_dma_write(0, busOf(a) + 4096, msg, sizeof msg), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(pa + 4096), msg);
    EXPECT_EQ(vdlsim_dma_host_address(0, busOf(b), 100) != nullptr, true);
    EXPECT_EQ(vdlsim_dma_host_address(0, busOf(b), 101), nullptr) << "beyond the buffer";
    EXPECT_EQ(vdlsim_dma_read(0, busOf(a) + 8190, got, 4), -EFAULT);
    EXPECT_EQ(vdlsim_dma_read(1, busOf(a), got, 4), -ENOENT) << "no card 1";

    ContigRequest sync;
    sync.physHi = a.physHi;
    sync.physLo = a.physLo;
    sync.len = a.len;
    EXPECT_EQ(request(fd, VDLSIM_REQ_CONTIG_SYNC_DEV, &sync), 0);
    EXPECT_EQ(request(fd, VDLSIM_REQ_CONTIG_SYNC_CPU, &sync), 0);

    vdlsim_log_clear();
    ASSERT_EQ(::munmap(pa, 8192), 0);
    ASSERT_EQ(request(fd, VDLSIM_REQ_CONTIG_FREE, &sync), 0);
    EXPECT_EQ(vdlsim_dma_read(0, busOf(a), got, 1), -EFAULT);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 1);
    ASSERT_EQ(vdlsim_log_count(), 2u);
    vdlsim_log_entry e;
    vdlsim_log_get(0, &e);
    EXPECT_EQ(e.event, uint32_t(VDLSIM_EV_MUNMAP));
    EXPECT_EQ(e.value, 8192u);
    vdlsim_log_get(1, &e);
    EXPECT_EQ(e.request, VDLSIM_REQ_CONTIG_FREE);
    EXPECT_EQ(e.address, busOf(a));
    // A second free of the same buffer is refused.
    EXPECT_EQ(request(fd, VDLSIM_REQ_CONTIG_FREE, &sync), EINVAL);
    vdlsim_violation_clear();

    // Closing the descriptor gives its buffers back; the mapping stays usable memory.
    ::close(fd);
    fd = -1;
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);
    pb[0] = 1;
    ::munmap(pb, 100);
}

TEST_F(simProtocol, MappingNeedsModeOneASelectedBufferOffsetZeroSharedAndFittingLength)
{
    m_checkViolations = false; // the refused mappings are violations
    ContigRequest r;
    r.len = 8192;
    ASSERT_EQ(request(fd, VDLSIM_REQ_CONTIG_ALLOC, &r), 0);
    ContigRequest sel;
    sel.physHi = r.physHi;
    sel.physLo = r.physLo;
    sel.len = r.len;
    int32_t one = 1, zero = 0;
    const struct {
        const char* what;
        int32_t* mode;
        bool select;
        size_t len;
        int flags;
        off_t offset;
        bool ok;
    } cases[] = {
        {"mode 0", &zero, true, 8192, MAP_SHARED, 0, false},
        {"not selected", &one, false, 8192, MAP_SHARED, 0, false},
        {"private", &one, true, 8192, MAP_PRIVATE, 0, false},
        {"offset", &one, true, 4096, MAP_SHARED, 4096, false},
        {"too long", &one, true, 8193 + 4095, MAP_SHARED, 0, false},
        {"shorter", &one, true, 4096, MAP_SHARED, 0, true},
        {"whole", &one, true, 8192, MAP_SHARED, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(request(fd, VDLSIM_REQ_MAP_MODE, &zero), 0); // also clears the selection
        ASSERT_EQ(request(fd, VDLSIM_REQ_MAP_MODE, c.mode), 0);
        if (c.select) {
            ASSERT_EQ(request(fd, VDLSIM_REQ_CONTIG_SELECT, &sel), 0);
        }
        size_t before = vdlsim_violation_count();
        void* p = ::mmap(nullptr, c.len, PROT_READ | PROT_WRITE, c.flags, fd, c.offset);
        EXPECT_EQ(p != MAP_FAILED, c.ok);
        EXPECT_EQ(vdlsim_violation_count(), before + (c.ok ? 0 : 1));
        if (p != MAP_FAILED) {
            // One mapping per selection.
            void* again = ::mmap(nullptr, c.len, PROT_READ | PROT_WRITE, c.flags, fd, 0);
            EXPECT_EQ(again, MAP_FAILED);
            ::munmap(p, c.len);
        }
    }
}

TEST_F(simProtocol, PinnedPagesGetOneBusAddressEach)
{
    const size_t span = 4 * kPage;
    auto* region = static_cast<uint8_t*>(
        ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(region, MAP_FAILED);
    std::memset(region, 0, span);
    // 3 pages' worth from the middle of the first page: four pages spanned.
    PageEntry entries[5];
    LockRecord rec;
    rec.addr = region + 100;
    rec.size = uint32_t(3 * kPage);
    rec.npages = 5;
    rec.pages = entries;
    ASSERT_EQ(request(fd, VDLSIM_REQ_LOCK, &rec), 0);
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 1);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_NE(entries[i].phys, 0u);
        EXPECT_EQ(entries[i].phys % kPage, 0u);
        if (i) {
            EXPECT_NE(entries[i].phys, entries[i - 1].phys + kPage) << "pages are not contiguous";
        }
        EXPECT_EQ(entries[i].unused, 0u);
    }
    EXPECT_EQ(entries[4].phys, 0u) << "no entry beyond the spanned pages";
    // The device writes page 2 by its bus address; the process sees it at that page.
    const uint32_t mark = 0xFEEDBEEF;
    ASSERT_EQ(vdlsim_dma_write(0, entries[2].phys + 8, &mark, sizeof mark), 0);
    uint32_t seen;
    std::memcpy(&seen, region + 2 * kPage + 8, 4);
    EXPECT_EQ(seen, mark);
    EXPECT_EQ(vdlsim_dma_write(0, entries[2].phys + kPage - 2, &mark, 4), -EFAULT)
        << "a write may not run off its page";
    // A page the process gave up while pinned is not written by the device.
    ASSERT_EQ(::munmap(region + 3 * kPage, kPage), 0);
    EXPECT_EQ(vdlsim_dma_write(0, entries[3].phys, &mark, 4), -EFAULT);
    EXPECT_EQ(request(fd, VDLSIM_REQ_LOCK_SYNC_DEV, &rec), 0);
    EXPECT_EQ(request(fd, VDLSIM_REQ_LOCK_SYNC_CPU, &rec), 0);
    ASSERT_EQ(request(fd, VDLSIM_REQ_UNLOCK, &rec), 0);
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 0);
    EXPECT_EQ(vdlsim_dma_write(0, entries[2].phys, &mark, 4), -EFAULT);

    // A size of 0 pins nothing but is accepted with one entry.
    LockRecord empty;
    PageEntry one[1];
    empty.addr = region;
    empty.npages = 1;
    empty.pages = one;
    EXPECT_EQ(request(fd, VDLSIM_REQ_LOCK, &empty), 0);
    EXPECT_EQ(one[0].phys, 0u);
    EXPECT_EQ(request(fd, VDLSIM_REQ_UNLOCK, &empty), 0);

    // Memory that is not mapped cannot be pinned.
    ASSERT_EQ(::munmap(region, 3 * kPage), 0);
    LockRecord gone;
    PageEntry e2[2];
    gone.addr = region;
    gone.size = uint32_t(kPage);
    gone.npages = 2;
    gone.pages = e2;
    EXPECT_EQ(request(fd, VDLSIM_REQ_LOCK, &gone), EFAULT);
}

// ---------------------------------------------------------------------------
// Device behaviour

// A doorbell device: BAR0 0x00/0x04 hold a bus address (low, high), writing a length to
// 0x08 fills that many bytes of host memory with 0xD0 + i and raises vector 3 with the
// length; BAR0 0x20 counts the reads of itself.
struct Doorbell {
    int reads = 0;
    static int callback(void* ctx, unsigned card, unsigned bar, int isWrite, uint64_t offset,
                        void* value, unsigned width)
    {
        auto* self = static_cast<Doorbell*>(ctx);
        if (bar != 0)
            return VDLSIM_BAR_DEFAULT;
        if (!isWrite && offset == 0x20) {
            uint32_t n = uint32_t(++self->reads);
            std::memcpy(value, &n, 4);
            return VDLSIM_BAR_HANDLED;
        }
        if (isWrite && offset == 0x30)
            return -EROFS;
        if (!isWrite || offset != 0x08)
            return VDLSIM_BAR_DEFAULT;
        uint32_t len;
        std::memcpy(&len, value, 4);
        auto* regs = static_cast<uint32_t*>(vdlsim_card_bar_memory(card, 0));
        uint64_t bus = regs[0] | (uint64_t(regs[1]) << 32);
        std::vector<uint8_t> data(len);
        for (uint32_t i = 0; i < len; ++i)
            data[i] = uint8_t(0xD0 + i);
        if (vdlsim_dma_write(card, bus, data.data(), len) != 0)
            return -EFAULT;
        vdlsim_irq_raise(card, 3, len);
        return VDLSIM_BAR_DEFAULT; // the register also keeps the value
    }
};

TEST_F(simProtocol, BarCallbackBuildsADeviceThatWritesHostMemoryAndInterrupts)
{
    Doorbell device;
    ASSERT_EQ(vdlsim_set_bar_callback(0, &Doorbell::callback, &device), 0);
    ContigRequest r;
    auto* host = static_cast<uint8_t*>(allocate(fd, 4096, r));
    ASSERT_NE(host, nullptr);
    ASSERT_EQ(barWrite32(fd, 0, 0x00, r.physLo), 0);
    ASSERT_EQ(barWrite32(fd, 0, 0x04, r.physHi), 0);
    ASSERT_EQ(barWrite32(fd, 0, 0x08, 16), 0);
    EXPECT_EQ(host[0], 0xD0);
    EXPECT_EQ(host[15], 0xDF);
    EXPECT_EQ(host[16], 0x00);
    IntWait w{3, 1000};
    ASSERT_EQ(request(fd, VDLSIM_REQ_INT_WAIT, &w), 0);
    EXPECT_EQ(w.status, 3u);
    EXPECT_EQ(w.value, 16u);
    uint32_t v = 0;
    ASSERT_EQ(barRead32(fd, 0, 0x08, v), 0);
    EXPECT_EQ(v, 16u) << "the default path stored the doorbell value";
    ASSERT_EQ(barRead32(fd, 0, 0x20, v), 0);
    ASSERT_EQ(barRead32(fd, 0, 0x20, v), 0);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(barWrite32(fd, 0, 0x30, 1), EROFS);
    vdlsim_log_entry e;
    ASSERT_EQ(vdlsim_log_get(vdlsim_log_count() - 1, &e), 0);
    EXPECT_EQ(e.err, EROFS);
    // The callback is not called for an access outside the window.
    ASSERT_EQ(barRead32(fd, 0, 1u << 20, v), EINVAL);
    EXPECT_EQ(device.reads, 2);
    ASSERT_EQ(vdlsim_set_bar_callback(0, nullptr, nullptr), 0);
    ASSERT_EQ(barRead32(fd, 0, 0x20, v), 0);
    EXPECT_EQ(v, 0u);
    ::munmap(host, 4096);
}

// The built-in DMA engine a scenario puts behind a BAR: registers, a transfer into a
// contiguous buffer with its interrupt, a refused destination, read-only registers.
TEST_F(simProtocol, ScenarioDmaEngineWritesTheBufferAndRaisesItsVector)
{
    int bad = -1;
    ASSERT_EQ(vdlsim_apply_scenario("card 0 device dma-engine 2\n", &bad), 0) << bad;
    uint32_t v = 0;
    ASSERT_EQ(barRead32(fd, 2, 0x00, v), 0);
    EXPECT_EQ(v, 0x444D4131u);
    ASSERT_EQ(barWrite32(fd, 2, 0x00, 0), 0);
    ASSERT_EQ(barRead32(fd, 2, 0x00, v), 0);
    EXPECT_EQ(v, 0x444D4131u) << "ID is read-only";

    ContigRequest r;
    auto* host = static_cast<uint32_t*>(allocate(fd, 8192, r));
    ASSERT_NE(host, nullptr);
    const uint32_t regs[][2] = {{0x08, r.physLo + 16}, {0x0C, r.physHi}, {0x10, 4094},
                                {0x14, 0xA0000000u}, {0x18, 5}};
    for (const auto& w : regs)
        ASSERT_EQ(barWrite32(fd, 2, w[0], w[1]), 0);
    ASSERT_EQ(barWrite32(fd, 2, 0x1C, 1), 0);
    EXPECT_EQ(host[3], 0u) << "nothing before the destination";
    EXPECT_EQ(host[4], 0xA0000000u);
    EXPECT_EQ(host[4 + 1022], 0xA0000000u + 1022);
    EXPECT_EQ(host[4 + 1023], 0x03FFu) << "the low half of word 1023 only";
    EXPECT_EQ(host[4 + 1024], 0u);
    IntWait w{5, 1000};
    ASSERT_EQ(request(fd, VDLSIM_REQ_INT_WAIT, &w), 0);
    EXPECT_EQ(w.status, 3u);
    EXPECT_EQ(w.value, 4094u);
    ASSERT_EQ(barRead32(fd, 2, 0x04, v), 0);
    EXPECT_EQ(v, 1u);

    // A destination outside the card's buffers fails the transfer, with an interrupt
    // all the same; STATUS and COUNT ignore writes.
    ASSERT_EQ(barWrite32(fd, 2, 0x08, 0x1000), 0);
    ASSERT_EQ(barWrite32(fd, 2, 0x0C, 0), 0);
    ASSERT_EQ(barWrite32(fd, 2, 0x04, 0), 0);
    ASSERT_EQ(barWrite32(fd, 2, 0x20, 0), 0);
    ASSERT_EQ(barWrite32(fd, 2, 0x1C, 1), 0);
    w = IntWait{5, 1000};
    ASSERT_EQ(request(fd, VDLSIM_REQ_INT_WAIT, &w), 0);
    EXPECT_EQ(w.status, 3u);
    EXPECT_EQ(w.value, 0u);
    ASSERT_EQ(barRead32(fd, 2, 0x04, v), 0);
    EXPECT_EQ(v, 2u);
    ASSERT_EQ(barRead32(fd, 2, 0x20, v), 0);
    EXPECT_EQ(v, 2u);
    // Past the registers the BAR is memory.
    ASSERT_EQ(barWrite32(fd, 2, 0x100, 0x600DF00D), 0);
    ASSERT_EQ(barRead32(fd, 2, 0x100, v), 0);
    EXPECT_EQ(v, 0x600DF00Du);

    ASSERT_EQ(vdlsim_apply_scenario("card 0 device none\n", &bad), 0);
    ASSERT_EQ(barWrite32(fd, 2, 0x00, 7), 0);
    ASSERT_EQ(barRead32(fd, 2, 0x00, v), 0);
    EXPECT_EQ(v, 7u) << "without the device BAR 2 is plain memory";
    ::munmap(host, 8192);
    EXPECT_EQ(vdltest::simViolations(), std::vector<std::string>{});

    for (const char* line : {"card 0 device dma-engine 1\n",   // BAR 1 has no memory
                             "card 0 device dma-engine 6\n",   // no BAR 6
                             "card 0 device blender\n",        // no such device
                             "card 0 device\n"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(vdlsim_apply_scenario(line, &bad), -EINVAL);
        EXPECT_EQ(bad, 1);
    }
}

// ---------------------------------------------------------------------------
// Scenarios and reset

// Every scenario shipped for vdlsim-run applies cleanly and leaves card 0 usable.
TEST_F(simProtocol, ShippedScenariosApply)
{
    for (const char* name : {"default", "two-cards", "dma-engine"}) {
        SCOPED_TRACE(name);
        const std::string path = std::string(VDLSIM_SCENARIO_DIR) + "/" + name + ".scenario";
        FILE* f = std::fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr) << path;
        std::string text;
        char chunk[512];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
            text.append(chunk, n);
        std::fclose(f);
        int bad = -1;
        EXPECT_EQ(vdlsim_apply_scenario(text.c_str(), &bad), 0) << "line " << bad;
        ::close(fd);
        fd = openCard(0);
        EXPECT_GE(fd, 0);
    }
}

TEST_F(simProtocol, ScenarioTextBuildsCards)
{
    const std::string dump = std::string(VDLSIM_PCI_DUMPS) + "/cap-pcie-2";
    const std::string text = "# two cards, one absent\n"
                             "cards 3\n"
                             "count 5\n"
                             "card 1 absent\n"
                             "card 2 noaccess\n"
                             "card 2 open-errno EIO\n"
                             "card 0 bar 1 0x2000 0xE0000000\n"
                             "card 0 ids 0x10 0x20 0x30 0x40\n"
                             "card 0 location 3 4 5\n"
                             "card 0 slot my-slot\n"
                             "card 0 training-reads forever\n"
                             "card 2 load card " + dump + " 01:00.0\n"
                             "card 2 nobridge\n";
    int bad = -1;
    ASSERT_EQ(vdlsim_apply_scenario(text.c_str(), &bad), 0) << bad;
    ::close(fd);
    fd = openCard(0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(openCard(1), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::access(nodePath(2).c_str(), R_OK | W_OK), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(openCard(2), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(cardCount(fd), 5);
    BarQuery q{1};
    ASSERT_EQ(request(fd, VDLSIM_REQ_BAR_ADDRESS, &q), 0);
    EXPECT_EQ(q.value, 0xE0000000u);
    uint32_t word;
    ASSERT_EQ(request(fd, VDLSIM_REQ_IDS, &word), 0);
    EXPECT_EQ(word, 0x00200010u);
    ASSERT_EQ(request(fd, VDLSIM_REQ_LOCATION, &word), 0);
    EXPECT_EQ(word, 0x00030405u);
    uint32_t id = 0;
    ASSERT_EQ(vdlsim_config_peek(2, VDLSIM_SPACE_CARD, 0, 4, &id), 0);
    EXPECT_EQ(id, 0x10c98086u);

    const char* broken[] = {"cards 99\n", "card 0 bar 7 0x1000 0\n", "card 0 frobnicate\n",
                            "card 9 absent\n", "count many\n", "card 0 load card /nonexistent\n"};
    for (const char* b : broken) {
        SCOPED_TRACE(b);
        std::string t = std::string("count 1\n") + b;
        bad = 0;
        EXPECT_EQ(vdlsim_apply_scenario(t.c_str(), &bad), -EINVAL);
        EXPECT_EQ(bad, 2);
    }
}

TEST_F(simProtocol, ResetRestoresTheStartupScenarioAndRetiresOldDescriptors)
{
    ASSERT_EQ(vdlsim_card_set_ids(0, 1, 2, 3, 4), 0);
    vdlsim_fault f{0, VDLSIM_REQ_LOCATION, 0, VDLSIM_FAULT_ANY_ADDRESS, 0, VDLSIM_FAULT_FOREVER,
                   EIO};
    ASSERT_GE(vdlsim_fault_add(&f), 0);
    uint32_t word;
    EXPECT_EQ(request(fd, VDLSIM_REQ_IDS, nullptr), EINVAL);
    vdlsim_reset();
    EXPECT_EQ(vdlsim_violation_count(), 0u);
    EXPECT_EQ(vdlsim_log_count(), 0u);
    EXPECT_EQ(request(fd, VDLSIM_REQ_IDS, &word), ENODEV);
    int fresh = openCard(0);
    ASSERT_GE(fresh, 0);
    ASSERT_EQ(request(fresh, VDLSIM_REQ_IDS, &word), 0);
    EXPECT_EQ(word, 0x01001F3Au);
    EXPECT_EQ(request(fresh, VDLSIM_REQ_LOCATION, &word), 0) << "fault rules are gone";
    ::close(fresh);
    vdlsim_clear_cards();
    EXPECT_EQ(openCard(0), -1);
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
