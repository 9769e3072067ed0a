// The text helpers on arbitrary bytes: string copies into buffers of exactly the
// size given, hexadecimal words, replace, file extensions, wide text, the bit
// helpers and the CRC.
//
// Input: four parameter bytes, then `from` and `to` (each a length byte and its
// bytes), then the text.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "fuzz_support.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_util.hpp"
#include "vdlsdk/vdlsdk_util.h"

namespace {

constexpr int kNoCode = 0;
constexpr std::size_t kMaxReplaced = 1 << 20; // bounds the work of one input
constexpr int kMaxWords = 16;

// Buffers on the heap of exactly the size asked for, so that a write past the
// end is a sanitizer report rather than a silent overwrite.
std::unique_ptr<char[]> exactBuffer(std::size_t size, char fill)
{
    std::unique_ptr<char[]> buffer(new char[size]);
    std::memset(buffer.get(), fill, size);
    return buffer;
}

template <typename F>
int codeOf(F&& call)
{
    try {
        call();
    } catch (const VDLBaseException& e) {
        return e.code;
    }
    return kNoCode;
}

void copyIntoBuffer(const std::string& text, int size)
{
    constexpr char kFill = '\x5a';
    const std::size_t allocated = size > 0 ? static_cast<std::size_t>(size) : 1;
    auto buffer = exactBuffer(allocated, kFill);
    const int code = codeOf([&] { copyStdStringToCharPtr(text, buffer.get(), size); });
    const std::string untouched(allocated, kFill);
    if (size < 0) {
        FUZZ_CHECK(code == -6);
        FUZZ_CHECK(std::string(buffer.get(), allocated) == untouched);
    } else if (text.size() < static_cast<std::size_t>(size)) {
        FUZZ_CHECK(code == kNoCode);
        FUZZ_CHECK(std::memcmp(buffer.get(), text.c_str(), text.size() + 1) == 0);
    } else if (size <= 1) {
        FUZZ_CHECK(code == -6);
        FUZZ_CHECK(std::string(buffer.get(), allocated) == untouched);
    } else {
        FUZZ_CHECK(code == -33);
        FUZZ_CHECK(std::memcmp(buffer.get(), text.data(), size - 1) == 0);
        FUZZ_CHECK(buffer[size - 1] == '\0');
    }
}

void boundedCopy(const std::string& source, unsigned long destinationSize, unsigned long sourceSize)
{
    constexpr char kFill = '\x33';
    auto destination = exactBuffer(std::max(destinationSize, 1ul), kFill);
    const int code =
        codeOf([&] { vdl_strncpy(destination.get(), destinationSize, source.c_str(), sourceSize); });
    FUZZ_CHECK(code == (destinationSize < sourceSize ? -33 : kNoCode));
    if (destinationSize == 0) {
        FUZZ_CHECK(destination[0] == kFill);
        return;
    }
    // strncpy: the source up to its NUL, then NULs to the end of the destination;
    // a destination too small for the source's size ends in a NUL.
    const std::size_t kept = code == kNoCode ? destinationSize : destinationSize - 1;
    const std::size_t length = std::min<std::size_t>(std::strlen(source.c_str()), kept);
    FUZZ_CHECK(std::memcmp(destination.get(), source.c_str(), length) == 0);
    for (std::size_t i = length; i < destinationSize; ++i)
        FUZZ_CHECK(destination[i] == '\0');
}

void hexadecimalWords(const std::string& text, char delimiter, int count)
{
    constexpr unsigned int kSentinel = 0xA5A5A5A5u;
    const std::size_t allocated = count > 0 ? static_cast<std::size_t>(count) : 1;
    std::unique_ptr<unsigned int[]> words(new unsigned int[allocated]);
    std::fill(words.get(), words.get() + allocated, kSentinel);
    const int code = codeOf([&] { strTo32s(text, delimiter, words.get(), count); });
    FUZZ_CHECK(code == kNoCode || code == -3);
    if (code != kNoCode || count <= 0)
        return;

    // The words as the PCIe library saves them read back as the same words.
    std::string saved;
    for (int i = 0; i < count; ++i)
        saved += fmt::format("{:x} ", words[i]);
    std::unique_ptr<unsigned int[]> again(new unsigned int[count]);
    FUZZ_CHECK(codeOf([&] { strTo32s(saved, ' ', again.get(), count); }) == kNoCode);
    FUZZ_CHECK(std::equal(words.get(), words.get() + count, again.get()));
    // One word fewer or one more is refused.
    FUZZ_CHECK(codeOf([&] { strTo32s(saved, ' ', again.get(), count - 1); }) == -3);
    std::unique_ptr<unsigned int[]> more(new unsigned int[count + 1]);
    FUZZ_CHECK(codeOf([&] { strTo32s(saved, ' ', more.get(), count + 1); }) == -3);
}

// Replace, checked against a plain reading of the rule: non-overlapping matches
// from the left, inserted text never searched again.
void replaceAll(const std::string& text, const std::string& from, const std::string& to)
{
    std::string expected;
    if (from.empty()) {
        expected = text;
    } else {
        std::size_t position = 0;
        for (;;) {
            const std::size_t found = text.find(from, position);
            if (found == std::string::npos)
                break;
            if (expected.size() + (found - position) + to.size() > kMaxReplaced)
                return;
            expected.append(text, position, found - position).append(to);
            position = found + from.size();
        }
        expected.append(text, position, std::string::npos);
    }
    std::string actual = text;
    vdl_string_replace(actual, from, to);
    FUZZ_CHECK(actual == expected);
}

void fileExtension(const std::string& path, const std::string& extension)
{
    const std::string suffix = "." + extension;
    const bool expected = path.size() > suffix.size() &&
                          path.substr(path.size() - suffix.size()) == suffix;
    FUZZ_CHECK(hasFileExtension(path, extension) == expected);
}

void wideText(const std::string& text)
{
    const std::wstring wide = utf8ToUtf16(text);
    FUZZ_CHECK(wide.size() == text.size());
    const std::string narrow = utf16ToUtf8(wide);
    // Up to the first NUL; ASCII stays, every other byte becomes "?".
    std::string expected;
    for (char c : text) {
        if (c == '\0')
            break;
        expected.push_back(static_cast<unsigned char>(c) < 0x80 ? c : '?');
    }
    FUZZ_CHECK(narrow == expected);
}

void bits(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const int value = static_cast<int>(static_cast<unsigned int>(a) << 24 |
                                       static_cast<unsigned int>(b) << 16 |
                                       static_cast<unsigned int>(c) << 8 | d);
    const int shift = numbits_to_shift(value);
    FUZZ_CHECK(shift >= 0 && shift < 32);
    if (value != 0)
        FUZZ_CHECK((static_cast<unsigned int>(value) >> shift) & 1u);
    FUZZ_CHECK(get_numbits_set(value) == __builtin_popcount(d));
    const int count = static_cast<signed char>(a) % 12;
    FUZZ_CHECK(set_numbits(count) == (count >= 0 && count <= 8 ? (1 << count) - 1 : 0));
}

int g_calls;
int g_last;
int g_cancelAt;

int progress(const char* text, int percent)
{
    FUZZ_CHECK(text != nullptr && *text == '\0');
    FUZZ_CHECK(percent >= 0 && percent <= 100);
    ++g_calls;
    // Never backwards, except the first byte's 0 after the opening 0.
    FUZZ_CHECK(percent >= g_last);
    g_last = percent;
    return g_calls == g_cancelAt ? 1 : 0;
}

void crc(const std::string& bytes, std::uint8_t cancelAt)
{
    std::vector<unsigned char> data(bytes.begin(), bytes.end());
    const auto length = static_cast<unsigned int>(data.size());
    // A pointer that is no buffer: a CRC over fewer than two bytes must not read.
    unsigned char* const pointer = data.empty() ? nullptr : data.data();

    unsigned short plain = 0;
    calculateCRC(pointer, length, &plain, nullptr);

    unsigned short expected = 0xFFFF;
    for (std::size_t i = 0; i + 2 < data.size(); ++i)
        updateCRC_inv(&expected, data[i]);
    FUZZ_CHECK(plain == static_cast<unsigned short>(expected ^ 0xFFFF));

    g_calls = 0;
    g_last = 0;
    g_cancelAt = cancelAt;
    constexpr unsigned short kUntouched = 0x1234;
    unsigned short reported = kUntouched;
    const int code = codeOf([&] { calculateCRC(pointer, length, &reported, progress); });
    if (code == kNoCode) {
        FUZZ_CHECK(reported == plain);
        FUZZ_CHECK(g_last == 100);
    } else {
        FUZZ_CHECK(code == -12);
        FUZZ_CHECK(reported == kUntouched);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    set_log_verbosity_all(6); // set_numbits logs its range error
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Bytes input(data, size);
    const std::uint8_t p0 = input.byte();
    const std::uint8_t p1 = input.byte();
    const std::uint8_t p2 = input.byte();
    const std::uint8_t p3 = input.byte();
    const std::string from = input.text();
    const std::string to = input.text();
    const std::string text = input.rest();

    copyIntoBuffer(text, static_cast<int>(p0) - 16);
    copyIntoBuffer(from, static_cast<int>(p1) % 8);
    boundedCopy(text, p1, p2);
    boundedCopy(from, p2 % 8, from.size() + 1);

    const char delimiter = to.empty() ? ' ' : to[0];
    hexadecimalWords(text, delimiter, static_cast<int>(p3 % (kMaxWords + 2)) - 1);
    hexadecimalWords(from, ' ', p3 % 11);

    replaceAll(text, from, to);
    fileExtension(text, from);
    fileExtension(from + "." + to, to);
    wideText(text);
    bits(p0, p1, p2, p3);
    crc(text, p3);
    return 0;
}
