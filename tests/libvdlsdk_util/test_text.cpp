// String copy, key iteration, hexadecimal words, small text helpers and the CRC.
#include <gtest/gtest.h>

#include <array>
#include <locale>
#include <string>
#include <vector>

#include "util_test_support.hpp"
#include "vdlsdk/vdl_util.hpp"

using vdltest::raised;

namespace {

constexpr char kFill = 'x';
constexpr int kBufferSize = 8;

TEST(utilCopyString, Table)
{
    struct Case {
        std::string text;
        int size;
        int code;
        std::string message;
        std::string expected; // the buffer's bytes up to the size given, or "" when untouched
    };
    const std::vector<Case> cases = {
        {"abc", 4, 0, "", std::string("abc\0", 4)},
        {"abc", 3, -33, "C-string buffer size was 3, but requires a size of 4", std::string("ab\0", 3)},
        {"abc", 2, -33, "C-string buffer size was 2, but requires a size of 4", std::string("a\0", 2)},
        {"abc", 1, -6, "not enough space in buffer to copy string", ""},
        {"abc", 0, -6, "not enough space in buffer to copy string", ""},
        {"abc", -1, -6, "cannot copy string to a buffer with negative size", ""},
        {"", 1, 0, "", std::string("\0", 1)},
        {"", 0, -6, "not enough space in buffer to copy string", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " / " + std::to_string(c.size));
        std::array<char, kBufferSize> buffer;
        buffer.fill(kFill);
        const auto r = raised([&] { copyStdStringToCharPtr(c.text, buffer.data(), c.size); });
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.message, c.message);
        const std::size_t written = c.expected.size();
        EXPECT_EQ(std::string(buffer.data(), written), c.expected);
        // Nothing beyond what the copy needs is touched.
        for (std::size_t i = written; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], kFill) << "byte " << i;
    }
}

TEST(utilCopyString, NullBufferWhateverTheSize)
{
    for (int size : {-1, 0, 1, 100}) {
        const auto r = raised([&] { copyStdStringToCharPtr("abc", nullptr, size); });
        EXPECT_EQ(r.code, -5) << size;
        EXPECT_EQ(r.message, "cannot copy string to a NULL buffer");
    }
}

TEST(utilCopyString, RaisesTheTypeOfItsCode)
{
    char buffer[2];
    EXPECT_THROW(copyStdStringToCharPtr("abc", buffer, 2), VDLException<-33>);
}

TEST(utilIterateKeys, Table)
{
    const nlohmann::json ab = {{"b", "2"}, {"a", "1"}};
    const nlohmann::json null;
    const nlohmann::json emptyObject = nlohmann::json::object();
    const nlohmann::json emptyArray = nlohmann::json::array();
    struct Case {
        const nlohmann::json* document;
        const char* previous;
        int code;
        std::string result; // the key, or the message
    };
    const std::vector<Case> cases = {
        {&ab, nullptr, 0, "a"},
        {&ab, "a", 0, "b"},
        {&ab, "b", -27, "reached the end of iteration"},
        {&ab, "c", -13, "the key c was not found in the options"},
        {&null, nullptr, -27, "reached the end of iteration"},
        {&null, "a", -13, "the key a was not found in the options"},
        {&emptyObject, nullptr, -27, "reached the end of iteration"},
        {&emptyObject, "a", -13, "the key a was not found in the options"},
        {&emptyArray, nullptr, -27, "reached the end of iteration"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document->dump() + " after " + (c.previous ? c.previous : "(null)"));
        char buffer[kBufferSize] = {};
        const auto r = raised([&] { iterateKeys(*c.document, c.previous, buffer, sizeof buffer); });
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(c.code == 0 ? std::string(buffer) : r.message, c.result);
    }
}

TEST(utilIterateKeys, TruncatedKeyIsNotAKey)
{
    const nlohmann::json doc = {{"abcdef", "1"}, {"z", "2"}};
    char buffer[4];
    EXPECT_RAISES(iterateKeys(doc, nullptr, buffer, sizeof buffer), -33,
                  "C-string buffer size was 4, but requires a size of 7");
    EXPECT_STREQ(buffer, "abc");
    char next[kBufferSize];
    EXPECT_RAISES(iterateKeys(doc, buffer, next, sizeof next), -13,
                  "the key abc was not found in the options");
    // The buffer error of the copy comes through for a next key as well.
    EXPECT_RAISES(iterateKeys(doc, "abcdef", nullptr, 0), -5, "cannot copy string to a NULL buffer");
}

