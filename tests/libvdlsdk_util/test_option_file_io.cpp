// The lock wait of an option-file save, on a clock the test controls: no case
// sleeps, and the bounds are the ones the library uses (5 s per holder, 30 s in
// all). The holder is this process itself, through a second open of the lock
// file (flock locks belong to the open file, so the two exclude each other).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "OptionFileIO.hpp"
#include "util_test_support.hpp"

using namespace utiltest;
namespace io = Vandrel::optionfile;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

constexpr const char* kPciFile = "vdlpci_config.json";

// Virtual time: a pause moves it on and lets others act meanwhile.
class TestClock final : public io::WaitClock {
public:
    std::function<void(milliseconds now)> meanwhile;

    std::chrono::steady_clock::time_point now() override { return m_start + m_elapsed; }
    void pause(std::chrono::microseconds length) override
    {
        m_elapsed += length;
        if (meanwhile)
            meanwhile(elapsed());
    }
    milliseconds elapsed() const { return std::chrono::duration_cast<milliseconds>(m_elapsed); }

private:
    const std::chrono::steady_clock::time_point m_start{};
    std::chrono::microseconds m_elapsed{0};
};

// What other processes do while a save waits.
enum class Others {
    Idle,           // one holds the lock and does nothing
    SaveAllAlong,   // the file changes all the time (saves of others, or one holder renaming it)
    SaveFor20s,     // the file changes for 20 s, then one holder keeps the lock
    ReleaseAt29s,   // the file changes, and the lock is free at 29 s
};

TEST(utilOptionLock, TheWaitIsBoundedPerHolderAndInAll)
{
    struct Case {
        const char* name;
        Others others;
        // The message's end ("" for a lock that was had) and when the wait ends.
        std::string failure;
        milliseconds endsAfter;
    };
    const std::string perHolder = "another process held {lock} for more than 5 s";
    const std::string overall = "other processes held {lock} for more than 30 s";
    const std::vector<Case> cases = {
        {"one holder, idle", Others::Idle, perHolder, seconds(5)},
        {"changes all along", Others::SaveAllAlong, overall, seconds(30)},
        {"changes for 20 s, then one holder", Others::SaveFor20s, perHolder, seconds(25)},
        {"released at 29 s", Others::ReleaseAt29s, "", seconds(29)},
    };
    // A pause is at most this long, so a bound is noticed within it.
    constexpr milliseconds kLongestPause(10);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigDir config;
        const std::string path = config.file(kPciFile);
        const std::string lockPath = path + ".lock";
        writeFile(path, "{}");
        const io::Location at = io::walk(path, false);
        ASSERT_EQ(at.status, io::Location::Status::File);
        { io::SaveLock made(at); }

        const int holder = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX), 0);
        int saves = 0;
        TestClock clock;
        clock.meanwhile = [&](milliseconds now) {
            const bool changing = c.others == Others::SaveAllAlong ||
                                  c.others == Others::ReleaseAt29s ||
                                  (c.others == Others::SaveFor20s && now < seconds(20));
            if (changing) {
                // A new file each time, as another process's save makes it.
                // (one byte longer each time, so that it shows whatever the
                // clock's grain and the inode numbers).
                const std::string next = path + ".next";
                writeFile(next, std::string(++saves, ' ') + "{}");
                rename(next.c_str(), path.c_str());
            }
            if (c.others == Others::ReleaseAt29s && now >= seconds(29))
                flock(holder, LOCK_UN);
        };
        const io::LockWait wait = io::defaultLockWait();
        ASSERT_EQ(wait.perHolder, seconds(5));
        ASSERT_EQ(wait.overall, seconds(30));
        const io::LockWait onTestClock{wait.perHolder, wait.overall, &clock};
        const auto r = raised([&] { io::SaveLock lock(at, onTestClock); });
        if (c.failure.empty()) {
            EXPECT_FALSE(r.raised) << r.message;
        } else {
            std::string why = c.failure;
            why.replace(why.find("{lock}"), 6, lockPath);
            EXPECT_EQ(r.code, -14);
            EXPECT_EQ(r.message, "Could not save config file: " + path + ": " + why);
        }
        EXPECT_GE(clock.elapsed(), c.endsAfter - kLongestPause);
        EXPECT_LE(clock.elapsed(), c.endsAfter + kLongestPause);
        close(holder);
    }
}

} // namespace
