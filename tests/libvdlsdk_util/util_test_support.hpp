#pragma once
// Helpers of the libvdlsdk_util tests. The common ones (option directory,
// exception check, child processes, log capture) come from tests/common and
// are named here as well, so that the tests reach both alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>

#include "vdlsdk/vdl_logger.hpp"
#include "vdltest.hpp"
#include "vdltest_log.hpp"
#include "vdltest_process.hpp"
#include "vdltest_raises.hpp"

namespace utiltest {

namespace fs = std::filesystem;

using vdltest::ConfigDir;
using vdltest::raised;
using vdltest::runInChild;
using vdltest::startChild;
using vdltest::waitChild;

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

// What one logger writes while the capture lives, its level left as it is:
// these tests are about which levels get through. text() has one
// "<level>|<message>" line per message.
class LogCapture : public vdltest::LogCapture {
public:
    explicit LogCapture(LoggerType logger = LOGGER_GENERAL)
        : vdltest::LogCapture(logger, vdltest::kKeepLevel)
    {
    }
    // How often `needle` occurs in text().
    int count(const std::string& needle) const
    {
        const std::string all = text();
        int n = 0;
        for (auto pos = all.find(needle); pos != std::string::npos; pos = all.find(needle, pos + 1))
            ++n;
        return n;
    }
};

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

// Runs `body` in a forked child whose files may not grow past `bytes`: a write
// beyond fails with EFBIG instead of ending the child. 2 when the limit cannot
// be set.
inline int runWithFileSizeLimit(rlim_t bytes, const std::function<int()>& body)
{
    return runInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, bytes};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        return body();
    });
}

} // namespace utiltest
