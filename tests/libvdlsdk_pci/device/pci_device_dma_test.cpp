// DMA memory through the exported functions: allocation flags, identifiers and
// slot reuse, bus addresses, cache synchronisation and release.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <unistd.h>

#include "device_support.hpp"
#include "vdlsdk/VdlpciLib.hpp"
#include "vdlsdk/VdlpciLinuxDevice.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdltest_process.hpp"

using pciDevice = devtest::DeviceTest;

namespace {

constexpr uint64_t kBufferSize = 8192;
constexpr uint64_t kBar2Bus = 0xF0100000u;
constexpr uint64_t kBar2Size = 64u << 10;

int allocated() { return vdlsim_dma_buffer_count(0) + vdlsim_dma_pinned_count(0); }

} // namespace

TEST_F(pciDevice, DmaAllocationFlags)
{
    void* handle = open();
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    for (uint32_t flags : {0u, 0x3u, 0x21u, 0x41u, 0x22u, 0x4u}) {
        uint32_t ms = 0xDEAD;
        EXPECT_EQ(vdlpci_alloc_mem(handle, kBufferSize, nullptr, &ms, flags), -7) << flags;
        EXPECT_EQ(ms, 0xDEADu) << flags;
    }
    EXPECT_EQ(allocated(), 0);
    EXPECT_EQ(logs.lines(), std::vector<std::string>{});

    // Bits other than the kinds and the two refused ones are ignored.
    void* address = nullptr;
    uint32_t ms = 0;
    EXPECT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &ms, 0x5), 0);
    EXPECT_EQ(ms, 0x20000u);
    EXPECT_NE(address, nullptr);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 1);

    // Pinned memory with no address variable: only the identifier is written.
    EXPECT_EQ(vdlpci_alloc_mem(handle, kBufferSize, nullptr, &ms, VDLPCI_ALLOC_LOCKED_VMEM), 0);
    EXPECT_EQ(ms, 0x30001u);
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 1);

    EXPECT_EQ(vdlpci_alloc_mem(handle, kBufferSize, nullptr, nullptr, VDLPCI_ALLOC_KERNEL_BUFFER), -5);
    EXPECT_EQ(vdlpci_alloc_mem(nullptr, kBufferSize, nullptr, &ms, VDLPCI_ALLOC_KERNEL_BUFFER), -5);
    EXPECT_EQ(allocated(), 2);
}

TEST_F(pciDevice, DmaSlotsAreReusedAndFreedByKind)
{
    void* handle = open();
    uint32_t ms[3] = {};
    void* address = nullptr;
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &ms[0], VDLPCI_ALLOC_KERNEL_BUFFER), 0);
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &ms[1], VDLPCI_ALLOC_LOCKED_VMEM), 0);
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &ms[2], VDLPCI_ALLOC_KERNEL_BUFFER), 0);
    EXPECT_EQ(ms[0], 0x20000u);
    EXPECT_EQ(ms[1], 0x30001u);
    EXPECT_EQ(ms[2], 0x20002u);

    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    struct {
        uint32_t ms;
        int code;
    } const refused[] = {
        {0x20001, -13}, // pinned memory named as a kernel buffer
        {0x30000, -13}, // and the other way round
        {0x30007, -13}, // beyond the table
        {0x10000, -7},  // the configuration space is not freed
        {0x00000, -7},  // nor a BAR
        {0x40000, -7},
    };
    for (const auto& c : refused)
        EXPECT_EQ(vdlpci_free_mem(handle, c.ms), c.code) << std::hex << c.ms;
    EXPECT_EQ(logs.lines(), std::vector<std::string>{});
    EXPECT_EQ(allocated(), 3);

    EXPECT_EQ(vdlpci_free_mem(handle, ms[1]), 0);
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 0);
    EXPECT_EQ(vdlpci_free_mem(handle, ms[1]), -13) << "already freed";

    // The freed slot goes to the next buffer, whatever its kind.
    uint32_t reused = 0;
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &reused, VDLPCI_ALLOC_KERNEL_BUFFER), 0);
    EXPECT_EQ(reused, 0x20001u);
    uint32_t appended = 0;
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &appended, VDLPCI_ALLOC_LOCKED_VMEM), 0);
    EXPECT_EQ(appended, 0x30003u);
}

