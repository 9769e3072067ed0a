// What the worst option file within the size limit costs: the most heap a
// load and a save of it take, counted by this program's own operator new. The
// shapes are the ones that cost most per byte: tiny containers side by side,
// containers nested to the limit, objects of short keys; compact (the most
// values a file of the limit can hold) and pretty printed (the most a save
// can write). How long they take is measured in bench/libvdlsdk_util.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "util_test_support.hpp"
#include "worst_option_files.hpp"
#include "vdlsdk/VdlLibraryOptions.hpp"

namespace {

std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};
// Room before each block for its size, keeping the block's alignment.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* allocate(std::size_t size)
{
    auto* block = static_cast<char*>(std::malloc(size + kHeader));
    if (block == nullptr)
        throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(block) = size;
    const std::size_t live = g_live += size;
    std::size_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
    return block + kHeader;
}

void release(void* p) noexcept
{
    if (p == nullptr)
        return;
    char* block = static_cast<char*>(p) - kHeader;
    g_live -= *reinterpret_cast<std::size_t*>(block);
    std::free(block);
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

using Vandrel::LibraryOptions;
using namespace utiltest;
using worstfiles::repeated;
using worstfiles::shortKeys;

namespace {

constexpr std::size_t kLimit = std::size_t{512} << 10;
constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr int kDeepest = 256;
constexpr const char* kPciFile = "vdlpci_config.json";

struct Cost {
    std::size_t loadPeak;
    std::size_t savePeak;
    int saveCode;
};

// The heap a load and then a save take beyond what was live before each.
Cost costOf(const std::string& path)
{
    LibraryOptions options(kPciFile);
    Cost cost{};
    std::size_t base = g_live;
    g_peak = base;
    options.loadConfig();
    cost.loadPeak = g_peak - base;
    base = g_live;
    g_peak = base;
    cost.saveCode = raised([&] { options.setOption("k", "v"); }).code;
    cost.savePeak = g_peak - base;
    return cost;
}

TEST(utilOptionLimits, TheWorstFileWithinTheLimitCostsLittleHeap)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    const std::string deep = std::string(kDeepest - 1, '[') + std::string(kDeepest - 1, ']');
    struct Case {
        const char* name;
        std::string bytes;
        // A save writes it pretty printed: whether that still fits the limit.
        bool savable;
    };
    const std::vector<Case> cases = {
        {"empty objects side by side", repeated("[", "{}", ",", "]", kLimit), false},
        {"empty arrays side by side", repeated("[", "[]", ",", "]", kLimit), false},
        {"empty strings side by side", repeated("[", "\"\"", ",", "]", kLimit), false},
        {"short keys", shortKeys(false, kLimit), false},
        {"nested to the limit side by side", repeated("[", deep, ",", "]", kLimit), false},
        // With room for the key the save adds.
        {"short keys, pretty printed", shortKeys(true, kLimit - 64), true},
    };
    // About 29 MiB for the worst shape (an array of empty objects: each one a
    // member of the loaded object), against 1 GiB and more for a 16 MiB file
    // before the limit was lowered. A second copy of the document would not fit.
    constexpr std::size_t kLoadBound = 32 * kMiB;
    constexpr std::size_t kSaveBound = 32 * kMiB;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LE(c.bytes.size(), kLimit);
        writeFile(path, c.bytes);
        const Cost cost = costOf(path);
        EXPECT_LE(cost.loadPeak, kLoadBound);
        EXPECT_LE(cost.savePeak, kSaveBound);
        // A save of a text above the limit fails (-14) and keeps the file.
        EXPECT_EQ(cost.saveCode, c.savable ? 0 : -14);
        if (!c.savable) {
            EXPECT_EQ(readFile(path), c.bytes);
        }
        std::printf("%s: %zu bytes; load %.1f MiB, save %.1f MiB of heap at most\n", c.name,
                    c.bytes.size(), static_cast<double>(cost.loadPeak) / kMiB,
                    static_cast<double>(cost.savePeak) / kMiB);
    }
}


// A value whose save would pass the size limit is refused before it changes
// anything: -14 naming the limit, the document and the file as they were, and
// later saves of the process as before (other keys, a plain save, the next
// object's load). Fault: the value stayed in memory and failed every later
// save of the process with the same message.
TEST(utilOptionLimits, AValueTooLargeToSaveIsRefusedAndLaterSavesGoOn)
{
    const std::string half(300000, 'h');
    struct Case {
        const char* name;
        std::string before; // the file ("" for none)
        std::string value;
    };
    const std::string large(600000, 'v');
    const std::vector<Case> cases = {
        {"first set of a new file", "", large},
        {"a new key beside others", "{\"a\": \"1\"}", large},
        {"an existing key's value replaced", "{\"a\": \"1\", \"big\": \"small\"}", large},
        // Fits alone, not with what the file holds: only this set is refused.
        {"too large together with another key", "{\"a\": \"" + half + "\"}", half},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigDir config;
        const std::string path = config.file(kPciFile);
        if (!c.before.empty())
            writeFile(path, c.before);
        LibraryOptions options(kPciFile);
        if (!c.before.empty())
            options.loadConfig();
        const nlohmann::json data = options.getData();
        const auto r = raised([&] { options.setOption("big", c.value); });
        EXPECT_EQ(r.code, -14);
        EXPECT_EQ(r.message, "Could not save config file: " + path +
                                 ": its text would be larger than the limit of " +
                                 std::to_string(kLimit) + " bytes");
        EXPECT_EQ(options.getData(), data);
        EXPECT_EQ(readFile(path), c.before);

        options.setOption("later", "1");
        nlohmann::json expected = data.is_null() ? nlohmann::json::object() : data;
        expected["later"] = "1";
        EXPECT_EQ(nlohmann::json::parse(readFile(path)), expected);
        EXPECT_NO_THROW(options.saveConfig(true));
        LibraryOptions next(kPciFile);
        next.loadConfig();
        EXPECT_EQ(next.getData(), expected);
    }
}

} // namespace
