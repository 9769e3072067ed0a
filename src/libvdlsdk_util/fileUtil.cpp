// File and group helpers of the option files.
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/vdl_util.hpp"
#include "OptionFileIO.hpp"

namespace {

constexpr const char* kGroupName = "vandrel";
constexpr int kPathBufferSize = 1024;
constexpr mode_t kDirectoryMode = 0775;

bool makeDirectory(const char* path)
{
    if (directoryExists(path))
        return true;
    return mkdir(path, kDirectoryMode) == 0 || errno == EEXIST;
}

} // namespace

bool directoryExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool createDirectories(const std::string& filePath)
{
    char buffer[kPathBufferSize];
    copyStdStringToCharPtr(filePath, buffer, kPathBufferSize);

    // dirname may modify its argument and may return a pointer into it.
    std::string dir = dirname(buffer);
    // A path resolves only when every directory on it exists, so an existing
    // directory means nothing is missing above it either (one stat per save
    // instead of one per level).
    if (directoryExists(dir))
        return true;
    for (std::string::size_type slash = dir.find('/', 1); slash != std::string::npos;
         slash = dir.find('/', slash + 1)) {
        if (!makeDirectory(dir.substr(0, slash).c_str()))
            return false;
    }
    return makeDirectory(dir.c_str());
}

struct group* get_group()
{
    // Rewind first: a scan left unfinished elsewhere in the process would
    // otherwise start in the middle of the database.
    setgrent();
    struct group* entry = nullptr;
    while ((entry = getgrent()) != nullptr) {
        if (std::strcmp(entry->gr_name, kGroupName) == 0)
            break;
    }
    endgrent();
    return entry;
}

bool setFileGroup(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool changed = false;
    gid_t gid;
    if (Vandrel::optionfile::vandrelGroupId(gid))
        changed = fchown(fd, static_cast<uid_t>(-1), gid) == 0;
    close(fd);
    return changed;
}