TEST_F(pciDevice, DmaKernelBufferEndToEnd)
{
    void* handle = open();
    void* address = nullptr;
    uint32_t ms = 0;
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &ms, VDLPCI_ALLOC_KERNEL_BUFFER), 0);

    uint64_t bus = 0;
    ASSERT_EQ(vdlpci_ms_phys_addr(handle, ms, 0x10, &bus), 0);
    // What the device writes by bus address, the caller finds in its mapping
    // and reads through the space.
    const uint32_t fromDevice = 0xFEEDC0DE;
    ASSERT_EQ(vdlsim_dma_write(0, bus, &fromDevice, sizeof(fromDevice)), 0);
    EXPECT_EQ(vdlpci_flush_cache(handle, ms, VDLPCI_FLUSH_FOR_CPU), 0);
    uint32_t word = 0;
    std::memcpy(&word, static_cast<char*>(address) + 0x10, sizeof(word));
    EXPECT_EQ(word, fromDevice);
    word = 0;
    EXPECT_EQ(vdlpci_ms_read32s(handle, ms, 0x10, &word, 1), 1);
    EXPECT_EQ(word, fromDevice);

    word = 0x12345678;
    EXPECT_EQ(vdlpci_ms_write32s(handle, ms, 0x20, &word, 1), 1);
    EXPECT_EQ(vdlpci_flush_cache(handle, ms, VDLPCI_FLUSH_FOR_DEVICE), 0);
    // bus names offset 0x10, so the word written at 0x20 lies 0x10 above it.
    uint32_t seen = 0;
    ASSERT_EQ(vdlsim_dma_read(0, bus + 0x10, &seen, sizeof(seen)), 0);
    EXPECT_EQ(seen, 0x12345678u);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_CONTIG_SYNC_CPU, 0), 1u);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_CONTIG_SYNC_DEV, 0), 1u);

    uint64_t size = 0;
    EXPECT_EQ(vdlpci_ms_size(handle, ms, &size), 0);
    EXPECT_EQ(size, kBufferSize);

    EXPECT_EQ(vdlpci_free_mem(handle, ms), 0);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);
}

TEST_F(pciDevice, DmaPinnedMemoryEndToEnd)
{
    void* handle = open();
    void* address = nullptr;
    uint32_t ms = 0;
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &ms, VDLPCI_ALLOC_LOCKED_VMEM), 0);
    // Each page has its own bus address.
    for (uint64_t offset : {uint64_t{0}, uint64_t{4096 + 0x234}}) {
        uint64_t bus = 0;
        ASSERT_EQ(vdlpci_ms_phys_addr(handle, ms, offset, &bus), 0);
        EXPECT_EQ(vdlsim_dma_host_address(0, bus, 4), static_cast<char*>(address) + offset);
    }
    EXPECT_EQ(vdlpci_flush_cache(handle, ms, VDLPCI_FLUSH_FOR_DEVICE), 0);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_LOCK_SYNC_DEV, 0), 1u);

    uint32_t word = 0xCAFE;
    EXPECT_EQ(vdlpci_ms_write32s(handle, ms, 8, &word, 1), 1);
    uint32_t stored = 0;
    std::memcpy(&stored, static_cast<char*>(address) + 8, sizeof(stored));
    EXPECT_EQ(stored, 0xCAFEu);
}

