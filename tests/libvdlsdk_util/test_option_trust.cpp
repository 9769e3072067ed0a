// The option directory is shared: group members may plant anything beside an
// option file (a link, a FIFO, a huge file), and programs that save it often run
// as root. Nothing planted there may redirect, block or bloat a save. A planted
// link belongs to another user where the test runs as root, as in a real attack.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "util_test_support.hpp"
#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/VdlsdkLib.hpp"

using Vandrel::LibraryOptions;
using Vandrel::VdlsdkLib;
using nlohmann::json;
using namespace utiltest;

// Stand-ins for write, fchown and fchmod, taking the place of the C library's
// for the whole test program, the option library included. While
// g_watchTemporaries is set, each call on a file a save is writing beside the
// option file (a name with ".tmp.") records the call and the file's mode just
// before it: so the mode a temporary was created with, and the moment it got
// its final one, can be seen without a race.
struct TemporaryCall {
    std::string name; // the file's path
    char call;        // 'w'rite, 'o'wner (fchown), 'm'ode (fchmod)
    mode_t modeBefore;
};
std::atomic<bool> g_watchTemporaries{false};
std::vector<TemporaryCall> g_temporaryCalls;

namespace {

template <typename F>
F* real(F*, const char* name)
{
    return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

void recordTemporaryCall(int fd, char call)
{
    if (!g_watchTemporaries)
        return;
    char name[PATH_MAX];
    const ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), name, sizeof name - 1);
    struct stat st {};
    if (n <= 0 || fstat(fd, &st) != 0)
        return;
    const std::string path(name, static_cast<std::size_t>(n));
    if (path.find(".tmp.") != std::string::npos)
        g_temporaryCalls.push_back({path, call, static_cast<mode_t>(st.st_mode & 07777)});
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t length)
{
    recordTemporaryCall(fd, 'w');
    static const auto next = real(&::write, "write");
    return next(fd, data, length);
}

int fchown(int fd, uid_t owner, gid_t group)
{
    recordTemporaryCall(fd, 'o');
    static const auto next = real(&::fchown, "fchown");
    return next(fd, owner, group);
}

int fchmod(int fd, mode_t mode)
{
    recordTemporaryCall(fd, 'm');
    static const auto next = real(&::fchmod, "fchmod");
    return next(fd, mode);
}

} // extern "C"

