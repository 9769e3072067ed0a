// Test entry point shared by every test executable: each process gets its own
// temporary option directory in VDLSDK_CONFIG (unless the test's environment
// already names one), removed again when the tests end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "vdltest.hpp"

namespace {

std::string g_configDir;

void removeConfigDir()
{
    std::error_code ec;
    std::filesystem::remove_all(g_configDir, ec);
}

class ConfigDirEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (std::getenv("VDLSDK_CONFIG") == nullptr) {
            g_configDir = vdltest::makeTempDir("vdlsdk-config");
            setenv("VDLSDK_CONFIG", g_configDir.c_str(), 1);
            // Registered before any library object exists, so it runs after their
            // destructors have written the option files one last time.
            std::atexit(removeConfigDir);
        }
    }
};

} // namespace

namespace vdltest {

const std::string& configDir() { return g_configDir; }

} // namespace vdltest

int main(int argc, char** argv)
{
    ::testing::InitGoogleMock(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ConfigDirEnvironment);
    return RUN_ALL_TESTS();
}
