// Contiguous kernel buffers and pinned user memory against the stand-in
// driver and its DMA model: allocation, bus addresses, cache requests,
// release, element access, and a device writing host memory by bus address.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "memory_test_support.hpp"
#include "vdlsdk/VdlpciBar.hpp"
#include "vdlsdk/VdlpciKernelBuffer.hpp"
#include "vdlsdk/VdlpciLockedVirtualMemory.hpp"

using namespace memtest;

namespace {

constexpr unsigned long kBufferSize = 4096;
// Where the stand-in puts the first contiguous buffer of a scenario.
constexpr unsigned long kFirstBufferBus = 0x180000000;
constexpr unsigned long kTooLarge = 1ul << 32;

unsigned long pageSize() { return static_cast<unsigned long>(::getpagesize()); }

class pciMemoryKernelBuffer : public pcitest::CardTest {
protected:
    std::unique_ptr<VdlpciKernelBuffer> allocate(unsigned long size = kBufferSize)
    {
        VdlpciKernelBuffer* out = nullptr;
        VdlpciKernelBuffer::alloc(m_handle, size, out);
        vdlsim_log_clear();
        return std::unique_ptr<VdlpciKernelBuffer>(out);
    }
};

class pciMemoryLocked : public pcitest::CardTest {
protected:
    std::unique_ptr<VdlpciLockedVirtualMemory> allocate(unsigned long size)
    {
        VdlpciLockedVirtualMemory* out = nullptr;
        VdlpciLockedVirtualMemory::alloc(m_handle, size, out);
        vdlsim_log_clear();
        return std::unique_ptr<VdlpciLockedVirtualMemory>(out);
    }
};

// Runs of every width at offsets of every alignment move exactly their own
// bytes, both ways; a run reaching past the end moves the elements inside and
// then refuses the first one outside with its element's -8.
void checkRuns(VdlpciMemorySpace& space, unsigned char* mapping, const std::string& kind)
{
    const unsigned long size = space.size();
    for (int width : {1, 2, 4, 8}) {
        for (unsigned long offset : {0ul, 1ul, 2ul, 3ul, 4ul, 6ul, 8ul, 24ul, 31ul, 33ul, 100ul}) {
            for (int count : {1, 3, 8, 40, 200}) {
                const std::size_t bytes = static_cast<std::size_t>(count) * width;
                SCOPED_TRACE(testing::Message() << "width " << width << " offset " << offset
                                                << " count " << count);
                for (unsigned long i = 0; i < size; ++i)
                    mapping[i] = static_cast<unsigned char>(i * 7 + 1);
                std::vector<unsigned char> data(bytes + 16, 0xEE);
                EXPECT_EQ(space.reads(offset, data.data(), width, count), count);
                EXPECT_EQ(std::memcmp(data.data(), mapping + offset, bytes), 0);
                EXPECT_EQ(std::vector<unsigned char>(data.begin() + bytes, data.end()),
                          std::vector<unsigned char>(16, 0xEE));

                std::memset(mapping, 0x11, size);
                for (std::size_t i = 0; i < bytes; ++i)
                    data[i] = static_cast<unsigned char>(i * 3 + 5);
                EXPECT_EQ(space.writes(offset, data.data(), width, count), count);
                std::vector<unsigned char> expected(size, 0x11);
                std::memcpy(expected.data() + offset, data.data(), bytes);
                EXPECT_EQ(std::memcmp(mapping, expected.data(), size), 0);
            }
        }
    }

    std::memset(mapping, 0x11, size);
    unsigned int words[4] = {1, 2, 3, 4};
    char message[128];
    std::snprintf(message, sizeof(message), "%s write address %#016lx was out of range %#016lx",
                  kind.c_str(), size, size);
    EXPECT_RAISES(space.write32s(size - 8, words, 4), -8, message);
    EXPECT_EQ(std::memcmp(mapping + size - 8, words, 8), 0) << "the elements inside were moved";
    EXPECT_EQ(mapping[size - 9], 0x11);
    unsigned short halves[3] = {};
    std::snprintf(message, sizeof(message), "%s read address %#016lx was out of range %#016lx",
                  kind.c_str(), size - 1, size);
    EXPECT_RAISES(space.read16s(size - 5, halves, 3), -8, message);
    EXPECT_EQ(std::memcmp(halves, mapping + size - 5, 4), 0);
    EXPECT_EQ(halves[2], 0);
}

// ---------------------------------------------------------------------------
// Kernel buffers

TEST_F(pciMemoryKernelBuffer, AllocationTakesTheDriversBufferWithTheHighWordFirst)
{
    VdlpciKernelBuffer* out = nullptr;
    VdlpciKernelBuffer::alloc(m_handle, kBufferSize, out);
    std::unique_ptr<VdlpciKernelBuffer> buffer(out);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(pcitest::eventNames(),
              (Strings{pcitest::req(VDLSIM_REQ_CONTIG_ALLOC), pcitest::req(VDLSIM_REQ_MAP_MODE),
                       pcitest::req(VDLSIM_REQ_CONTIG_SELECT), "mmap",
                       pcitest::req(VDLSIM_REQ_MAP_MODE)}));
    EXPECT_EQ(buffer->type(), VDLPCI_MS_KERNEL_BUFFER);
    EXPECT_EQ(buffer->size(), kBufferSize);
    EXPECT_EQ(buffer->deviceHandle(), m_handle);
    // The stand-in hands out 0x1_8000_0000: 0x1 as the first word.
    EXPECT_EQ(buffer->phys_addrHi(), 0x1u);
    EXPECT_EQ(buffer->phys_addrLo(), 0x80000000u);
    unsigned long phys = 0;
    buffer->phys_addr(0x10, phys);
    EXPECT_EQ(phys, kFirstBufferBus + 0x10);
    // The driver knows the whole buffer at that bus address.
    EXPECT_NE(vdlsim_dma_host_address(0, kFirstBufferBus, kBufferSize), nullptr);
}

// The first buffer's bus addresses reach its end, and no further.
void expectBusAddressesEndAt(VdlpciKernelBuffer& buffer, unsigned long size)
{
    unsigned long phys = 0;
    buffer.phys_addr(size, phys);
    EXPECT_EQ(phys, kFirstBufferBus + size);
    char message[128];
    std::snprintf(message, sizeof(message),
                  "PCI kernel buffer physical address offset %#016lx was out of range %#016lx",
                  size + 1, size);
    EXPECT_RAISES(buffer.phys_addr(size + 1, phys), -8, message);
}

TEST_F(pciMemoryKernelBuffer, PhysicalAddressesReachTheEndOfTheBuffer)
{
    auto buffer = allocate();
    expectBusAddressesEndAt(*buffer, kBufferSize);
}

TEST_F(pciMemoryKernelBuffer, ElementsAreCopiesOfTheMappingTheDeviceSees)
{
    auto buffer = allocate();
    unsigned int words[2] = {0xA1B2C3D4, 0x01020304};
    EXPECT_EQ(buffer->write32s(0x100, words, 2), 2);
    unsigned char seen[8] = {};
    ASSERT_EQ(vdlsim_dma_read(0, kFirstBufferBus + 0x100, seen, sizeof(seen)), 0);
    EXPECT_EQ(std::memcmp(seen, words, sizeof(words)), 0);

    const unsigned char fromDevice[3] = {0x5A, 0x6B, 0x7C};
    ASSERT_EQ(vdlsim_dma_write(0, kFirstBufferBus + 0x201, fromDevice, 3), 0);
    unsigned char bytes[3] = {};
    EXPECT_EQ(buffer->read8s(0x201, bytes, 3), 3);
    EXPECT_EQ(std::memcmp(bytes, fromDevice, 3), 0);
    EXPECT_TRUE(vdltest::simLog().empty()) << "element accesses make no driver request";
}

// The mapping ends at the size: an element reaching past it would touch
// memory the process does not own.
TEST_F(pciMemoryKernelBuffer, ElementsOutsideTheBufferAreRefused)
{
    auto buffer = allocate();
    unsigned long dword = 0;
    EXPECT_RAISES(buffer->read64s(kBufferSize - 4, &dword, 1), -8,
                  "PCI kernel buffer read address 0x00000000000ffc was out of range "
                  "0x00000000001000");
    EXPECT_RAISES(buffer->write64s(kBufferSize, &dword, 1), -8,
                  "PCI kernel buffer write address 0x00000000001000 was out of range "
                  "0x00000000001000");
    EXPECT_EQ(buffer->read64s(kBufferSize - 8, &dword, 1), 1);

    // The single-element access itself: an element that starts inside but
    // runs past the end is refused whole, and nothing is copied either way.
    auto* mapping = static_cast<unsigned char*>(buffer->vmem());
    for (int width : {2, 4, 8}) {
        for (unsigned long offset = kBufferSize - width + 1; offset < kBufferSize; ++offset) {
            for (bool write : {false, true}) {
                SCOPED_TRACE(testing::Message() << (write ? "write " : "read ") << width
                                                << " bytes at " << offset);
                std::memset(mapping + kBufferSize - 8, 0x11, 8);
                unsigned char data[8];
                std::memset(data, 0xEE, sizeof(data));
                char message[128];
                std::snprintf(message, sizeof(message),
                              "PCI kernel buffer %s address %#016lx was out of range %#016lx",
                              write ? "write" : "read", offset, kBufferSize);
                EXPECT_RAISES(write ? buffer->write(offset, data, width)
                                    : buffer->read(offset, data, width),
                              -8, message);
                EXPECT_EQ(std::vector<unsigned char>(mapping + kBufferSize - 8,
                                                     mapping + kBufferSize),
                          std::vector<unsigned char>(8, 0x11));
                EXPECT_EQ(std::vector<unsigned char>(data, data + 8),
                          std::vector<unsigned char>(8, 0xEE));
            }
        }
    }
    unsigned char last[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(buffer->write(kBufferSize - 8, last, 8), 8);
    EXPECT_EQ(std::memcmp(mapping + kBufferSize - 8, last, 8), 0);

    unsigned char byte = 0;
    EXPECT_RAISES(buffer->reads(0, &byte, 3, 1), -6, "invalid width 3");
    buffer->freeKernelBuffer();
    EXPECT_RAISES(buffer->read8s(0, &byte, 1), -8,
                  "PCI kernel buffer read address 0x00000000000000 was out of range "
                  "0x00000000000000");
}

TEST_F(pciMemoryKernelBuffer, RunsMoveExactlyTheirElements)
{
    auto buffer = allocate();
    checkRuns(*buffer, static_cast<unsigned char*>(buffer->vmem()), "PCI kernel buffer");
    EXPECT_TRUE(vdltest::simLog().empty());
}

TEST_F(pciMemoryKernelBuffer, CacheSynchronisationNamesTheBufferInEachDirection)
{
    auto buffer = allocate();
    buffer->flushCache(true);
    buffer->flushCache(false);
    const auto entries = vdltest::simLog();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].request, VDLSIM_REQ_CONTIG_SYNC_CPU);
    EXPECT_EQ(entries[1].request, VDLSIM_REQ_CONTIG_SYNC_DEV);
    for (const auto& e : entries) {
        EXPECT_EQ(e.address, kFirstBufferBus);
        EXPECT_EQ(e.value, kBufferSize);
        EXPECT_EQ(e.result, 0);
    }
}

