#pragma once
// Shared pieces of the card and exported-function tests: a fresh stand-in
// model per test, a capture of the "general" and "vdlsdk_pci" loggers, and
// the option file as text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>

#include "pci_test_support.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlsdk_pci.h"
#include "vdlsim.h"

namespace devtest {

// Lines written on "general" and "vdlsdk_pci" while it lives, as
// "<logger> <level>: <text>" (debug traces without their source prefix).
class Logs {
public:
    Logs()
    {
        attach(VDLLogger<LOGGER_GENERAL>::_logger);
        attach(VDLLogger<LOGGER_PCI>::_logger);
    }
    ~Logs()
    {
        for (auto& a : m_attached) {
            a.logger->set_level(a.level);
            auto& sinks = a.logger->sinks();
            sinks.erase(std::remove(sinks.begin(), sinks.end(), m_sink), sinks.end());
        }
    }
    Logs(const Logs&) = delete;
    Logs& operator=(const Logs&) = delete;

    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::istringstream in(m_stream.str());
        for (std::string line; std::getline(in, line);) {
            const auto cut = line.find(" - ");
            if (line.find(" debug: ") != std::string::npos && cut != std::string::npos)
                line = line.substr(0, line.find(": ") + 2) + line.substr(cut + 3);
            out.push_back(line);
        }
        return out;
    }
    // The lines of one logger at one level ("general", "error").
    std::vector<std::string> at(const std::string& logger, const std::string& level) const
    {
        std::vector<std::string> out;
        const std::string head = logger + " " + level + ": ";
        for (const auto& line : lines())
            if (line.compare(0, head.size(), head) == 0)
                out.push_back(line.substr(head.size()));
        return out;
    }
    // Lines at error level or above on either logger.
    std::vector<std::string> errors() const
    {
        std::vector<std::string> out;
        for (const auto& line : lines())
            if (line.find(" error: ") != std::string::npos ||
                line.find(" critical: ") != std::string::npos)
                out.push_back(line);
        return out;
    }
    bool has(const std::string& logger, const std::string& level, const std::string& text) const
    {
        const auto found = at(logger, level);
        return std::find(found.begin(), found.end(), text) != found.end();
    }
    void clear() { m_stream.str(""); }

private:
    struct Attached {
        std::shared_ptr<spdlog::logger> logger;
        spdlog::level::level_enum level;
    };
    void attach(const std::shared_ptr<spdlog::logger>& logger)
    {
        logger->sinks().push_back(m_sink);
        m_attached.push_back({logger, logger->level()});
        logger->set_level(spdlog::level::debug);
    }

    std::ostringstream m_stream;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> m_sink = [this] {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(m_stream);
        sink->set_pattern("%n %l: %v");
        return sink;
    }();
    std::vector<Attached> m_attached;
};

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
    for (const auto& e : pcitest::logEntries())
        if (e.event == event && e.card == card)
            ++n;
    return n;
}

// Default model per card, empty log; no protocol violation unless a test
// expects one.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override { pcitest::resetStandIn(); }
    void TearDown() override { EXPECT_EQ(pcitest::violations(), std::vector<std::string>{}); }

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
