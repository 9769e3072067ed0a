#pragma once
// Small helpers shared by the libvdlsdk_util tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdltest.hpp"

namespace utiltest {

namespace fs = std::filesystem;

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::vector<std::string> listDir(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What a call raised from the kit's exception family: its code (0 for none) and message.
struct Raised {
    int code = 0;
    std::string message;
};

template <typename F>
Raised raised(F&& call)
{
    try {
        call();
    } catch (const VDLBaseException& e) {
        return {e.code, e.what()};
    }
    return {};
}

#define EXPECT_RAISES(call, expectedCode, expectedMessage)                 \
    do {                                                                   \
        const auto r_ = ::utiltest::raised([&] { call; });                 \
        EXPECT_EQ(r_.code, (expectedCode)) << #call;                       \
        EXPECT_EQ(r_.message, std::string(expectedMessage)) << #call;      \
    } while (0)

// Points VDLSDK_CONFIG at a fresh directory of its own for one test.
class ConfigDir {
public:
    ConfigDir() : m_dir(vdltest::makeTempDir("util-test")) { setenv("VDLSDK_CONFIG", m_dir.c_str(), 1); }
    ~ConfigDir()
    {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    const std::string& dir() const { return m_dir; }
    std::string file(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

// Copies what one logger writes into a string, in the form "<level>|<message>",
// one line per message, for as long as the capture lives.
template <LoggerType T>
class LogCapture {
public:
    LogCapture()
        : m_sink(std::make_shared<spdlog::sinks::ostream_sink_mt>(m_stream))
    {
        m_sink->set_pattern("%l|%v");
        VDLLogger<T>::_logger->sinks().push_back(m_sink);
    }
    ~LogCapture()
    {
        auto& sinks = VDLLogger<T>::_logger->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), m_sink), sinks.end());
    }
    std::string text() const { return m_stream.str(); }
    int count(const std::string& needle) const
    {
        const std::string all = text();
        int n = 0;
        for (auto pos = all.find(needle); pos != std::string::npos; pos = all.find(needle, pos + 1))
            ++n;
        return n;
    }

private:
    std::ostringstream m_stream;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> m_sink;
};

// Runs `body` in a forked child and returns its exit status (or 128 + signal).
inline int runInChild(const std::function<int()>& body)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int rc = 1;
        try {
            rc = body();
        } catch (...) {
            rc = 99;
        }
        std::fflush(nullptr);
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

// The exit status of a child that could not set its case up.
constexpr int kChildSkipped = 77;
constexpr uid_t kNobody = 65534;

// Runs `body` in a forked child as an ordinary user, for a case that root's
// privileges would hide (a directory it may not write, a file it may not read).
// As root, the paths in `owned` are given to the user nobody first and the
// child runs as nobody; as any other user, the child runs as that user, who
// owns them already. kChildSkipped when root cannot drop its privileges.
inline int runAsOrdinaryUser(const std::vector<std::string>& owned,
                             const std::function<int()>& body)
{
    const bool root = geteuid() == 0;
    if (root)
        for (const auto& path : owned)
            if (lchown(path.c_str(), kNobody, kNobody) != 0)
                return kChildSkipped;
    return runInChild([&] {
        if (root && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
            return kChildSkipped;
        return body();
    });
}

} // namespace utiltest