TEST_F(pciMemoryKernelBuffer, CacheSynchronisationTheDriverRefusesRaises)
{
    auto buffer = allocate();
    for (bool toCpu : {true, false}) {
        SCOPED_TRACE(toCpu);
        vdlsim_fault_clear();
        vdltest::addFault(toCpu ? VDLSIM_REQ_CONTIG_SYNC_CPU : VDLSIM_REQ_CONTIG_SYNC_DEV, 0, EIO);
        EXPECT_RAISES(buffer->flushCache(toCpu), -34, "could not flush cache");
    }
}

TEST_F(pciMemoryKernelBuffer, ReleaseHappensOnceAndThenRefusesTheCache)
{
    auto buffer = allocate();
    buffer->freeKernelBuffer();
    EXPECT_EQ(pcitest::eventNames(), (Strings{"munmap", pcitest::req(VDLSIM_REQ_CONTIG_FREE)}));
    const auto entries = vdltest::simLog();
    EXPECT_EQ(entries[1].address, kFirstBufferBus);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);
    EXPECT_EQ(buffer->size(), 0u);
    EXPECT_EQ(buffer->vmem(), nullptr);

    vdlsim_log_clear();
    EXPECT_RAISES(buffer->flushCache(true), -7, "could not flush cache - buffer size was zero");
    buffer->freeKernelBuffer();
    buffer.reset();
    EXPECT_TRUE(vdltest::simLog().empty());
}

