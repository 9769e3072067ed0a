// The lock wait of an option-file save, on a clock the test controls: no case
// sleeps, and the bounds are the ones the library uses (5 s per holder, 30 s in
// all). The holder is this process itself, through a second open of the lock
// file (flock locks belong to the open file, so the two exclude each other).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include "OptionFileIO.hpp"
#include "util_test_support.hpp"

using namespace utiltest;
namespace io = Vandrel::optionfile;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

constexpr const char* kPciFile = "vdlpci_config.json";

// An option file holding "{}" and its lock file, in an option directory of
// the test's own.
struct LockedFile {
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    const std::string lockPath = path + ".lock";
    io::Location at;

    LockedFile()
    {
        writeFile(path, "{}");
        at = io::walk(path, false);
        EXPECT_EQ(at.status, io::Location::Status::File);
        io::SaveLock made(at);
    }

    // The message of a save that gave up waiting: "" for none, otherwise
    // `why` with "{lock}" standing for the lock's path.
    std::string failure(std::string why) const
    {
        if (why.empty())
            return why;
        return "Could not save config file: " + path + ": " +
               why.replace(why.find("{lock}"), 6, lockPath);
    }
};

// Virtual time: a pause moves it on and lets others act meanwhile.
class TestClock final : public io::WaitClock {
public:
    std::function<void(milliseconds now)> meanwhile;

    std::chrono::steady_clock::time_point now() override { return m_start + m_elapsed; }
    void pauseUntil(std::chrono::steady_clock::time_point deadline) override
    {
        m_elapsed = std::max(m_elapsed, std::chrono::duration_cast<std::chrono::microseconds>(
                                            deadline - m_start));
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
        LockedFile file;
        const std::string& path = file.path;
        const io::Location& at = file.at;

        const int holder = open(file.lockPath.c_str(), O_RDONLY | O_CLOEXEC);
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
        EXPECT_EQ(r.code, c.failure.empty() ? 0 : -14);
        EXPECT_EQ(r.message, file.failure(c.failure));
        EXPECT_GE(clock.elapsed(), c.endsAfter - kLongestPause);
        EXPECT_LE(clock.elapsed(), c.endsAfter + kLongestPause);
        close(holder);
    }
}

// The real clock, telling through a pipe when the wait first pauses: by then
// the saver has its place in the queue.
class ReportingClock final : public io::WaitClock {
public:
    explicit ReportingClock(int report) : m_report(report) {}
    std::chrono::steady_clock::time_point now() override
    {
        return std::chrono::steady_clock::now();
    }
    void pauseUntil(std::chrono::steady_clock::time_point deadline) override
    {
        if (m_report >= 0) {
            (void)!write(m_report, "q", 1);
            m_report = -1;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            deadline.time_since_epoch())
                            .count();
        const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }

private:
    int m_report;
};

// Savers that have to wait get the lock in the order they came, not in the
// order their polls happen to fall after a release: each saver here starts
// waiting only once the one before it waits, and then all of them are
// released at once. Fault: with polls that back off, the longest waiters
// lost each release to newcomers, and a queue of short saves failed the
// oldest with the overall bound.
TEST(utilOptionLock, WaitingSaversAreServedInTheOrderTheyCame)
{
    constexpr int kSavers = 12;
    LockedFile file;
    const io::Location& at = file.at;
    const int holder = open(file.lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);

    int queued[2];
    int served[2];
    ASSERT_EQ(pipe(queued), 0);
    ASSERT_EQ(pipe(served), 0);
    std::vector<pid_t> savers;
    for (int i = 0; i < kSavers; ++i) {
        savers.push_back(startChild([&, i] {
            close(holder);
            ReportingClock clock(queued[1]);
            // Bounds far beyond the test: nothing but the order decides.
            const io::LockWait wait{std::chrono::hours(1), std::chrono::hours(1), &clock};
            io::SaveLock lock(at, wait);
            const char index = static_cast<char>('a' + i);
            return write(served[1], &index, 1) == 1 ? 0 : 2;
        }));
        char byte;
        ASSERT_EQ(read(queued[0], &byte, 1), 1);
    }
    close(holder);
    std::string order;
    for (int i = 0; i < kSavers; ++i) {
        char index;
        ASSERT_EQ(read(served[0], &index, 1), 1);
        order += index;
    }
    for (const pid_t pid : savers)
        EXPECT_EQ(waitChild(pid), 0);
    EXPECT_EQ(order, "abcdefghijkl");
    for (const int fd : {queued[0], queued[1], served[0], served[1]})
        close(fd);
}

// A saver that came earlier but does not take its turn (a stopped process,
// or a place a member planted: here a read lock over everything the queue
// could hold before now) holds the others up for a fifth of the per-holder
// bound, not until it fails them.
TEST(utilOptionLock, AnEarlierSaverThatDoesNotTakeItsTurnIsPassed)
{
    LockedFile file;
    const int planted = open(file.lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(planted, 0);
    timespec now{};
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &now), 0);
    struct flock place {};
    place.l_type = F_RDLCK;
    place.l_whence = SEEK_SET;
    place.l_start = 0;
    place.l_len = static_cast<off_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    ASSERT_EQ(fcntl(planted, F_OFD_SETLK, &place), 0);
    // Someone holds the lock at first, so that the save has to queue.
    const int holder = open(file.lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    TestClock clock;
    clock.meanwhile = [&](milliseconds) { flock(holder, LOCK_UN); };
    const io::LockWait wait{seconds(5), seconds(30), &clock};
    const auto r = raised([&] { io::SaveLock lock(file.at, wait); });
    EXPECT_FALSE(r.raised) << r.message;
    EXPECT_GE(clock.elapsed(), seconds(1));
    EXPECT_LT(clock.elapsed(), seconds(2));
    close(holder);
    close(planted);
}

