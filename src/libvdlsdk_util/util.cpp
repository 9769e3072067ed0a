// Text, option-key, hexadecimal-word and CRC helpers, and the group membership test.
#include <cstring>
#include <ios>
#include <locale>
#include <sstream>

#include <grp.h>
#include <unistd.h>

#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_util.hpp"

namespace {

constexpr const char* kGroupName = "vandrel";

constexpr unsigned short kCrcInitial = 0xFFFF;
constexpr unsigned short kCrcPolynomial = 0x8408; // CRC-16/X-25, reflected
constexpr unsigned short kCrcFinalXor = 0xFFFF;
constexpr unsigned int kCrcTrailerBytes = 2;      // the stored CRC itself
constexpr int kProgressDone = 100; // per cent
constexpr int kBitsPerByte = 8;

} // namespace

void copyStdStringToCharPtr(const std::string& text, char* buffer, int size)
{
    if (buffer == nullptr)
        throw VDLException<-5>("cannot copy string to a NULL buffer");
    if (size < 0)
        throw VDLException<-6>("cannot copy string to a buffer with negative size");

    // Compared as sizes, so a text longer than INT_MAX cannot wrap around.
    const std::size_t length = text.size();
    if (length < static_cast<std::size_t>(size)) {
        std::memcpy(buffer, text.c_str(), length + 1);
        return;
    }
    if (size <= 1)
        throw VDLException<-6>("not enough space in buffer to copy string");

    std::memcpy(buffer, text.data(), static_cast<std::size_t>(size) - 1);
    buffer[size - 1] = '\0';
    throw VDLException<-33>("C-string buffer size was {}, but requires a size of {}", size,
                            length + 1);
}

void iterateKeys(const nlohmann::json& document, const char* previousKey, char* buffer, int size)
{
    if (previousKey == nullptr) {
        if (!document.is_object() || document.empty())
            throw VDLException<-27>("reached the end of iteration");
        copyStdStringToCharPtr(document.begin().key(), buffer, size);
        return;
    }

    if (!document.is_object())
        throw VDLException<-13>("the key {} was not found in the options", previousKey);
    auto it = document.find(previousKey);
    if (it == document.end())
        throw VDLException<-13>("the key {} was not found in the options", previousKey);
    ++it;
    if (it == document.end())
        throw VDLException<-27>("reached the end of iteration");
    copyStdStringToCharPtr(it.key(), buffer, size);
}

void strTo32s(const std::string& text, char delimiter, unsigned int* words, int count)
{
    std::istringstream input(text);
    std::string token;
    int i = 0;
    while (std::getline(input, token, delimiter)) {
        // Also covers a count of 0 or less: nothing is ever written then.
        if (i >= count)
            throw VDLException<-3>("input string corrupt");

        std::istringstream field(token);
        field.imbue(std::locale::classic());
        unsigned int value = 0;
        if (!(field >> std::hex >> value))
            throw VDLException<-3>("could not read value");
        words[i++] = value;
    }
    if (i != count)
        throw VDLException<-3>("expected count {} was not equal to {}", count, i);
}

void vdl_strncpy(char* destination, unsigned long destinationSize, const char* source,
                 unsigned long sourceSize)
{
    // A destination of 0 bytes has no last byte to terminate: nothing is written.
    if (destinationSize > 0)
        std::strncpy(destination, source, destinationSize);
    if (destinationSize < sourceSize) {
        if (destinationSize > 0)
            destination[destinationSize - 1] = '\0';
        throw VDLException<-33>("buffer size was not large enough");
    }
}

void vdl_string_replace(std::string& text, const std::string& from, const std::string& to)
{
    // An empty search text would match everywhere, forever.
    if (from.empty())
        return;
    std::string::size_type position = 0;
    while ((position = text.find(from, position)) != std::string::npos) {
        text.replace(position, from.size(), to);
        position += to.size();
    }
}

bool hasFileExtension(const std::string& path, const std::string& extension)
{
    const std::string suffix = "." + extension;
    return path.size() > suffix.size() &&
           path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::wstring utf8ToUtf16(const std::string& text)
{
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text)
        wide.push_back(static_cast<wchar_t>(static_cast<signed char>(c)));
    return wide;
}

std::string utf16ToUtf8(const std::wstring& text)
{
    const auto& facet = std::use_facet<std::ctype<wchar_t>>(std::locale());
    std::string narrow;
    for (wchar_t c : text) {
        if (c == L'\0')
            break;
        narrow.push_back(facet.narrow(c, '?'));
    }
    return narrow;
}

void updateCRC_inv(unsigned short* crc, unsigned short byte)
{
    unsigned short reg = *crc;
    for (int bit = 0; bit < kBitsPerByte; ++bit) {
        const unsigned short dataBit = (byte >> bit) & 1u;
        if ((reg & 1u) != dataBit)
            reg = static_cast<unsigned short>((reg >> 1) ^ kCrcPolynomial);
        else
            reg = static_cast<unsigned short>(reg >> 1);
    }
    *crc = reg;
}

void calculateCRC(unsigned char* data, unsigned int length, unsigned short* crc,
                  int (*progress)(const char*, int))
{
    // The last two bytes hold the CRC; a shorter buffer counts as empty.
    const unsigned int n = length >= kCrcTrailerBytes ? length - kCrcTrailerBytes : 0;
    unsigned short reg = kCrcInitial;

    if (progress != nullptr) {
        progress("", 0);
        int reported = -1;
        for (unsigned int i = 0; i < n; ++i) {
            updateCRC_inv(&reg, data[i]);
            const int percent = static_cast<int>(i * static_cast<double>(kProgressDone) / n);
            if (percent != reported) {
                reported = percent;
                if (progress("", percent) != 0)
                    throw VDLException<-12>("CRC calculation canceled");
            }
        }
        progress("", kProgressDone);
    } else {
        for (unsigned int i = 0; i < n; ++i)
            updateCRC_inv(&reg, data[i]);
    }
    *crc = static_cast<unsigned short>(reg ^ kCrcFinalXor);
}

bool is_in_vandrel_group()
{
    const struct group* entry = getgrnam(kGroupName);
    return entry != nullptr && group_member(entry->gr_gid) != 0;
}
