#pragma once
// A library's JSON option file, and exported file and group helpers.
#include <memory>
#include <mutex>
#include <string>

#include <grp.h>
#include <nlohmann/json.hpp>

namespace Vandrel {

class LibraryOptions {
public:
    explicit LibraryOptions(const std::string& fileName);
    LibraryOptions(const std::string& fileName, const nlohmann::json& defaults);
    ~LibraryOptions();
    LibraryOptions(const LibraryOptions&) = delete;
    LibraryOptions& operator=(const LibraryOptions&) = delete;

    void loadConfig();
    void loadConfig(nlohmann::json& out, const std::string& path);
    // Writes the option file, merged with what other processes saved meanwhile,
    // under the lock "<file>.lock". A save waits for the lock in the order the
    // savers came, at most 5 s while the file does not change and 30 s in all
    // (-14 after that, the file unchanged). A text above 512 KiB is not
    // written (-14).
    void saveConfig(bool pretty) const;
    // Writes a copy of the document to `path`.
    void saveConfig(const std::string& path, bool pretty) const;

    int optionCount() const;
    void optionValue(const std::string& key, std::string& value) const;
    std::string optionValue(const std::string& key) const;
    void option(int index, std::string& key, std::string& value) const;
    // Sets the key and saves. A save that fails leaves the value in memory for
    // the next save, except a value whose save text would pass 512 KiB: that
    // is taken back (-14), and the document stays as it was.
    void setOption(const std::string& key, const std::string& value);
    void addOption(const std::string& key, const std::string& value);
    void deleteOption(const std::string& key);

    nlohmann::json getData() const;
    // The current options document itself, valid until the next change or save.
    const nlohmann::json& data() const;
    nlohmann::json defaultOptions() const;
    bool validateOptionKey(const std::string& key) const;

    std::string _configPath() const;
    void _check_group() const;
    template <typename T>
    std::string _jsonValueToString(const T& value) const;

private:
    // The keys this process set or deleted since it loaded or last saved.
    struct Changes;
    // Throws the JSON library's parse error for text that is not one JSON document.
    static nlohmann::json parseDocument(const std::string& text);
    // The defaults with `file` applied, as a load makes them.
    nlohmann::json overDefaults(nlohmann::json file) const;
    void saveOwnFile(const std::string& path, bool pretty) const;
    // The last loadConfig() found nothing at the path: no file, and no directory
    // on the way (a first run), as opposed to something it could not load.
    bool loadFoundNothing() const;

    std::unique_ptr<std::string> m_fileName;
    std::unique_ptr<nlohmann::json> m_defaults;
    std::unique_ptr<nlohmann::json> m_data;
    const char* m_envVar = "VDLSDK_CONFIG";
    std::string m_defaultDir = "/opt/vdlsdk/";

    // Set by the library base when the file on disk could not be loaded: its
    // bytes are kept as "<path>.invalid" before the first write replaces it.
    mutable bool m_keepOriginal = false;
    // Anything set or deleted since construction.
    bool m_changed = false;
    std::unique_ptr<Changes> m_changes;

    static std::once_flag _once;

    friend class VdlsdkLib;
};

} // namespace Vandrel

// Helpers exported for callers. The option file does not use
// directoryExists, fileExists, createDirectories or setFileGroup: its saves
// and loads walk the path at descriptors and follow only the links they
// trust. These resolve the path they are given as it stands and follow every
// symbolic link on it, so they suit paths the caller trusts.
// stat succeeds and the path is a directory.
bool directoryExists(const std::string& path);
// stat succeeds and the path is a regular file.
bool fileExists(const std::string& path);
// Creates each missing directory above the file (mode 0775 as reduced by the
// umask); false when one cannot be made. -33 for a path of 1024 characters or more.
bool createDirectories(const std::string& filePath);
// The group database's entry "vandrel", or null; valid until the next group
// database call.
struct group* get_group();
// Gives the file the group "vandrel" (owner unchanged); true when it was changed.
bool setFileGroup(const std::string& path);
// The group "vandrel" exists and the process is a member of it.
bool is_in_vandrel_group();
