#pragma once
// Shared pieces of the driver-interface tests: a fixture on a fresh stand-in
// model, the stand-in's request log as values, and a capture of the
// "vdlsdk_pci" logger.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>

#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"
#include "vdlsim.h"

namespace pcitest {

// Every held log entry, oldest first.
inline std::vector<vdlsim_log_entry> logEntries()
{
    std::vector<vdlsim_log_entry> out;
    const std::size_t n = vdlsim_log_count();
    for (std::size_t i = 0; i < n; ++i) {
        vdlsim_log_entry e{};
        if (vdlsim_log_get(i, &e) == 0)
            out.push_back(e);
    }
    return out;
}

// The calls a test looks at, as short texts ("ioctl 0x40047806", "mmap",
// ...), so a whole sequence compares in one assertion.
inline std::string eventName(const vdlsim_log_entry& e)
{
    char text[64];
    switch (e.event) {
    case VDLSIM_EV_IOCTL:
        std::snprintf(text, sizeof(text), "ioctl %#x", e.request);
        return text;
    case VDLSIM_EV_OPEN: return "open";
    case VDLSIM_EV_CLOSE: return "close";
    case VDLSIM_EV_MMAP: return "mmap";
    case VDLSIM_EV_MUNMAP: return "munmap";
    case VDLSIM_EV_ACCESS: return "access";
    }
    return "?";
}

inline std::vector<std::string> eventNames()
{
    std::vector<std::string> out;
    for (const auto& e : logEntries())
        out.push_back(eventName(e));
    return out;
}

inline std::string req(unsigned long request)
{
    char text[32];
    std::snprintf(text, sizeof(text), "ioctl %#lx", request);
    return text;
}

inline std::vector<std::string> violations()
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < vdlsim_violation_count(); ++i) {
        char text[512];
        if (vdlsim_violation_text(i, text, sizeof(text)) >= 0)
            out.emplace_back(text);
    }
    return out;
}

inline int addFault(int card, uint32_t request, uint32_t command, int err, uint32_t skip = 0,
                    uint32_t count = 1, uint64_t address = VDLSIM_FAULT_ANY_ADDRESS)
{
    vdlsim_fault rule{};
    rule.card = card;
    rule.request = request;
    rule.command = command;
    rule.address = address;
    rule.skip = skip;
    rule.count = count;
    rule.err = err;
    return vdlsim_fault_add(&rule);
}

// Fills a stretch of stack below the caller with a pattern, so a record the
// interface forgets to clear carries garbage the stand-in refuses.
[[gnu::noinline]] inline void dirtyStack()
{
    volatile unsigned char junk[16384];
    for (auto& b : junk)
        b = 0xA5;
}

// Lines written on one logger while it lives, as "<level>: <text>"; turns
// debug traces on for that time.
template <LoggerType T>
class LoggerCapture {
public:
    LoggerCapture()
        : m_logger(VDLLogger<T>::_logger),
          m_sink(std::make_shared<spdlog::sinks::ostream_sink_mt>(m_stream)),
          m_level(m_logger->level())
    {
        m_sink->set_pattern("%l: %v");
        m_logger->sinks().push_back(m_sink);
        m_logger->set_level(spdlog::level::debug);
    }
    ~LoggerCapture()
    {
        m_logger->set_level(m_level);
        auto& sinks = m_logger->sinks();
        for (auto it = sinks.begin(); it != sinks.end(); ++it) {
            if (*it == m_sink) {
                sinks.erase(it);
                break;
            }
        }
    }
    LoggerCapture(const LoggerCapture&) = delete;
    LoggerCapture& operator=(const LoggerCapture&) = delete;

    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::istringstream in(m_stream.str());
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    void clear() { m_stream.str(""); }

protected:
    // Lines at one level ("error", "debug"), the debug trace prefix removed;
    // debug traces whose prefix names `skipSource` are left out.
    std::vector<std::string> linesAt(const std::string& level, const char* skipSource) const
    {
        std::vector<std::string> out;
        const std::string head = level + ": ";
        for (const auto& line : lines()) {
            if (line.compare(0, head.size(), head) != 0)
                continue;
            std::string text = line.substr(head.size());
            if (level == "debug") {
                const auto cut = text.find(" - ");
                if (cut != std::string::npos) {
                    if (skipSource != nullptr &&
                        text.substr(0, cut).find(skipSource) != std::string::npos)
                        continue;
                    text = text.substr(cut + 3);
                }
            }
            out.push_back(text);
        }
        return out;
    }

private:
    std::shared_ptr<spdlog::logger> m_logger;
    std::ostringstream m_stream;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> m_sink;
    spdlog::level::level_enum m_level;
};

// The "vdlsdk_pci" logger, every trace kept.
class LogCapture : public LoggerCapture<LOGGER_PCI> {
public:
    std::vector<std::string> at(const std::string& level) const { return linesAt(level, nullptr); }
};

// The default model, no faults, an empty request log and no violations.
inline void resetStandIn()
{
    vdlsim_reset();
    vdlsim_fault_clear();
    vdlsim_log_clear();
    vdlsim_violation_clear();
}

// A fresh stand-in with the default card 0 (plus whatever a test adds), an
// empty request log, and no protocol violation allowed unless a test expects
// one.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override { resetStandIn(); }
    void TearDown() override
    {
        if (m_checkViolations) {
            EXPECT_EQ(violations(), std::vector<std::string>{});
        }
    }

    // Opens card `card` and forgets the requests of the open.
    vdlcard_handle* openCard(uint32_t card = 0)
    {
        vdlcard_handle* h = vdlcard_Open(card, VDLCARD_OPEN_FLAGS);
        EXPECT_NE(h, nullptr);
        vdlsim_log_clear();
        return h;
    }

    bool m_checkViolations = true;
};

} // namespace pcitest
