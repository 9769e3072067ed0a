// A library's JSON option file: load over the defaults, query, change and save.
#include "vdlsdk/VdlLibraryOptions.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"

namespace Vandrel {

std::once_flag LibraryOptions::_once;

namespace {

constexpr int kPrettyIndent = 4;
constexpr int kCompact = -1;
constexpr mode_t kNewFileMode = 0666; // reduced by the umask, as for any new file
constexpr mode_t kPermissionBits = 07777;
constexpr int kTemporaryNameAttempts = 16;
constexpr const char* kInvalidSuffix = ".invalid";
constexpr std::size_t kReadChunk = 4096;
// The kit writes objects of strings (one level); anything this deep is not
// an option file, and deeper documents would exhaust the stack when copied.
constexpr int kMaxNesting = 256;

using Json = nlohmann::json;

// An open descriptor that is closed on every path.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    // Closes now and reports whether the close (the last chance for a deferred
    // write error) succeeded.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

bool writeAll(int fd, const std::string& text)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// Creates a new, unique file beside `path`; -1 when the directory cannot take one.
int createTemporary(const std::string& path, std::string& temporary)
{
    static std::atomic<unsigned int> counter{0};
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        std::ostringstream name;
        name << path << ".tmp." << getpid() << '.' << counter.fetch_add(1);
        temporary = name.str();
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                              kNewFileMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool writeInPlace(const std::string& path, const std::string& text)
{
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode));
    if (fd.get() < 0)
        return false;
    return writeAll(fd.get(), text) && ::fsync(fd.get()) == 0 && fd.close();
}

// Replaces the file at `path` with `text` so that a failure at any point leaves
// the previous file as it was. A symbolic link, or a directory that cannot take
// a temporary file, is written in place instead.
bool writeFileSafely(const std::string& path, const std::string& text)
{
    struct stat link;
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
        return writeInPlace(path, text);

    std::string temporary;
    Descriptor fd(createTemporary(path, temporary));
    if (fd.get() < 0) {
        // Only a directory the process may not write to; a full disk would leave
        // an in-place write truncated.
        if (errno == EACCES || errno == EPERM)
            return writeInPlace(path, text);
        return false;
    }

    struct stat previous;
    if (::stat(path.c_str(), &previous) == 0 && S_ISREG(previous.st_mode)) {
        // Keep what the previous file had: its mode, its group and, where the
        // process may, its owner. The mode comes last: a change of owner clears
        // the set-id bits.
        if (::fchown(fd.get(), previous.st_uid, previous.st_gid) != 0)
            (void)::fchown(fd.get(), static_cast<uid_t>(-1), previous.st_gid);
        ::fchmod(fd.get(), previous.st_mode & kPermissionBits);
    }

    const bool written = writeAll(fd.get(), text) && ::fsync(fd.get()) == 0 && fd.close();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool readWhole(const std::string& path, std::string& text)
{
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::string content;
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            break;
        content.append(chunk, static_cast<std::size_t>(got));
    }
    text = std::move(content);
    return true;
}

// The option file could not be loaded: keep its bytes beside it before the first
// write replaces it.
bool preserveOriginal(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT; // gone meanwhile: nothing left to keep
    const std::string keep = path + kInvalidSuffix;
    std::string bytes;
    if (readWhole(path, bytes))
        return writeFileSafely(keep, bytes);
    // Unreadable: a second name for the same bytes keeps them all the same. It is
    // made beside the kept copy first, so a failure leaves an earlier copy alone.
    const std::string staged = keep + ".tmp." + std::to_string(getpid());
    ::unlink(staged.c_str());
    if (::link(path.c_str(), staged.c_str()) != 0)
        return false;
    if (::rename(staged.c_str(), keep.c_str()) != 0) {
        ::unlink(staged.c_str());
        return false;
    }
    return true;
}

// The byte offset where brackets outside strings first nest deeper than the
// limit, or npos. Exact for valid JSON; invalid JSON fails to parse anyway.
std::size_t tooDeepAt(const std::string& text)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > kMaxNesting)
                return i;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return std::string::npos;
}

// The JSON library's parse error for text that is not one JSON document, or
// one nested too deep.
Json parseDocument(const std::string& text)
{
    const std::size_t at = tooDeepAt(text);
    if (at != std::string::npos)
        throw Json::parse_error::create(
            101, at + 1, "syntax error: nested deeper than " + std::to_string(kMaxNesting) +
                             " levels",
            nullptr);
    return Json::parse(text);
}

// Throws the JSON library's type error when the text is not valid UTF-8.
void checkSerialisable(const std::string& text) { (void)Json(text).dump(); }

} // namespace

LibraryOptions::LibraryOptions(const std::string& fileName)
    : m_fileName(std::make_unique<std::string>(fileName)),
      m_defaults(std::make_unique<Json>()),
      m_data(std::make_unique<Json>())
{
}

LibraryOptions::LibraryOptions(const std::string& fileName, const nlohmann::json& defaults)
    : m_fileName(std::make_unique<std::string>(fileName)),
      m_defaults(std::make_unique<Json>(defaults)),
      m_data(std::make_unique<Json>(defaults))
{
}

