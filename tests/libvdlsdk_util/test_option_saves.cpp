// Saves of the option file against kills, full disks, leftovers and other
// processes that save the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <dlfcn.h>
#include <grp.h>
#include <sys/random.h>
#include <unistd.h>

#include "util_test_support.hpp"
#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/VdlsdkLib.hpp"

using Vandrel::LibraryOptions;
using Vandrel::VdlsdkLib;
using nlohmann::json;
using namespace utiltest;

// Stand-ins for C library calls, taking the place of the C library's for the
// whole test program, the option library included: fallocate that fails as on
// a file system that has none (ext2, NFSv3, many FUSE file systems), getrandom
// that gives zeros on demand, and a kill of the process before its n-th call
// that changes something on disk.
std::atomic<bool> g_withoutFallocate{false};
std::atomic<int> g_fallocateRefused{0};
std::atomic<int> g_zeroRandoms{0};
std::atomic<int> g_killAtStep{0}; // 0: never
std::atomic<int> g_steps{0};

namespace {

template <typename F>
F* real(F*, const char* name)
{
    return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

// Counts one call that changes something on disk; the n-th is never made.
void step()
{
    if (g_killAtStep > 0 && ++g_steps == g_killAtStep)
        raise(SIGKILL);
}

} // namespace

#define VDLTEST_STEP(name, ...)                           \
    step();                                               \
    static const auto next = real(&::name, #name);        \
    return next(__VA_ARGS__)

extern "C" {

int fallocate(int fd, int mode, off_t offset, off_t length)
{
    if (g_withoutFallocate) {
        ++g_fallocateRefused;
        errno = EOPNOTSUPP;
        return -1;
    }
    VDLTEST_STEP(fallocate, fd, mode, offset, length);
}

ssize_t getrandom(void* buffer, size_t length, unsigned int flags)
{
    if (g_zeroRandoms > 0) {
        --g_zeroRandoms;
        std::memset(buffer, 0, length);
        return static_cast<ssize_t>(length);
    }
    static const auto next = real(&::getrandom, "getrandom");
    return next(buffer, length, flags);
}

ssize_t write(int fd, const void* data, size_t length) { VDLTEST_STEP(write, fd, data, length); }
ssize_t pwrite(int fd, const void* data, size_t length, off_t offset)
{
    VDLTEST_STEP(pwrite, fd, data, length, offset);
}
int fsync(int fd) { VDLTEST_STEP(fsync, fd); }
int fdatasync(int fd) { VDLTEST_STEP(fdatasync, fd); }
int ftruncate(int fd, off_t length) { VDLTEST_STEP(ftruncate, fd, length); }
int fchown(int fd, uid_t owner, gid_t group) { VDLTEST_STEP(fchown, fd, owner, group); }
int fchmod(int fd, mode_t mode) { VDLTEST_STEP(fchmod, fd, mode); }
int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    VDLTEST_STEP(renameat, fromDir, from, toDir, to);
}
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags)
{
    VDLTEST_STEP(linkat, fromDir, from, toDir, to, flags);
}
int unlinkat(int dir, const char* name, int flags) { VDLTEST_STEP(unlinkat, dir, name, flags); }

} // extern "C"

