#pragma once
// Helpers shared by the test executables.
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

} // namespace vdltest
