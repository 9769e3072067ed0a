// The library base: start-up load, the defaults on a first run, VDL_DEBUG, the
// save at the end, and option files that cannot be loaded. Each scenario that
// depends on the first use in a process is a test of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "util_test_support.hpp"
#include "vdlsdk/VdlsdkLib.hpp"
#include "vdlsdk/vdlsdk_util.h"

using Vandrel::VdlsdkLib;
using nlohmann::json;
using namespace utiltest;

namespace {

constexpr const char* kPciFile = "vdlpci_config.json";
constexpr const char* kUsbFile = "vdlusb_config.json";
constexpr int kDebug = 1;
constexpr int kInfo = 2;
constexpr int kError = 4;

std::vector<int> levels()
{
    std::vector<int> all;
    for (int type = 0; type < VDL_LOGGER_COUNT; ++type)
        all.push_back(get_log_verbosity(type));
    return all;
}

const std::vector<int> kAllInfo(VDL_LOGGER_COUNT, kInfo);
const std::vector<int> kAllDebug(VDL_LOGGER_COUNT, kDebug);

TEST(utilLibrary, FirstRunWritesTheDefaultsAndLeavesVdlDebugOpen)
{
    ConfigDir config;
    setenv("VDL_DEBUG", "1", 1);
    LogCapture log;
    {
        VdlsdkLib lib(kPciFile, json());
        EXPECT_EQ(readFile(config.file(kPciFile)), "null");
        EXPECT_EQ(lib.getOptions().optionCount(), 0);
        // The missing file is only a debug message, not written at the default level.
        EXPECT_EQ(log.count("Could not find config at"), 0) << log.text();
        EXPECT_EQ(levels(), kAllInfo);
    }
    EXPECT_EQ(readFile(config.file(kPciFile)), "null");

    // The next object that does load its file applies VDL_DEBUG.
    VdlsdkLib second(kPciFile, json());
    EXPECT_EQ(levels(), kAllDebug);
}

TEST(utilLibrary, MissingFileIsLoggedAtDebug)
{
    ConfigDir config;
    set_log_verbosity(LOGGER_GENERAL, kDebug);
    LogCapture log;
    VdlsdkLib lib(kPciFile, json());
    EXPECT_EQ(log.count("debug|Could not find config at " + config.file(kPciFile) + "\n"), 1)
        << log.text();
}

TEST(utilLibrary, LoadedFileAppliesVdlDebugToAllFive)
{
    ConfigDir config;
    writeFile(config.file(kPciFile), "{\"a\": \"1\"}");
    setenv("VDL_DEBUG", "1", 1);
    VdlsdkLib lib(kPciFile, json());
    EXPECT_EQ(levels(), kAllDebug);
    std::string value;
    lib.getOptions().optionValue("a", value);
    EXPECT_EQ(value, "1");
}

TEST(utilLibrary, VdlDebugMustBeExactlyOne)
{
    ConfigDir config;
    for (const char* value : {"01", "1 ", "true", "", "0"}) {
        const int rc = runInChild([&] {
            writeFile(config.file(kPciFile), "null");
            setenv("VDL_DEBUG", value, 1);
            VdlsdkLib lib(kPciFile, json());
            return levels() == kAllInfo ? 0 : 1;
        });
        EXPECT_EQ(rc, 0) << "VDL_DEBUG='" << value << "'";
    }
}

TEST(utilLibrary, VdlDebugIsAppliedOncePerProcess)
{
    ConfigDir config;
    writeFile(config.file(kPciFile), "null");
    writeFile(config.file(kUsbFile), "null");
    setenv("VDL_DEBUG", "1", 1);
    VdlsdkLib pci(kPciFile, json());
    EXPECT_EQ(levels(), kAllDebug);
    set_log_verbosity(LOGGER_PCI, kError);
    VdlsdkLib usb(kUsbFile, json());
    EXPECT_EQ(get_log_verbosity(LOGGER_PCI), kError);
}

TEST(utilLibrary, DestructionWritesTheFileBackPrettyPrinted)
{
    ConfigDir config;
    writeFile(config.file(kPciFile), "{\"b\":\"2\",\"a\":\"1\"}");
    {
        VdlsdkLib lib(kPciFile, json());
        lib.getOptions().deleteOption("a");
        // A delete reaches the file only with the next save.
        EXPECT_EQ(readFile(config.file(kPciFile)), "{\"b\":\"2\",\"a\":\"1\"}");
    }
    EXPECT_EQ(readFile(config.file(kPciFile)), "{\n    \"b\": \"2\"\n}");
}

TEST(utilLibrary, GetOptionsIsTheOwnedObject)
{
    ConfigDir config;
    VdlsdkLib lib(kPciFile, json());
    EXPECT_EQ(&lib.getOptions(), &lib.getOptions());
    lib.getOptions().setOption("k", "v");
    EXPECT_EQ(lib.getOptions().optionCount(), 1);
    EXPECT_EQ(readFile(config.file(kPciFile)), "{\n    \"k\": \"v\"\n}");
}

TEST(utilLibrary, UnwritableDirectoryIsAWarningOnly)
{
    ConfigDir config;
    writeFile(config.file("plain"), "x");
    const std::string dir = config.file("plain") + "/sub";
    setenv("VDLSDK_CONFIG", dir.c_str(), 1);
    const std::string path = dir + "/" + kPciFile;
    const std::string warning =
        "warning|Could not create directory " + path + ": " + std::strerror(ENOTDIR) + "\n";
    LogCapture log;
    {
        VdlsdkLib lib(kPciFile, json({{"d", "1"}}));
        EXPECT_EQ(log.count(warning), 1) << log.text();
        EXPECT_EQ(lib.getOptions().optionCount(), 1);
    }
    EXPECT_EQ(log.count(warning), 2) << log.text();
}

TEST(utilLibrary, NothingLeavesConstructionOrDestruction)
{
    ConfigDir config;
    LogCapture log;
    {
        // An option path of 1024 characters or more.
        const std::string longDir = config.dir() + "/" + std::string(200, 'x') + "/" +
                                    std::string(200, 'x') + "/" + std::string(200, 'x') + "/" +
                                    std::string(200, 'x') + "/" + std::string(200, 'x');
        setenv("VDLSDK_CONFIG", longDir.c_str(), 1);
        VdlsdkLib lib(kPciFile, json());
        EXPECT_EQ(lib.getOptions().optionCount(), 0);
    }
    EXPECT_EQ(log.count("error|C-string buffer size was 1024, but requires a size of"), 2)
        << log.text();

    setenv("VDLSDK_CONFIG", config.dir().c_str(), 1);
    {
        // Defaults the serialiser refuses.
        VdlsdkLib lib(kUsbFile, json({{"k", "\xFF"}}));
        EXPECT_EQ(lib.getOptions().optionCount(), 1);
    }
    EXPECT_EQ(log.count("warning|Could not save config file: " + config.file(kUsbFile) +
                        ": [json.exception.type_error.316] invalid UTF-8 byte at index 0: 0xFF\n"),
              2)
        << log.text();
    EXPECT_FALSE(fileExists(config.file(kUsbFile)));
}

TEST(utilLibrary, MalformedOrEmptyFileSurvivesTheObjectsLife)
{
    ConfigDir config;
    setenv("VDL_DEBUG", "1", 1);
    for (const std::string bytes : {"{\"a\": ", "", "null trailing"}) {
        SCOPED_TRACE("'" + bytes + "'");
        writeFile(config.file(kPciFile), bytes);
        LogCapture log;
        {
            VdlsdkLib lib(kPciFile, json({{"d", "1"}}));
            EXPECT_EQ(lib.getOptions().getData(), json({{"d", "1"}}));
            std::string value;
            lib.getOptions().optionValue("d", value);
            EXPECT_EQ(value, "1");
        }
        EXPECT_EQ(readFile(config.file(kPciFile)), bytes);
        EXPECT_EQ(listDir(config.dir()), std::vector<std::string>{kPciFile});
        EXPECT_EQ(log.count("warning|Could not load config file " + config.file(kPciFile) +
                            ", using the defaults: [json.exception.parse_error."),
                  1)
            << log.text();
        // VDL_DEBUG is applied only after a file has loaded.
        EXPECT_EQ(levels(), kAllInfo);
    }
}

TEST(utilLibrary, MalformedFileIsKeptBeforeTheFirstWrite)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    const std::string bytes = "{ not json";
    writeFile(path, bytes);
    {
        VdlsdkLib lib(kPciFile, json());
        lib.getOptions().setOption("k", "v");
        EXPECT_EQ(readFile(path + ".invalid"), bytes);
        EXPECT_EQ(readFile(path), "{\n    \"k\": \"v\"\n}");
        // Only the first write keeps the old bytes.
        writeFile(path + ".invalid", "marker");
        lib.getOptions().setOption("k", "w");
    }
    EXPECT_EQ(readFile(path + ".invalid"), "marker");
    EXPECT_EQ(readFile(path), "{\n    \"k\": \"w\"\n}");
}

