#pragma once
// Helpers shared by the test executables: sanitizer flags, temporary
// directories and the process's option directory.
#include <string>

// Set when the build runs under AddressSanitizer or ThreadSanitizer (gcc defines
// __SANITIZE_*__, clang answers __has_feature).
#if defined(__SANITIZE_ADDRESS__)
#define VDLTEST_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define VDLTEST_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(VDLTEST_ASAN)
#define VDLTEST_ASAN 1
#endif
#if __has_feature(thread_sanitizer) && !defined(VDLTEST_TSAN)
#define VDLTEST_TSAN 1
#endif
#endif

namespace vdltest {

// Creates a fresh directory under $TMPDIR (or /tmp) and returns its path.
std::string makeTempDir(const std::string& prefix);

// The temporary option directory this process put into VDLSDK_CONFIG, or ""
// when the environment already named one.
const std::string& configDir();

// A fresh temporary directory, removed with all it holds when the object
// goes, also when the test fails.
class TempDir {
public:
    explicit TempDir(const std::string& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// An option directory of one test's own: VDLSDK_CONFIG names a fresh
// directory while the object lives; afterwards the variable is as it was and
// the directory is gone.
class ConfigDir {
public:
    explicit ConfigDir(const std::string& prefix = "vdlsdk-test-config");
    ~ConfigDir();
    ConfigDir(const ConfigDir&) = delete;
    ConfigDir& operator=(const ConfigDir&) = delete;

    const std::string& dir() const { return m_dir.path(); }
    std::string file(const std::string& name) const { return m_dir.file(name); }

private:
    TempDir m_dir;
    bool m_hadPrevious = false;
    std::string m_previous;
};

} // namespace vdltest