TEST_F(pciMemoryKernelBuffer, ReleaseTheDriverRefusesIsRetriedUntilItGoesThrough)
{
    auto buffer = allocate();
    unsigned int word = 0x600DF00D;
    ASSERT_EQ(buffer->write32s(8, &word, 1), 1);
    const unsigned int lo = buffer->phys_addrLo();
    const unsigned int hi = buffer->phys_addrHi();
    ASSERT_GE(vdltest::addFault(VDLSIM_REQ_CONTIG_FREE, 0, EBUSY), 0);
    EXPECT_RAISES(buffer->freeKernelBuffer(), -34,
                  "could not free the kernel buffer at bus address 0x00000180000000");
    // Unmapped, so unusable like a released buffer, but still the driver's
    // and still on the handle's list.
    EXPECT_EQ(pcitest::eventNames(), (Strings{"munmap", pcitest::req(VDLSIM_REQ_CONTIG_FREE)}));
    EXPECT_EQ(buffer->size(), 0u);
    EXPECT_EQ(buffer->vmem(), nullptr);
    EXPECT_EQ(buffer->phys_addrLo(), lo);
    EXPECT_EQ(buffer->phys_addrHi(), hi);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 1);
    EXPECT_NE(m_handle->head, nullptr);
    EXPECT_RAISES(
        buffer->read32s(8, &word, 1), -8,
        "PCI kernel buffer read address 0x00000000000008 was out of range 0x00000000000000");

    vdlsim_log_clear();
    buffer->freeKernelBuffer();
    EXPECT_EQ(pcitest::eventNames(), Strings{pcitest::req(VDLSIM_REQ_CONTIG_FREE)});
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);
    EXPECT_EQ(m_handle->head, nullptr);
    vdlsim_log_clear();
    buffer->freeKernelBuffer();
    EXPECT_TRUE(pcitest::eventNames().empty()) << "released once";
}

