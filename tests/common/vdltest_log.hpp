#pragma once
// Capturing what the kit's loggers write.
#include <algorithm>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "vdlsdk/vdl_logger.hpp"

namespace vdltest {

// One message as a logger wrote it.
struct LogLine {
    std::string logger;  // "general", "vdlsdk_pci", ...
    std::string level;   // "debug", "warning", "error", ... as spdlog names them
    std::string message; // verbatim, a debug trace's source prefix included
    std::string source;  // a debug trace's prefix "<file>:<line> <function>", else ""
    std::string text;    // the message without that prefix
};

// A debug trace starts with "<file>:<line> <function> - "; the prefix, or "".
inline std::string tracePrefix(const std::string& message)
{
    const auto cut = message.find(" - ");
    if (cut == std::string::npos)
        return {};
    const std::string head = message.substr(0, cut);
    const auto space = head.find(' ');
    const auto colon = head.rfind(':', space);
    if (space == std::string::npos || colon == std::string::npos || colon + 1 == space)
        return {};
    for (auto i = colon + 1; i < space; ++i)
        if (head[i] < '0' || head[i] > '9')
            return {};
    return head;
}

class LogSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> lines()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return m_lines;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        m_lines.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        LogLine line;
        line.logger.assign(msg.logger_name.data(), msg.logger_name.size());
        const auto level = spdlog::level::to_string_view(msg.level);
        line.level.assign(level.data(), level.size());
        line.message.assign(msg.payload.data(), msg.payload.size());
        if (msg.level == spdlog::level::debug)
            line.source = tracePrefix(line.message);
        line.text = line.source.empty() ? line.message : line.message.substr(line.source.size() + 3);
        m_lines.push_back(std::move(line));
    }
    void flush_() override {}

private:
    std::vector<LogLine> m_lines;
};

inline const std::shared_ptr<spdlog::logger>& loggerOf(LoggerType type)
{
    switch (type) {
    case LOGGER_GENERAL: return VDLLogger<LOGGER_GENERAL>::_logger;
    case LOGGER_PCI: return VDLLogger<LOGGER_PCI>::_logger;
    case LOGGER_USB: return VDLLogger<LOGGER_USB>::_logger;
    case LOGGER_S10: return VDLLogger<LOGGER_S10>::_logger;
    default: return VDLLogger<LOGGER_BMC>::_logger;
    }
}

// For LogCapture: leave the loggers' levels as they are.
inline constexpr std::optional<spdlog::level::level_enum> kKeepLevel = std::nullopt;

// What some of the loggers write while the capture lives. The loggers are set
// to `level` (debug unless told otherwise) for that time; at the end each gets
// back the level it had at the start, whoever changed it, and the capture's
// sink is taken off again.
class LogCapture {
public:
    explicit LogCapture(std::initializer_list<LoggerType> loggers,
                        std::optional<spdlog::level::level_enum> level = spdlog::level::debug)
    {
        for (LoggerType type : loggers) {
            const auto& logger = loggerOf(type);
            if (!logger)
                continue;
            m_attached.push_back({logger, logger->level()});
            logger->sinks().push_back(m_sink);
            if (level)
                logger->set_level(*level);
        }
    }
    explicit LogCapture(LoggerType logger,
                        std::optional<spdlog::level::level_enum> level = spdlog::level::debug)
        : LogCapture({logger}, level)
    {
    }
    ~LogCapture()
    {
        for (auto& a : m_attached) {
            a.logger->set_level(a.level);
            auto& sinks = a.logger->sinks();
            sinks.erase(std::remove(sinks.begin(), sinks.end(), m_sink), sinks.end());
        }
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Debug traces from source files whose name contains `source` are left
    // out of everything below.
    void skipTracesFrom(std::string source) { m_skipped.push_back(std::move(source)); }

    std::vector<LogLine> entries() const
    {
        std::vector<LogLine> out;
        for (auto& line : m_sink->lines()) {
            const bool skipped =
                std::any_of(m_skipped.begin(), m_skipped.end(), [&](const std::string& s) {
                    return line.source.find(s) != std::string::npos;
                });
            if (!skipped)
                out.push_back(std::move(line));
        }
        return out;
    }
    // Every line as "<logger> <level>: <text>".
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        for (const auto& l : entries())
            out.push_back(l.logger + " " + l.level + ": " + l.text);
        return out;
    }
    // The texts at one level ("error", "debug"), of every captured logger or
    // of one ("general", "vdlsdk_pci").
    std::vector<std::string> at(const std::string& level) const { return select("", level); }
    std::vector<std::string> at(const std::string& logger, const std::string& level) const
    {
        return select(logger, level);
    }
    // The texts one of the captured loggers wrote, at every level.
    std::vector<std::string> messages(LoggerType logger) const
    {
        std::vector<std::string> out;
        if (const auto& wanted = loggerOf(logger)) {
            for (const auto& l : entries())
                if (l.logger == wanted->name())
                    out.push_back(l.text);
        }
        return out;
    }
    bool has(const std::string& level, const std::string& text) const
    {
        return contains(at(level), text);
    }
    bool has(const std::string& logger, const std::string& level, const std::string& text) const
    {
        return contains(at(logger, level), text);
    }
    // The lines at error level or above, as lines() gives them.
    std::vector<std::string> errors() const
    {
        std::vector<std::string> out;
        for (const auto& l : entries())
            if (l.level == "error" || l.level == "critical")
                out.push_back(l.logger + " " + l.level + ": " + l.text);
        return out;
    }
    // Everything, one "<level>|<message>" line per message, messages verbatim.
    std::string text() const
    {
        std::string out;
        for (const auto& l : entries())
            out += l.level + "|" + l.message + "\n";
        return out;
    }
    void clear() { m_sink->clear(); }

private:
    struct Attached {
        std::shared_ptr<spdlog::logger> logger;
        spdlog::level::level_enum level;
    };

    std::vector<std::string> select(const std::string& logger, const std::string& level) const
    {
        std::vector<std::string> out;
        for (const auto& l : entries())
            if ((logger.empty() || l.logger == logger) && l.level == level)
                out.push_back(l.text);
        return out;
    }
    static bool contains(const std::vector<std::string>& texts, const std::string& text)
    {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }

    std::shared_ptr<LogSink> m_sink = std::make_shared<LogSink>();
    std::vector<Attached> m_attached;
    std::vector<std::string> m_skipped;
};

} // namespace vdltest