namespace {

constexpr const char* kPciFile = "vdlpci_config.json";

std::string lockOf(const std::string& file) { return file + ".lock"; }

// A kill at any moment of a save leaves the old file or the new one. The
// child is killed before its n-th call that changes something on disk, for
// n = 1, 2, ... until a save completes, so that every step of a save is hit,
// plainly and through a symbolic link. Between two such calls nothing on disk
// changes.
TEST(utilOptionSaves, AKillAtAnyStepLeavesTheOldOrTheNewValue)
{
    constexpr int kMostSteps = 100;
    for (const bool throughLink : {false, true}) {
        SCOPED_TRACE(throughLink ? "symbolic link" : "plain file");
        ConfigDir config;
        const std::string dir = throughLink ? config.dir() + "/real" : config.dir();
        const std::string target = dir + "/" + (throughLink ? "target.json" : kPciFile);
        if (throughLink) {
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
            ASSERT_EQ(symlink(target.c_str(), config.file(kPciFile).c_str()), 0);
        }
        writeFile(target, "{\n    \"k\": \"0\"\n}");

        long value = 0;
        int kills = 0;
        bool completed = false;
        for (int stepAt = 1; !completed && stepAt <= kMostSteps; ++stepAt) {
            const pid_t pid = startChild([&] {
                LibraryOptions options(kPciFile);
                options.loadConfig();
                g_killAtStep = stepAt;
                options.setOption("k", std::to_string(value + 1));
                // The save is done: the child's own end is no step of it.
                g_killAtStep = 0;
                return 0;
            });
            const int status = waitChild(pid);
            const std::string bytes = readFile(target);
            json doc;
            ASSERT_NO_THROW(doc = json::parse(bytes))
                << "killed at step " << stepAt << ": '" << bytes << "'";
            ASSERT_TRUE(doc.is_object() && doc.contains("k") && doc["k"].is_string()) << bytes;
            const long now = std::stol(doc["k"].get<std::string>());
            if (status == 128 + SIGKILL) {
                EXPECT_TRUE(now == value || now == value + 1) << "killed at step " << stepAt;
                ++kills;
            } else {
                ASSERT_EQ(status, 0);
                EXPECT_EQ(now, value + 1);
                completed = true;
            }
            value = now;
        }
        EXPECT_TRUE(completed);
        // Writing, syncing and renaming the temporary at least.
        EXPECT_GE(kills, 3);

        struct stat st {};
        ASSERT_EQ(lstat(config.file(kPciFile).c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), throughLink);
        // The next save removes the temporaries the killed saves left.
        LibraryOptions options(kPciFile);
        options.loadConfig();
        options.setOption("k", "last");
        EXPECT_EQ(readFile(target), "{\n    \"k\": \"last\"\n}");
        std::vector<std::string> expected = {throughLink ? "target.json" : kPciFile};
        if (!throughLink)
            expected.push_back(lockOf(kPciFile));
        EXPECT_EQ(listDir(dir), expected);
    }
}

// Fills the file system that holds `dir` up to its last byte.
bool fillUp(const std::string& dir)
{
    const std::string filler = dir + "/filler";
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return false;
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, block.data(), 1) > 0) {
    }
    const bool full = errno == ENOSPC;
    close(fd);
    return full;
}