TEST_F(pciMemoryKernelBuffer, DestructionRetriesARefusedRelease)
{
    auto buffer = allocate();
    ASSERT_GE(vdltest::addFault(VDLSIM_REQ_CONTIG_FREE, 0, EBUSY), 0);
    EXPECT_THROW(buffer->freeKernelBuffer(), VDLException<-34>);
    buffer.reset();
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);
    EXPECT_EQ(m_handle->head, nullptr);
}

TEST_F(pciMemoryKernelBuffer, DeletionReturnsTheBufferToTheDriver)
{
    auto first = allocate();
    auto second = allocate(2 * kBufferSize);
    ASSERT_EQ(vdlsim_dma_buffer_count(0), 2);
    first.reset();
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 1);
    EXPECT_EQ(m_handle->head, m_handle->tail) << "one buffer left on the handle's list";
    second.reset();
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);
    EXPECT_EQ(m_handle->head, nullptr);
}

// A driver that rounds the buffer up to whole pages: the caller gets the
// length it asked for (size, element and bus-address bounds), while the
// driver hears of the buffer it gave, and the whole mapping goes at release.
TEST_F(pciMemoryKernelBuffer, ABufferTheDriverRoundsUpKeepsTheSizeAskedFor)
{
    constexpr unsigned long kAsked = 100;
    const unsigned long given = 2 * pageSize();
    ASSERT_EQ(vdlsim_dma_set_contig_answer_len(0, static_cast<uint32_t>(given)), 0);
    auto buffer = allocate(kAsked);
    EXPECT_EQ(buffer->size(), kAsked);

    unsigned int word = 0x600DF00D;
    EXPECT_EQ(buffer->write32s(kAsked - 4, &word, 1), 1);
    EXPECT_RAISES(buffer->write32s(kAsked, &word, 1), -8,
                  "PCI kernel buffer write address 0x00000000000064 was out of range "
                  "0x00000000000064");
    expectBusAddressesEndAt(*buffer, kAsked);

    buffer->flushCache(true);
    buffer->flushCache(false);
    buffer->freeKernelBuffer();
    EXPECT_EQ(pcitest::eventNames(),
              (Strings{pcitest::req(VDLSIM_REQ_CONTIG_SYNC_CPU),
                       pcitest::req(VDLSIM_REQ_CONTIG_SYNC_DEV), "munmap",
                       pcitest::req(VDLSIM_REQ_CONTIG_FREE)}));
    for (const auto& e : vdltest::simLog())
        EXPECT_EQ(e.value, given) << pcitest::eventName(e);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);
    EXPECT_EQ(m_handle->head, nullptr);
}

