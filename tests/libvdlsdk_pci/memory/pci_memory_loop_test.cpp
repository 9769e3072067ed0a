// The element loop of every memory space, on a scripted space that records
// each element access.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "memory_test_support.hpp"
#include "vdlsdk/VdlpciMemorySpace.hpp"

using namespace memtest;

namespace {

constexpr int kThrow = 1000; // script entry: the access raises

struct Access {
    bool write;
    unsigned long offset;
    const unsigned char* data;
    int width;
    bool operator==(const Access& o) const
    {
        return write == o.write && offset == o.offset && data == o.data && width == o.width;
    }
};

std::ostream& operator<<(std::ostream& os, const Access& a)
{
    return os << (a.write ? "write " : "read ") << a.offset << " +" << a.width;
}

// Answers each access from a script, then with the width.
class ScriptedSpace : public VdlpciMemorySpace {
public:
    explicit ScriptedSpace(std::vector<int> script = {})
        : VdlpciMemorySpace(nullptr, VDLPCI_MS_KERNEL_BUFFER, 0x1000), m_script(std::move(script))
    {
    }

    int write(unsigned long offset, unsigned char* data, int width) override
    {
        return answer(true, offset, data, width);
    }
    int read(unsigned long offset, unsigned char* data, int width) override
    {
        return answer(false, offset, data, width);
    }

    std::vector<Access> accesses;

private:
    int answer(bool write, unsigned long offset, unsigned char* data, int width)
    {
        accesses.push_back({write, offset, data, width});
        const std::size_t i = m_next++;
        const int result = i < m_script.size() ? m_script[i] : width;
        if (result == kThrow)
            throw VDLException<-34>("element failed");
        return result;
    }

    std::vector<int> m_script;
    std::size_t m_next = 0;
};

TEST(pciMemoryLoop, TypedOperationsVisitConsecutiveElementsOfTheirWidth)
{
    alignas(8) unsigned char buffer[32] = {};
    struct Case {
        const char* name;
        int width;
        bool write;
        int (*run)(VdlpciMemorySpace&, unsigned long, unsigned char*, int);
    };
    const Case cases[] = {
        {"read8s", 1, false, [](VdlpciMemorySpace& s, unsigned long o, unsigned char* d, int n) {
             return s.read8s(o, d, n);
         }},
        {"read16s", 2, false, [](VdlpciMemorySpace& s, unsigned long o, unsigned char* d, int n) {
             return s.read16s(o, reinterpret_cast<unsigned short*>(d), n);
         }},
        {"read32s", 4, false, [](VdlpciMemorySpace& s, unsigned long o, unsigned char* d, int n) {
             return s.read32s(o, reinterpret_cast<unsigned int*>(d), n);
         }},
        {"read64s", 8, false, [](VdlpciMemorySpace& s, unsigned long o, unsigned char* d, int n) {
             return s.read64s(o, reinterpret_cast<unsigned long*>(d), n);
         }},
        {"write8s", 1, true, [](VdlpciMemorySpace& s, unsigned long o, unsigned char* d, int n) {
             return s.write8s(o, d, n);
         }},
        {"write16s", 2, true, [](VdlpciMemorySpace& s, unsigned long o, unsigned char* d, int n) {
             return s.write16s(o, reinterpret_cast<unsigned short*>(d), n);
         }},
        {"write32s", 4, true, [](VdlpciMemorySpace& s, unsigned long o, unsigned char* d, int n) {
             return s.write32s(o, reinterpret_cast<unsigned int*>(d), n);
         }},
        {"write64s", 8, true, [](VdlpciMemorySpace& s, unsigned long o, unsigned char* d, int n) {
             return s.write64s(o, reinterpret_cast<unsigned long*>(d), n);
         }},
    };
    constexpr unsigned long kStart = 0x10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSpace space;
        EXPECT_EQ(c.run(space, kStart, buffer, 3), 3);
        const std::vector<Access> expected = {
            {c.write, kStart, buffer, c.width},
            {c.write, kStart + c.width, buffer + c.width, c.width},
            {c.write, kStart + 2 * c.width, buffer + 2 * c.width, c.width},
        };
        EXPECT_EQ(space.accesses, expected);
    }
}

