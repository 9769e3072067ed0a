#pragma once
// Helpers shared by the test executables.
#include <string>

namespace vdltest {

// Creates a fresh directory under $TMPDIR (or /tmp) and returns its path.
std::string makeTempDir(const std::string& prefix);

// The temporary option directory this process put into VDLSDK_CONFIG, or ""
// when the environment already named one.
const std::string& configDir();

} // namespace vdltest