TEST_F(pciMemoryKernelBuffer, AllocationFailuresLeaveNothingBehind)
{
    struct Case {
        const char* name;
        unsigned long size;
        uint32_t failing; // 0: no fault
        uint32_t given;   // the length the driver gives; 0: as asked
        bool requested;
    };
    const Case cases[] = {
        {"the driver refuses", kBufferSize, VDLSIM_REQ_CONTIG_ALLOC, 0, true},
        {"the mapping fails", kBufferSize, VDLSIM_FAULT_MMAP, 0, true},
        {"the driver gives less", 16 * kBufferSize, 0, kBufferSize, true},
        {"0 bytes", 0, 0, 0, false},
        {"more than a 32-bit length", kTooLarge, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vdlsim_fault_clear();
        vdlsim_log_clear();
        ASSERT_EQ(vdlsim_dma_set_contig_answer_len(0, c.given), 0);
        if (c.failing != 0)
            vdltest::addFault(c.failing, 0, ENOMEM);
        VdlpciKernelBuffer* out = nullptr;
        EXPECT_RAISES(VdlpciKernelBuffer::alloc(m_handle, c.size, out), -34,
                      "Unable to allocate memory.");
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);
        EXPECT_EQ(m_handle->head, nullptr);
        EXPECT_EQ(vdltest::simLog().empty(), !c.requested);
    }
}

// ---------------------------------------------------------------------------
// Pinned memory

TEST_F(pciMemoryLocked, AllocationPinsAPageAlignedRegion)
{
    const unsigned long size = 3 * pageSize();
    VdlpciLockedVirtualMemory* out = nullptr;
    VdlpciLockedVirtualMemory::alloc(m_handle, size, out);
    std::unique_ptr<VdlpciLockedVirtualMemory> memory(out);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(memory->type(), VDLPCI_MS_LOCKED_VMEM);
    EXPECT_EQ(memory->size(), size);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory->vmem()) % pageSize(), 0u);
    const auto entries = vdltest::simLog();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].request, VDLSIM_REQ_LOCK);
    EXPECT_EQ(entries[0].address, reinterpret_cast<uintptr_t>(memory->vmem()));
    EXPECT_EQ(entries[0].value, size);
    EXPECT_EQ(entries[0].aux, 4u) << "size / page size + 1 entries";
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 1);
}

TEST_F(pciMemoryLocked, PhysicalAddressesComeFromEachPagesEntry)
{
    const unsigned long page = pageSize();
    auto memory = allocate(3 * page);
    auto* host = static_cast<unsigned char*>(memory->vmem());
    // The stand-in gives every page its own bus address, so an offset must be
    // resolved through its page's entry.
    for (unsigned long offset : {0ul, 0x234ul, page + 0x234, 2 * page, 3 * page - 1}) {
        SCOPED_TRACE(offset);
        unsigned long phys = 0;
        memory->phys_addr(offset, phys);
        EXPECT_EQ(vdlsim_dma_host_address(0, phys, 1), host + offset);
    }
    unsigned long first = 0;
    unsigned long second = 0;
    memory->phys_addr(0, first);
    memory->phys_addr(page, second);
    EXPECT_NE(second, first + page);
    EXPECT_TRUE(vdltest::simLog().empty()) << "the page table answers without the driver";
}

// Only a byte of the region has a bus address, as only such a byte is an
// element: the table's entry after a region of whole pages, and the rest of
// a last page the region does not fill, are refused. So is everything past
// the table, whatever page count the driver wrote back into the record.
TEST_F(pciMemoryLocked, PhysicalAddressesOutsideTheRegionAreRefused)
{
    const unsigned long page = pageSize();
    for (uint32_t answered : {0u, 1u << 20}) {
        ASSERT_EQ(vdlsim_dma_set_lock_answer_npages(0, answered), 0);
        for (unsigned long size : {page, page + 0x10}) {
            SCOPED_TRACE(testing::Message() << "npages answered " << answered << ", size " << size);
            auto memory = allocate(size);
            unsigned long phys = 0;
            memory->phys_addr(size - 1, phys);
            EXPECT_EQ(vdlsim_dma_host_address(0, phys, 1),
                      static_cast<unsigned char*>(memory->vmem()) + size - 1);
            for (unsigned long offset : {size, size + 1, 2 * page - 1, 2 * page, 1ul << 40}) {
                char message[128];
                std::snprintf(message, sizeof(message),
                              "PCI virtual memory physical address offset %#016lx was out of "
                              "range %#016lx",
                              offset, size);
                phys = 0xDEAD;
                EXPECT_RAISES(memory->phys_addr(offset, phys), -8, message);
                EXPECT_EQ(phys, 0xDEADu);
            }
        }
    }
}

