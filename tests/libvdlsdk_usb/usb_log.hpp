#pragma once
// Collects what the kit's loggers write, for tests that check messages.
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "vdlsdk/vdl_logger.hpp"

namespace usbtest {

struct LogLine {
    std::string logger;
    spdlog::level::level_enum level;
    std::string text;
};

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> lines()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return m_lines;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        m_lines.push_back({std::string(msg.logger_name.data(), msg.logger_name.size()), msg.level,
                           std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::vector<LogLine> m_lines;
};

// Captures "general" and "vdlsdk_usb", the latter at debug level.
class LogCapture {
public:
    LogCapture() : m_sink(std::make_shared<CaptureSink>())
    {
        VDLLogger<LOGGER_GENERAL>::_logger->sinks().push_back(m_sink);
        VDLLogger<LOGGER_USB>::_logger->sinks().push_back(m_sink);
        VDLLogger<LOGGER_USB>::_logger->set_level(spdlog::level::debug);
    }

    std::vector<LogLine> lines() { return m_sink->lines(); }

    // Errors on "general": the exceptions the exported functions caught.
    std::vector<std::string> errors()
    {
        std::vector<std::string> out;
        for (const auto& l : lines())
            if (l.logger == "general" && l.level == spdlog::level::err)
                out.push_back(l.text);
        return out;
    }

    // A "vdlsdk_usb" debug trace whose text (after the source prefix) ends with `text`.
    bool traced(const std::string& text)
    {
        for (const auto& l : lines())
            if (l.logger == "vdlsdk_usb" && l.level == spdlog::level::debug &&
                l.text.size() >= text.size() &&
                l.text.compare(l.text.size() - text.size(), text.size(), text) == 0)
                return true;
        return false;
    }

private:
    std::shared_ptr<CaptureSink> m_sink;
};

} // namespace usbtest