namespace {

constexpr const char* kPciFile = "vdlpci_config.json";
// Long enough for any save here; a save that blocks ends the test instead of the suite.
constexpr unsigned kBlockedAfterSeconds = 60;

bool isRoot() { return geteuid() == 0; }

// An owner that stands for this process's user: nothing is handed over.
constexpr uid_t kSelf = static_cast<uid_t>(-1);

// A symbolic link as a group member plants it: owned by another user where the
// test may make it so.
void plantLink(const std::string& to, const std::string& at)
{
    ASSERT_EQ(symlink(to.c_str(), at.c_str()), 0) << at;
    if (isRoot()) {
        ASSERT_EQ(lchown(at.c_str(), kNobody, kNobody), 0) << at;
    }
}

struct stat lstatOf(const std::string& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

std::string linkTarget(const std::string& path)
{
    char buffer[4096];
    const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

// Whatever is planted at a name the kit owns, with what the test checks after.
struct Planted {
    const char* name;
    // Plants at `at`; `dir` is the option directory.
    std::function<void(const std::string& at, const std::string& dir)> plant;
};

// A victim file the planted links lead to, and a directory where a followed
// dangling link would create a file.
const std::vector<Planted>& plantedThings()
{
    static const std::vector<Planted> things = {
        {"a link to a root-only file",
         [](const std::string& at, const std::string& dir) { plantLink(dir + "/victim", at); }},
        {"a dangling link",
         [](const std::string& at, const std::string& dir) {
             plantLink(dir + "/elsewhere/created", at);
         }},
        {"a FIFO", [](const std::string& at, const std::string&) { mkfifo(at.c_str(), 0666); }},
        {"a directory", [](const std::string& at, const std::string&) { mkdir(at.c_str(), 0777); }},
    };
    return things;
}

// The option directory of one case: group-writable, with the victim file and the
// empty directory "elsewhere".
class SharedDir {
public:
    SharedDir()
    {
        chmod(m_config.dir().c_str(), 02777);
        writeFile(victim(), "victim");
        chmod(victim().c_str(), 0600);
        mkdir(elsewhere().c_str(), 0777);
    }
    const std::string& dir() const { return m_config.dir(); }
    std::string path() const { return m_config.file(kPciFile); }
    std::string file(const std::string& name) const { return m_config.file(name); }
    std::string victim() const { return dir() + "/victim"; }
    std::string elsewhere() const { return dir() + "/elsewhere"; }
    // Nothing the planted names lead to was written or created.
    void expectVictimsUntouched() const
    {
        EXPECT_EQ(readFile(victim()), "victim");
        EXPECT_EQ(lstatOf(victim()).st_mode & 07777, 0600u);
        EXPECT_TRUE(listDir(elsewhere()).empty());
    }

private:
    ConfigDir m_config;
};

// Faults: a dangling link at the lock made a root process create the file it
// names and give it the option file's mode; a FIFO there blocked every save.
TEST(utilOptionTrust, AnythingButAFileAtTheLockFailsTheSaveAndStaysAsItIs)
{
    alarm(kBlockedAfterSeconds);
    for (const auto& planted : plantedThings()) {
        SCOPED_TRACE(planted.name);
        SharedDir shared;
        const std::string path = shared.path();
        const std::string lock = path + ".lock";
        writeFile(path, "{\"a\": \"1\"}");
        chmod(path.c_str(), 0666);
        planted.plant(lock, shared.dir());
        const struct stat before = lstatOf(lock);

        LibraryOptions options(kPciFile);
        options.loadConfig();
        EXPECT_RAISES(options.setOption("b", "2"), -14,
                      "Could not save config file: " + path + ": the lock " + lock +
                          " is not a regular file");
        EXPECT_EQ(readFile(path), "{\"a\": \"1\"}");
        shared.expectVictimsUntouched();
        const struct stat after = lstatOf(lock);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
        // The change stays in memory.
        EXPECT_EQ(options.getData(), json({{"a", "1"}, {"b", "2"}}));
    }
    alarm(0);
}

// Fault: with a FIFO at the lock, library start-up and the exit save hung.
TEST(utilOptionTrust, AFifoAtTheLockBlocksNeitherStartUpNorTheExitSave)
{
    alarm(kBlockedAfterSeconds);
    SharedDir shared;
    const std::string lock = shared.path() + ".lock";
    ASSERT_EQ(mkfifo(lock.c_str(), 0666), 0);
    LogCapture log;
    {
        VdlsdkLib lib(kPciFile, json());
        EXPECT_EQ(lib.getOptions().optionCount(), 0);
    }
    // The first run's save of the defaults and the exit save, each a warning.
    EXPECT_EQ(log.count("warning|Could not save config file: " + shared.path() + ": the lock " +
                        lock + " is not a regular file"),
              2)
        << log.text();
    EXPECT_EQ(access(shared.path().c_str(), F_OK), -1);
    alarm(0);
}

// Fault: a link at "<file>.invalid" made a save write the malformed file's
// bytes (chosen by whoever wrote it) over the file the link names.
TEST(utilOptionTrust, ThePlantedKeptNameIsReplacedNotFollowed)
{
    for (const auto& planted : plantedThings()) {
        SCOPED_TRACE(planted.name);
        SharedDir shared;
        const std::string path = shared.path();
        const std::string kept = path + ".invalid";
        writeFile(path, "[1, \"planted\"");
        planted.plant(kept, shared.dir());
        const bool aDirectory = S_ISDIR(lstatOf(kept).st_mode);

        LogCapture log;
        LibraryOptions options(kPciFile);
        const auto r = raised([&] { options.setOption("a", "1"); });
        shared.expectVictimsUntouched();
        EXPECT_FALSE(r.raised) << r.message;
        EXPECT_EQ(readFile(path), "{\n    \"a\": \"1\"\n}");
        if (aDirectory) {
            // Fault: a directory there made every save fail while the file was
            // malformed. It cannot be replaced: the save goes on without
            // keeping the bytes, and says so.
            EXPECT_TRUE(S_ISDIR(lstatOf(kept).st_mode));
            EXPECT_EQ(log.count("warning|Could not keep config file " + path + " as " + kept +
                                ": a directory is in the way"),
                      1)
                << log.text();
            continue;
        }
        EXPECT_TRUE(S_ISREG(lstatOf(kept).st_mode));
        EXPECT_EQ(readFile(kept), "[1, \"planted\"");
    }
}

// Fault: the kept copy of a 0600 file was written 0644, so through a link a
// root-only file became readable by all. The kept bytes have the original's
// mode and owners, and stay beside the file itself (through a link as well).
// Checked with malformed files of `owner` (user and group).
void expectKeptBytesWithTheOriginalsModeAndOwners(uid_t owner)
{
    for (const bool throughLink : {false, true}) {
        for (const mode_t mode : {0600u, 0640u, 0444u}) {
            SCOPED_TRACE(std::string(throughLink ? "through a link, " : "") + "mode " +
                         std::to_string(mode));
            SharedDir shared;
            const std::string real = shared.dir() + "/real";
            const std::string file = throughLink ? real + "/real.json" : shared.path();
            if (throughLink) {
                ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
                ASSERT_EQ(symlink(file.c_str(), shared.path().c_str()), 0);
            }
            writeFile(file, "{malformed");
            chmod(file.c_str(), mode);
            ASSERT_EQ(chown(file.c_str(), owner, owner), 0);
            const struct stat original = lstatOf(file);

            LibraryOptions options(kPciFile);
            options.setOption("a", "1");
            const struct stat kept = lstatOf(file + ".invalid");
            ASSERT_TRUE(S_ISREG(kept.st_mode));
            EXPECT_EQ(kept.st_mode & 07777, mode);
            EXPECT_EQ(kept.st_uid, original.st_uid);
            EXPECT_EQ(kept.st_gid, original.st_gid);
            EXPECT_EQ(readFile(file + ".invalid"), "{malformed");
            EXPECT_EQ(readFile(file), "{\n    \"a\": \"1\"\n}");
            if (throughLink) {
                // Fault: kept beside the link, in the shared directory, the
                // bytes of a file in a private directory were open to the group.
                EXPECT_EQ(listDir(shared.dir()),
                          (std::vector<std::string>{"elsewhere", "real", kPciFile,
                                                    std::string(kPciFile) + ".lock", "victim"}));
                EXPECT_EQ(listDir(real),
                          (std::vector<std::string>{"real.json", "real.json.invalid"}));
            }
        }
    }
}

TEST(utilOptionTrust, KeptBytesHaveTheOriginalsModeAndOwners)
{
    expectKeptBytesWithTheOriginalsModeAndOwners(kSelf);
}

TEST(utilOptionTrust, KeptBytesOfAnotherUsersFileKeepItsOwners)
{
    if (!isRoot())
        GTEST_SKIP() << "needs root: a malformed file of another user";
    expectKeptBytesWithTheOriginalsModeAndOwners(kNobody);
}

// Where the file may not be linked (another user's file, with the kernel's
// protected hard links), the kept bytes are a copy with at most its mode.
TEST(utilOptionTrust, AFileThatCannotBeLinkedIsCopiedWithAtMostItsMode)
{
    if (!isRoot())
        GTEST_SKIP() << "needs root: a malformed file of another user in a shared directory";
    if (readFile("/proc/sys/fs/protected_hardlinks").rfind("1", 0) != 0)
        GTEST_SKIP() << "hard links to other users' files are not refused on this host";
    SharedDir shared;
    const std::string path = shared.path();
    writeFile(path, "{malformed");
    chmod(path.c_str(), 0644);
    const int rc = runAsOrdinaryUser({}, [&] {
        LibraryOptions options(kPciFile);
        return raised([&] { options.setOption("a", "1"); }).raised ? 1 : 0;
    });
    ASSERT_EQ(rc, 0);
    const struct stat kept = lstatOf(path + ".invalid");
    ASSERT_TRUE(S_ISREG(kept.st_mode));
    EXPECT_EQ(kept.st_mode & 07777 & ~0644u, 0u);
    EXPECT_NE(kept.st_ino, lstatOf(path).st_ino);
    EXPECT_EQ(readFile(path + ".invalid"), "{malformed");
}

// A link at the option file is followed only when it has a single name, leads
// nowhere its owner could not reach on her own (unless she is root or the
// process's user), and only to a regular file; otherwise the save fails with -14, a load with -16, and the
// link and what it leads to stay as they are. Fault: through a link, a device
// node was replaced by a regular file.
struct LinkCase {
    const char* name;
    // Makes what the link leads to, in `dir`; returns its path.
    std::function<std::string(const std::string& dir)> makeTarget;
    // The owner of the link and of its directory (-1: this process).
    uid_t linkOwner;
    uid_t dirOwner;
    // Why the save refuses, with "{link}" and "{target}" filled in; "" when it follows.
    std::string refusal;
};

std::string regularTarget(const std::string& dir)
{
    const std::string t = dir + "/target.json";
    writeFile(t, "{\"old\": \"1\"}");
    chmod(t.c_str(), 0600);
    return t;
}

void checkLinkCases(const std::vector<LinkCase>& cases)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigDir config;
        const std::string dir = config.dir() + "/shared";
        ASSERT_EQ(mkdir(dir.c_str(), 02775), 0);
        setenv("VDLSDK_CONFIG", dir.c_str(), 1);
        const std::string link = dir + "/" + kPciFile;
        const std::string target = c.makeTarget(config.dir());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        if (c.linkOwner != kSelf) {
            ASSERT_EQ(lchown(link.c_str(), c.linkOwner, c.linkOwner), 0);
        }
        if (c.dirOwner != kSelf) {
            ASSERT_EQ(chown(dir.c_str(), c.dirOwner, c.dirOwner), 0);
        }
        const struct stat before = lstatOf(target);

        LibraryOptions options(kPciFile);
        if (c.refusal.empty()) {
            options.setOption("a", "1");
            EXPECT_EQ(readFile(target), "{\n    \"a\": \"1\",\n    \"old\": \"1\"\n}");
            EXPECT_EQ(lstatOf(target).st_mode & 07777, 0600u);
            EXPECT_EQ(listDir(dir),
                      (std::vector<std::string>{kPciFile, std::string(kPciFile) + ".lock"}));
        } else {
            std::string why = c.refusal;
            for (const auto& [name, value] : {std::pair<std::string, std::string>{"{link}", link},
                                              {"{target}", target}})
                if (const auto at = why.find(name); at != std::string::npos)
                    why.replace(at, name.size(), value);
            EXPECT_RAISES(options.setOption("a", "1"), -14,
                          "Could not save config file: " + link + ": " + why);
            const struct stat after = lstatOf(target);
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_rdev, before.st_rdev);
            if (S_ISREG(before.st_mode)) {
                EXPECT_EQ(readFile(target), "{\"old\": \"1\"}");
                // Nor is such a link read at a load.
                EXPECT_RAISES(options.loadConfig(), -16,
                              "Could not read config from file " + link + ": " + why);
                EXPECT_EQ(options.getData(), json({{"a", "1"}}));
            }
            // Refused before anything is made: not even the lock.
            EXPECT_EQ(listDir(dir), std::vector<std::string>{kPciFile});
        }
        EXPECT_EQ(linkTarget(link), target);
        EXPECT_TRUE(S_ISLNK(lstatOf(link).st_mode));
    }
}