// On a full disk a save fails with -14 and the old bytes stay, through a
// symbolic link (the replacement is made beside the file it names) and in a
// directory that cannot take a temporary (the file is overwritten in place
// only after its new size is reserved).
TEST(utilOptionSaves, AFullDiskFailsTheSaveAndKeepsTheOldBytes)
{
    ConfigDir config;
    chmod(config.dir().c_str(), 0755);
    const std::string small = config.dir() + "/small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    auto check = [&](bool ok, const std::string& what) {
        if (!ok)
            std::fprintf(stderr, "failed: %s\n", what.c_str());
        return ok;
    };
    const std::string big(20000, 'v');
    const std::string noSpace = std::string(": ") + std::strerror(ENOSPC);
    const std::string old = "{\n    \"k\": \"old\"\n}";

    const int rc = runInChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("vdlsdk-test", small.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
            return kChildSkipped;
        bool ok = true;

        // Through a symbolic link.
        const std::string linkDir = config.dir() + "/links";
        const std::string real = small + "/real";
        mkdir(linkDir.c_str(), 0755);
        mkdir(real.c_str(), 0755);
        writeFile(real + "/target.json", old);
        symlink((real + "/target.json").c_str(), (linkDir + "/" + kPciFile).c_str());
        setenv("VDLSDK_CONFIG", linkDir.c_str(), 1);
        {
            LibraryOptions options(kPciFile);
            options.loadConfig();
            ok &= check(fillUp(real), "fill the disk");
            const auto r = raised([&] { options.setOption("k", big); });
            ok &= check(r.code == -14 && r.message == "Could not save config file: " + linkDir + "/" +
                                                          kPciFile + noSpace,
                        "link: -14, got " + std::to_string(r.code) + " " + r.message);
            ok &= check(readFile(real + "/target.json") == old, "link: old bytes");
            ok &= check(listDir(real) == std::vector<std::string>{"filler", "target.json"},
                        "link: no temporary left");
            struct stat st {};
            ok &= check(lstat((linkDir + "/" + kPciFile).c_str(), &st) == 0 && S_ISLNK(st.st_mode),
                        "link: still a link");
            std::remove((real + "/filler").c_str());
        }

        // A directory the process may not write: only the file is writable.
        const std::string locked = small + "/locked";
        const std::string file = locked + "/" + kPciFile;
        mkdir(locked.c_str(), 0755);
        writeFile(file, old);
        chown(file.c_str(), kNobody, kNobody);
        ok &= check(fillUp(small), "fill the disk again");
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0 || access(locked.c_str(), W_OK) == 0)
            return kChildSkipped;
        setenv("VDLSDK_CONFIG", locked.c_str(), 1);
        LibraryOptions options(kPciFile);
        options.loadConfig();
        // Also where the file system cannot reserve space: the new tail is
        // written first and cut back.
        for (const bool withoutFallocate : {false, true}) {
            const std::string how = withoutFallocate ? "in place without fallocate: " : "in place: ";
            g_withoutFallocate = withoutFallocate;
            writeFile(file, old);
            ok &= check(readFile(file) == old, how + "set-up");
            const auto r = raised([&] { options.setOption("k", big); });
            ok &= check(r.code == -14 && r.message == "Could not save config file: " + file + noSpace,
                        how + "-14, got " + std::to_string(r.code) + " " + r.message);
            ok &= check(readFile(file) == old, how + "old bytes");
            // A shorter file needs no new space: written and cut to its length.
            const auto shorter = raised([&] { options.setOption("k", "o"); });
            ok &= check(!shorter.raised, how + "shorter save " + shorter.message);
            ok &= check(readFile(file) == "{\n    \"k\": \"o\"\n}", how + "shorter bytes");
            ok &= check(listDir(locked) == std::vector<std::string>{kPciFile}, how + "nothing else");
        }
        return ok ? 0 : 1;
    });
    if (rc == kChildSkipped)
        GTEST_SKIP() << "needs root: a small tmpfs in a private mount namespace";
    EXPECT_EQ(rc, 0);
}

