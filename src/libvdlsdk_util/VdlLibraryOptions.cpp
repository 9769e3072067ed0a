// A library's JSON option file: load over the defaults, query, change and save.
#include "vdlsdk/VdlLibraryOptions.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "group_id.hpp"

namespace Vandrel {

std::once_flag LibraryOptions::_once;

namespace {

constexpr int kPrettyIndent = 4;
constexpr int kCompact = -1;
constexpr mode_t kNewFileMode = 0666; // reduced by the umask, as for any new file
constexpr mode_t kPermissionBits = 07777;
constexpr mode_t kAccessBits = 0777;
constexpr int kTemporaryNameAttempts = 16;
constexpr const char* kInvalidSuffix = ".invalid";
constexpr const char* kTemporaryInfix = ".tmp.";
constexpr const char* kLockSuffix = ".lock";
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kDirectoryChunk = 8192;
// The kit writes objects of strings (one level); anything this deep is not
// an option file, and deeper documents would exhaust the stack when copied.
constexpr int kMaxNesting = 256;
// As many links as the kernel follows in one path.
constexpr int kMaxLinkHops = 40;
// A save takes milliseconds; a lock held this long belongs to a process
// that is stuck or stopped.
constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockPollFirst = std::chrono::microseconds(200);
constexpr auto kLockPollLongest = std::chrono::milliseconds(20);

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

bool writeAll(int fd, const std::string& text, off_t offset = -1)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written =
            offset < 0 ? ::write(fd, data, left) : ::pwrite(fd, data, left, offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
        if (offset >= 0)
            offset += written;
    }
    return true;
}

// The directory part of `path` with its slash ("" for a bare name).
std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links at the end of `path` to the name of the file they lead
// to (which need not exist yet). False for a loop or an unreadable link.
bool resolveLinks(const std::string& path, std::string& resolved)
{
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            resolved = std::move(current);
            return true;
        }
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1,
                           '\0');
        const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size())
            return false;
        target.resize(static_cast<std::size_t>(length));
        current = target[0] == '/' ? target : directoryOf(current) + target;
    }
    errno = ELOOP;
    return false;
}