TEST(utilOptionTrust, TheOptionFileIsFollowedOnlyThroughATrustedLinkToAFile)
{
    checkLinkCases({
        {"this user's link to a file", regularTarget, kSelf, kSelf, ""},
        {"a link to a FIFO",
         [](const std::string& dir) {
             const std::string t = dir + "/fifo";
             mkfifo(t.c_str(), 0666);
             return t;
         },
         kSelf, kSelf, "{target} is not a regular file"},
        {"a link to a directory",
         [](const std::string& dir) {
             const std::string t = dir + "/subdir";
             mkdir(t.c_str(), 0755);
             return t;
         },
         kSelf, kSelf, "{target} is not a regular file"},
    });
}

TEST(utilOptionTrust, LinksOfOtherUsersAndLinksToDevices)
{
    if (!isRoot())
        GTEST_SKIP() << "needs root: a link owned by another user, a device node";
    checkLinkCases({
        {"another user's link", regularTarget, kNobody, kSelf,
         "the symbolic link {link} of user 65534 leads to the directory / of user 0"},
        // Fault: a link was trusted for belonging to the directory's owner, who
        // was not trusted herself.
        {"the directory owner's link", regularTarget, kNobody, kNobody,
         "the symbolic link {link} of user 65534 leads to the directory / of user 0"},
        {"a link to a device node",
         [](const std::string& dir) {
             const std::string t = dir + "/null";
             mknod(t.c_str(), S_IFCHR | 0666, makedev(1, 3));
             return t;
         },
         kSelf, kSelf, "{target} is not a regular file"},
    });
}

// Fault: an unreadable file behind a link lost its bytes, because the second
// name was made for the link instead of the file it leads to.
TEST(utilOptionTrust, AnUnreadableFileBehindALinkKeepsItsBytes)
{
    ConfigDir config;
    chmod(config.dir().c_str(), 0777);
    const std::string path = config.file(kPciFile);
    const std::string real = config.dir() + "/real";
    const std::string target = real + "/target.json";
    const std::string bytes = "{\"a\": \"1\"}";
    mkdir(real.c_str(), 0755);
    chmod(real.c_str(), 0777);
    writeFile(target, bytes);
    chmod(target.c_str(), 0200);
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    const int rc = runAsOrdinaryUser({target}, [&] {
        if (access(target.c_str(), R_OK) == 0)
            return kChildSkipped;
        VdlsdkLib lib(kPciFile, json());
        return raised([&] { lib.getOptions().setOption("b", "2"); }).raised ? 1 : 0;
    });
    if (rc == kChildSkipped)
        GTEST_SKIP() << "cannot run as a user who may not read the file";
    ASSERT_EQ(rc, 0);
    // Beside the file itself.
    const std::string kept = target + ".invalid";
    ASSERT_TRUE(S_ISREG(lstatOf(kept).st_mode));
    EXPECT_TRUE(S_ISLNK(lstatOf(path).st_mode));
    chmod(kept.c_str(), 0600);
    chmod(target.c_str(), 0600);
    EXPECT_EQ(readFile(kept), bytes);
    EXPECT_EQ(readFile(target), "{\n    \"b\": \"2\"\n}");
}

// Fault: a huge (sparse) file was read whole into memory at the load and copied
// into a fully allocated "<file>.invalid" at the save. Above the size limit a
// file is malformed, is not read, and is kept under a second name, not copied.
TEST(utilOptionTrust, AHugeFileIsMalformedAndNeitherReadNorCopied)
{
    constexpr off_t kLimit = off_t{512} << 10;
    constexpr off_t kHuge = off_t{512} << 20;
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    auto makeSparse = [&](off_t size) {
        std::remove(path.c_str());
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    };
    auto expectKeptAsItWas = [&](const struct stat& before) {
        const struct stat kept = lstatOf(path + ".invalid");
        EXPECT_EQ(kept.st_ino, before.st_ino);
        EXPECT_EQ(kept.st_size, before.st_size);
        EXPECT_EQ(json::parse(readFile(path)), json({{"d", "1"}, {"n", "v"}}));
    };

    // At start-up.
    makeSparse(kHuge);
    struct stat before = lstatOf(path);
    LogCapture log;
    {
        VdlsdkLib lib(kPciFile, json({{"d", "1"}}));
        EXPECT_EQ(lib.getOptions().optionCount(), 1);
        lib.getOptions().setOption("n", "v");
    }
    EXPECT_EQ(log.count("warning|Could not load config file " + path +
                        ", using the defaults: [json.exception.parse_error.101] parse error: "
                        "syntax error: larger than " +
                        std::to_string(kLimit) + " bytes"),
              1)
        << log.text();
    expectKeptAsItWas(before);

    // Put there after the load, one byte above the limit.
    LibraryOptions options(kPciFile, json({{"d", "1"}}));
    options.loadConfig();
    makeSparse(kLimit + 1);
    before = lstatOf(path);
    options.setOption("n", "v");
    EXPECT_EQ(log.count("warning|Could not load config file " + path + ", keeping it as " + path +
                        ".invalid"),
              1)
        << log.text();
    expectKeptAsItWas(before);

    // A file at the limit is still read.
    const std::string head = "{\"k\": \"";
    writeFile(path, head + std::string(static_cast<std::size_t>(kLimit) - head.size() - 2, 'x') +
                        "\"}");
    ASSERT_EQ(lstatOf(path).st_size, kLimit);
    options.loadConfig();
    EXPECT_EQ(options.optionCount(), 2);
}