TEST(utilLibrary, MalformedFileIsKeptWhenADeleteReachesIt)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    writeFile(path, "[1,");
    {
        VdlsdkLib lib(kPciFile, json({{"x", "1"}}));
        lib.getOptions().deleteOption("x");
    }
    EXPECT_EQ(readFile(path + ".invalid"), "[1,");
    EXPECT_EQ(readFile(path), "{}");
}

// Valid JSON nested deeper than any option file is taken as malformed, in every
// build: copying such a document would overflow the stack. Moderate nesting,
// even inside strings that look like brackets, still loads.
TEST(utilLibrary, DeepNestingIsAMalformedFile)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    constexpr int kDeep = 200000;
    constexpr int kLimit = 256;
    auto nested = [](int levels, const std::string& inner) {
        return "{\"k\":" + std::string(levels - 1, '[') + inner + std::string(levels - 1, ']') +
               "}";
    };
    struct Case {
        const char* name;
        std::string bytes;
        bool loads;
    };
    const std::vector<Case> cases = {
        {"arrays", nested(kDeep, ""), false},
        {"objects", std::string(kDeep, '{') + std::string(kDeep, '}'), false},
        {"one past the limit", nested(kLimit + 1, "1"), false},
        {"at the limit", nested(kLimit, "1"), true},
        {"brackets in strings", "{\"k\":\"" + std::string(kDeep, '[') + "\\\"{\"}", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path, c.bytes);
        std::remove((path + ".invalid").c_str());
        LogCapture log;
        {
            VdlsdkLib lib(kPciFile, json({{"d", "1"}}));
            EXPECT_EQ(lib.getOptions().optionCount(), c.loads ? 2 : 1);
            lib.getOptions().setOption("n", "v");
        }
        EXPECT_EQ(log.count("warning|Could not load config file " + path +
                            ", using the defaults: [json.exception.parse_error."),
                  c.loads ? 0 : 1)
            << log.text().substr(0, 300);
        if (!c.loads) {
            EXPECT_EQ(readFile(path + ".invalid"), c.bytes);
            EXPECT_EQ(readFile(path), "{\n    \"d\": \"1\",\n    \"n\": \"v\"\n}");
        }
    }
}