// Creates a new, unique file beside `path`; -1 when the directory cannot take one.
int createTemporary(const std::string& path, std::string& temporary)
{
    static std::atomic<unsigned int> counter{0};
    const std::string stem = path + kTemporaryInfix + std::to_string(getpid()) + '.';
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        temporary = stem + std::to_string(counter.fetch_add(1));
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                              kNewFileMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Removes "<name>.tmp.<pid>.<n>" (and the "<name>.tmp.<pid>" that keeping an
// unreadable file stages) from the directory `dirFd`, left by saves of
// processes that have ended (a kill between creating and renaming them). Read
// with getdents64 on `dirFd` itself: a directory stream would cost a dup, a
// stat and two fcntl calls on every save. Only the directory sync uses `dirFd`
// afterwards, which its read position does not affect.
void removeStaleTemporaries(int dirFd, const std::string& name)
{
    const std::string prefix = name + kTemporaryInfix;
    alignas(struct dirent64) char buffer[kDirectoryChunk];
    for (;;) {
        const ssize_t got = ::getdents64(dirFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* entryName = entry->d_name;
            if (std::strncmp(entryName, prefix.c_str(), prefix.size()) != 0)
                continue;
            char* end = nullptr;
            errno = 0;
            const long pid = std::strtol(entryName + prefix.size(), &end, 10);
            if (errno != 0 || end == entryName + prefix.size() || (*end != '.' && *end != '\0') ||
                pid <= 0 || pid == getpid())
                continue;
            if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                (void)::unlinkat(dirFd, entryName, 0);
        }
    }
}

// Gives a file that a save wrote the group "vandrel" where it exists.
void giveGroup(int fd)
{
    gid_t gid;
    if (detail::vandrelGroupId(gid))
        (void)::fchown(fd, static_cast<uid_t>(-1), gid);
}

// Overwrites an existing file where no temporary can be made beside it. The
// space is reserved first, so a full disk fails before any byte changes.
bool overwriteInPlace(const std::string& path, const std::string& text, bool toGroup)
{
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    const off_t length = static_cast<off_t>(text.size());
    if (length > 0) {
        int rc;
        while ((rc = ::posix_fallocate(fd.get(), 0, length)) == EINTR) {
        }
        if (rc != 0) {
            errno = rc;
            return false;
        }
    }
    if (!writeAll(fd.get(), text, 0) || ::ftruncate(fd.get(), length) != 0)
        return false;
    if (toGroup)
        giveGroup(fd.get());
    return ::fsync(fd.get()) == 0 && fd.close();
}

// Replaces the file at `path` with `text` so that a failure at any point leaves
// the previous file as it was, and (with `toGroup`) gives it the group
// "vandrel". Through a symbolic link the file it names is replaced and the link
// stays. A directory that cannot take a temporary file is written in place.
// `known`, where given, is what a stat of the file found moments ago under the
// save lock (it spares a second stat of the same file).
bool writeFileSafely(const std::string& path, const std::string& text, bool toGroup,
                     const struct stat* known = nullptr)
{
    std::string target;
    if (!resolveLinks(path, target))
        return false;
    const std::string dir = directoryOf(target);
    // Also the directory whose sync makes the rename durable. Some file systems
    // cannot sync a directory; the rename itself has happened by then, so that
    // is not a failure.
    Descriptor dirFd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0)
        removeStaleTemporaries(dirFd.get(), target.substr(dir.size()));

    std::string temporary;
    Descriptor fd(createTemporary(target, temporary));
    if (fd.get() < 0) {
        // Only a directory the process may not write to; other failures (a
        // full disk among them) would fail the overwrite as well.
        if (errno == EACCES || errno == EPERM)
            return overwriteInPlace(target, text, toGroup);
        return false;
    }

    gid_t group = 0;
    const bool haveGroup = toGroup && detail::vandrelGroupId(group);
    struct stat previous;
    if (known == nullptr && ::stat(target.c_str(), &previous) == 0)
        known = &previous;
    if (known != nullptr && S_ISREG(known->st_mode)) {
        // Keep what the previous file had: its mode, its group and, where the
        // process may, its owner. The mode comes last: a change of owner or
        // group clears the set-id bits. Where the process may give both the
        // owner and the group "vandrel", one call does.
        if (!haveGroup || ::fchown(fd.get(), known->st_uid, group) != 0) {
            if (::fchown(fd.get(), known->st_uid, known->st_gid) != 0)
                (void)::fchown(fd.get(), static_cast<uid_t>(-1), known->st_gid);
            if (haveGroup)
                (void)::fchown(fd.get(), static_cast<uid_t>(-1), group);
        }
        ::fchmod(fd.get(), known->st_mode & kPermissionBits);
    } else if (haveGroup) {
        (void)::fchown(fd.get(), static_cast<uid_t>(-1), group);
    }

    const bool written = writeAll(fd.get(), text) && ::fsync(fd.get()) == 0 && fd.close();
    if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    if (dirFd.get() >= 0)
        (void)::fsync(dirFd.get());
    return true;
}

// What reading a file found.
enum class ReadResult { Read, Missing, Failed };

ReadResult readWhole(const std::string& path, std::string& text, struct stat* found = nullptr)
{
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat own;
    struct stat& st = found != nullptr ? *found : own;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return ReadResult::Failed;
    std::string content;
    content.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return ReadResult::Failed;
        }
        if (got == 0)
            break;
        content.append(chunk, static_cast<std::size_t>(got));
    }
    text = std::move(content);
    return ReadResult::Read;
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
    if (readWhole(path, bytes) == ReadResult::Read)
        return writeFileSafely(keep, bytes, false);
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

