#pragma once
// Text, option-key, hexadecimal-word and CRC helpers of libvdlsdk_util.
// They raise VDLException<N> and never log.
#include <string>

#include <nlohmann/json.hpp>

// Copies `text` and a NUL into `buffer` of `size` bytes. -5 null buffer, -6 bad
// size, -33 too small (the buffer then holds the truncated text, NUL-terminated).
void copyStdStringToCharPtr(const std::string& text, char* buffer, int size);

// Copies the first key (previousKey null) or the key after previousKey into the
// buffer. -27 at the end, -13 when previousKey is not a key of the document.
void iterateKeys(const nlohmann::json& document, const char* previousKey, char* buffer, int size);

// Parses exactly `count` hexadecimal words separated by `delimiter`. -3.
void strTo32s(const std::string& text, char delimiter, unsigned int* words, int count);

void vdl_strncpy(char* destination, unsigned long destinationSize, const char* source,
                 unsigned long sourceSize);
void vdl_string_replace(std::string& text, const std::string& from, const std::string& to);
bool hasFileExtension(const std::string& path, const std::string& extension);
std::wstring utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8(const std::wstring& text);

// CRC-16/X-25 over all but the last two bytes of `data`. The progress callback
// (may be null) can cancel with a non-zero result: -12.
void updateCRC_inv(unsigned short* crc, unsigned short byte);
void calculateCRC(unsigned char* data, unsigned int length, unsigned short* crc,
                  int (*progress)(const char*, int));
