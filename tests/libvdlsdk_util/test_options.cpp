// The option file: paths, saved bytes, directories, failed saves, values and errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util_test_support.hpp"
#include "vdlsdk/VdlLibraryOptions.hpp"

using Vandrel::LibraryOptions;
using nlohmann::json;
using namespace utiltest;

namespace {

constexpr const char* kPciFile = "vdlpci_config.json";
// What a save of the option file leaves in its directory: the file and the lock
// that saves of several processes take turns on.
const std::vector<std::string> kFileAndLock = {kPciFile, std::string(kPciFile) + ".lock"};
constexpr int kMaxPath = 1024;

// The JSON library's own message for text that is not UTF-8.
std::string utf8Error(const std::string& text)
{
    try {
        (void)json(text).dump();
    } catch (const json::type_error& e) {
        return e.what();
    }
    return "";
}

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

class utilOptions : public ::testing::Test {
protected:
    ConfigDir config;
    std::string path() const { return config.file(kPciFile); }

    // Saves over the option file once it has mode 0604 and the owner and group
    // given (-1: as made); checks what the save wrote, the mode and the group,
    // and returns the owner.
    uid_t ownerAfterASaveOverAFileOf(uid_t owner, gid_t group)
    {
        LibraryOptions options(kPciFile);
        options.setOption("a", "1");
        EXPECT_EQ(chmod(path().c_str(), 0604), 0);
        EXPECT_EQ(chown(path().c_str(), owner, group), 0);
        struct stat before {};
        EXPECT_EQ(stat(path().c_str(), &before), 0);
        options.setOption("b", "2");
        EXPECT_EQ(readFile(path()), "{\n    \"a\": \"1\",\n    \"b\": \"2\"\n}");
        struct stat st {};
        EXPECT_EQ(stat(path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0604u);
        const struct group* vandrel = getgrnam("vandrel");
        const bool toVandrel = vandrel != nullptr && (geteuid() == 0 || is_in_vandrel_group());
        EXPECT_EQ(st.st_gid, toVandrel ? vandrel->gr_gid : before.st_gid);
        return st.st_uid;
    }
};

TEST(utilOptionsPath, FromTheEnvironmentAsItStands)
{
    const std::string saved = std::getenv("VDLSDK_CONFIG");
    LibraryOptions options(kPciFile);
    struct Case {
        const char* value; // null: unset
        std::string expected;
    };
    const std::vector<Case> cases = {
        {nullptr, "/opt/vdlsdk//vdlpci_config.json"},
        {"", "/vdlpci_config.json"},
        {"/tmp/x/", "/tmp/x//vdlpci_config.json"},
        {"rel/dir", "rel/dir/vdlpci_config.json"},
    };
    // Read again at every call: one object follows every change.
    for (const auto& c : cases) {
        if (c.value)
            setenv("VDLSDK_CONFIG", c.value, 1);
        else
            unsetenv("VDLSDK_CONFIG");
        EXPECT_EQ(options._configPath(), c.expected);
    }
    setenv("VDLSDK_CONFIG", saved.c_str(), 1);
}

TEST_F(utilOptions, TrailingSlashPathIsCreatedAndSaved)
{
    const std::string dir = config.dir() + "/a/b/";
    setenv("VDLSDK_CONFIG", dir.c_str(), 1);
    LibraryOptions options(kPciFile);
    EXPECT_EQ(options._configPath(), dir + "/" + kPciFile);
    options.saveConfig(true);
    EXPECT_EQ(readFile(config.dir() + "/a/b/" + kPciFile), "null");
}

TEST_F(utilOptions, SavedBytes)
{
    struct Case {
        const char* name;
        json defaults;
        std::vector<std::pair<std::string, std::string>> sets;
        bool pretty;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"null", json(), {}, true, "null"},
        {"null compact", json(), {}, false, "null"},
        {"one key", json(), {{"a", "1"}}, true, "{\n    \"a\": \"1\"\n}"},
        {"sorted", json(), {{"b", "1"}, {"a", "2"}}, true, "{\n    \"a\": \"2\",\n    \"b\": \"1\"\n}"},
        {"compact", json::object({{"b", "1"}, {"a", "2"}}), {}, false, "{\"a\":\"2\",\"b\":\"1\"}"},
        {"escapes and UTF-8", json(), {{"k", "\xC3\xA9\"\\\n"}}, true,
         "{\n    \"k\": \"\xC3\xA9\\\"\\\\\\n\"\n}"},
        {"empty object", json::object(), {}, true, "{}"},
        {"nested", json::parse(R"({"x":[1,"2"],"y":{},"z":[]})"), {}, true,
         "{\n    \"x\": [\n        1,\n        \"2\"\n    ],\n    \"y\": {},\n    \"z\": []\n}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(path().c_str());
        LibraryOptions options(kPciFile, c.defaults);
        for (const auto& [key, value] : c.sets)
            options.setOption(key, value);
        options.saveConfig(c.pretty);
        EXPECT_EQ(readFile(path()), c.expected);
        // A save leaves nothing else behind in the directory.
        EXPECT_EQ(listDir(config.dir()), kFileAndLock);
    }
}

TEST_F(utilOptions, DirectoryAndFileModesFollowTheUmask)
{
    struct Case {
        mode_t mask, directory, file;
    };
    const std::vector<Case> cases = {{022, 0755, 0644}, {0, 0775, 0666}, {027, 0750, 0640}};
    const mode_t previous = umask(0);
    chmod(config.dir().c_str(), 0700);
    int n = 0;
    for (const auto& c : cases) {
        const std::string top = config.dir() + "/m" + std::to_string(n++);
        const std::string file = top + "/inner/" + kPciFile;
        umask(c.mask);
        LibraryOptions options(kPciFile);
        options.saveConfig(file, true);
        EXPECT_EQ(modeOf(top), c.directory) << std::oct << c.mask;
        EXPECT_EQ(modeOf(top + "/inner"), c.directory) << std::oct << c.mask;
        EXPECT_EQ(modeOf(file), c.file) << std::oct << c.mask;
    }
    umask(previous);
    // An existing directory is left as it was.
    EXPECT_EQ(modeOf(config.dir()), 0700u);
}

// A save keeps the file's permission bits and, where the process may, its
// owner; the group is "vandrel" where that exists and the process may give
// files to it (root or a member), otherwise the file's own.
TEST_F(utilOptions, ASaveKeepsModeAndGroup)
{
    EXPECT_EQ(ownerAfterASaveOverAFileOf(static_cast<uid_t>(-1), static_cast<gid_t>(-1)),
              geteuid());
}

TEST_F(utilOptions, ASaveKeepsTheOwnerAndGroupOfAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: an option file of another user and group";
    EXPECT_EQ(ownerAfterASaveOverAFileOf(4242, 4343), 4242u);
}

TEST_F(utilOptions, SymbolicLinkIsWrittenThrough)
{
    const std::string elsewhere = config.dir() + "/real";
    mkdir(elsewhere.c_str(), 0755);
    const std::string target = elsewhere + "/target.json";
    writeFile(target, "{\"old\":\"1\"}");
    ASSERT_EQ(symlink(target.c_str(), path().c_str()), 0);
    LibraryOptions options(kPciFile);
    options.setOption("a", "1");
    struct stat st {};
    ASSERT_EQ(lstat(path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    // Merged into what the file held, although this object never loaded it.
    EXPECT_EQ(readFile(target), "{\n    \"a\": \"1\",\n    \"old\": \"1\"\n}");
    // Replaced beside the file the link names, and nothing is left there.
    EXPECT_EQ(listDir(elsewhere), std::vector<std::string>{"target.json"});
}

TEST_F(utilOptions, InPlaceWhenTheDirectoryRefusesATemporary)
{
    const std::string dir = config.dir() + "/locked";
    const std::string file = dir + "/" + kPciFile;
    mkdir(dir.c_str(), 0755);
    chmod(config.dir().c_str(), 0755);
    writeFile(file, "{\"old\": \"1\"}");
    // The directory refuses the user the save runs as; the file does not.
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    const int rc = runAsOrdinaryUser({file}, [&] {
        if (access(dir.c_str(), W_OK) == 0)
            return kChildSkipped; // still allowed to write the directory
        setenv("VDLSDK_CONFIG", dir.c_str(), 1);
        LibraryOptions options(kPciFile);
        options.loadConfig();
        return raised([&] { options.setOption("new", "2"); }).raised ? 1 : 0;
    });
    chmod(dir.c_str(), 0755);
    if (rc == kChildSkipped)
        GTEST_SKIP() << "cannot run a save as a user the directory refuses";
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(readFile(file), "{\n    \"new\": \"2\",\n    \"old\": \"1\"\n}");
    EXPECT_EQ(listDir(dir), std::vector<std::string>{kPciFile});
}

TEST_F(utilOptions, PathOf1023CharactersSavesAnd1024Raises)
{
    // Directory names well below the limit of one name; the last one adjusts the length.
    auto pathOfLength = [&](std::size_t length) {
        std::string p = config.dir();
        while (p.size() + 1 + 200 + 1 + 10 < length)
            p += "/" + std::string(200, 'd');
        p += "/";
        p += std::string(length - p.size() - 10, 'e') + "/" + "name.json";
        return p;
    };
    const std::string fits = pathOfLength(kMaxPath - 1);
    const std::string tooLong = pathOfLength(kMaxPath);
    ASSERT_EQ(fits.size(), 1023u);
    ASSERT_EQ(tooLong.size(), 1024u);
    LibraryOptions options(kPciFile);
    options.saveConfig(fits, true);
    EXPECT_EQ(readFile(fits), "null");
    EXPECT_RAISES(options.saveConfig(tooLong, true), -33,
                  "C-string buffer size was 1024, but requires a size of 1025");
}

TEST_F(utilOptions, InvalidUtf8IsRefusedAndChangesNothing)
{
    LibraryOptions options(kPciFile);
    options.setOption("a", "1");
    const std::string before = readFile(path());
    const std::string bad = "ok\xFF";
    const std::string message = "options - invalid type conversion " + utf8Error(bad);
    EXPECT_RAISES(options.setOption("b", bad), -6, message);
    EXPECT_RAISES(options.addOption("b", bad), -6, message);
    EXPECT_RAISES(options.setOption(bad, "1"), -6, message);
    EXPECT_RAISES(options.setOption("a", bad), -6, message);
    EXPECT_EQ(options.getData(), json({{"a", "1"}}));
    EXPECT_EQ(readFile(path()), before);
    // Later saves still work.
    options.setOption("c", "3");
    EXPECT_EQ(options.optionCount(), 2);
}

TEST_F(utilOptions, UnserialisableDefaultsFailTheSaveAndKeepTheFile)
{
    writeFile(path(), "previous bytes");
    LibraryOptions options(kPciFile, json({{"k", "\xC3"}}));
    EXPECT_RAISES(options.saveConfig(true), -14,
                  "Could not save config file: " + path() + ": " + utf8Error("\xC3"));
    EXPECT_EQ(readFile(path()), "previous bytes");
    EXPECT_EQ(listDir(config.dir()), kFileAndLock);
}

TEST_F(utilOptions, SaveBeyondTheFileSizeLimitKeepsTheOldFile)
{
    LibraryOptions seed(kPciFile);
    seed.setOption("old", "value");
    const std::string before = readFile(path());
    const int rc = runWithFileSizeLimit(64, [&] {
        LibraryOptions options(kPciFile);
        options.loadConfig();
        const auto r = raised([&] { options.setOption("big", std::string(1000, 'v')); });
        if (r.code != -14 || r.message != "Could not save config file: " + path() + ": " +
                                              std::strerror(EFBIG))
            return 3;
        // The new value stays in memory for a later save.
        return options.optionCount() == 2 ? 0 : 4;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(path()), before);
    EXPECT_EQ(listDir(config.dir()), kFileAndLock);
}

TEST_F(utilOptions, SaveFailuresNameTheOptionPath)
{
    const std::string plain = config.dir() + "/plain";
    writeFile(plain, "x");
    LibraryOptions options(kPciFile);
    const std::string inFile = plain + "/f.json";
    const std::string notADirectory = std::string(": ") + std::strerror(ENOTDIR);
    EXPECT_RAISES(options.saveConfig(inFile, true), -14,
                  "Could not save config file: " + inFile + notADirectory);
    const std::string below = plain + "/sub/f.json";
    EXPECT_RAISES(options.saveConfig(below, true), -14,
                  "Could not create directory " + below + notADirectory);
    // A directory in the file's place cannot be replaced.
    mkdir(path().c_str(), 0755);
    EXPECT_RAISES(options.saveConfig(true), -14,
                  "Could not save config file: " + path() + ": " + path() +
                      " is not a regular file");
    EXPECT_EQ(readFile(plain), "x");
}

// A document whose text would pass the size limit (which no load would read)
// is not written: -14 naming the limit, the file as it was, the change in
// memory. Fault: a 17 MiB value was written, and the next process ran on its
// defaults and saved a file that held only its own key.
TEST_F(utilOptions, ATextAboveTheSizeLimitIsNotWritten)
{
    constexpr std::size_t kLimit = std::size_t{512} << 10;
    LibraryOptions options(kPciFile);
    options.setOption("a", "1");
    const std::string before = readFile(path());
    const std::string tooLong = "Could not save config file: " + path() +
                                ": its text would be larger than the limit of " +
                                std::to_string(kLimit) + " bytes";
    EXPECT_RAISES(options.setOption("big", std::string(17 << 20, 'v')), -14, tooLong);
    EXPECT_EQ(readFile(path()), before);
    // Refused, not kept: it would fail every later save.
    EXPECT_EQ(options.optionCount(), 1);
    // Exactly at the limit is written, one byte more is not.
    const std::string head = "{\n    \"a\": \"1\",\n    \"big\": \"";
    const std::string tail = "\"\n}";
    const std::size_t fits = kLimit - head.size() - tail.size();
    options.setOption("big", std::string(fits, 'v'));
    EXPECT_EQ(readFile(path()).size(), kLimit);
    EXPECT_RAISES(options.setOption("big", std::string(fits + 1, 'v')), -14, tooLong);
    LibraryOptions next(kPciFile);
    next.loadConfig();
    EXPECT_EQ(next.optionCount(), 2);
}

// A load replaces the data and forgets changes not yet written: a deletion
// made before it no longer reaches the file.
TEST_F(utilOptions, ALoadDropsChangesNotYetSaved)
{
    writeFile(path(), R"({"a": "1", "b": "2"})");
    LibraryOptions options(kPciFile);
    options.loadConfig();
    options.deleteOption("a");
    options.loadConfig();
    EXPECT_EQ(options.getData(), json({{"a", "1"}, {"b", "2"}}));
    options.setOption("c", "3");
    EXPECT_EQ(json::parse(readFile(path())), json({{"a", "1"}, {"b", "2"}, {"c", "3"}}));
}

TEST_F(utilOptions, ValueTextRule)
{
    struct Case {
        const char* name;
        json value;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"plain", "hello", "hello"},
        {"backslash", "a\\b", "a\\\\b"},
        {"quote", "a\"b", "a\\b"},
        {"newline", "a\nb", "a\\nb"},
        {"non-ASCII", "\xC3\xA9", "\xC3\xA9"},
        {"integer", 5, "5"},
        {"float", 1.5, "1.5"},
        {"boolean", true, "true"},
        {"null", nullptr, "null"},
        {"object", json::parse(R"({"k":"v","n":1})"), "{k:v,n:1}"},
        {"array", json::parse(R"([1,"x"])"), "[1,x]"},
    };
    json defaults = json::object();
    for (const auto& c : cases)
        defaults[c.name] = c.value;
    LibraryOptions options(kPciFile, defaults);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string value;
        options.optionValue(c.name, value);
        EXPECT_EQ(value, c.text);
        EXPECT_EQ(options.optionValue(std::string(c.name)), c.text);
        EXPECT_EQ(options._jsonValueToString(c.value), c.text);
    }
    // Strings stored by set read back by the same rule.
    options.setOption("stored", "x\"y");
    std::string value;
    options.optionValue("stored", value);
    EXPECT_EQ(value, "x\\y");
}

TEST_F(utilOptions, OptionByIndexAndItsErrors)
{
    LibraryOptions empty(kPciFile);
    std::string key, value;
    EXPECT_RAISES(empty.option(0, key, value), -5, "could not find option at index 0");
    EXPECT_RAISES(empty.option(1, key, value), -5, "index 1 was out of range 0");

    LibraryOptions options(kPciFile, json({{"b", "2"}, {"a", "1"}}));
    options.option(0, key, value);
    EXPECT_EQ(key, "a");
    EXPECT_EQ(value, "1");
    options.option(1, key, value);
    EXPECT_EQ(key, "b");
    EXPECT_EQ(value, "2");
    EXPECT_RAISES(options.option(2, key, value), -5, "could not find option at index 2");
    EXPECT_RAISES(options.option(3, key, value), -5, "index 3 was out of range 2");
    EXPECT_RAISES(options.option(-1, key, value), -5, "index -1 was out of range 2");
    EXPECT_RAISES(options.option(INT32_MIN, key, value), -5, "index -2147483648 was out of range 2");
}

TEST_F(utilOptions, ConversionErrorsDifferInCodeAndText)
{
    const std::string bad = "\xFF";
    LibraryOptions options(kPciFile, json({{"bad", bad}}));
    std::string key, value;
    EXPECT_RAISES(options.optionValue("bad", value), -6,
                  "options - invalid type conversion " + utf8Error(bad));
    EXPECT_RAISES(options.option(0, key, value), -1,
                  "options - invalid type conversion: " + utf8Error(bad));
}

TEST_F(utilOptions, MissingKeys)
{
    LibraryOptions empty(kPciFile);
    std::string value = "unchanged";
    EXPECT_RAISES(empty.optionValue("zz", value), -13, "could not find key in options zz");
    EXPECT_RAISES(empty.deleteOption("zz"), -13, "could not find key in options zz");
    EXPECT_EQ(value, "unchanged");

    LibraryOptions options(kPciFile, json({{"a", "1"}}));
    EXPECT_RAISES(options.optionValue("zz", value), -13, "could not find key in options zz");
    EXPECT_RAISES(options.deleteOption("zz"), -13, "could not find key in options zz");
    // The reading form adds the key.
    EXPECT_EQ(options.optionValue(std::string("zz")), "null");
    EXPECT_EQ(options.optionCount(), 2);
    EXPECT_EQ(empty.optionValue(std::string("new")), "null");
    EXPECT_EQ(empty.optionCount(), 1);
    // A const member like the other reading operations: callers that hold the
    // options through a const reference can use it.
    const LibraryOptions& view = options;
    EXPECT_EQ(view.optionValue(std::string("yy")), "null");
    EXPECT_EQ(view.optionCount(), 3);
}

TEST_F(utilOptions, LoadMergesTheFileOverTheDefaults)
{
    struct Case {
        const char* name;
        std::string file;
        json defaults;
        json expected;
    };
    const json d = {{"a", "default"}, {"keep", "d"}};
    const std::vector<Case> cases = {
        {"null over null", "null", json(), json()},
        {"null keeps defaults", "null", d, d},
        {"empty object", "{}", json(), json()},
        {"file wins", R"({"a":"file","b":"2"})", d, {{"a", "file"}, {"b", "2"}, {"keep", "d"}}},
        {"array", R"(["x","y"])", json(), {{"0", "x"}, {"1", "y"}}},
        {"single value", R"("s")", json(), {{"", "s"}}},
        {"number", "7", json(), {{"", 7}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path(), c.file);
        LibraryOptions options(kPciFile, c.defaults);
        options.loadConfig();
        EXPECT_EQ(options.getData(), c.expected);
        EXPECT_EQ(options.defaultOptions(), c.defaults);
        EXPECT_EQ(options.optionCount(), static_cast<int>(c.expected.size()));
    }
}

TEST_F(utilOptions, FailedLoadsLeaveTheData)
{
    LibraryOptions options(kPciFile, json({{"a", "1"}}));
    EXPECT_RAISES(options.loadConfig(), -16, "Could not find config at " + path());
    mkdir(path().c_str(), 0755);
    EXPECT_RAISES(options.loadConfig(), -16, "Could not find config at " + path());
    rmdir(path().c_str());

    writeFile(path(), "{\"a\": ");
    EXPECT_THROW(options.loadConfig(), json::parse_error);
    writeFile(path(), "");
    EXPECT_THROW(options.loadConfig(), json::parse_error);
    writeFile(path(), "{} // comment");
    EXPECT_THROW(options.loadConfig(), json::parse_error);
    EXPECT_EQ(options.getData(), json({{"a", "1"}}));

    json out = "untouched";
    const std::string missing = config.dir() + "/missing.json";
    EXPECT_RAISES(options.loadConfig(out, missing), -16, "Could not read config from file " + missing);
    EXPECT_EQ(out, "untouched");
}

TEST_F(utilOptions, DeleteReachesTheFileAtTheNextSave)
{
    LibraryOptions options(kPciFile);
    options.setOption("a", "1");
    options.setOption("b", "2");
    options.deleteOption("a");
    EXPECT_EQ(options.optionCount(), 1);
    EXPECT_EQ(readFile(path()), "{\n    \"a\": \"1\",\n    \"b\": \"2\"\n}");
    options.deleteOption("b");
    options.saveConfig(true);
    EXPECT_EQ(readFile(path()), "{}");
}

TEST_F(utilOptions, DefaultsAndKeyValidation)
{
    LibraryOptions options(kPciFile, json({{"known", "1"}}));
    options.setOption("other", "2");
    EXPECT_TRUE(options.validateOptionKey("known"));
    EXPECT_FALSE(options.validateOptionKey("other"));
    EXPECT_EQ(options.defaultOptions(), json({{"known", "1"}}));
    EXPECT_EQ(options.getData(), json({{"known", "1"}, {"other", "2"}}));
    LibraryOptions none(kPciFile);
    EXPECT_FALSE(none.validateOptionKey("known"));
}

TEST(utilFiles, ExistenceTests)
{
    ConfigDir config;
    const std::string file = config.file("f");
    writeFile(file, "x");
    const std::string link = config.file("l");
    symlink(file.c_str(), link.c_str());
    EXPECT_TRUE(fileExists(file));
    EXPECT_TRUE(fileExists(link));
    EXPECT_FALSE(fileExists(config.dir()));
    EXPECT_FALSE(fileExists(config.file("none")));
    EXPECT_TRUE(directoryExists(config.dir()));
    EXPECT_FALSE(directoryExists(file));
    EXPECT_FALSE(directoryExists(config.file("none")));
}

TEST(utilFiles, CreateDirectoriesWalksEveryPrefix)
{
    ConfigDir config;
    EXPECT_TRUE(createDirectories(config.dir() + "/a//b/c/file"));
    EXPECT_TRUE(directoryExists(config.dir() + "/a/b/c"));
    EXPECT_FALSE(directoryExists(config.dir() + "/a/b/c/file"));
    EXPECT_TRUE(createDirectories("file-in-the-working-directory"));
    EXPECT_TRUE(createDirectories("/file-in-the-root"));
}

TEST(utilGroup, WithoutTheGroupNothingChanges)
{
    if (getgrnam("vandrel") != nullptr)
        GTEST_SKIP() << "this host has a group vandrel";
    ConfigDir config;
    const std::string file = config.file("f");
    writeFile(file, "x");
    EXPECT_EQ(get_group(), nullptr);
    EXPECT_FALSE(is_in_vandrel_group());
    EXPECT_FALSE(setFileGroup(file));
    EXPECT_FALSE(setFileGroup(config.file("missing")));
}

TEST(utilGroup, WarningOncePerProcessNamingTheFirstPath)
{
    if (is_in_vandrel_group())
        GTEST_SKIP() << "this user is in the group vandrel";
    ConfigDir config;
    LogCapture log;
    LibraryOptions pci(kPciFile);
    LibraryOptions usb("vdlusb_config.json");
    pci.saveConfig(true);
    usb.saveConfig(true);
    json out;
    pci.loadConfig(out, pci._configPath());
    usb.setOption("a", "1");
    EXPECT_EQ(log.count("User is not in the vandrel group."), 1) << log.text();
    EXPECT_EQ(log.count("warning|User is not in the vandrel group. Access to the config space "
                        "located at " +
                        config.file(kPciFile) + " may not work."),
              1)
        << log.text();
}

} // namespace
