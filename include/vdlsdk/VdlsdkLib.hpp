#pragma once
// Base of the PCIe and USB library objects: owns the library's option file.
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "vdlsdk/VdlLibraryOptions.hpp"

namespace Vandrel {

class VdlsdkLib {
public:
    // Loads the option file (or writes the defaults where there is none); raises nothing.
    VdlsdkLib(const std::string& fileName, const nlohmann::json& defaults);
    // Writes the option file back; raises nothing.
    ~VdlsdkLib();
    VdlsdkLib(const VdlsdkLib&) = delete;
    VdlsdkLib& operator=(const VdlsdkLib&) = delete;

    LibraryOptions& getOptions();

    // Applies VDL_DEBUG="1" to the five loggers, once per process.
    void _checkInitialLoggingState();

private:
    // Keeps the defaults in memory and leaves the file at `path` untouched.
    void keepUnloadableFile(const std::string& path, const char* reason);

    LibraryOptions m_options;

    static std::once_flag _flag;
};

} // namespace Vandrel

// The runtime library's own (stateless) singleton.
class VdlutilLib {
public:
    static VdlutilLib& getInstance();

private:
    VdlutilLib() = default;
};
