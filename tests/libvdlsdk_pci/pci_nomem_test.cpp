// The interface when process memory runs out. This executable replaces
// calloc, so that one allocation of a chosen shape can be made to fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "pci_test_support.hpp"
#include "vdltest.hpp"

#if defined(VDLTEST_ASAN) || defined(VDLTEST_TSAN)
extern "C" void* __interceptor_calloc(std::size_t n, std::size_t size);
#define VDLTEST_REAL_CALLOC __interceptor_calloc
#else
extern "C" void* __libc_calloc(std::size_t n, std::size_t size);
#define VDLTEST_REAL_CALLOC __libc_calloc
#endif

namespace {
std::atomic<std::size_t> g_failCount{0};
std::atomic<std::size_t> g_failSize{0};
} // namespace

extern "C" void* calloc(std::size_t n, std::size_t size)
{
    if (g_failSize.load(std::memory_order_relaxed) != 0 &&
        n * size == g_failSize.load(std::memory_order_relaxed)) {
        if (g_failCount.fetch_sub(1) == 1)
            g_failSize = 0;
        errno = ENOMEM;
        return nullptr;
    }
    return VDLTEST_REAL_CALLOC(n, size);
}

using namespace pcitest;
using Strings = std::vector<std::string>;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// The next allocation of `bytes` zero-filled bytes fails.
void failNextCalloc(std::size_t bytes)
{
    g_failCount = 1;
    g_failSize = bytes;
}

class pciNoMemory : public vdltest::SimTest {
protected:
    void TearDown() override
    {
        g_failSize = 0;
        SimTest::TearDown();
    }
};

TEST_F(pciNoMemory, OpenWithoutAHandle)
{
    vdltest::LogCapture log(LOGGER_PCI);
    failNextCalloc(sizeof(vdlcard_handle));
    EXPECT_EQ(vdlcard_Open(0, VDLCARD_OPEN_FLAGS), nullptr);
    EXPECT_EQ(log.at("error"), Strings{"Error allocating memory for main structure"});
    EXPECT_EQ(log.at("debug").back(), "hcard returned as NULL");
    EXPECT_EQ(eventNames(), Strings{});
}

// The buffer is mapped but cannot be listed: it goes back to the driver,
// since a buffer the list does not hold could never be freed.
TEST_F(pciNoMemory, AllocationWithoutAListNode)
{
    vdlcard_handle* h = openCard();
    constexpr uint32_t kLen = 8192;
    vdlcard_contig_request r{};
    r.phys[VDLCARD_PHYS_HI] = 0xDEADBEEF;
    r.phys[VDLCARD_PHYS_LO] = 0xFEEDFACE;
    r.len = kLen;
    failNextCalloc(sizeof(vdlcard_contig_node));
    CaptureStdout();
    EXPECT_EQ(vdlcard_Control(h, VDLCARD_CONTROL_ALLOC, &r), -1);
    EXPECT_EQ(GetCapturedStdout(), "Failed to allocate internal locking structure\n");
    EXPECT_EQ(r.phys[VDLCARD_PHYS_HI], 0xDEADBEEFu);
    EXPECT_EQ(r.phys[VDLCARD_PHYS_LO], 0xFEEDFACEu);
    EXPECT_EQ(r.vaddr, nullptr);
    EXPECT_EQ(h->head, nullptr);
    EXPECT_EQ(eventNames(), (Strings{req(VDLCARD_REQ_CONTIG_ALLOC), req(VDLCARD_REQ_MAP_MODE),
                                     req(VDLCARD_REQ_CONTIG_SELECT), "mmap", "munmap",
                                     req(VDLCARD_REQ_MAP_MODE), req(VDLCARD_REQ_CONTIG_FREE)}));
    const auto e = vdltest::simLog();
    ASSERT_EQ(e.size(), 7u);
    EXPECT_EQ(e[4].aux, e[3].aux) << "the new mapping is the one unmapped";
    EXPECT_EQ(e[6].address, e[0].address);
    EXPECT_EQ(vdlsim_dma_buffer_count(0), 0);

    // Direct use: the list keeps what it had.
    vdlcard_contig_request a{};
    a.vaddr = &a;
    vdlcard_contig_node* kept = vdlcard_contig_buffer_list_add(h, &a);
    ASSERT_NE(kept, nullptr);
    failNextCalloc(sizeof(vdlcard_contig_node));
    CaptureStdout();
    EXPECT_EQ(vdlcard_contig_buffer_list_add(h, &a), nullptr);
    EXPECT_EQ(GetCapturedStdout(), "Failed to allocate internal locking structure\n");
    EXPECT_EQ(h->head, kept);
    EXPECT_EQ(h->tail, kept);
    vdlcard_contig_buffer_list_remove(h, kept);
    vdlcard_Close(h);
}

TEST_F(pciNoMemory, LockmemWithoutRecordOrTable)
{
    vdlcard_handle* h = openCard();
    const auto page = static_cast<std::size_t>(::getpagesize());
    void* region = nullptr;
    ASSERT_EQ(posix_memalign(&region, page, 2 * page), 0);

    failNextCalloc(sizeof(vdlcard_lock_record));
    EXPECT_EQ(vdlcard_lockmem(h, region, static_cast<uint32_t>(page)), nullptr);
    // page bytes span two table entries.
    failNextCalloc(2 * sizeof(vdlcard_page_entry));
    EXPECT_EQ(vdlcard_lockmem(h, region, static_cast<uint32_t>(page)), nullptr);
    EXPECT_EQ(eventNames(), Strings{});

    vdlcard_lock_record* rec = vdlcard_lockmem(h, region, static_cast<uint32_t>(page));
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(vdlcard_unlockmem(h, rec), 0);
    std::free(region);
    vdlcard_Close(h);
}

} // namespace
