// Temporary directories for the tests; linked into every test program, also
// into those with a main of their own.
#include "vdltest.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace vdltest {

std::string makeTempDir(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern;
}

TempDir::TempDir(const std::string& prefix) : m_path(makeTempDir(prefix)) {}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

ConfigDir::ConfigDir(const std::string& prefix) : m_dir(prefix)
{
    if (const char* previous = std::getenv("VDLSDK_CONFIG")) {
        m_hadPrevious = true;
        m_previous = previous;
    }
    setenv("VDLSDK_CONFIG", m_dir.path().c_str(), 1);
}

ConfigDir::~ConfigDir()
{
    if (m_hadPrevious)
        setenv("VDLSDK_CONFIG", m_previous.c_str(), 1);
    else
        unsetenv("VDLSDK_CONFIG");
}

} // namespace vdltest