LibraryOptions::~LibraryOptions() = default;

std::string LibraryOptions::_configPath() const
{
    const char* dir = std::getenv(m_envVar);
    return (dir != nullptr ? std::string(dir) : m_defaultDir) + "/" + *m_fileName;
}

void LibraryOptions::_check_group() const
{
    std::call_once(_once, [this] {
        if (!is_in_vandrel_group()) {
            VDL_WARN(LOGGER_GENERAL,
                     "User is not in the vandrel group. Access to the config space located at "
                     "{} may not work.",
                     _configPath());
        }
    });
}

void LibraryOptions::loadConfig()
{
    Json merged = *m_defaults;
    const std::string path = _configPath();
    if (!fileExists(path))
        throw VDLException<-16>("Could not find config at {}", path);

    Json file;
    loadConfig(file, path);
    for (const auto& item : file.items())
        merged[item.key()] = item.value();
    *m_data = std::move(merged);
    m_keepOriginal = false;
}

void LibraryOptions::loadConfig(nlohmann::json& out, const std::string& path)
{
    _check_group();
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open())
        throw VDLException<-16>("Could not read config from file {}", path);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw VDLException<-16>("Could not read config from file {}", path);
    out = parseDocument(text.str());
}

void LibraryOptions::saveConfig(bool pretty) const { saveConfig(_configPath(), pretty); }

void LibraryOptions::saveConfig(const std::string& path, bool pretty) const
{
    _check_group();
    if (!createDirectories(path))
        throw VDLException<-14>("Could not create directory {}", path);

    // Serialised before the file is touched, so a value the serialiser refuses
    // cannot leave a truncated file behind.
    std::string text;
    try {
        text = m_data->dump(pretty ? kPrettyIndent : kCompact);
    } catch (const Json::type_error&) {
        throw VDLException<-14>("Could not save config file: {}", path);
    }

    if (m_keepOriginal && path == _configPath()) {
        if (!preserveOriginal(path))
            throw VDLException<-14>("Could not save config file: {}", path);
        m_keepOriginal = false;
    }
    if (!writeFileSafely(path, text))
        throw VDLException<-14>("Could not save config file: {}", path);
    setFileGroup(path);
}

int LibraryOptions::optionCount() const { return static_cast<int>(m_data->size()); }

void LibraryOptions::optionValue(const std::string& key, std::string& value) const
{
    if (m_data->is_object()) {
        const auto it = m_data->find(key);
        if (it != m_data->end()) {
            try {
                value = _jsonValueToString(*it);
            } catch (const Json::type_error& e) {
                throw VDLException<-6>("options - invalid type conversion {}", e.what());
            }
            return;
        }
    }
    throw VDLException<-13>("could not find key in options {}", key);
}

std::string LibraryOptions::optionValue(const std::string& key) const
{
    try {
        return _jsonValueToString((*m_data)[key]);
    } catch (const Json::type_error& e) {
        throw VDLException<-6>("options - invalid type conversion {}", e.what());
    }
}

void LibraryOptions::option(int index, std::string& key, std::string& value) const
{
    const int count = optionCount();
    // Sign-extended to 64 bits, so every negative index counts as very large.
    if (static_cast<std::uint64_t>(static_cast<std::int64_t>(index)) >
        static_cast<std::uint64_t>(count))
        throw VDLException<-5>("index {} was out of range {}", index, count);

    int position = 0;
    for (const auto& item : m_data->items()) {
        if (position++ != index)
            continue;
        key = item.key();
        try {
            value = _jsonValueToString(item.value());
        } catch (const Json::type_error& e) {
            throw VDLException<-1>("options - invalid type conversion: {}", e.what());
        }
        return;
    }
    throw VDLException<-5>("could not find option at index {}", index);
}

void LibraryOptions::setOption(const std::string& key, const std::string& value)
{
    // Refused up front: the serialiser would reject the text at every later save.
    try {
        checkSerialisable(key);
        checkSerialisable(value);
    } catch (const Json::type_error& e) {
        throw VDLException<-6>("options - invalid type conversion {}", e.what());
    }
    if (m_data->is_null())
        *m_data = Json::object();
    (*m_data)[key] = value;
    m_changed = true;
    saveConfig(true);
}

void LibraryOptions::addOption(const std::string& key, const std::string& value)
{
    setOption(key, value);
}

void LibraryOptions::deleteOption(const std::string& key)
{
    if (!m_data->is_object() || m_data->erase(key) == 0)
        throw VDLException<-13>("could not find key in options {}", key);
    m_changed = true;
}

nlohmann::json LibraryOptions::getData() const { return *m_data; }

nlohmann::json LibraryOptions::defaultOptions() const { return *m_defaults; }

bool LibraryOptions::validateOptionKey(const std::string& key) const
{
    return m_defaults->is_object() && m_defaults->contains(key);
}

template <typename T>
std::string LibraryOptions::_jsonValueToString(const T& value) const
{
    std::string text = value.dump();
    text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
    return text;
}

template std::string LibraryOptions::_jsonValueToString<nlohmann::json>(const nlohmann::json&) const;

} // namespace Vandrel