// A wait ends at its deadline however many signals interrupt its pauses: here
// one every 40 microseconds, from a handler without SA_RESTART. Fault: each
// interrupted pause started again with more than it had left, and a save
// waited without end for a lock long free.
TEST(utilOptionLock, SignalsDoNotMoveTheDeadline)
{
    LockedFile file;
    const io::Location& at = file.at;
    const std::string expected = "Could not save config file: " + file.path +
                                 ": another process held " + file.lockPath +
                                 " for more than 0.2 s";
    const int rc = runInChild([&] {
        const int holder = open(file.lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (holder < 0 || flock(holder, LOCK_EX) != 0)
            return 2;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART
        const itimerval every{{0, 40}, {0, 40}};
        if (sigaction(SIGALRM, &action, nullptr) != 0 || setitimer(ITIMER_REAL, &every, nullptr) != 0)
            return 3;
        const io::LockWait wait{milliseconds(200), seconds(2), nullptr};
        const auto r = raised([&] { io::SaveLock lock(at, wait); });
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        if (r.code != -14 || r.message != expected) {
            std::fprintf(stderr, "%d %s\n", r.code, r.message.c_str());
            return 4;
        }
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// A lease on the lock file (a member's own file at the lock's name) does not
// take the save out of the lock: a read lease is no obstacle to opening it
// for reading, and a write lease, which no open passes, is waited for like a
// held lock, within the same bounds. Fault: the open failed with EAGAIN and
// the save went on without the lock.
TEST(utilOptionLock, ALeaseOnTheLockIsWaitedForLikeAHeldLock)
{
    struct Case {
        const char* name;
        int lease;           // F_RDLCK or F_WRLCK
        bool releasedAt1s;   // lease and lock are released after 1 s
        std::string failure; // "" when the lock is had
    };
    const std::vector<Case> cases = {
        {"read lease, lock released", F_RDLCK, true, ""},
        {"write lease, released", F_WRLCK, true, ""},
        {"write lease, kept", F_WRLCK, false, "another process held {lock} for more than 5 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LockedFile file;
        const std::string& lockPath = file.lockPath;
        const io::Location& at = file.at;
        const std::string failure = file.failure(c.failure);
        const int rc = runInChild([&] {
            // The lease's owner is told of each open that breaks it.
            std::signal(SIGIO, SIG_IGN);
            const int holder =
                open(lockPath.c_str(), (c.lease == F_RDLCK ? O_RDONLY : O_RDWR) | O_CLOEXEC);
            if (holder < 0 || fcntl(holder, F_SETLEASE, c.lease) != 0)
                return kChildSkipped;
            // With a read lease the holder also holds the lock itself.
            if (c.lease == F_RDLCK && flock(holder, LOCK_EX) != 0)
                return 2;
            TestClock clock;
            clock.meanwhile = [&](milliseconds now) {
                if (c.releasedAt1s && now >= seconds(1)) {
                    fcntl(holder, F_SETLEASE, F_UNLCK);
                    flock(holder, LOCK_UN);
                }
            };
            const io::LockWait wait{seconds(5), seconds(30), &clock};
            std::optional<io::SaveLock> lock;
            const auto r = raised([&] { lock.emplace(at, wait); });
            if (r.code != (failure.empty() ? 0 : -14) || r.message != failure) {
                std::fprintf(stderr, "%d %s\n", r.code, r.message.c_str());
                return 3;
            }
            // It waited, and holds the lock now.
            if (clock.elapsed() < seconds(1))
                return 4;
            if (failure.empty()) {
                const int other = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
                if (other < 0 || flock(other, LOCK_EX | LOCK_NB) == 0)
                    return 5;
            }
            return 0;
        });
        if (rc == kChildSkipped) {
            GTEST_SKIP() << "leases need the file's owner or CAP_LEASE";
        }
        EXPECT_EQ(rc, 0);
    }
}

// A lock counts only while its name leads to the file locked. Here the lock
// file is replaced (a fresh file renamed over its name) while a save waits
// for it; when the old one is released, the save locks the new one. Fault:
// the save held the lock of a file no longer at the name, and another saver
// could lock the new one at the same time.
TEST(utilOptionLock, ALockWhoseNameWasReplacedIsTakenAgain)
{
    LockedFile file;
    const std::string& lockPath = file.lockPath;
    const io::Location& at = file.at;
    int holder = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    TestClock clock;
    clock.meanwhile = [&](milliseconds now) {
        if (now >= seconds(1) && holder >= 0) {
            const std::string fresh = lockPath + ".fresh";
            writeFile(fresh, "");
            rename(fresh.c_str(), lockPath.c_str());
            flock(holder, LOCK_UN);
            close(holder);
            holder = -1;
        }
    };
    const io::LockWait wait{seconds(5), seconds(30), &clock};
    std::optional<io::SaveLock> lock;
    const auto r = raised([&] { lock.emplace(at, wait); });
    ASSERT_FALSE(r.raised) << r.message;
    // The file now at the lock's name is the one locked.
    const int other = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

} // namespace