TEST_F(pciDevice, DmaBusAddressesAndFlushRefusals)
{
    void* handle = open();
    void* address = nullptr;
    uint32_t pinned = 0;
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &pinned, VDLPCI_ALLOC_LOCKED_VMEM), 0);

    uint64_t bus = 0;
    EXPECT_EQ(vdlpci_ms_phys_addr(handle, 2, 0x100, &bus), 0);
    EXPECT_EQ(bus, kBar2Bus + 0x100);

    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    struct {
        uint32_t ms;
        uint64_t offset;
        int code;
        bool logged;
    } const cases[] = {
        {2, kBar2Size, -8, true},   // the end of the window
        {0x30000, kBufferSize, -8, true},        // the end of the pinned region
        {0x30000, kBufferSize + 0x10, -8, true}, // the page table's entry past it
        {6, 0, -13, false},         // no such BAR
        {0x10000, 0, -2, false},    // the configuration space has no bus address
        {0x40000, 0, -2, false},
        {0x20000, 0, -13, false},   // the slot holds pinned memory
        {0x30001, 0, -13, false},   // an empty slot
    };
    for (const auto& c : cases) {
        logs.clear();
        bus = 0xDEAD;
        EXPECT_EQ(vdlpci_ms_phys_addr(handle, c.ms, c.offset, &bus), c.code) << std::hex << c.ms;
        EXPECT_EQ(bus, 0xDEADu) << "written only on success";
        EXPECT_EQ(logs.at("general", "error").size(), c.logged ? 1u : 0u) << std::hex << c.ms;
    }
    EXPECT_EQ(vdlpci_ms_phys_addr(handle, 2, 0, nullptr), -5);

    struct {
        uint32_t ms;
        int direction;
        int code;
        bool logged;
    } const flushes[] = {
        {pinned, 2, -7, false},
        {pinned, -1, -7, false},
        {0x20000, 1, -13, false},  // pinned memory named as a kernel buffer
        {0x20005, 1, -13, true},   // the kernel-buffer path resolves through the card
        {0x30005, 1, -13, false},
        {0x10000, 1, -2, false},
        {2, 0, -2, false},
    };
    for (const auto& c : flushes) {
        logs.clear();
        EXPECT_EQ(vdlpci_flush_cache(handle, c.ms, c.direction), c.code) << std::hex << c.ms;
        EXPECT_EQ(logs.at("general", "error").size(), c.logged ? 1u : 0u) << std::hex << c.ms;
    }
}

TEST_F(pciDevice, DmaFreeOfABufferNotInTheTableChangesNothing)
{
    void* handle = open();
    uint32_t ms = 0;
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, nullptr, &ms, VDLPCI_ALLOC_KERNEL_BUFFER), 0);
    auto* card = static_cast<VdlpciLinuxDevice*>(handle);
    // Never dereferenced: a pointer that is not in the table is refused first.
    auto* stranger = reinterpret_cast<VdlpciMemorySpace*>(std::uintptr_t{0x1234});
    EXPECT_RAISES(card->freeMem(stranger), -13, "could not find memory space 0x00000000001234");
    EXPECT_EQ(card->memCount(), 1);
    EXPECT_NE(card->mem(0), nullptr);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 1);
    EXPECT_EQ(vdlpci_free_mem(handle, ms), 0);
}

// A free the driver refuses is reported, and the buffer stays registered under
// its identifier and is freed by a later call. Pinned
// memory the driver did not unpin is not handed back to the heap.
TEST_F(pciDevice, DmaFreeTheDriverRefusesIsReportedAndCanBeRetried)
{
    struct Case {
        const char* name;
        uint32_t flags;
        uint32_t refused;
        const char* message;
        bool stillMapped;
    } const cases[] = {
        {"kernel buffer", VDLPCI_ALLOC_KERNEL_BUFFER, VDLSIM_REQ_CONTIG_FREE,
         "could not free the kernel buffer at bus address 0x00000180000000", false},
        {"pinned memory", VDLPCI_ALLOC_LOCKED_VMEM, VDLSIM_REQ_UNLOCK,
         "could not unpin PCI virtual memory", true},
    };
    void* handle = open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        void* address = nullptr;
        uint32_t ms = 0;
        ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &address, &ms, c.flags), 0);
        const uint32_t word = 0xA11CE;
        ASSERT_EQ(vdlpci_ms_write32s(handle, ms, 0x40, const_cast<uint32_t*>(&word), 1), 1);
        uint64_t bus = 0;
        ASSERT_EQ(vdlpci_ms_phys_addr(handle, ms, 0x40, &bus), 0);

        vdltest::addFault(c.refused, 0, EBUSY);
        vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
        EXPECT_EQ(vdlpci_free_mem(handle, ms), -34);
        EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{c.message});
        EXPECT_EQ(allocated(), 1) << "the driver still holds it";
        // Still registered; the device still sees the memory. Pinned memory
        // stays the caller's to use; a kernel buffer lost its mapping, which
        // goes before the driver is asked.
        uint32_t seen = 0;
        EXPECT_EQ(vdlpci_ms_read32s(handle, ms, 0x40, &seen, 1), c.stillMapped ? 1 : -8);
        EXPECT_EQ(seen, c.stillMapped ? word : 0u);
        seen = 0;
        ASSERT_EQ(vdlsim_dma_read(0, bus, &seen, sizeof(seen)), 0);
        EXPECT_EQ(seen, word);
        uint32_t other = 0;
        ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, nullptr, &other, c.flags), 0);
        EXPECT_NE(other & 0xFFFFu, ms & 0xFFFFu) << "the slot is not given away";
        EXPECT_EQ(vdlpci_free_mem(handle, other), 0);

        EXPECT_EQ(vdlpci_free_mem(handle, ms), 0);
        EXPECT_EQ(allocated(), 0);
        EXPECT_EQ(vdlpci_free_mem(handle, ms), -13);
        vdlsim_fault_clear();
    }
}