// Fault: the directories on the way were not checked. A member renamed away a
// directory that root's own link leads through, or the option directory
// itself, and put her link in its place: root's save then replaced a file in
// a root-only directory, gave it the group, and linked its old bytes into the
// shared directory. Every link on the way is held to the same rule now.
TEST(utilOptionTrust, ALinkPutInPlaceOfADirectoryOnTheWayIsNotFollowed)
{
    if (!isRoot())
        GTEST_SKIP() << "needs root: a link owned by another user in root's path";
    struct Case {
        const char* name;
        // The option directory below the shared one ("" for the shared one).
        std::string sub;
        // The path root's own link at the option file leads to ("" for none).
        std::string rootLink;
        // The directory the member swaps for her link, below the shared one.
        std::string swapped;
    };
    const std::vector<Case> cases = {
        {"a directory root's link leads through", "", "cards/pci.json", "cards"},
        {"the option directory named by VDLSDK_CONFIG", "sub", "", "sub"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SharedDir shared;
        const std::string root = shared.dir() + "/root-only";
        ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
        const std::string victim = root + "/" + (c.rootLink.empty() ? kPciFile : "pci.json");
        writeFile(victim, "{\"private\": \"1\"}");
        chmod(victim.c_str(), 0600);
        const std::string swapped = shared.dir() + "/" + c.swapped;
        ASSERT_EQ(mkdir(swapped.c_str(), 0775), 0);
        const std::string optionDir = c.sub.empty() ? shared.dir() : shared.dir() + "/" + c.sub;
        setenv("VDLSDK_CONFIG", optionDir.c_str(), 1);
        const std::string path = optionDir + "/" + kPciFile;
        if (!c.rootLink.empty()) {
            ASSERT_EQ(symlink(c.rootLink.c_str(), path.c_str()), 0);
        }
        LibraryOptions options(kPciFile);
        options.setOption("a", "1");

        // The member's move: the directory away, her link in its place.
        ASSERT_EQ(rename(swapped.c_str(), (swapped + ".old").c_str()), 0);
        plantLink(root, swapped);
        const std::string why = "the symbolic link " + shared.dir() + "/" + c.swapped +
                                " of user 65534 leads to the directory / of user 0";
        EXPECT_RAISES(options.setOption("b", "2"), -14,
                      "Could not save config file: " + path + ": " + why);
        EXPECT_RAISES(options.loadConfig(), -16,
                      "Could not read config from file " + path + ": " + why);
        EXPECT_EQ(readFile(victim), "{\"private\": \"1\"}");
        EXPECT_EQ(lstatOf(victim).st_gid, 0u);
        EXPECT_EQ(listDir(root).size(), 1u);
        // Nothing of it reached the shared directory.
        for (const auto& name : listDir(shared.dir()))
            EXPECT_EQ(name.find(".invalid"), std::string::npos) << name;
        shared.expectVictimsUntouched();
    }
}

// Fault (where the kernel does not protect hard links): a member hard-linked
// a root-owned symbolic link from elsewhere at the option file's name, or at a
// directory on the way; it passed as root's link, and root's save replaced
// what it named. A link with a second name is not followed, whoever owns it.
TEST(utilOptionTrust, AHardLinkToASymbolicLinkIsNotFollowed)
{
    for (const bool onTheWay : {false, true}) {
        SCOPED_TRACE(onTheWay ? "a directory on the way" : "the option file");
        SharedDir shared;
        const std::string usr = shared.dir() + "/usr";
        ASSERT_EQ(mkdir(usr.c_str(), 0755), 0);
        const std::string tool = usr + "/" + kPciFile;
        writeFile(tool, "{\"tool\": \"1\"}");
        // A link of the system's own, and a second name for it planted in the
        // option directory (or in place of the option directory).
        const std::string systemLink = shared.dir() + "/system-link";
        ASSERT_EQ(symlink(onTheWay ? usr.c_str() : tool.c_str(), systemLink.c_str()), 0);
        const std::string planted = onTheWay ? shared.dir() + "/options" : shared.path();
        ASSERT_EQ(linkat(AT_FDCWD, systemLink.c_str(), AT_FDCWD, planted.c_str(), 0), 0);
        ASSERT_TRUE(S_ISLNK(lstatOf(planted).st_mode));
        const std::string path = onTheWay ? planted + "/" + kPciFile : shared.path();
        setenv("VDLSDK_CONFIG", onTheWay ? planted.c_str() : shared.dir().c_str(), 1);

        LibraryOptions options(kPciFile);
        const std::string why = "the symbolic link " + planted + " has more than one name";
        EXPECT_RAISES(options.setOption("a", "1"), -14,
                      "Could not save config file: " + path + ": " + why);
        EXPECT_RAISES(options.loadConfig(), -16,
                      "Could not read config from file " + path + ": " + why);
        EXPECT_EQ(readFile(tool), "{\"tool\": \"1\"}");
        EXPECT_EQ(listDir(usr), std::vector<std::string>{kPciFile});
    }
}

// Fault: temporaries had predictable names (<name>.tmp.<pid>.<n>), so that
// names planted for a running process's number made its saves fail, with a
// message that did not say why.
TEST(utilOptionTrust, NamesPlantedForTheProcessDoNotStopItsSaves)
{
    SharedDir shared;
    const std::string pid = std::to_string(getpid());
    for (int n = 0; n < 500; ++n)
        for (const char* infix : {".tmp.", ".invalid.tmp."})
            ASSERT_EQ(mkdir(shared.file(kPciFile + (infix + pid) + "." + std::to_string(n)).c_str(),
                            0777),
                      0);
    writeFile(shared.path(), "{malformed");
    LibraryOptions options(kPciFile);
    for (int i = 0; i < 10; ++i) {
        const auto r = raised([&] { options.setOption("k", std::to_string(i)); });
        EXPECT_FALSE(r.raised) << r.message;
    }
    EXPECT_EQ(readFile(shared.path()), "{\n    \"k\": \"9\"\n}");
    EXPECT_EQ(readFile(shared.path() + ".invalid"), "{malformed");
    EXPECT_EQ(listDir(shared.dir()).size(), 5u + 1000u);
}

// Fault: a staged kept copy stayed behind when the malformed file and its
// kept name were already the same file (rename does nothing then), one more
// for every save retried on a full disk.
TEST(utilOptionTrust, RetriedSavesLeaveNoStagedCopies)
{
    SharedDir shared;
    const std::string path = shared.path();
    writeFile(path, "{malformed");
    const int rc = runWithFileSizeLimit(64, [&] {
        LibraryOptions options(kPciFile);
        for (int i = 0; i < 5; ++i) {
            const auto r = raised([&] { options.setOption("k", std::string(1000, 'v')); });
            if (r.code != -14 ||
                r.message != "Could not save config file: " + path + ": " + std::strerror(EFBIG))
                return 3;
        }
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(path), "{malformed");
    EXPECT_EQ(lstatOf(path + ".invalid").st_ino, lstatOf(path).st_ino);
    EXPECT_EQ(listDir(shared.dir()),
              (std::vector<std::string>{"elsewhere", kPciFile, std::string(kPciFile) + ".invalid",
                                        std::string(kPciFile) + ".lock", "victim"}));
}

// Fault: a save copied the old file's mode, set-id bits included, so that
// through a hard link to a set-user-id tool the new option file was one too.
// A new file takes the old permission bits without set-id, sticky or execute
// bits, and the file it replaced keeps its own.
TEST(utilOptionTrust, ANewFileTakesNoSetIdStickyOrExecuteBit)
{
    struct Case {
        const char* name;
        mode_t old;
        mode_t saved;
        bool hardLinkedTool;
    };
    const std::vector<Case> cases = {
        {"a hard link to a set-user-id tool", 04755, 0644, true},
        {"set-group-id and group-writable", 02775, 0664, false},
        {"sticky and writable by all", 01777, 0666, false},
        {"private", 0700, 0600, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SharedDir shared;
        const std::string tool = shared.dir() + "/elsewhere/tool";
        const std::string old = c.hardLinkedTool ? tool : shared.path();
        writeFile(old, "{\"a\": \"0\"}");
        ASSERT_EQ(chmod(old.c_str(), c.old), 0);
        if (c.hardLinkedTool) {
            ASSERT_EQ(link(tool.c_str(), shared.path().c_str()), 0);
        }
        LibraryOptions options(kPciFile);
        options.setOption("a", "1");
        EXPECT_EQ(lstatOf(shared.path()).st_mode & 07777, c.saved);
        EXPECT_EQ(readFile(shared.path()), "{\n    \"a\": \"1\"\n}");
        if (c.hardLinkedTool) {
            EXPECT_EQ(lstatOf(tool).st_mode & 07777, c.old);
            EXPECT_EQ(readFile(tool), "{\"a\": \"0\"}");
            EXPECT_EQ(lstatOf(tool).st_nlink, 1u);
        }
    }
}

// ---- Trust follows ownership along the whole walk --------------------------------

// Makes `path` a directory of the member (the user nobody).
void plantDirectory(const std::string& path)
{
    ASSERT_EQ(mkdir(path.c_str(), 0775), 0) << path;
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0) << path;
}

// Fault: a directory a member made on the way was trusted, and with it her
// link inside, which the rule for links trusted for belonging to the
// directory's owner. With the option directory below the shared one, or root's
// own link leading through a directory there, she renames that directory
// away, makes her own in its place and puts her link inside: root's save
// replaced a root-only file, or created one in a root-only directory, and
// root's load read a private file that its next save wrote where she reads it.
TEST(utilOptionTrust, HerDirectoryOnTheWayLeadsOnlyToWhatIsHers)
{
    if (!isRoot())
        GTEST_SKIP() << "needs root: a directory and a link of another user";
    struct Layout {
        const char* name;
        std::string sub;      // the option directory below the shared one ("": the shared one)
        std::string rootLink; // root's own link at the option file ("": none)
        std::string swapped;  // the directory she swaps for her own
        std::string herLink;  // her link's name in her directory
    };
    const std::vector<Layout> layouts = {
        {"the option directory named by VDLSDK_CONFIG", "sub", "", "sub", kPciFile},
        {"a directory root's link leads through", "", "cards/pci.json", "cards", "pci.json"},
    };
    struct Target {
        const char* name;
        std::string text; // her link's text; {root} is the root-only directory
        std::string leadsTo; // the step refused, after "... of user 65534 leads to "
    };
    const std::vector<Target> targets = {
        {"an existing root-only file", "{root}/secret.json", "the directory /"},
        {"a dangling link into a root-only directory", "{root}/new.json", "the directory /"},
        {"a relative link up into a root-only directory", "../root-only/secret.json",
         "the directory {her}/.."},
    };
    for (const auto& layout : layouts) {
        for (const auto& target : targets) {
            SCOPED_TRACE(std::string(layout.name) + ", " + target.name);
            SharedDir shared;
            const std::string rootOnly = shared.dir() + "/root-only";
            ASSERT_EQ(mkdir(rootOnly.c_str(), 0700), 0);
            const std::string secret = rootOnly + "/secret.json";
            writeFile(secret, "{\"private\": \"1\"}");
            chmod(secret.c_str(), 0600);
            const std::string her = shared.dir() + "/" + layout.swapped;
            ASSERT_EQ(mkdir(her.c_str(), 0775), 0);
            const std::string optionDir =
                layout.sub.empty() ? shared.dir() : shared.dir() + "/" + layout.sub;
            setenv("VDLSDK_CONFIG", optionDir.c_str(), 1);
            const std::string path = optionDir + "/" + kPciFile;
            if (!layout.rootLink.empty()) {
                ASSERT_EQ(symlink(layout.rootLink.c_str(), path.c_str()), 0);
            }
            LibraryOptions options(kPciFile);
            options.setOption("a", "1");

            // Her move: the directory away, her own in its place, her link inside.
            ASSERT_EQ(rename(her.c_str(), (her + ".old").c_str()), 0);
            plantDirectory(her);
            std::string text = target.text;
            if (text.rfind("{root}", 0) == 0)
                text.replace(0, 6, rootOnly);
            const std::string herLink = her + "/" + layout.herLink;
            plantLink(text, herLink);
            std::string leadsTo = target.leadsTo;
            if (const auto at = leadsTo.find("{her}"); at != std::string::npos)
                leadsTo.replace(at, 5, her);
            const std::string why =
                "the symbolic link " + herLink + " of user 65534 leads to " + leadsTo + " of user 0";

            EXPECT_RAISES(options.setOption("b", "2"), -14,
                          "Could not save config file: " + path + ": " + why);
            LibraryOptions loading(kPciFile);
            EXPECT_RAISES(loading.loadConfig(), -16,
                          "Could not read config from file " + path + ": " + why);
            EXPECT_EQ(loading.getData(), json());
            EXPECT_EQ(readFile(secret), "{\"private\": \"1\"}");
            EXPECT_EQ(lstatOf(secret).st_mode & 07777, 0600u);
            EXPECT_EQ(lstatOf(secret).st_gid, 0u);
            EXPECT_EQ(listDir(rootOnly), std::vector<std::string>{"secret.json"});
            EXPECT_EQ(listDir(her), std::vector<std::string>{layout.herLink});

            // She removes her link: what root then writes there holds nothing
            // of the private file.
            ASSERT_EQ(unlink(herLink.c_str()), 0);
            loading.setOption("c", "3");
            EXPECT_EQ(readFile(herLink), "{\n    \"c\": \"3\"\n}");
            shared.expectVictimsUntouched();
        }
    }
}

// What must keep working: every step below stays with root, the process's
// user or the owner of what came before.
TEST(utilOptionTrust, LegitimateSetUpsAreFollowed)
{
    if (!isRoot())
        GTEST_SKIP() << "needs root: files, directories and links of another user";
    struct Case {
        const char* name;
        // Sets up in the shared directory `dir`; returns the file that holds
        // the options.
        std::function<std::string(const std::string& dir)> setUp;
        uid_t owner; // of the file after the save
        mode_t mode;
    };
    const std::vector<Case> cases = {
        {"a member's own option file in the shared directory",
         [](const std::string& dir) {
             const std::string file = dir + "/" + kPciFile;
             writeFile(file, "{\"old\": \"1\"}");
             chmod(file.c_str(), 0640);
             chown(file.c_str(), kNobody, kNobody);
             return file;
         },
         kNobody, 0640},
        {"a directory a user owns, with a file root saved there",
         [](const std::string& dir) {
             const std::string home = dir + "/home";
             plantDirectory(home);
             setenv("VDLSDK_CONFIG", home.c_str(), 1);
             LibraryOptions(kPciFile).setOption("old", "1");
             const std::string file = home + "/" + kPciFile;
             chmod(file.c_str(), 0600);
             return file;
         },
         0, 0600},
        {"root's own link through a directory of root's",
         [](const std::string& dir) {
             mkdir((dir + "/cards").c_str(), 0755);
             const std::string file = dir + "/cards/pci.json";
             writeFile(file, "{\"old\": \"1\"}");
             symlink("cards/pci.json", (dir + "/" + kPciFile).c_str());
             return file;
         },
         0, 0644},
        {"root's own link to a path from the root",
         [](const std::string& dir) {
             const std::string file = dir + "/elsewhere/pci.json";
             writeFile(file, "{\"old\": \"1\"}");
             symlink(file.c_str(), (dir + "/" + kPciFile).c_str());
             return file;
         },
         0, 0644},
        {"her link in her directory to her own file",
         [](const std::string& dir) {
             const std::string hers = dir + "/hers";
             plantDirectory(hers);
             const std::string file = hers + "/real.json";
             writeFile(file, "{\"old\": \"1\"}");
             chown(file.c_str(), kNobody, kNobody);
             plantLink("real.json", hers + "/" + kPciFile);
             setenv("VDLSDK_CONFIG", hers.c_str(), 1);
             return file;
         },
         kNobody, 0644},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SharedDir shared;
        const std::string file = c.setUp(shared.dir());
        LibraryOptions options(kPciFile);
        options.loadConfig();
        EXPECT_EQ(options.getData(), json({{"old", "1"}}));
        options.setOption("a", "1");
        EXPECT_EQ(readFile(file), "{\n    \"a\": \"1\",\n    \"old\": \"1\"\n}");
        EXPECT_EQ(lstatOf(file).st_uid, c.owner);
        EXPECT_EQ(lstatOf(file).st_mode & 07777, c.mode);
    }
}

// "." stays where it is and ".." goes to the directory above, as the kernel
// has it; a member's directory leads up only where she owns what is there.
TEST(utilOptionTrust, PathsWithDotAndDotDotParts)
{
    ConfigDir config;
    const std::string dir = config.dir();
    setenv("VDLSDK_CONFIG", (dir + "/./a/../b/.").c_str(), 1);
    const std::string path = dir + "/./a/../b/./" + kPciFile;
    LibraryOptions options(kPciFile);
    EXPECT_EQ(options._configPath(), path);
    options.setOption("k", "1");
    // "a" is made on the way, as mkdir -p makes it.
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(listDir(dir + "/a").empty());
    EXPECT_EQ(readFile(dir + "/b/" + kPciFile), "{\n    \"k\": \"1\"\n}");
    LibraryOptions again(kPciFile);
    again.loadConfig();
    EXPECT_EQ(again.getData(), json({{"k", "1"}}));

    if (!isRoot())
        return;
    // Her directory's ".." is wherever she moved it: not followed up to root's.
    plantDirectory(dir + "/hers");
    setenv("VDLSDK_CONFIG", (dir + "/hers/../b").c_str(), 1);
    const std::string hers = dir + "/hers/../b/" + kPciFile;
    const std::string why = "the directory " + dir + "/hers of user 65534 leads to the directory " +
                            dir + "/hers/.. of user 0";
    LibraryOptions through(kPciFile);
    EXPECT_RAISES(through.setOption("k", "2"), -14,
                  "Could not save config file: " + hers + ": " + why);
    EXPECT_RAISES(through.loadConfig(), -16, "Could not read config from file " + hers + ": " + why);
    EXPECT_EQ(readFile(dir + "/b/" + kPciFile), "{\n    \"k\": \"1\"\n}");
}

// A load looks and changes nothing: no directory on the way is made.
TEST(utilOptionTrust, ALoadMakesNoDirectory)
{
    ConfigDir config;
    const std::string optionDir = config.dir() + "/new/sub";
    setenv("VDLSDK_CONFIG", optionDir.c_str(), 1);
    const std::string path = optionDir + "/" + kPciFile;
    LibraryOptions options(kPciFile);
    EXPECT_RAISES(options.loadConfig(), -16, "Could not find config at " + path);
    json out;
    EXPECT_RAISES(options.loadConfig(out, path), -16, "Could not read config from file " + path);
    EXPECT_TRUE(listDir(config.dir()).empty());
}

// Links are followed as many times as the kernel follows them in one path,
// and no more.
TEST(utilOptionTrust, TheLinkHopBoundIsFortyLinks)
{
    constexpr int kLimit = 40;
    for (const int links : {kLimit, kLimit + 1}) {
        SCOPED_TRACE(std::to_string(links) + " links");
        ConfigDir config;
        const std::string path = config.file(kPciFile);
        // The option file's name, then l1 ... l<links - 1>, then the file.
        for (int i = 0; i < links; ++i) {
            const std::string at = i == 0 ? path : config.file("l" + std::to_string(i));
            const std::string to = i + 1 == links ? "target.json" : "l" + std::to_string(i + 1);
            ASSERT_EQ(symlink(to.c_str(), at.c_str()), 0);
        }
        LibraryOptions options(kPciFile);
        if (links <= kLimit) {
            options.setOption("k", "1");
            EXPECT_EQ(readFile(config.file("target.json")), "{\n    \"k\": \"1\"\n}");
        } else {
            EXPECT_RAISES(options.setOption("k", "1"), -14,
                          "Could not save config file: " + path + ": too many symbolic links at " +
                              path);
            EXPECT_EQ(access(config.file("target.json").c_str(), F_OK), -1);
        }
    }
}

// Where the directory takes no temporary, the file is overwritten in place;
// not a file with a second name, whose other name would change too.
TEST(utilOptionTrust, AnInPlaceSaveRefusesAFileWithASecondName)
{
    ConfigDir config;
    chmod(config.dir().c_str(), 0755);
    const std::string dir = config.dir() + "/locked";
    const std::string file = dir + "/" + kPciFile;
    const std::string other = dir + "/other-name";
    mkdir(dir.c_str(), 0755);
    writeFile(file, "{\"old\": \"1\"}");
    ASSERT_EQ(link(file.c_str(), other.c_str()), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    const int rc = runAsOrdinaryUser({file}, [&] {
        if (access(dir.c_str(), W_OK) == 0)
            return kChildSkipped;
        setenv("VDLSDK_CONFIG", dir.c_str(), 1);
        LibraryOptions options(kPciFile);
        options.loadConfig();
        const auto r = raised([&] { options.setOption("new", "2"); });
        return r.code == -14 && r.message == "Could not save config file: " + file + ": " + file +
                                                 " has more than one name"
                   ? 0
                   : 1;
    });
    chmod(dir.c_str(), 0755);
    if (rc == kChildSkipped)
        GTEST_SKIP() << "cannot run a save as a user the directory refuses";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(other), "{\"old\": \"1\"}");
    EXPECT_EQ(lstatOf(file).st_ino, lstatOf(other).st_ino);
}

// ---- Files a save writes are private until complete ----------------------------

// The calls on temporaries recorded while `body` runs, with the umask 0 so
// that a mode given at creation shows as it was asked for.
std::vector<TemporaryCall> temporaryCallsOf(const std::function<void()>& body)
{
    const mode_t mask = umask(0);
    g_temporaryCalls.clear();
    g_watchTemporaries = true;
    body();
    g_watchTemporaries = false;
    umask(mask);
    return g_temporaryCalls;
}

// Whether every file written was readable by its writer only until its text
// was complete: each is 0600 until its mode is given, and nothing is written
// after that. "" when so, otherwise what was not.
std::string privateUntilComplete(const std::vector<TemporaryCall>& calls)
{
    std::vector<std::string> finished;
    for (const auto& c : calls) {
        const bool done =
            std::find(finished.begin(), finished.end(), c.name) != finished.end();
        if (c.call == 'w' && done)
            return "written after its mode was given: " + c.name;
        if (!done && c.modeBefore != 0600)
            return "mode " + std::to_string(c.modeBefore) + " before '" + c.call + "': " + c.name;
        if (c.call == 'm')
            finished.push_back(c.name);
    }
    return calls.empty() ? "no temporary seen" : "";
}

// Fault: a temporary was created with mode 0666 less the umask and got the old
// file's mode only afterwards; a member watching the directory opened it in
// between and read root's private document. A staged kept copy the same.
TEST(utilOptionTrust, FilesASaveWritesAreReadableByTheirWriterOnlyUntilComplete)
{
    SharedDir shared;
    const std::string path = shared.path();
    LibraryOptions options(kPciFile);
    // A first save (a new file), and a save over a private file.
    auto calls = temporaryCallsOf([&] { options.setOption("a", "1"); });
    EXPECT_EQ(privateUntilComplete(calls), "");
    // Its final mode is the one asked for, as the umask (0 here) leaves it.
    EXPECT_EQ(lstatOf(path).st_mode & 07777, 0666u);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    calls = temporaryCallsOf([&] { options.setOption("private", "1"); });
    EXPECT_EQ(privateUntilComplete(calls), "");
    EXPECT_EQ(lstatOf(path).st_mode & 07777, 0600u);

    // A kept copy: another user's malformed file, which may not be linked.
    if (!isRoot())
        return;
    if (readFile("/proc/sys/fs/protected_hardlinks").rfind("1", 0) != 0)
        return;
    writeFile(path, "{malformed");
    chmod(path.c_str(), 0644);
    const int rc = runAsOrdinaryUser({}, [&] {
        LibraryOptions saving(kPciFile);
        const auto keptCalls = temporaryCallsOf([&] { saving.setOption("a", "1"); });
        const bool copied = std::any_of(keptCalls.begin(), keptCalls.end(), [](const auto& c) {
            return c.name.find(".invalid.tmp.") != std::string::npos;
        });
        return !copied ? 2 : privateUntilComplete(keptCalls).empty() ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(path + ".invalid"), "{malformed");
    EXPECT_EQ(lstatOf(path + ".invalid").st_mode & 07777, 0644u);
}

// ---- Bytes keep the readers of the file they came from ---------------------------

// Fault: after root's program had loaded its 0600 option file (or one behind
// root's link in a 0700 directory), a member renamed the file or the link
// away, or put her own file in its place: root's next save wrote the private
// keys into a new 0644 file, or into one with her owner and mode.
TEST(utilOptionTrust, BytesKeepTheReadersOfTheFileTheyCameFrom)
{
    if (!isRoot())
        GTEST_SKIP() << "needs root: a private file of root's and a member's replacement";
    struct Case {
        const char* name;
        bool throughRootLink; // root's link at the name leads into a 0700 directory
        // Her move at the option file's name, in `dir`.
        std::function<void(const std::string& name, const std::string& dir)> move;
        json saved; // what the new file holds
        bool loaded = true; // false: the private bytes came in at a save's merge
    };
    const json whole = {{"b", "2"}, {"private", "1"}};
    auto herFile = [](const std::string& name, const std::string& text) {
        writeFile(name + ".hers", text);
        chmod((name + ".hers").c_str(), 0644);
        chown((name + ".hers").c_str(), kNobody, kNobody);
        rename((name + ".hers").c_str(), name.c_str());
    };
    const std::vector<Case> cases = {
        {"the file renamed away", false,
         [](const std::string& name, const std::string& dir) {
             rename(name.c_str(), (dir + "/away").c_str());
         },
         whole},
        {"root's link renamed away", true,
         [](const std::string& name, const std::string& dir) {
             rename(name.c_str(), (dir + "/away").c_str());
         },
         whole},
        {"replaced by her malformed file", false,
         [&](const std::string& name, const std::string&) { herFile(name, "{hers"); }, whole},
        {"replaced by her file", false,
         [&](const std::string& name, const std::string&) { herFile(name, "{\"hers\": \"1\"}"); },
         json({{"b", "2"}, {"hers", "1"}})},
        // The same inode with another owner stands for her new file that got
        // the freed inode number of the one loaded.
        {"her file at the loaded one's inode number", false,
         [](const std::string& name, const std::string&) {
             chown(name.c_str(), kNobody, kNobody);
             chmod(name.c_str(), 0644);
         },
         whole},
        {"merged at a save, not loaded, then renamed away", false,
         [](const std::string& name, const std::string& dir) {
             rename(name.c_str(), (dir + "/away").c_str());
         },
         json({{"a", "1"}, {"b", "2"}, {"private", "1"}}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SharedDir shared;
        const std::string path = shared.path();
        std::string file = path;
        if (c.throughRootLink) {
            const std::string rootOnly = shared.dir() + "/root-only";
            ASSERT_EQ(mkdir(rootOnly.c_str(), 0700), 0);
            file = rootOnly + "/pci.json";
            ASSERT_EQ(symlink(file.c_str(), path.c_str()), 0);
        }
        writeFile(file, "{\"private\": \"1\"}");
        chmod(file.c_str(), 0600);
        LibraryOptions options(kPciFile);
        if (c.loaded)
            options.loadConfig();
        else
            options.setOption("a", "1");

        c.move(path, shared.dir());
        options.setOption("b", "2");
        const struct stat st = lstatOf(path);
        ASSERT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(json::parse(readFile(path)), c.saved);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_NE(st.st_gid, kNobody);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        shared.expectVictimsUntouched();
    }
}

// ---- Opening, and what a failure says ---------------------------------------------

// A directory on the way that the process may not search, where a directory
// below it has to be made, fails as making that directory does; the file's
// own directory, as opening the file does.
TEST(utilOptionTrust, ADirectoryThatMayNotBeSearchedFailsAsMakingOneBelowIt)
{
    ConfigDir config;
    chmod(config.dir().c_str(), 0755);
    const std::string closed = config.dir() + "/closed";
    ASSERT_EQ(mkdir(closed.c_str(), 0700), 0);
    ASSERT_EQ(chmod(closed.c_str(), 0600), 0);
    const std::string below = closed + "/sub/" + kPciFile;
    const std::string inside = closed + "/" + kPciFile;
    const std::string denied = std::strerror(EACCES);
    const int rc = runAsOrdinaryUser({}, [&] {
        if (access((closed + "/.").c_str(), F_OK) == 0)
            return kChildSkipped;
        int failed = 0;
        for (const auto& [dir, message] :
             {std::pair<std::string, std::string>{closed + "/sub",
                                                  "Could not create directory " + below + ": " +
                                                      denied},
              {closed, "Could not save config file: " + inside + ": " + denied}}) {
            setenv("VDLSDK_CONFIG", dir.c_str(), 1);
            LibraryOptions options(kPciFile);
            const auto r = raised([&] { options.setOption("a", "1"); });
            failed = failed * 2 + (r.code == -14 && r.message == message ? 0 : 1);
        }
        return failed;
    });
    if (rc == kChildSkipped)
        GTEST_SKIP() << "cannot run a save as a user who may not search the directory";
    EXPECT_EQ(rc, 0) << "1: the file's own directory, 2: a directory below";
}

// A trusted link at the option file's name to a directory or a FIFO is no
// option file: a load finds none, and nothing waits on the FIFO.
TEST(utilOptionTrust, ATrustedLinkToADirectoryOrAFifoIsNoOptionFile)
{
    alarm(kBlockedAfterSeconds);
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a directory");
        ConfigDir config;
        const std::string target = config.file("target");
        ASSERT_EQ(fifo ? mkfifo(target.c_str(), 0666) : mkdir(target.c_str(), 0755), 0);
        ASSERT_EQ(symlink("target", config.file(kPciFile).c_str()), 0);
        LibraryOptions options(kPciFile, json({{"d", "1"}}));
        EXPECT_RAISES(options.loadConfig(), -16,
                      "Could not find config at " + config.file(kPciFile));
        EXPECT_EQ(options.getData(), json({{"d", "1"}}));
    }
    alarm(0);
}

// The bytes of a path the caller names go to the caller alone: it is opened as
// named, links followed, whoever owns them; what is not a regular file is
// not waited on.
TEST(utilOptionTrust, ACallerNamedPathIsOpenedAsGiven)
{
    alarm(kBlockedAfterSeconds);
    ConfigDir config;
    const std::string target = config.file("target.json");
    writeFile(target, "{\"t\": \"1\"}");
    const std::string single = config.file("link");
    ASSERT_EQ(symlink(target.c_str(), single.c_str()), 0);
    const std::string second = config.file("second-name");
    ASSERT_EQ(linkat(AT_FDCWD, single.c_str(), AT_FDCWD, second.c_str(), 0), 0);
    std::vector<std::string> links = {second};
    if (isRoot()) {
        ASSERT_EQ(lchown(single.c_str(), kNobody, kNobody), 0);
        links.push_back(single);
    }
    LibraryOptions options(kPciFile);
    for (const auto& link : links) {
        SCOPED_TRACE(link);
        json out;
        options.loadConfig(out, link);
        EXPECT_EQ(out, json({{"t", "1"}}));
    }
    const std::string fifo = config.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    json out;
    EXPECT_RAISES(options.loadConfig(out, fifo), -16, "Could not read config from file " + fifo);
    alarm(0);
}

// Links under /proc report a size of 0; they are read all the same.
TEST(utilOptionTrust, AnOptionDirectoryNamedThroughProcIsFollowed)
{
    ConfigDir config;
    const int rc = runInChild([&] {
        if (chdir(config.dir().c_str()) != 0)
            return 2;
        setenv("VDLSDK_CONFIG", "/proc/self/cwd", 1);
        LibraryOptions options(kPciFile);
        options.setOption("k", "1");
        LibraryOptions again(kPciFile);
        again.loadConfig();
        return again.getData() == json({{"k", "1"}}) ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(config.file(kPciFile)), "{\n    \"k\": \"1\"\n}");
}

// Fault: a write lease another process holds on the option file failed the
// save as "... is not a regular file".
TEST(utilOptionTrust, ALeaseOnTheFileFailsTheSaveNamingTheCause)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    writeFile(path, "{\"a\": \"1\"}");
    int ready[2];
    int done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t holder = startChild([&] {
        std::signal(SIGIO, SIG_IGN); // the notice that a lease is to be broken
        const int fd = open(path.c_str(), O_RDONLY);
        const bool held = fd >= 0 && fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
        const char answer = held ? 'h' : 's';
        if (write(ready[1], &answer, 1) != 1 || !held)
            return kChildSkipped;
        char end;
        return read(done[0], &end, 1) == 1 ? 0 : 1;
    });
    char answer = 's';
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    if (answer == 'h') {
        LibraryOptions options(kPciFile);
        EXPECT_RAISES(options.setOption("b", "2"), -14,
                      "Could not save config file: " + path + ": " + std::strerror(EWOULDBLOCK));
        EXPECT_EQ(options.getData(), json({{"b", "2"}}));
    }
    const char end = 'e';
    EXPECT_EQ(write(done[1], &end, 1), 1);
    const int rc = waitChild(holder);
    for (const int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
    if (answer != 'h')
        GTEST_SKIP() << "this file system takes no lease";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(path), "{\"a\": \"1\"}");
}

// Where the directory takes no temporary, the file is overwritten in place and
// keeps its owner and mode: not a file put in place of the one loaded that
// others may read.
TEST(utilOptionTrust, AnInPlaceSaveRefusesAReplacementOthersMayRead)
{
    if (!isRoot())
        GTEST_SKIP() << "needs root: a save as another user, and a replacement it cannot make";
    ConfigDir config;
    chmod(config.dir().c_str(), 0755);
    const std::string dir = config.dir() + "/locked";
    const std::string file = dir + "/" + kPciFile;
    mkdir(dir.c_str(), 0755);
    writeFile(file, "{\"private\": \"1\"}");
    chmod(file.c_str(), 0600);
    ASSERT_EQ(chown(file.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    int loaded[2];
    int replaced[2];
    ASSERT_EQ(pipe(loaded), 0);
    ASSERT_EQ(pipe(replaced), 0);
    const pid_t saver = startChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            return kChildSkipped;
        setenv("VDLSDK_CONFIG", dir.c_str(), 1);
        LibraryOptions options(kPciFile);
        options.loadConfig();
        char step = 'l';
        if (write(loaded[1], &step, 1) != 1 || read(replaced[0], &step, 1) != 1)
            return 2;
        const auto r = raised([&] { options.setOption("b", "2"); });
        return r.code == -14 && r.message == "Could not save config file: " + file + ": " + file +
                                                 " was replaced by a file that others may read"
                   ? 0
                   : 1;
    });
    char step = 0;
    ASSERT_EQ(read(loaded[0], &step, 1), 1);
    // Root's file, writable by all, in place of the member's private one.
    writeFile(dir + "/new", "{}");
    chmod((dir + "/new").c_str(), 0666);
    ASSERT_EQ(rename((dir + "/new").c_str(), file.c_str()), 0);
    ASSERT_EQ(write(replaced[1], &step, 1), 1);
    const int rc = waitChild(saver);
    for (const int fd : {loaded[0], loaded[1], replaced[0], replaced[1]})
        close(fd);
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(file), "{}");
}

// A copy to another path holds the loaded file's bytes too: no wider mode than
// that file had, where a copy of a document of no file follows the umask.
TEST(utilOptionTrust, ACopyKeepsTheReadersOfTheLoadedFile)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    writeFile(path, "{\"private\": \"1\"}");
    chmod(path.c_str(), 0600);
    const mode_t mask = umask(022);
    LibraryOptions fresh(kPciFile);
    fresh.saveConfig(config.file("fresh.json"), true);
    LibraryOptions loaded(kPciFile);
    loaded.loadConfig();
    loaded.saveConfig(config.file("copy.json"), true);
    umask(mask);
    EXPECT_EQ(lstatOf(config.file("fresh.json")).st_mode & 07777, 0644u);
    EXPECT_EQ(lstatOf(config.file("copy.json")).st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(config.file("copy.json")), "{\n    \"private\": \"1\"\n}");
}

} // namespace