// An in-place save works whether the file shrinks, keeps its length or grows,
// with fallocate and where the file system has none; it keeps the file (the
// same inode) and leaves nothing beside it. No lock file can be made there:
// the saves go on without the lock and say so, once per process.
TEST(utilOptionSaves, InPlaceSavesShrinkKeepOrGrowTheFile)
{
    ConfigDir config;
    chmod(config.dir().c_str(), 0755);
    const std::string dir = config.dir() + "/locked";
    const std::string file = dir + "/" + kPciFile;
    mkdir(dir.c_str(), 0755);
    writeFile(file, "{\"k\": \"" + std::string(40, 'm') + "\"}");
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    // Shorter, the same length, longer, shorter again.
    const std::vector<std::string> values = {"s", "t", std::string(5000, 'l'), "u"};
    const std::string unguarded = "Could not lock config file " + file + ": " + file +
                                  ".lock: " + std::strerror(EACCES) +
                                  "; saves go on without the lock";
    const int rc = runAsOrdinaryUser({file}, [&] {
        if (access(dir.c_str(), W_OK) == 0)
            return kChildSkipped;
        setenv("VDLSDK_CONFIG", dir.c_str(), 1);
        LogCapture log;
        struct stat before {};
        stat(file.c_str(), &before);
        for (const bool withoutFallocate : {false, true}) {
            g_withoutFallocate = withoutFallocate;
            g_fallocateRefused = 0;
            LibraryOptions options(kPciFile);
            options.loadConfig();
            for (std::size_t i = 0; i < values.size(); ++i) {
                const auto r = raised([&] { options.setOption("k", values[i]); });
                if (r.raised) {
                    std::fprintf(stderr, "save %zu: %d %s\n", i, r.code, r.message.c_str());
                    return 10 + static_cast<int>(i);
                }
                struct stat st {};
                if (readFile(file) != "{\n    \"k\": \"" + values[i] + "\"\n}" ||
                    stat(file.c_str(), &st) != 0 || st.st_ino != before.st_ino)
                    return 20 + static_cast<int>(i);
            }
            // Without fallocate the growing save did without a reservation.
            if (withoutFallocate && g_fallocateRefused == 0)
                return 3;
        }
        if (log.count(unguarded) != 1) {
            std::fprintf(stderr, "%s\n", log.text().c_str());
            return 4;
        }
        return 0;
    });
    chmod(dir.c_str(), 0755);
    if (rc == kChildSkipped)
        GTEST_SKIP() << "cannot run a save as a user the directory refuses";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(listDir(dir), std::vector<std::string>{kPciFile});
}

// Starts `processes` processes at once, each making `saves` saves of keys of
// its own ("<process>/<save>"); every save must succeed, and a fresh object
// then finds every key with its value.
void saveAllAtOnce(int processes, int saves)
{
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        children.push_back(startChild([&, p] {
            close(go[1]);
            LibraryOptions options(kPciFile);
            char byte;
            if (read(go[0], &byte, 1) != 1)
                return 2;
            for (int i = 0; i < saves; ++i) {
                const auto r = raised([&] {
                    options.setOption(std::to_string(p) + "/" + std::to_string(i),
                                      std::to_string(i));
                });
                if (r.raised) {
                    std::fprintf(stderr, "process %d, save %d: %d %s\n", p, i, r.code,
                                 r.message.c_str());
                    return 3;
                }
            }
            return 0;
        }));
    }
    // Once the write end is closed, a child that got no byte ends instead of waiting.
    const std::string start(static_cast<std::size_t>(processes), 'g');
    EXPECT_EQ(write(go[1], start.data(), start.size()), processes);
    close(go[1]);
    close(go[0]);
    int failed = 0;
    for (const pid_t pid : children)
        failed += waitChild(pid) != 0;
    EXPECT_EQ(failed, 0);

    json expected = json::object();
    for (int p = 0; p < processes; ++p)
        for (int i = 0; i < saves; ++i)
            expected[std::to_string(p) + "/" + std::to_string(i)] = std::to_string(i);
    LibraryOptions fresh(kPciFile);
    fresh.loadConfig();
    EXPECT_EQ(fresh.getData(), expected);
}

// Many processes saving at once all get their turn: a save's wait for the lock
// is bounded by how long one holder keeps it, not by how many others wait.
TEST(utilOptionSaves, SixtyFourProcessesSavingAtOnceAllSucceed)
{
    ConfigDir config;
    saveAllAtOnce(64, 30);
}

// Two processes each save a few hundred keys of their own while the other
// saves too; none is lost.
TEST(utilOptionSaves, TwoProcessesLoseNoKeys)
{
    ConfigDir config;
    saveAllAtOnce(2, 250);
}