TEST_F(pciMemoryLocked, ElementsTouchTheRegionAndTheDeviceSeesThem)
{
    auto memory = allocate(pageSize());
    unsigned short halves[2] = {0xBEEF, 0xCAFE};
    EXPECT_EQ(memory->write16s(0x10, halves, 2), 2);
    unsigned long phys = 0;
    memory->phys_addr(0x10, phys);
    uint32_t seen = 0;
    ASSERT_EQ(vdlsim_dma_read(0, phys, &seen, 4), 0);
    EXPECT_EQ(seen, 0xCAFEBEEFu);
    unsigned long last = 0;
    EXPECT_EQ(memory->read64s(pageSize() - 8, &last, 1), 1);
    EXPECT_TRUE(vdltest::simLog().empty());
}

TEST_F(pciMemoryLocked, RunsMoveExactlyTheirElements)
{
    auto memory = allocate(kBufferSize);
    checkRuns(*memory, static_cast<unsigned char*>(memory->vmem()), "PCI virtual memory");
    EXPECT_TRUE(vdltest::simLog().empty());
}

// The checks of one element, in order; an element that fits, the last whole
// one of the region included, is moved (code 0 in the table).
TEST_F(pciMemoryLocked, ElementChecksComeInOrder)
{
    constexpr unsigned long kSize = 0x100;
    auto memory = allocate(kSize);
    auto* region = static_cast<unsigned char*>(memory->vmem());
    unsigned long element = 0;
    auto* data = reinterpret_cast<unsigned char*>(&element);
    struct Case {
        const char* name;
        bool write;
        unsigned long offset;
        bool nullData;
        int width;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"write at the size", true, kSize, false, 4, -8,
         "PCI virtual memory write address 0x00000000000100 was out of range 0x00000000000100"},
        {"read at the size", false, kSize, false, 1, -8,
         "PCI virtual memory read address 0x00000000000100 was out of range 0x00000000000100"},
        {"null data outside", true, 2 * kSize, true, 4, -6,
         "A null pointer was passed to the buffer argument"},
        {"null data inside", false, 0, true, 4, -6,
         "A null pointer was passed to the buffer argument"},
        {"width 3", true, 0, false, 3, -6, "invalid width 3"},
        {"offset before width", false, kSize, false, 3, -8,
         "PCI virtual memory read address 0x00000000000100 was out of range 0x00000000000100"},
        {"reaching past the end", true, kSize - 2, false, 4, -8,
         "PCI virtual memory write address 0x000000000000fe was out of range 0x00000000000100"},
        {"write of the last byte", true, kSize - 1, false, 1, 0, ""},
        {"write of the last half-word", true, kSize - 2, false, 2, 0, ""},
        {"write of the last word", true, kSize - 4, false, 4, 0, ""},
        {"write of the last double word", true, kSize - 8, false, 8, 0, ""},
        {"read of the last double word", false, kSize - 8, false, 8, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char* buffer = c.nullData ? nullptr : data;
        const auto access = [&] {
            return c.write ? memory->write(c.offset, buffer, c.width)
                           : memory->read(c.offset, buffer, c.width);
        };
        if (c.code != 0) {
            EXPECT_RAISES(access(), c.code, c.message);
            continue;
        }
        std::memset(region, 0x11, kSize);
        std::memset(region + c.offset, c.write ? 0x11 : 0x5A, static_cast<std::size_t>(c.width));
        std::memset(data, c.write ? 0xA5 : 0x00, sizeof(element));
        EXPECT_EQ(access(), c.width);
        const std::vector<unsigned char> moved(static_cast<std::size_t>(c.width),
                                               c.write ? 0xA5 : 0x5A);
        EXPECT_EQ(std::vector<unsigned char>(region + c.offset, region + kSize), moved);
        EXPECT_EQ(std::vector<unsigned char>(data, data + c.width), moved);
        EXPECT_EQ(region[c.offset - 1], 0x11) << "nothing before the element";
    }
}