// Exclusive use of the option file across processes, for one save: flock on
// "<file>.lock", which the rename-based save never replaces. Where the lock
// cannot be created, the save goes on without it.
class SaveLock {
public:
    explicit SaveLock(const std::string& path) : m_fd(open(path))
    {
        if (m_fd.get() < 0)
            return;
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        auto pause = std::chrono::duration_cast<std::chrono::microseconds>(kLockPollFirst);
        while (::flock(m_fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                return; // a file system without flock: unguarded, like no lock file
            if (std::chrono::steady_clock::now() >= deadline)
                throw VDLException<-14>(
                    "Could not save config file: {}: another process held {} for more than {} s",
                    path, path + kLockSuffix,
                    std::chrono::duration_cast<std::chrono::seconds>(kLockWait).count());
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::duration_cast<std::chrono::microseconds>(
                                            kLockPollLongest));
        }
    }
    // Closing the descriptor releases the lock.

private:
    // Opens the lock file, creating it with the option file's mode and group.
    static int open(const std::string& path)
    {
        const std::string lockPath = path + kLockSuffix;
        // Any access mode can hold a lock; the lock has the option file's mode.
        int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == EACCES)
            fd = ::open(lockPath.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, kNewFileMode);
        if (fd < 0)
            return fd;
        struct stat file;
        if (::stat(path.c_str(), &file) == 0) {
            (void)::fchown(fd, static_cast<uid_t>(-1), file.st_gid);
            ::fchmod(fd, file.st_mode & kAccessBits);
        } else {
            giveGroup(fd);
        }
        return fd;
    }

    Descriptor m_fd;
};

// True when parsing the serialised `doc` gives `doc` back exactly, types
// included: strings (which the serialiser checks), booleans, null, objects and
// arrays within the nesting limit. Numbers are left out: a positive integer
// would come back unsigned, and a NaN as null.
bool survivesRoundTrip(const Json& doc, int depth = 0)
{
    switch (doc.type()) {
    case Json::value_t::null:
    case Json::value_t::boolean:
    case Json::value_t::string:
        return true;
    case Json::value_t::object:
    case Json::value_t::array:
        if (depth >= kMaxNesting)
            return false;
        for (const auto& item : doc)
            if (!survivesRoundTrip(item, depth + 1))
                return false;
        return true;
    default:
        return false;
    }
}

// Throws the JSON library's type error when the text is not valid UTF-8.
void checkSerialisable(const std::string& text) { (void)Json(text).dump(); }

} // namespace

// A change this process made: a value set, a key deleted, or a key that a
// reading call added with the null value (applied only where the file lacks it,
// so that a read never overwrites what another process saved).
struct LibraryOptions::Changes {
    enum class Kind { Set, Deleted, AddedByRead };
    struct Change {
        Kind kind;
        Json value;
    };
    std::map<std::string, Change> byKey;

    // The bytes this object last wrote and the document a save makes of them
    // (the defaults with their items over them), so that a save which finds
    // exactly these bytes again need not parse them. Keyed on the bytes, not on
    // the file's stat data: timestamps come from a coarse clock, so another
    // process's write within the same tick and of the same length (an in-place
    // overwrite, which keeps the inode) would leave size, inode and times as
    // they were. Equal bytes parse to the same document whoever wrote them.
    std::string writtenText;
    Json writtenDocument;
    bool haveWritten = false;
};

LibraryOptions::LibraryOptions(const std::string& fileName)
    : m_fileName(std::make_unique<std::string>(fileName)),
      m_defaults(std::make_unique<Json>()),
      m_data(std::make_unique<Json>()),
      m_changes(std::make_unique<Changes>())
{
}

LibraryOptions::LibraryOptions(const std::string& fileName, const nlohmann::json& defaults)
    : m_fileName(std::make_unique<std::string>(fileName)),
      m_defaults(std::make_unique<Json>(defaults)),
      m_data(std::make_unique<Json>(defaults)),
      m_changes(std::make_unique<Changes>())
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

nlohmann::json LibraryOptions::parseDocument(const std::string& text)
{
    const std::size_t at = tooDeepAt(text);
    if (at != std::string::npos)
        throw Json::parse_error::create(
            101, at + 1, "syntax error: nested deeper than " + std::to_string(kMaxNesting) +
                             " levels",
            nullptr);
    return Json::parse(text);
}

nlohmann::json LibraryOptions::overDefaults(const nlohmann::json& file) const
{
    Json merged = *m_defaults;
    for (const auto& item : file.items())
        merged[item.key()] = item.value();
    return merged;
}