// With the file gone there is nothing of another process to merge: the save
// writes everything this process holds, what it loaded included.
TEST(utilOptionSaves, AFileRemovedAfterLoadGetsTheWholeDocument)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    writeFile(path, R"({"device0/saved_pciedata": "1 2 3 "})");
    VdlsdkLib lib(kPciFile, json({{"d", "0"}}));
    LibraryOptions& options = lib.getOptions();
    options.setOption("a", "1");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    options.setOption("b", "2");
    json whole = {{"a", "1"}, {"b", "2"}, {"d", "0"}, {"device0/saved_pciedata", "1 2 3 "}};
    EXPECT_EQ(options.getData(), whole);
    EXPECT_EQ(json::parse(readFile(path)), whole);

    // A deletion before the removal stays deleted.
    options.deleteOption("a");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    options.saveConfig(true);
    whole.erase("a");
    EXPECT_EQ(options.getData(), whole);
    EXPECT_EQ(json::parse(readFile(path)), whole);
}

TEST(utilOptionSaves, TemporariesOfEndedProcessesAreRemovedAtTheNextSave)
{
    ConfigDir config;
    const pid_t ended = startChild([] { return 0; });
    ASSERT_EQ(waitChild(ended), 0);
    const std::string e = std::to_string(ended);
    const std::string alive = std::to_string(getppid());
    const std::string base = std::string(kPciFile) + ".tmp.";
    // What keeping an unreadable or malformed file stages beside it.
    const std::string kept = std::string(kPciFile) + ".invalid.tmp.";
    for (const std::string& name :
         {base + e + ".0", base + e + ".0123456789abcdef", base + e, base + alive + ".3",
          base + "x", std::string("other.json.tmp.") + e + ".0", kept + e + ".2", kept + e,
          kept + alive + ".1"})
        writeFile(config.file(name), "partial");
    // Only regular files are removed: a save never made anything else there.
    const std::string elsewhere = config.file("elsewhere");
    writeFile(elsewhere, "kept");
    ASSERT_EQ(symlink(elsewhere.c_str(), config.file(base + e + ".4").c_str()), 0);
    ASSERT_EQ(mkfifo(config.file(kept + e + ".5").c_str(), 0644), 0);
    LibraryOptions options(kPciFile);
    options.setOption("a", "1");
    // Sorted as the listing is: the order of the names depends on the two
    // process numbers.
    std::vector<std::string> expected = {"elsewhere",         "other.json.tmp." + e + ".0",
                                         kPciFile,            kept + alive + ".1",
                                         kept + e + ".5",     lockOf(kPciFile),
                                         base + alive + ".3", base + e + ".4",
                                         base + "x"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listDir(config.dir()), expected);
    EXPECT_EQ(readFile(elsewhere), "kept");
}

// Each save looks at a bounded number of directory entries for leftovers, and
// the next goes on where it stopped, so that a leftover anywhere in a large
// directory is reached after a few saves. Fault: every save read the same
// first 4,096 entries, and leftovers beyond them stayed for good.
TEST(utilOptionSaves, LeftoversBeyondTheFirstEntriesAreSweptByLaterSaves)
{
    constexpr int kFillers = 12000;
    constexpr int kLeftovers = 20;
    ConfigDir config;
    const pid_t ended = startChild([] { return 0; });
    ASSERT_EQ(waitChild(ended), 0);
    const std::string stem = std::string(kPciFile) + ".tmp." + std::to_string(ended) + ".";
    std::vector<std::string> leftovers;
    for (int i = 0; i < kFillers; ++i) {
        const std::string filler = config.file("f" + std::to_string(i));
        const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
        // Spread among the fillers, whatever order the directory lists them in.
        if (i % (kFillers / kLeftovers) == 0) {
            leftovers.push_back(stem + std::to_string(i));
            writeFile(config.file(leftovers.back()), "partial");
        }
    }
    auto remaining = [&] {
        int n = 0;
        for (const auto& name : leftovers)
            n += access(config.file(name).c_str(), F_OK) == 0;
        return n;
    };
    LibraryOptions options(kPciFile);
    options.setOption("a", "0");
    // One save looks at a part of the directory only.
    EXPECT_GT(remaining(), 0);
    // Three saves look at every entry once; the fourth at the start again.
    for (int save = 1; save < 4; ++save)
        options.setOption("a", std::to_string(save));
    EXPECT_EQ(remaining(), 0);
}

