// The "vandrel" group without touching the host: a child process gets its own
// mount namespace, in which a temporary group file is bound over /etc/group.
#include <gtest/gtest.h>

#include <sched.h>
#include <string>

#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util_test_support.hpp"
#include "vdlsdk/VdlLibraryOptions.hpp"

using namespace utiltest;

namespace {

constexpr gid_t kVandrelGid = 4321;
constexpr gid_t kOtherGid = 4343;

gid_t groupOf(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_gid;
}

// Runs `checks` with `groupFile` as the group database of a child process.
// Returns 0 when the checks passed, kChildSkipped when the namespace cannot be made.
int withGroupFile(const ConfigDir& dir, const std::string& groupFile,
                  const std::function<int()>& checks)
{
    const std::string file = dir.file("group");
    writeFile(file, groupFile);
    return runInChild([&] {
        if (unshare(CLONE_NEWNS) != 0)
            return kChildSkipped;
        // Keep the bind mount from propagating back to the host.
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return kChildSkipped;
        if (mount(file.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0)
            return kChildSkipped;
        return checks();
    });
}

#define CHILD_CHECK(condition, code) \
    do {                             \
        if (!(condition))            \
            return (code);           \
    } while (0)

TEST(utilGroupMember, MemberBranch)
{
    ConfigDir dir;
    const bool hostHasGroup = getgrnam("vandrel") != nullptr;
    const std::string database = "vandrel:x:" + std::to_string(kVandrelGid) + ":\nroot:x:0:\n";
    const std::string target = dir.file("target");
    writeFile(target, "x");
    const int rc = withGroupFile(dir, database, [&] {
        const gid_t supplementary[] = {kVandrelGid};
        CHILD_CHECK(setgroups(1, supplementary) == 0, kChildSkipped);
        CHILD_CHECK(is_in_vandrel_group(), 10);

        // A scan left unfinished elsewhere must not hide the group.
        setgrent();
        const struct group* first = getgrent();
        CHILD_CHECK(first != nullptr && std::string(first->gr_name) == "vandrel", 11);
        const struct group* found = get_group();
        CHILD_CHECK(found != nullptr && found->gr_gid == kVandrelGid, 12);

        CHILD_CHECK(chown(target.c_str(), static_cast<uid_t>(-1), kOtherGid) == 0, 13);
        CHILD_CHECK(setFileGroup(target), 14);
        CHILD_CHECK(groupOf(target) == kVandrelGid, 15);

        // A save hands the file to the group and gives no warning.
        LogCapture log;
        Vandrel::LibraryOptions options("vdlpci_config.json");
        options.setOption("a", "1");
        CHILD_CHECK(groupOf(options._configPath()) == kVandrelGid, 16);
        CHILD_CHECK(log.count("vandrel") == 0, 17);
        return 0;
    });
    if (rc == kChildSkipped)
        GTEST_SKIP() << "needs root: a private mount namespace (unshare or mount refused)";
    EXPECT_EQ(rc, 0);
    // The host's group database was never changed.
    EXPECT_EQ(getgrnam("vandrel") != nullptr, hostHasGroup);
}

TEST(utilGroupMember, GroupWithoutMembership)
{
    ConfigDir dir;
    const std::string database = "root:x:0:\nvandrel:x:" + std::to_string(kVandrelGid) + ":\n";
    const int rc = withGroupFile(dir, database, [&] {
        const gid_t none[] = {0};
        CHILD_CHECK(setgroups(1, none) == 0, kChildSkipped);
        CHILD_CHECK(getegid() != kVandrelGid, kChildSkipped);
        CHILD_CHECK(!is_in_vandrel_group(), 20);
        CHILD_CHECK(get_group() != nullptr, 21);

        LogCapture log;
        Vandrel::LibraryOptions options("vdlpci_config.json");
        options.setOption("a", "1");
        options.setOption("b", "2");
        // The file goes to the group all the same; the user is warned once.
        CHILD_CHECK(groupOf(options._configPath()) == kVandrelGid, 22);
        CHILD_CHECK(log.count("User is not in the vandrel group.") == 1, 23);
        return 0;
    });
    if (rc == kChildSkipped)
        GTEST_SKIP() << "needs root: a private mount namespace (unshare or mount refused)";
    EXPECT_EQ(rc, 0);
}

// What a save makes or overwrites beside the file goes to the group as well:
// a lock made before there is any option file, and the file a member's save
// overwrites in place (a directory it may not write).
TEST(utilGroupMember, ALockAndAnInPlaceSaveGoToTheGroup)
{
    ConfigDir dir;
    const std::string database = "vandrel:x:" + std::to_string(kVandrelGid) + ":\nroot:x:0:\n";
    const std::string locked = dir.dir() + "/locked";
    const std::string file = locked + "/vdlpci_config.json";
    ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    writeFile(file, "{\"old\": \"1\"}");
    chmod(dir.dir().c_str(), 0755);
    const int rc = withGroupFile(dir, database, [&] {
        // The lock of a first save, as root.
        Vandrel::LibraryOptions first("vdlusb_config.json");
        first.saveConfig(true);
        struct stat lock {};
        CHILD_CHECK(stat((first._configPath() + ".lock").c_str(), &lock) == 0, 30);
        CHILD_CHECK(lock.st_gid == kVandrelGid && (lock.st_mode & 07777) == 0664, 31);

        // A member who may write the file but not its directory.
        CHILD_CHECK(chown(file.c_str(), kNobody, kOtherGid) == 0, kChildSkipped);
        CHILD_CHECK(chmod(file.c_str(), 0664) == 0, kChildSkipped);
        const gid_t member[] = {kVandrelGid};
        CHILD_CHECK(setgroups(1, member) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0,
                    kChildSkipped);
        CHILD_CHECK(access(locked.c_str(), W_OK) != 0, kChildSkipped);
        setenv("VDLSDK_CONFIG", locked.c_str(), 1);
        const ino_t before = [&] {
            struct stat st {};
            stat(file.c_str(), &st);
            return st.st_ino;
        }();
        Vandrel::LibraryOptions options("vdlpci_config.json");
        options.setOption("a", "1");
        struct stat st {};
        CHILD_CHECK(stat(file.c_str(), &st) == 0 && st.st_ino == before, 32);
        CHILD_CHECK(st.st_gid == kVandrelGid, 33);
        CHILD_CHECK(readFile(file) == "{\n    \"a\": \"1\",\n    \"old\": \"1\"\n}", 34);
        // Members of the group who were not in the file's own may read it as
        // others could, and not write it.
        CHILD_CHECK((st.st_mode & 07777) == 0644, 35);
        return 0;
    });
    if (rc == kChildSkipped)
        GTEST_SKIP() << "needs root: a private mount namespace and a member of the group";
    EXPECT_EQ(rc, 0);
}

// A file of another group goes to "vandrel" with a save; its bytes then reach
// the members of "vandrel" no further than they reached others before.
TEST(utilGroupMember, AFileOfAnotherGroupGoesToTheGroupNoWiderThanOthersHadIt)
{
    ConfigDir dir;
    const std::string database = "vandrel:x:" + std::to_string(kVandrelGid) + ":\nroot:x:0:\n";
    const struct {
        mode_t before;
        mode_t after;
    } cases[] = {{0640, 0600}, {0660, 0600}, {0664, 0644}, {0644, 0644}, {0666, 0666},
                 {0600, 0600}};
    const int rc = withGroupFile(dir, database, [&] {
        CHILD_CHECK(geteuid() == 0, kChildSkipped);
        int failure = 40;
        for (const auto& c : cases) {
            Vandrel::LibraryOptions options("vdlpci_config.json");
            const std::string file = options._configPath();
            writeFile(file, "{\"old\": \"1\"}");
            CHILD_CHECK(chown(file.c_str(), 0, kOtherGid) == 0 && chmod(file.c_str(), c.before) == 0,
                        kChildSkipped);
            options.loadConfig();
            options.setOption("a", "1");
            struct stat st {};
            CHILD_CHECK(stat(file.c_str(), &st) == 0 && st.st_gid == kVandrelGid, failure);
            CHILD_CHECK((st.st_mode & 07777) == c.after, failure + 1);
            failure += 2;
        }
        return 0;
    });
    if (rc == kChildSkipped)
        GTEST_SKIP() << "needs root: a private mount namespace and a file of another group";
    EXPECT_EQ(rc, 0);
}

} // namespace