TEST(utilStrTo32s, Table)
{
    constexpr unsigned int kSentinel = 0xDEADBEEF;
    struct Case {
        std::string text;
        char delimiter;
        int count;
        std::vector<unsigned int> stored; // the words expected before the sentinels
        int code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"1 2 3 ", ' ', 3, {1, 2, 3}, 0, ""},
        {"1 2 3", ' ', 3, {1, 2, 3}, 0, ""},
        {"1 2", ' ', 3, {1, 2}, -3, "expected count 3 was not equal to 2"},
        {"1 2 3 4", ' ', 3, {1, 2, 3}, -3, "input string corrupt"},
        {"1  2", ' ', 3, {1}, -3, "could not read value"},
        {"zz", ' ', 1, {}, -3, "could not read value"},
        {"100000000", ' ', 1, {}, -3, "could not read value"},
        {"0x1F", ' ', 1, {31}, 0, ""},
        {"0X1f 7", ' ', 2, {31, 7}, 0, ""},
        {"ffffffff", ' ', 1, {0xFFFFFFFF}, 0, ""},
        {"  a", ' ', 1, {}, -3, "could not read value"}, // two empty tokens come first
        {"1g,2", ',', 2, {1, 2}, 0, ""},                  // the rest of a token is ignored
        {"ab,cd,", ',', 2, {0xab, 0xcd}, 0, ""},
        {"", ' ', 0, {}, 0, ""},
        {"", ' ', 1, {}, -3, "expected count 1 was not equal to 0"},
        // A count of 0 or less never writes a word.
        {"1", ' ', 0, {}, -3, "input string corrupt"},
        {"1 2", ' ', -1, {}, -3, "input string corrupt"},
        {"", ' ', -1, {}, -3, "expected count -1 was not equal to 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.text + "' count " + std::to_string(c.count));
        std::array<unsigned int, kBufferSize> words;
        words.fill(kSentinel);
        const auto r = raised([&] { strTo32s(c.text, c.delimiter, words.data(), c.count); });
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.message, c.message);
        for (std::size_t i = 0; i < words.size(); ++i) {
            const unsigned int expected = i < c.stored.size() ? c.stored[i] : kSentinel;
            EXPECT_EQ(words[i], expected) << "word " << i;
        }
    }
}

// The destination lies inside a larger buffer, so that a byte written before
// or after it shows.
TEST(utilStrncpy, Table)
{
    constexpr std::size_t kBefore = 2;
    struct Case {
        const char* name;
        const char* source;
        unsigned long sourceSize; // the caller's statement, terminator included
        unsigned long size;
        bool raises;              // -33 "buffer size was not large enough"
        std::string expected;     // the destination's bytes afterwards
    };
    const std::vector<Case> cases = {
        {"the rest filled with zeros", "abc", 4, 8, false, std::string("abc\0\0\0\0\0", 8)},
        {"an exact fit", "abc", 4, 4, false, std::string("abc\0", 4)},
        {"truncated and terminated", "abcdef", 7, 4, true, std::string("abc\0", 4)},
        {"no room at all", "abc", 4, 0, true, ""},
        {"nothing to copy and nowhere to", "", 0, 0, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<char, kBefore + kBufferSize + 2> buffer;
        buffer.fill(kFill);
        const auto r =
            raised([&] { vdl_strncpy(buffer.data() + kBefore, c.size, c.source, c.sourceSize); });
        EXPECT_EQ(r.raised, c.raises);
        EXPECT_EQ(r.code, c.raises ? -33 : 0);
        EXPECT_EQ(r.message, c.raises ? "buffer size was not large enough" : "");
        const std::string expected =
            std::string(kBefore, kFill) + c.expected +
            std::string(buffer.size() - kBefore - c.expected.size(), kFill);
        EXPECT_EQ(std::string(buffer.data(), buffer.size()), expected);
    }
}

TEST(utilStringReplace, Table)
{
    struct Case {
        std::string text, from, to, expected;
    };
    const std::vector<Case> cases = {
        {"aaa", "a", "aa", "aaaaaa"},
        {"hello world", "o", "0", "hell0 w0rld"},
        {"aaaa", "aa", "a", "aa"},
        {"abab", "ab", "", ""},
        {"abc", "x", "y", "abc"},
        {"", "a", "b", ""},
        {"abc", "", "x", "abc"}, // an empty search text changes nothing
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        vdl_string_replace(text, c.from, c.to);
        EXPECT_EQ(text, c.expected) << c.text << " " << c.from << "->" << c.to;
    }
}

TEST(utilFileExtension, Table)
{
    struct Case {
        std::string path, extension;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"a.json", "json", true},      {".json", "json", false},     {"a.JSON", "json", false},
        {"json", "json", false},       {"a.json.bak", "json", false}, {"dir/x.tar.gz", "tar.gz", true},
        {"ajson", "json", false},      {"a.", "", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hasFileExtension(c.path, c.extension), c.expected) << c.path << " " << c.extension;
}

TEST(utilWideText, BytesWidenBySignAndNarrowInTheClassicLocale)
{
    const std::wstring wide = utf8ToUtf16("a\xC3\xA9");
    ASSERT_EQ(wide.size(), 3u);
    EXPECT_EQ(wide[0], L'a');
    EXPECT_EQ(wide[1], static_cast<wchar_t>(static_cast<signed char>('\xC3')));
    EXPECT_LT(wide[1], 0);

    std::locale::global(std::locale::classic());
    EXPECT_EQ(utf16ToUtf8(L"plain"), "plain");
    EXPECT_EQ(utf16ToUtf8(std::wstring(L"ab\0cd", 5)), "ab");
    EXPECT_EQ(utf16ToUtf8(L"a\u00e9\u4e2d"), "a??");
    EXPECT_EQ(utf16ToUtf8(wide), "a??");
}

std::vector<int> g_progress;
int g_cancelAtCall = 0;

int recordProgress(const char* text, int percent)
{
    EXPECT_STREQ(text, "");
    g_progress.push_back(percent);
    return static_cast<int>(g_progress.size()) == g_cancelAtCall ? 1 : 0;
}

class utilCrc : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_progress.clear();
        g_cancelAtCall = 0;
    }
};