TEST_F(pciMemoryLocked, CacheSynchronisationAndItsFailure)
{
    auto memory = allocate(pageSize());
    memory->flushCache(false);
    memory->flushCache(true);
    EXPECT_EQ(pcitest::eventNames(), (Strings{pcitest::req(VDLSIM_REQ_LOCK_SYNC_DEV),
                                              pcitest::req(VDLSIM_REQ_LOCK_SYNC_CPU)}));
    for (uint32_t request : {VDLSIM_REQ_LOCK_SYNC_DEV, VDLSIM_REQ_LOCK_SYNC_CPU}) {
        vdltest::addFault(request, 0, EIO);
        EXPECT_RAISES(memory->flushCache(request == VDLSIM_REQ_LOCK_SYNC_CPU), -34,
                      "could not flush cache");
    }
    vdltest::LogCapture log(LOGGER_PCI);
    memory->flushCache(true);
    EXPECT_EQ(log.at("debug"), Strings{"flushing cache"});
}

TEST_F(pciMemoryLocked, AfterReleaseEveryOperationRefusesTheRegion)
{
    auto memory = allocate(pageSize());
    memory->free_mem();
    EXPECT_EQ(pcitest::eventNames(), Strings{pcitest::req(VDLSIM_REQ_UNLOCK)});
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 0);
    EXPECT_EQ(memory->vmem(), nullptr);
    vdlsim_log_clear();

    const std::string message = "PCI kernel memory handle was null";
    unsigned long phys = 0;
    unsigned int word = 0;
    EXPECT_RAISES(memory->phys_addr(0, phys), -5, message);
    EXPECT_RAISES(memory->flushCache(false), -5, message);
    EXPECT_RAISES(memory->free_mem(), -5, message);
    EXPECT_RAISES(memory->read32s(0, &word, 1), -5, message);
    EXPECT_RAISES(memory->write32s(0, &word, 1), -5, message);
    EXPECT_NO_THROW(memory.reset());
    EXPECT_TRUE(vdltest::simLog().empty());
}

TEST_F(pciMemoryLocked, ReleaseTheDriverRefusesKeepsTheRegionPinnedUntilARetry)
{
    auto memory = allocate(pageSize());
    void* region = memory->vmem();
    unsigned long phys = 0;
    memory->phys_addr(0, phys);
    ASSERT_GE(vdltest::addFault(VDLSIM_REQ_UNLOCK, 0, EBUSY), 0);
    EXPECT_RAISES(memory->free_mem(), -34, "could not unpin PCI virtual memory");
    // The device may still write there: the region is neither freed nor forgotten.
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 1);
    EXPECT_EQ(memory->vmem(), region);
    const unsigned int word = 0xCAFE;
    ASSERT_EQ(vdlsim_dma_write(0, phys, &word, sizeof(word)), 0);
    unsigned int seen = 0;
    EXPECT_EQ(memory->read32s(0, &seen, 1), 1);
    EXPECT_EQ(seen, word);

    memory->free_mem();
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 0);
    EXPECT_EQ(memory->vmem(), nullptr);
}

TEST_F(pciMemoryLocked, DeletionUnpinsTheRegion)
{
    auto memory = allocate(2 * pageSize());
    memory.reset();
    EXPECT_EQ(pcitest::eventNames(), Strings{pcitest::req(VDLSIM_REQ_UNLOCK)});
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 0);
}

// Under the leak checker these also show that a refused allocation keeps no
// memory of its own.
TEST_F(pciMemoryLocked, AllocationFailures)
{
    VdlpciLockedVirtualMemory* out = nullptr;
    vdltest::addFault(VDLSIM_REQ_LOCK, 0, ENOMEM);
    EXPECT_RAISES(VdlpciLockedVirtualMemory::alloc(m_handle, pageSize(), out), -5,
                  "could not lock PCI virtual memory");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(vdlsim_dma_pinned_count(0), 0);

    // A region of 0 bytes has nothing to pin, as a kernel buffer of 0 bytes
    // has nothing to allocate.
    for (unsigned long size : {kTooLarge, 0ul}) {
        SCOPED_TRACE(size);
        vdlsim_log_clear();
        EXPECT_RAISES(VdlpciLockedVirtualMemory::alloc(m_handle, size, out), -4, "PCI virtual memory could not be allocated");
        EXPECT_EQ(out, nullptr);
        EXPECT_TRUE(vdltest::simLog().empty());
    }
}