TEST(pciMemoryLoop, ElementResultsDecideWhatIsCounted)
{
    unsigned char buffer[16] = {};
    struct Case {
        const char* name;
        std::vector<int> script;
        int result;
        std::size_t accesses;
    };
    const Case cases[] = {
        {"all transferred", {4, 4, 4, 4}, 4, 4},
        {"a failed element is skipped", {4, 0, 4, 4}, 3, 4},
        {"no element transferred", {0, 0, 0, 0}, 0, 4},
        {"a negative code ends the loop", {4, -8, 4, 4}, -8, 2},
        {"a negative code on the first element", {-6}, -6, 1},
        {"a negative code after a skipped one", {0, 4, -1}, -1, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSpace space(c.script);
        EXPECT_EQ(space.reads(0, buffer, 4, 4), c.result);
        EXPECT_EQ(space.accesses.size(), c.accesses);
        ScriptedSpace writer(c.script);
        EXPECT_EQ(writer.writes(0, buffer, 4, 4), c.result);
        EXPECT_EQ(writer.accesses.size(), c.accesses);
    }
}

TEST(pciMemoryLoop, AnElementThatRaisesLeavesTheLoop)
{
    unsigned int words[4] = {};
    ScriptedSpace space({4, kThrow, 4, 4});
    EXPECT_RAISES(space.read32s(0, words, 4), -34, "element failed");
    EXPECT_EQ(space.accesses.size(), 2u);
}

TEST(pciMemoryLoop, NullBufferRaisesBeforeTheCountIsLookedAt)
{
    unsigned int word = 0;
    for (int count : {0, 1, -1}) {
        SCOPED_TRACE(count);
        ScriptedSpace space;
        const std::string message = "A null pointer was passed to the buffer argument";
        EXPECT_RAISES(space.read32s(0, nullptr, count), -5, message);
        EXPECT_RAISES(space.write8s(0, nullptr, count), -5, message);
        EXPECT_RAISES(space.reads(0, nullptr, 4, count), -5, message);
        EXPECT_TRUE(space.accesses.empty());
    }
    for (int count : {0, -1, INT32_MIN}) {
        SCOPED_TRACE(count);
        ScriptedSpace space;
        EXPECT_EQ(space.read32s(0, &word, count), 0);
        EXPECT_EQ(space.write32s(0, &word, count), 0);
        EXPECT_TRUE(space.accesses.empty());
    }
}

TEST(pciMemoryLoop, AWidthOfZeroDoesNotFault)
{
    unsigned char byte = 0;
    ScriptedSpace space;
    EXPECT_EQ(space.reads(0, &byte, 0, 3), 0);
    EXPECT_EQ(space.writes(0, &byte, 0, 3), 0);
}

// Runs that move 2 GiB or more: the running byte count must not wrap into a
// wrong or negative element count. The scripted elements report 1 GiB each so
// that the sum passes 2^31 and 2^32 without a billion calls.
TEST(pciMemoryLoop, ByteCountsOfTwoGibibytesAndMoreStillGiveTheElementCount)
{
    constexpr int kGiB = 1 << 30;
    unsigned long element = 0;
    ScriptedSpace twoGiB({kGiB, kGiB});
    EXPECT_EQ(twoGiB.read64s(0, &element, 2), 2 * (kGiB / 8));
    ScriptedSpace fiveGiB({kGiB, kGiB, kGiB, kGiB, kGiB});
    EXPECT_EQ(fiveGiB.write64s(0, &element, 5), 5 * (kGiB / 8));
}

// No element's offset may wrap past 2^64 to the start of the space: the loop
// visits the elements before the first such one, then refuses it with -8, in
// any space, also one whose element access would take any offset.
TEST(pciMemoryLoop, AnElementWhoseOffsetWouldWrapIsRefused)
{
    constexpr unsigned long kLast = ~0ul;
    alignas(8) unsigned char buffer[64] = {};
    struct Case {
        const char* name;
        bool write;
        int width;
        unsigned long offset;
        int count;
        std::vector<unsigned long> visited;
        const char* message; // null: no refusal
    };
    const Case cases[] = {
        {"two words from 2^64 - 4", true, 4, kLast - 3, 2, {kLast - 3},
         "element 1 of 4 bytes from offset 0xfffffffffffffffc would pass the end of the address "
         "space"},
        {"four bytes from 2^64 - 1", false, 1, kLast, 4, {kLast},
         "element 1 of 1 bytes from offset 0xffffffffffffffff would pass the end of the address "
         "space"},
        {"three doubles from 2^64 - 16", false, 8, kLast - 15, 3, {kLast - 15, kLast - 7},
         "element 2 of 8 bytes from offset 0xfffffffffffffff0 would pass the end of the address "
         "space"},
        {"an unaligned start", true, 2, kLast - 2, 3, {kLast - 2, kLast},
         "element 2 of 2 bytes from offset 0xfffffffffffffffd would pass the end of the address "
         "space"},
        {"the last element ends at 2^64", false, 4, kLast - 7, 2, {kLast - 7, kLast - 3}, nullptr},
        {"one element at the very end", true, 8, kLast, 1, {kLast}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSpace space;
        auto run = [&] {
            return c.write ? space.writes(c.offset, buffer, c.width, c.count)
                           : space.reads(c.offset, buffer, c.width, c.count);
        };
        if (c.message != nullptr)
            EXPECT_RAISES(run(), -8, c.message);
        else
            EXPECT_EQ(run(), c.count);
        std::vector<unsigned long> visited;
        for (const auto& a : space.accesses)
            visited.push_back(a.offset);
        EXPECT_EQ(visited, c.visited);
    }
}

} // namespace