void LibraryOptions::loadConfig()
{
    const std::string path = _configPath();
    if (!fileExists(path))
        throw VDLException<-16>("Could not find config at {}", path);

    Json file;
    loadConfig(file, path);
    *m_data = overDefaults(file);
    m_changes->byKey.clear();
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
    if (path == _configPath()) {
        saveOwnFile(path, pretty);
        return;
    }

    // Any other path is written as a copy of the document. Serialised before
    // the file is touched, so a value the serialiser refuses cannot leave a
    // truncated file behind.
    std::string text;
    try {
        text = m_data->dump(pretty ? kPrettyIndent : kCompact);
    } catch (const Json::type_error&) {
        throw VDLException<-14>("Could not save config file: {}", path);
    }
    if (!writeFileSafely(path, text, true))
        throw VDLException<-14>("Could not save config file: {}", path);
}

// Other processes save the same file: under the lock, this process's changes
// are applied to what the file holds now, and that is written and kept.
void LibraryOptions::saveOwnFile(const std::string& path, bool pretty) const
{
    SaveLock lock(path);

    Json merged;
    std::string bytes;
    bool replaceUnloadable = false;
    bool keepItsBytes = false;
    struct stat found;
    const ReadResult read = readWhole(path, bytes, &found);
    if (read == ReadResult::Missing) {
        merged = *m_defaults;
    } else if (read == ReadResult::Failed) {
        // Cannot be merged: this process's document replaces it. Its bytes are
        // kept aside when they were never loaded.
        merged = *m_data;
        replaceUnloadable = true;
        keepItsBytes = m_keepOriginal;
    } else if (m_changes->haveWritten && bytes == m_changes->writtenText) {
        merged = std::move(m_changes->writtenDocument);
        m_changes->haveWritten = false;
    } else {
        try {
            merged = overDefaults(parseDocument(bytes));
        } catch (const Json::exception& e) {
            // Malformed: not merged, kept aside and replaced, as after a load
            // that failed.
            if (!m_keepOriginal)
                VDL_WARN(LOGGER_GENERAL, "Could not load config file {}, keeping it as {}: {}",
                         path, path + kInvalidSuffix, e.what());
            merged = *m_data;
            replaceUnloadable = true;
            keepItsBytes = true;
        }
    }
    if (!replaceUnloadable) {
        for (const auto& [key, change] : m_changes->byKey) {
            switch (change.kind) {
            case Changes::Kind::Set:
                if (merged.is_null())
                    merged = Json::object();
                merged[key] = change.value;
                break;
            case Changes::Kind::Deleted:
                if (merged.is_object())
                    merged.erase(key);
                break;
            case Changes::Kind::AddedByRead:
                if (merged.is_null() || (merged.is_object() && !merged.contains(key)))
                    merged[key] = nullptr;
                break;
            }
        }
    }

    // Serialised before the file is touched, so a value the serialiser refuses
    // cannot leave a truncated file behind.
    std::string text;
    try {
        text = merged.dump(pretty ? kPrettyIndent : kCompact);
    } catch (const Json::type_error&) {
        throw VDLException<-14>("Could not save config file: {}", path);
    }
    if (keepItsBytes) {
        if (!preserveOriginal(path))
            throw VDLException<-14>("Could not save config file: {}", path);
    }
    // The file read above is the one the save replaces: its mode and owners are
    // already known. A file that was not read (missing, unreadable) is looked at
    // again.
    if (!writeFileSafely(path, text, true, read == ReadResult::Read ? &found : nullptr))
        throw VDLException<-14>("Could not save config file: {}", path);
    m_keepOriginal = false;
    m_changes->haveWritten = survivesRoundTrip(merged);
    if (m_changes->haveWritten) {
        m_changes->writtenDocument = overDefaults(merged);
        m_changes->writtenText = std::move(text);
    }
    *m_data = std::move(merged);
    m_changes->byKey.clear();
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
    if (!m_data->is_object() || !m_data->contains(key))
        m_changes->byKey.insert({key, {Changes::Kind::AddedByRead, nullptr}});
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
    m_changes->byKey[key] = {Changes::Kind::Set, value};
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
    m_changes->byKey[key] = {Changes::Kind::Deleted, nullptr};
    m_changed = true;
}

nlohmann::json LibraryOptions::getData() const { return *m_data; }

const nlohmann::json& LibraryOptions::data() const { return *m_data; }

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