// Each save applies only what its object changed to what the file holds, and
// then holds exactly what it wrote. Two objects stand for two processes.
TEST(utilOptionSaves, ChangesMergeKeyByKey)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    writeFile(path, R"({"x": "1", "y": "1", "z": "1"})");
    LibraryOptions p(kPciFile);
    LibraryOptions q(kPciFile);
    p.loadConfig();
    q.loadConfig();

    // A deletion stays deleted after the other's save.
    p.deleteOption("x");
    p.setOption("p", "1");
    q.setOption("q", "1");
    EXPECT_EQ(json::parse(readFile(path)), json({{"p", "1"}, {"q", "1"}, {"y", "1"}, {"z", "1"}}));
    EXPECT_EQ(q.getData(), json::parse(readFile(path)));

    // A key set after the other's deletion stays set.
    q.setOption("x", "2");
    p.setOption("p", "2");
    EXPECT_EQ(json::parse(readFile(path))["x"], "2");

    // A key both change: the later save wins, a later deletion included.
    p.setOption("y", "p");
    q.setOption("y", "q");
    EXPECT_EQ(json::parse(readFile(path))["y"], "q");
    q.deleteOption("y");
    p.setOption("z", "p");
    q.saveConfig(true);
    EXPECT_FALSE(json::parse(readFile(path)).contains("y"));
    EXPECT_EQ(json::parse(readFile(path))["z"], "p");

    // A read that adds a missing key never overwrites what another saved.
    EXPECT_EQ(p.optionValue(std::string("r")), "null");
    q.setOption("r", "q");
    p.saveConfig(true);
    EXPECT_EQ(json::parse(readFile(path))["r"], "q");
    EXPECT_EQ(p.getData(), json::parse(readFile(path)));
    // Saved bytes stay as always: sorted, four blanks, no final line break.
    EXPECT_EQ(readFile(path), "{\n    \"p\": \"2\",\n    \"q\": \"1\",\n    \"r\": \"q\",\n    \"x\": "
                              "\"2\",\n    \"z\": \"p\"\n}");
}

// A save that finds the bytes it wrote last may skip parsing them, but never
// misses a change: here another writer overwrites the file in place with
// bytes of the same length and puts its modification time back, so that
// inode, size and time all look as this object left them.
TEST(utilOptionSaves, AnInPlaceChangeOfTheSameLengthIsMerged)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    LibraryOptions p(kPciFile, json({{"d", "0"}}));
    p.setOption("a", "1");
    p.setOption("b", "1");
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    std::string bytes = readFile(path);
    const auto at = bytes.find("\"b\": \"1\"");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 6] = '2';
    {
        const int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(futimens(fd, times), 0);
        close(fd);
    }
    p.setOption("a", "2");
    EXPECT_EQ(json::parse(readFile(path)), json({{"a", "2"}, {"b", "2"}, {"d", "0"}}));

    // A deleted default is back from the next save on, whether that save
    // parses the file or not.
    p.deleteOption("d");
    p.saveConfig(true);
    EXPECT_EQ(json::parse(readFile(path)), json({{"a", "2"}, {"b", "2"}}));
    p.setOption("c", "1");
    EXPECT_EQ(p.getData(), json({{"a", "2"}, {"b", "2"}, {"c", "1"}, {"d", "0"}}));
    EXPECT_EQ(json::parse(readFile(path)), p.getData());
}

// The save at the end of a library object that changed nothing writes back
// what the file holds by then.
TEST(utilOptionSaves, AnExitSaveErasesNothing)
{
    ConfigDir config;
    auto earlier = std::make_unique<VdlsdkLib>(kPciFile, json());
    {
        VdlsdkLib later(kPciFile, json());
        later.getOptions().setOption("device0/saved_pciedata", "1 2 3 ");
    }
    earlier.reset();
    EXPECT_EQ(readFile(config.file(kPciFile)), "{\n    \"device0/saved_pciedata\": \"1 2 3 \"\n}");
}