TEST_F(utilCrc, CheckValueAndTrailingBytesIgnored)
{
    for (const char* trailer : {"\x00\x00", "\xAB\xCD"}) {
        std::vector<unsigned char> data = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        data.push_back(static_cast<unsigned char>(trailer[0]));
        data.push_back(static_cast<unsigned char>(trailer[1]));
        unsigned short crc = 0;
        calculateCRC(data.data(), data.size(), &crc, nullptr);
        EXPECT_EQ(crc, 0x906E);
        crc = 0;
        calculateCRC(data.data(), data.size(), &crc, recordProgress);
        EXPECT_EQ(crc, 0x906E);
    }
}

TEST_F(utilCrc, ShortBuffersCountAsEmpty)
{
    for (unsigned int length : {2u, 1u, 0u}) {
        SCOPED_TRACE(length);
        g_progress.clear();
        // Exactly `length` bytes, so a read past them shows under the sanitizer.
        std::vector<unsigned char> data(length, 0x55);
        unsigned short crc = 0x1234;
        calculateCRC(length ? data.data() : nullptr, length, &crc, recordProgress);
        EXPECT_EQ(crc, 0);
        EXPECT_EQ(g_progress, (std::vector<int>{0, 100}));
    }
}

TEST_F(utilCrc, CancelOnTheFirstByteLeavesTheResultAlone)
{
    std::vector<unsigned char> data(20, 0x11);
    unsigned short crc = 0x1234;
    g_cancelAtCall = 2; // the 0 reported after the first byte
    EXPECT_RAISES(calculateCRC(data.data(), data.size(), &crc, recordProgress), -12,
                  "CRC calculation canceled");
    EXPECT_EQ(crc, 0x1234);
    EXPECT_EQ(g_progress, (std::vector<int>{0, 0}));
}

TEST_F(utilCrc, ProgressReportsEachPercentageOnce)
{
    std::vector<unsigned char> data(200);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i);
    unsigned short withProgress = 0;
    calculateCRC(data.data(), data.size(), &withProgress, recordProgress);
    std::vector<int> expected = {0, 0};
    for (int p = 1; p <= 99; ++p)
        expected.push_back(p);
    expected.push_back(100);
    EXPECT_EQ(g_progress, expected);

    unsigned short plain = 0;
    calculateCRC(data.data(), data.size(), &plain, nullptr);
    EXPECT_EQ(plain, withProgress);
    // The last call's answer is ignored: asking to stop at 100 changes nothing.
    g_progress.clear();
    g_cancelAtCall = static_cast<int>(expected.size());
    unsigned short late = 0;
    calculateCRC(data.data(), data.size(), &late, recordProgress);
    EXPECT_EQ(late, plain);
}

TEST(utilCrcUpdate, UsesOnlyTheLowByte)
{
    unsigned short a = 0xFFFF, b = 0xFFFF;
    updateCRC_inv(&a, 0x131);
    updateCRC_inv(&b, 0x31);
    EXPECT_EQ(a, b);
}

} // namespace
