#pragma once
// A library's JSON option file, and the file and group helpers it uses.
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
    void saveConfig(bool pretty) const;
    void saveConfig(const std::string& path, bool pretty) const;

    int optionCount() const;
    void optionValue(const std::string& key, std::string& value) const;
    std::string optionValue(const std::string& key) const;
    void option(int index, std::string& key, std::string& value) const;
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

bool directoryExists(const std::string& path);
bool fileExists(const std::string& path);
bool createDirectories(const std::string& filePath);
struct group* get_group();
bool setFileGroup(const std::string& path);
bool is_in_vandrel_group();
