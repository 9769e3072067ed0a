#pragma once
// Shared pieces of the card and exported-function tests: a fixture that opens
// cards through the exported functions, and the option file and saved words
// as text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pci_test_support.hpp"
#include "vdlsdk/vdlsdk_pci.h"
#include "vdlsim.h"

namespace devtest {

inline std::string optionFilePath()
{
    const char* dir = std::getenv("VDLSDK_CONFIG");
    return std::string(dir != nullptr ? dir : "") + "/vdlpci_config.json";
}

// The option file's text, or "<none>" when there is no file.
inline std::string optionFile()
{
    std::ifstream in(optionFilePath());
    if (!in)
        return "<none>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The saved-word text of `count` dwords of a configuration image from `offset`.
inline std::string peekWords(unsigned card, int space, unsigned offset, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        uint32_t word = 0;
        EXPECT_EQ(vdlsim_config_peek(card, space, offset + 4u * static_cast<unsigned>(i), 4, &word), 0);
        char piece[16];
        std::snprintf(piece, sizeof(piece), "%x ", word);
        text += piece;
    }
    return text;
}

inline std::size_t countEvents(uint32_t event, uint32_t card)
{
    std::size_t n = 0;
    for (const auto& e : vdltest::simLog())
        if (e.event == event && e.card == card)
            ++n;
    return n;
}

// The default model; the exported open of a card.
class DeviceTest : public vdltest::SimTest {
protected:
    void* open(int index = 0)
    {
        void* handle = nullptr;
        EXPECT_EQ(vdlpci_dev_open(index, &handle), 0);
        EXPECT_NE(handle, nullptr);
        return handle;
    }
};

// Configuration-space offsets of the default model's capabilities.
inline constexpr unsigned kMsiCap = 0x50;
inline constexpr unsigned kPcieCap = 0x70;
inline constexpr unsigned kMsixCap = 0xB0;
inline constexpr unsigned kBridgePcieCap = 0x60;
inline constexpr unsigned kAerCap = 0x100;
inline constexpr unsigned kAerUncorrectableMask = kAerCap + 0x08;
inline constexpr uint32_t kSurpriseDown = 1u << 5;
inline constexpr uint16_t kLinkDisable = 1u << 4;

} // namespace devtest