// A save waits while another process holds the lock and goes on when it is
// released. (How long it waits at most is shown with a clock the test
// controls, in test_option_file_io.cpp.)
TEST(utilOptionSaves, AHeldLockMakesTheSaveWait)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    LibraryOptions options(kPciFile);
    options.setOption("a", "1");

    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = startChild([&] {
        const int fd = open(lockOf(path).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            return 2;
        (void)!write(ready[1], "r", 1);
        char byte;
        (void)!read(release[0], &byte, 1);
        return 0;
    });
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    std::atomic<bool> saved{false};
    std::thread saver([&] {
        options.setOption("b", "2");
        saved = true;
    });
    // However long this takes, the save cannot end while the lock is held.
    usleep(100000);
    EXPECT_FALSE(saved);
    EXPECT_EQ(json::parse(readFile(path)), json({{"a", "1"}}));
    ASSERT_EQ(write(release[1], "g", 1), 1);
    saver.join();
    EXPECT_TRUE(saved);
    EXPECT_EQ(waitChild(holder), 0);
    EXPECT_EQ(json::parse(readFile(path)), json({{"a", "1"}, {"b", "2"}}));
    for (const int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);
}

// A lock the kit makes has a fixed mode, 0664 (group members can open it for
// writing, as flock emulated by byte-range locks needs), the process's user,
// and the group "vandrel" where the process may give it, never the option
// file's mode, owner or group. Fault: a member's 0777 option file made root's
// lock 0777 in her group. Checked beside a 0777 option file of the owner and
// group given (-1: as made).
void expectAFixedLockBesideAFileOf(uid_t owner, gid_t group)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    writeFile(path, "{}");
    ASSERT_EQ(chmod(path.c_str(), 0777), 0);
    ASSERT_EQ(chown(path.c_str(), owner, group), 0);
    LibraryOptions options(kPciFile);
    options.setOption("a", "1");
    struct stat lock {};
    ASSERT_EQ(stat(lockOf(path).c_str(), &lock), 0);
    EXPECT_EQ(lock.st_mode & 07777, 0664u);
    struct stat dir {};
    ASSERT_EQ(stat(config.dir().c_str(), &dir), 0);
    const struct group* vandrel = getgrnam("vandrel");
    const gid_t created = (dir.st_mode & S_ISGID) != 0 ? dir.st_gid : getegid();
    EXPECT_EQ(lock.st_gid, vandrel != nullptr && (geteuid() == 0 || is_in_vandrel_group())
                               ? vandrel->gr_gid
                               : created);
    EXPECT_EQ(lock.st_uid, geteuid());
}

TEST(utilOptionSaves, TheLockHasAFixedModeAndGroup)
{
    expectAFixedLockBesideAFileOf(static_cast<uid_t>(-1), static_cast<gid_t>(-1));
}

TEST(utilOptionSaves, TheLockTakesNeitherOwnerNorGroupOfTheOptionFile)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: an option file of another user and group";
    expectAFixedLockBesideAFileOf(kNobody, 4343);
}

// Temporary names have a part nobody can predict; one that is taken all the
// same is passed over for another.
TEST(utilOptionSaves, ATakenTemporaryNameIsPassedOver)
{
    ConfigDir config;
    const std::string taken =
        config.file(std::string(kPciFile) + ".tmp." + std::to_string(getpid()) + "." +
                    std::string(16, '0'));
    writeFile(taken, "someone else's");
    LibraryOptions options(kPciFile);
    g_zeroRandoms = 1;
    options.setOption("a", "1");
    EXPECT_EQ(g_zeroRandoms, 0);
    EXPECT_EQ(readFile(config.file(kPciFile)), "{\n    \"a\": \"1\"\n}");
    EXPECT_EQ(readFile(taken), "someone else's");
}

} // namespace