TEST_F(pciMemoryLocked, AddressWritesAreNotSupported)
{
    auto memory = allocate(pageSize());
    EXPECT_RAISES(memory->writeAddressToBar(0, 0, 0, 8), -2,
                  "function writeAddressToBar is currently not supported");
    EXPECT_RAISES(memory->writeAddressToContiguousKmem(0, nullptr, 0, 8), -2,
                  "function writeAddressToContiguousKmem is currently not supported");
}

// ---------------------------------------------------------------------------
// A device that copies a block into host memory by bus address when its
// doorbell is rung: the BAR carries the address, the buffers receive the data.

struct CopyEngine {
    static constexpr unsigned long kAddressLo = 0x0;
    static constexpr unsigned long kAddressHi = 0x4;
    static constexpr unsigned long kDoorbell = 0x8;
    uint32_t lo = 0;
    uint32_t hi = 0;
    int copies = 0;

    static int callback(void* context, unsigned, unsigned bar, int isWrite, uint64_t offset,
                        void* value, unsigned width)
    {
        auto* self = static_cast<CopyEngine*>(context);
        if (bar != 0 || !isWrite || width != 4)
            return VDLSIM_BAR_DEFAULT;
        uint32_t v;
        std::memcpy(&v, value, 4);
        if (offset == kAddressLo)
            self->lo = v;
        else if (offset == kAddressHi)
            self->hi = v;
        else if (offset == kDoorbell) {
            std::vector<unsigned char> block(v);
            for (uint32_t i = 0; i < v; ++i)
                block[i] = static_cast<unsigned char>(0xD0 + i);
            const uint64_t bus = (uint64_t{self->hi} << 32) | self->lo;
            if (vdlsim_dma_write(0, bus, block.data(), block.size()) != 0)
                return -EFAULT;
            ++self->copies;
        }
        return VDLSIM_BAR_DEFAULT;
    }
};

class pciMemoryDevice : public pcitest::CardTest {
protected:
    void ring(VdlpciBar& bar, unsigned long bus, unsigned int length)
    {
        unsigned int address[2] = {static_cast<unsigned int>(bus),
                                   static_cast<unsigned int>(bus >> 32)};
        ASSERT_EQ(bar.write32s(CopyEngine::kAddressLo, address, 2), 2);
        ASSERT_EQ(bar.write32s(CopyEngine::kDoorbell, &length, 1), 1);
    }
};

TEST_F(pciMemoryDevice, WritesIntoBothKindsOfBufferAtTheAddressesTheyReport)
{
    CopyEngine device;
    ASSERT_EQ(vdlsim_set_bar_callback(0, &CopyEngine::callback, &device), 0);
    VdlpciBar bar(m_handle, 0, 0xF0000000, 0x100000);
    constexpr unsigned int kLength = 16;

    VdlpciKernelBuffer* kernelOut = nullptr;
    VdlpciKernelBuffer::alloc(m_handle, kBufferSize, kernelOut);
    std::unique_ptr<VdlpciKernelBuffer> kernel(kernelOut);
    unsigned long bus = 0;
    kernel->phys_addr(0x40, bus);
    ring(bar, bus, kLength);
    kernel->flushCache(true);

    VdlpciLockedVirtualMemory* pinnedOut = nullptr;
    VdlpciLockedVirtualMemory::alloc(m_handle, 2 * pageSize(), pinnedOut);
    std::unique_ptr<VdlpciLockedVirtualMemory> pinned(pinnedOut);
    // In the second page, whose bus address is not the first page's plus a page.
    pinned->phys_addr(pageSize() + 0x80, bus);
    ring(bar, bus, kLength);
    pinned->flushCache(true);
    EXPECT_EQ(device.copies, 2);

    unsigned char got[kLength + 1] = {};
    for (VdlpciMemorySpace* space : {static_cast<VdlpciMemorySpace*>(kernel.get()),
                                     static_cast<VdlpciMemorySpace*>(pinned.get())}) {
        SCOPED_TRACE(space->type());
        const unsigned long at = space == kernel.get() ? 0x40 : pageSize() + 0x80;
        EXPECT_EQ(space->read8s(at, got, kLength + 1), static_cast<int>(kLength + 1));
        for (unsigned int i = 0; i < kLength; ++i)
            EXPECT_EQ(got[i], 0xD0 + i) << "byte " << i;
        EXPECT_EQ(got[kLength], 0) << "the device wrote no more than asked";
    }
    vdlsim_set_bar_callback(0, nullptr, nullptr);
}

} // namespace