TEST(utilLibrary, SomethingOtherThanAFileIsLeftAlone)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    mkdir(path.c_str(), 0755);
    LogCapture log;
    {
        VdlsdkLib lib(kPciFile, json());
        EXPECT_EQ(lib.getOptions().optionCount(), 0);
    }
    EXPECT_TRUE(directoryExists(path));
    EXPECT_EQ(log.count("warning|Could not load config file " + path), 1) << log.text();
}

// A file its own user may not read (and root may): loaded as an ordinary user.
TEST(utilLibrary, UnreadableFileIsNeitherOverwrittenNorLost)
{
    ConfigDir config;
    const std::string path = config.file(kPciFile);
    const std::string bytes = "{\"a\": \"1\"}";
    writeFile(path, bytes);
    chmod(path.c_str(), 0200);
    chmod(config.dir().c_str(), 0777);
    const int rc = runAsOrdinaryUser({path}, [&] {
        if (access(path.c_str(), R_OK) == 0)
            return kChildSkipped; // privileges not dropped after all
        {
            VdlsdkLib lib(kPciFile, json());
            if (lib.getOptions().optionCount() != 0)
                return 2;
        }
        if (access((path + ".invalid").c_str(), F_OK) == 0)
            return 3; // nothing written while nothing changed
        // An explicit change keeps the bytes under a second name first.
        VdlsdkLib lib(kPciFile, json());
        return raised([&] { lib.getOptions().setOption("b", "2"); }).raised ? 4 : 0;
    });
    if (rc == kChildSkipped)
        GTEST_SKIP() << "cannot run as a user who may not read the file";
    ASSERT_EQ(rc, 0);
    // The new file keeps the old one's owner and mode, and so do the kept bytes.
    const uid_t owner = geteuid() == 0 ? kNobody : geteuid();
    for (const std::string& name : {path, path + ".invalid"}) {
        struct stat st {};
        ASSERT_EQ(stat(name.c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, owner) << name;
        EXPECT_EQ(st.st_mode & 07777, 0200u) << name;
        chmod(name.c_str(), 0600);
    }
    EXPECT_EQ(readFile(path + ".invalid"), bytes);
    EXPECT_EQ(readFile(path), "{\n    \"b\": \"2\"\n}");
}

// The runtime library's own singleton carries no state: what it promises is
// one instance, made once also when several threads make the first call at once.
TEST(utilLibrary, ThreadsThatCallFirstAtOnceGetTheOneInstance)
{
    constexpr int kThreads = 8;
    std::atomic<int> starting{kThreads};
    std::vector<const VdlutilLib*> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            for (--starting; starting > 0;)
                std::this_thread::yield();
            seen[i] = &VdlutilLib::getInstance();
        });
    for (auto& thread : threads)
        thread.join();
    for (const VdlutilLib* instance : seen)
        EXPECT_EQ(instance, &VdlutilLib::getInstance());
}

} // namespace