namespace {

// What the child of DmaOfTheParentIsLeftToItByAForkedChild found wrong, one
// bit each.
enum ChildFault {
    kChildFreedParentsBuffer = 1,
    kChildFreedParentsPinned = 2,
    kChildFlushedParentsMemory = 4,
    kChildGotParentsBusAddress = 8,
    kChildCouldNotReadSharedBuffer = 16,
    kChildCouldNotAllocate = 32,
};

// The requests of one process in a log shared with its children.
std::vector<vdlsim_log_entry> requestsOf(std::FILE* shared, pid_t pid, uint32_t event)
{
    std::vector<vdlsim_log_entry> out;
    std::rewind(shared);
    vdlsim_shared_log_entry record{};
    while (std::fread(&record, sizeof(record), 1, shared) == 1)
        if (record.pid == pid && record.entry.event == event)
            out.push_back(record.entry);
    return out;
}

} // namespace

// A forked child shares the parent's open device node. Its calls on the
// parent's DMA memory are refused, and its exit (which destroys its copy of
// the library object) sends the driver nothing for that memory: no free, no
// unpin, no unmapping. Memory the child allocated itself is its own to free.
TEST_F(pciDevice, DmaOfTheParentIsLeftToItByAForkedChild)
{
    void* handle = open();
    void* kernelAddress = nullptr;
    void* pinnedAddress = nullptr;
    uint32_t kernel = 0;
    uint32_t pinned = 0;
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &kernelAddress, &kernel,
                               VDLPCI_ALLOC_KERNEL_BUFFER), 0);
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, &pinnedAddress, &pinned,
                               VDLPCI_ALLOC_LOCKED_VMEM), 0);
    uint32_t pattern[2] = {0x600DF00D, 0xC0FFEE00};
    ASSERT_EQ(vdlpci_ms_write32s(handle, kernel, 0, pattern, 2), 2);
    ASSERT_EQ(vdlpci_ms_write32s(handle, pinned, 0, pattern, 2), 2);
    uint64_t kernelBus = 0;
    ASSERT_EQ(vdlpci_ms_phys_addr(handle, kernel, 0, &kernelBus), 0);

    std::FILE* shared = std::tmpfile();
    ASSERT_NE(shared, nullptr);
    ASSERT_EQ(vdlsim_log_share(fileno(shared)), 0);
    const pid_t child = vdltest::startChild(
        [&] {
            int faults = 0;
            if (vdlpci_free_mem(handle, kernel) != -7)
                faults |= kChildFreedParentsBuffer;
            if (vdlpci_free_mem(handle, pinned) != -7)
                faults |= kChildFreedParentsPinned;
            if (vdlpci_flush_cache(handle, kernel, VDLPCI_FLUSH_FOR_DEVICE) != -7 ||
                vdlpci_flush_cache(handle, pinned, VDLPCI_FLUSH_FOR_CPU) != -7)
                faults |= kChildFlushedParentsMemory;
            uint64_t bus = 0;
            if (vdlpci_ms_phys_addr(handle, kernel, 0, &bus) != -7 ||
                vdlpci_ms_phys_addr(handle, pinned, 0, &bus) != -7 || bus != 0)
                faults |= kChildGotParentsBusAddress;
            uint32_t words[2] = {};
            if (vdlpci_ms_read32s(handle, kernel, 0, words, 2) != 2 || words[0] != pattern[0] ||
                words[1] != pattern[1])
                faults |= kChildCouldNotReadSharedBuffer;
            // Left to the child's exit to free.
            uint32_t own = 0;
            if (vdlpci_alloc_mem(handle, kBufferSize, nullptr, &own, VDLPCI_ALLOC_KERNEL_BUFFER) != 0)
                faults |= kChildCouldNotAllocate;
            return faults;
        },
        vdltest::ChildExit::Normal);
    ASSERT_GT(child, 0);
    EXPECT_EQ(vdltest::waitChild(child), 0) << "bits of ChildFault";

    // The child sent one allocation and one free, both of its own buffer.
    const auto childRequests = requestsOf(shared, child, VDLSIM_EV_IOCTL);
    std::vector<uint32_t> sent;
    for (const auto& e : childRequests) {
        sent.push_back(e.request);
        EXPECT_NE(e.address, kernelBus) << "request " << e.request << " names the parent's buffer";
        EXPECT_FALSE(e.request == VDLSIM_REQ_UNLOCK || e.request == VDLSIM_REQ_LOCK_SYNC_DEV ||
                     e.request == VDLSIM_REQ_LOCK_SYNC_CPU)
            << "request " << e.request;
    }
    EXPECT_EQ(std::count(sent.begin(), sent.end(), VDLSIM_REQ_CONTIG_ALLOC), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), VDLSIM_REQ_CONTIG_FREE), 1);
    EXPECT_EQ(requestsOf(shared, child, VDLSIM_EV_MUNMAP).size(), 1u) << "its own buffer's";

    // The parent's memory is still its own: readable, synchronised, freed.
    uint32_t words[2] = {};
    EXPECT_EQ(vdlpci_ms_read32s(handle, kernel, 0, words, 2), 2);
    EXPECT_EQ(std::vector<uint32_t>(words, words + 2), std::vector<uint32_t>(pattern, pattern + 2));
    EXPECT_EQ(vdlpci_ms_read32s(handle, pinned, 0, words, 2), 2);
    EXPECT_EQ(std::vector<uint32_t>(words, words + 2), std::vector<uint32_t>(pattern, pattern + 2));
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 1);
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 1);
    EXPECT_EQ(vdlpci_flush_cache(handle, kernel, VDLPCI_FLUSH_FOR_DEVICE), 0);
    EXPECT_EQ(vdlpci_flush_cache(handle, pinned, VDLPCI_FLUSH_FOR_DEVICE), 0);
    EXPECT_EQ(vdlpci_free_mem(handle, kernel), 0);
    EXPECT_EQ(vdlpci_free_mem(handle, pinned), 0);
    EXPECT_EQ(allocated(), 0);
    // The shared log holds what the parent sent: the child's was looked for where it would be.
    std::vector<uint32_t> parentSent;
    for (const auto& e : requestsOf(shared, getpid(), VDLSIM_EV_IOCTL))
        parentSent.push_back(e.request);
    EXPECT_EQ(parentSent, (std::vector<uint32_t>{VDLSIM_REQ_CONTIG_SYNC_DEV, VDLSIM_REQ_LOCK_SYNC_DEV,
                                                 VDLSIM_REQ_CONTIG_FREE, VDLSIM_REQ_UNLOCK}));
    std::fclose(shared);
}

namespace {

// The library's table lock, for a test that must hold it.
struct TableLock : VdlpciLib {
    static std::mutex& of(VdlpciLib* lib) { return lib->*(&TableLock::m_tableLock); }
};

} // namespace

// A thread of the parent may hold the card table's lock when another forks;
// the child, which has only the forking thread, must still be able to exit.
TEST_F(pciDevice, ForkedChildExitsWhileTheParentHoldsTheCardTable)
{
    void* handle = open();
    uint32_t kernel = 0;
    ASSERT_EQ(vdlpci_alloc_mem(handle, kBufferSize, nullptr, &kernel, VDLPCI_ALLOC_KERNEL_BUFFER), 0);
    std::mutex& table = TableLock::of(VdlpciLib::getInstance());
    table.lock();
    const int status = vdltest::runInChild([] { return 0; }, vdltest::ChildExit::Normal);
    table.unlock();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(vdlpci_dev_count(), 1);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 1);
}
