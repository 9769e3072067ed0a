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
#include <map>
#include <thread>

#include <dirent.h>
#include <fmt/format.h>
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
constexpr mode_t kStagedMode = 0600; // until the kept copy has the original's owners
constexpr const char* kLockSuffix = ".lock";
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kDirectoryChunk = 8192;
// The kit writes objects of strings (one level); anything this deep is not
// an option file, and deeper documents would exhaust the stack when copied.
constexpr int kMaxNesting = 256;
// As many links as the kernel follows in one path.
constexpr int kMaxLinkHops = 40;
// The kit writes a few kilobytes (a few hundred bytes per card); a file larger
// than this is not an option file. It is taken as malformed without being read,
// so a huge or sparse file planted at the name costs neither memory nor disk.
constexpr off_t kMaxFileSize = off_t{16} << 20;
// A save takes milliseconds; a lock held this long belongs to a process
// that is stuck or stopped.
constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockPollFirst = std::chrono::microseconds(200);
constexpr auto kLockPollLongest = std::chrono::milliseconds(10);

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
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
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

bool writeAll(int fd, const char* data, std::size_t left, off_t offset = -1)
{
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

bool writeAll(int fd, const std::string& text, off_t offset = -1)
{
    return writeAll(fd, text.data(), text.size(), offset);
}

// The directory part of `path` with its slash ("" for a bare name).
std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The name to open or stat for a directory part ("" is the working directory).
const char* directoryName(const std::string& dir) { return dir.empty() ? "." : dir.c_str(); }

enum class Resolution {
    File,       // a regular file, or nothing yet
    NotRegular, // something else at the name itself (a directory, a FIFO)
    Refused,    // a link that is not followed, or one that leads to no regular file
};

// Where the file at `path` is: the name itself or, through symbolic links at the
// end of the path, the file they lead to (which need not exist yet). The option
// directory is shared with less-trusted users, so a link is followed only where
// the kernel follows one in a shared sticky directory: when it belongs to root,
// to this process's user or to the owner of the directory that holds it. What a
// link leads to must be a regular file. `refusal` says why a path is refused.
Resolution resolveTrusted(const std::string& path, std::string& target, std::string& refusal)
{
    std::string current = path;
    bool throughLink = false;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st;
        const bool exists = ::lstat(current.c_str(), &st) == 0;
        if (!exists || !S_ISLNK(st.st_mode)) {
            if (exists && !S_ISREG(st.st_mode)) {
                if (!throughLink)
                    return Resolution::NotRegular;
                refusal = fmt::format("{} is not a regular file", current);
                return Resolution::Refused;
            }
            target = std::move(current);
            return Resolution::File;
        }
        const std::string dir = directoryOf(current);
        struct stat holder;
        if (st.st_uid != 0 && st.st_uid != ::geteuid() &&
            (::stat(directoryName(dir), &holder) != 0 || holder.st_uid != st.st_uid)) {
            refusal = fmt::format("the symbolic link {} belongs to user {}, not to root, this "
                                  "process's user or the directory's owner",
                                  current, st.st_uid);
            return Resolution::Refused;
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1,
                         '\0');
        const ssize_t length = ::readlink(current.c_str(), link.data(), link.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) {
            refusal = fmt::format("the symbolic link {} cannot be read", current);
            return Resolution::Refused;
        }
        link.resize(static_cast<std::size_t>(length));
        current = link[0] == '/' ? link : dir + link;
        throughLink = true;
    }
    refusal = fmt::format("too many symbolic links at {}", path);
    return Resolution::Refused;
}

// The file a save at `path` replaces; -14 where the save must not follow the path.
std::string saveTarget(const std::string& path)
{
    std::string target;
    std::string refusal;
    switch (resolveTrusted(path, target, refusal)) {
    case Resolution::File:
        break;
    case Resolution::NotRegular:
        throw VDLException<-14>("Could not save config file: {}", path);
    case Resolution::Refused:
        throw VDLException<-14>("Could not save config file: {}: {}", path, refusal);
    }
    return target;
}

// Creates a new file "<stem><n>" with O_EXCL; -1 when none can be made (errno
// says why).
int createExclusive(const std::string& stem, std::string& name, mode_t mode)
{
    static std::atomic<unsigned int> counter{0};
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        name = stem + std::to_string(counter.fetch_add(1));
        const int fd =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// "<name><infix><pid>." for this process: the stem of the names a save makes.
std::string ownStem(const std::string& name, const char* infix)
{
    return name + infix + std::to_string(getpid()) + '.';
}

// Whether the entry `name` is "<prefix><pid>" or "<prefix><pid>.<n>" of a
// process that has ended.
bool leftByEndedProcess(const char* name, const std::string& prefix)
{
    if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0)
        return false;
    const char* digits = name + prefix.size();
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(digits, &end, 10);
    if (errno != 0 || end == digits || (*end != '.' && *end != '\0') || pid <= 0 ||
        pid == getpid())
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Removes from the directory `dirFd` what saves of processes that have ended left
// there (a kill between creating and renaming): regular files named by
// `prefix` or `alsoPrefix` (may be null) followed by a process id. Anything else
// at such a name was not made by a save and stays. Read with getdents64 on
// `dirFd` itself: a directory stream would cost a dup, a stat and two fcntl calls
// on every save. Only the directory sync uses `dirFd` afterwards, which its read
// position does not affect.
void removeStaleTemporaries(int dirFd, const std::string& prefix, const std::string* alsoPrefix)
{
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
            if (!leftByEndedProcess(entryName, prefix) &&
                (alsoPrefix == nullptr || !leftByEndedProcess(entryName, *alsoPrefix)))
                continue;
            bool regular = entry->d_type == DT_REG;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st;
                regular = ::fstatat(dirFd, entryName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISREG(st.st_mode);
            }
            if (regular)
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

// Overwrites an existing file where no temporary can be made beside it, so that a
// full disk fails before any byte changes. A file that does not grow needs no new
// space. One that grows has its new length reserved first; where the file system
// cannot reserve (no fallocate: ext2, NFSv3, many FUSE file systems), its new tail
// is written past the old end and synced first, and cut back when that fails, and
// only then is the head overwritten.
bool overwriteInPlace(const std::string& target, const std::string& text, bool toGroup)
{
    Descriptor fd(::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const off_t length = static_cast<off_t>(text.size());
    const off_t old = st.st_size;
    std::size_t head = text.size();
    if (length > old) {
        int rc;
        while ((rc = ::fallocate(fd.get(), 0, old, length - old)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            if (errno != EOPNOTSUPP && errno != ENOSYS)
                return false;
            head = static_cast<std::size_t>(old);
            if (!writeAll(fd.get(), text.data() + head, text.size() - head, old) ||
                ::fdatasync(fd.get()) != 0) {
                const int failure = errno;
                (void)::ftruncate(fd.get(), old);
                errno = failure;
                return false;
            }
        }
    }
    if (!writeAll(fd.get(), text.data(), head, 0) || ::ftruncate(fd.get(), length) != 0)
        return false;
    if (toGroup)
        giveGroup(fd.get());
    return ::fsync(fd.get()) == 0 && fd.close();
}

// The replacement of one file (`target`, no link): a temporary made beside it,
// written, synced and renamed over it, so that a failure at any point leaves the
// previous file as it was. A directory the process may not write cannot take a
// temporary; the file is then overwritten in place. A temporary that is not
// renamed is removed.
class Replacement {
public:
    // `path` is the name the caller saves to (a link to `target`, or `target`):
    // what keeping a file stages beside it is swept as well.
    Replacement(const std::string& target, const std::string& path)
        : m_target(target), m_dir(-1), m_fd(-1)
    {
        const std::string dir = directoryOf(target);
        // Also the directory whose sync makes the rename durable.
        m_dir.reset(::open(directoryName(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const std::string pathDir = directoryOf(path);
        const std::string own = target.substr(dir.size()) + kTemporaryInfix;
        const std::string kept =
            path.substr(pathDir.size()) + kInvalidSuffix + kTemporaryInfix;
        if (pathDir == dir) {
            if (m_dir.get() >= 0)
                removeStaleTemporaries(m_dir.get(), own, &kept);
        } else {
            if (m_dir.get() >= 0)
                removeStaleTemporaries(m_dir.get(), own, nullptr);
            Descriptor other(::open(directoryName(pathDir), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (other.get() >= 0)
                removeStaleTemporaries(other.get(), kept, nullptr);
        }
        m_fd.reset(createExclusive(ownStem(target, kTemporaryInfix), m_temporary, kNewFileMode));
        if (m_fd.get() < 0) {
            m_temporary.clear();
            // Only a directory the process may not write to; other failures (a
            // full disk among them) would fail the overwrite as well.
            m_inPlace = errno == EACCES || errno == EPERM;
        }
    }
    ~Replacement()
    {
        if (!m_temporary.empty())
            ::unlink(m_temporary.c_str());
    }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    bool ready() const { return m_fd.get() >= 0 || m_inPlace; }
    bool inPlace() const { return m_inPlace; }

    // Writes `text` and (with `toGroup`) gives the file the group "vandrel".
    // `known`, where given, is what a stat of the file found moments ago under
    // the save lock (it spares a second stat of the same file).
    bool commit(const std::string& text, bool toGroup, const struct stat* known = nullptr)
    {
        if (m_inPlace)
            return overwriteInPlace(m_target, text, toGroup);
        if (m_fd.get() < 0)
            return false;
        gid_t group = 0;
        const bool haveGroup = toGroup && detail::vandrelGroupId(group);
        struct stat previous;
        if (known == nullptr && ::lstat(m_target.c_str(), &previous) == 0)
            known = &previous;
        // The temporary was created by this save, so its owners and mode may be
        // set: it keeps what the previous file had, its mode, its group and, where
        // the process may, its owner. The mode comes last: a change of owner or
        // group clears the set-id bits. Where the process may give both the owner
        // and the group "vandrel", one call does.
        if (known != nullptr && S_ISREG(known->st_mode)) {
            if (!haveGroup || ::fchown(m_fd.get(), known->st_uid, group) != 0) {
                if (::fchown(m_fd.get(), known->st_uid, known->st_gid) != 0)
                    (void)::fchown(m_fd.get(), static_cast<uid_t>(-1), known->st_gid);
                if (haveGroup)
                    (void)::fchown(m_fd.get(), static_cast<uid_t>(-1), group);
            }
            ::fchmod(m_fd.get(), known->st_mode & kPermissionBits);
        } else if (haveGroup) {
            (void)::fchown(m_fd.get(), static_cast<uid_t>(-1), group);
        }
        if (!writeAll(m_fd.get(), text) || ::fsync(m_fd.get()) != 0 || !m_fd.close() ||
            ::rename(m_temporary.c_str(), m_target.c_str()) != 0)
            return false;
        m_temporary.clear();
        // Some file systems cannot sync a directory; the rename has happened by
        // then, so that is not a failure.
        if (m_dir.get() >= 0)
            (void)::fsync(m_dir.get());
        return true;
    }

private:
    std::string m_target;
    Descriptor m_dir;
    Descriptor m_fd;
    std::string m_temporary;
    bool m_inPlace = false;
};

// What reading a file found.
enum class ReadResult { Read, Missing, NotRegular, TooLarge, Failed };

// Reads the regular file at `path` whole, without blocking on anything else
// there and without reading beyond the size limit. `found` gets its stat data
// when it could be opened. With `follow` false a link at `path` is not read.
ReadResult readWhole(const std::string& path, std::string& text, struct stat* found = nullptr,
                     bool follow = true)
{
    Descriptor fd(::open(path.c_str(),
                         O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW)));
    if (fd.get() < 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat own;
    struct stat& st = found != nullptr ? *found : own;
    if (::fstat(fd.get(), &st) != 0)
        return ReadResult::Failed;
    if (!S_ISREG(st.st_mode))
        return ReadResult::NotRegular;
    if (st.st_size > kMaxFileSize)
        return ReadResult::TooLarge;
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
        if (content.size() > static_cast<std::size_t>(kMaxFileSize))
            return ReadResult::TooLarge; // grew while read
    }
    text = std::move(content);
    return ReadResult::Read;
}

// What reading a file above the size limit raises: it counts as malformed.
Json::parse_error tooLarge()
{
    return Json::parse_error::create(
        101, 0, "syntax error: larger than " + std::to_string(kMaxFileSize) + " bytes", nullptr);
}

// The text of an option file to parse: -16 when it cannot be read, and the JSON
// library's parse error for a file above the size limit, which is not read.
std::string readOptionText(const std::string& file, const std::string& named, bool follow)
{
    std::string text;
    switch (readWhole(file, text, nullptr, follow)) {
    case ReadResult::Read:
        return text;
    case ReadResult::TooLarge:
        throw tooLarge();
    default:
        throw VDLException<-16>("Could not read config from file {}", named);
    }
}

// Keeps the bytes of the option file at `path` (`target` is the file itself, the
// one its link leads to) as "<path>.invalid" before the save replaces it. Where the
// file system allows, that is a second name for the same file: nothing is copied,
// owners and mode stay as they were. Otherwise it is a copy of `bytes` (null when
// the file could not be read) with at most the original's permissions and, where
// the process may set them, its owners. Whatever is at the kept name is replaced,
// never followed: the kept bytes are staged under a new name made with O_EXCL (or
// by link, which does not follow either) and renamed over it. `mayLink` is false
// when the save will overwrite the file in place, which would change a second
// name's bytes too.
bool keepAside(const std::string& path, const std::string& target, const struct stat& original,
               const std::string* bytes, bool mayLink)
{
    const std::string keep = path + kInvalidSuffix;
    const std::string stem = ownStem(keep, kTemporaryInfix);
    static std::atomic<unsigned int> counter{0};
    std::string staged;
    bool made = false;
    for (int attempt = 0; mayLink && !made && attempt < kTemporaryNameAttempts; ++attempt) {
        staged = stem + std::to_string(counter.fetch_add(1));
        made = ::link(target.c_str(), staged.c_str()) == 0;
        if (!made && errno != EEXIST)
            break;
    }
    if (!made) {
        if (bytes == nullptr)
            return false;
        Descriptor fd(createExclusive(stem, staged, kStagedMode));
        if (fd.get() < 0)
            return false;
        if (::fchown(fd.get(), original.st_uid, original.st_gid) != 0)
            (void)::fchown(fd.get(), static_cast<uid_t>(-1), original.st_gid);
        if (::fchmod(fd.get(), original.st_mode & kAccessBits) != 0 ||
            !writeAll(fd.get(), *bytes) || ::fsync(fd.get()) != 0 || !fd.close()) {
            ::unlink(staged.c_str());
            return false;
        }
    }
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

// What a stat of the option file shows of it: another process's save changes it.
struct FileState {
    bool exists = false;
    struct stat st {};

    static FileState of(const std::string& path)
    {
        FileState state;
        state.exists = ::stat(path.c_str(), &state.st) == 0;
        return state;
    }
    bool operator==(const FileState& other) const
    {
        auto same = [](const struct timespec& a, const struct timespec& b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        if (exists != other.exists)
            return false;
        return !exists ||
               (st.st_dev == other.st.st_dev && st.st_ino == other.st.st_ino &&
                st.st_size == other.st.st_size && same(st.st_mtim, other.st.st_mtim) &&
                same(st.st_ctim, other.st.st_ctim));
    }
    bool operator!=(const FileState& other) const { return !(*this == other); }
};

// Exclusive use of the option file across processes, for one save: flock on
// "<file>.lock", which the rename-based save never replaces. Where the lock
// cannot be created (a directory the process may not write), the save goes on
// without it. The lock's name is never followed and never opened in a way that
// blocks: anything there but a regular file (a link, a FIFO, a directory) is a
// lock that cannot be had.
class SaveLock {
public:
    explicit SaveLock(const std::string& path) : m_fd(open(path))
    {
        if (m_fd.get() < 0)
            return;
        // The wait is bounded by how long one holder keeps the lock, not by how
        // many processes queue for it: each save another process completes
        // changes the file, and the bound starts again.
        using Clock = std::chrono::steady_clock;
        FileState seen = FileState::of(path);
        auto since = Clock::now();
        auto pause = std::chrono::duration_cast<std::chrono::microseconds>(kLockPollFirst);
        while (::flock(m_fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                return; // a file system without flock: unguarded, like no lock file
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::duration_cast<std::chrono::microseconds>(
                                            kLockPollLongest));
            const FileState now = FileState::of(path);
            if (now != seen) {
                seen = now;
                since = Clock::now();
            } else if (Clock::now() - since >= kLockWait) {
                throw VDLException<-14>(
                    "Could not save config file: {}: another process held {} for more than {} s",
                    path, path + kLockSuffix,
                    std::chrono::duration_cast<std::chrono::seconds>(kLockWait).count());
            }
        }
    }
    // Closing the descriptor releases the lock.

private:
    static constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    static constexpr int kOpenAttempts = 4;

    [[noreturn]] static void notALock(const std::string& path, const std::string& lockPath)
    {
        throw VDLException<-14>("Could not save config file: {}: the lock {} is not a regular file",
                                path, lockPath);
    }

    // Opens the lock file; when there is none, creates it with the option file's
    // mode and group. -1: no lock (none can be created, or it cannot be opened).
    static int open(const std::string& path)
    {
        const std::string lockPath = path + kLockSuffix;
        for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
            // Any access mode can hold a lock; the lock has the option file's mode.
            int fd = ::open(lockPath.c_str(), O_RDONLY | kOpenFlags);
            if (fd < 0 && errno == EACCES)
                fd = ::open(lockPath.c_str(), O_WRONLY | kOpenFlags);
            if (fd >= 0) {
                struct stat st;
                if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
                    return fd;
                ::close(fd);
                notALock(path, lockPath);
            }
            // ELOOP: a link; ENXIO: a FIFO without reader or a socket.
            if (errno == ELOOP || errno == ENXIO || errno == ENODEV || errno == EISDIR)
                notALock(path, lockPath);
            if (errno != ENOENT)
                return -1;
            fd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_EXCL | kOpenFlags, kNewFileMode);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue; // made meanwhile (or a dangling link): look again
                return -1;
            }
            // Created here, so its owners and mode may be set.
            std::string file;
            std::string refusal;
            struct stat st;
            if (resolveTrusted(path, file, refusal) == Resolution::File &&
                ::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
                ::fchmod(fd, st.st_mode & kAccessBits);
            } else {
                giveGroup(fd);
            }
            return fd;
        }
        return -1;
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
    std::string target;
    std::string refusal;
    switch (resolveTrusted(path, target, refusal)) {
    case Resolution::File:
        break;
    case Resolution::NotRegular:
        throw VDLException<-16>("Could not find config at {}", path);
    case Resolution::Refused:
        throw VDLException<-16>("Could not read config from file {}: {}", path, refusal);
    }

    _check_group();
    const Json file = parseDocument(readOptionText(target, path, false));
    *m_data = overDefaults(file);
    m_changes->byKey.clear();
    m_keepOriginal = false;
}

void LibraryOptions::loadConfig(nlohmann::json& out, const std::string& path)
{
    _check_group();
    out = parseDocument(readOptionText(path, path, true));
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
    Replacement replacement(saveTarget(path), path);
    if (!replacement.ready() || !replacement.commit(text, true))
        throw VDLException<-14>("Could not save config file: {}", path);
}

// Other processes save the same file: under the lock, this process's changes
// are applied to what the file holds now, and that is written and kept.
void LibraryOptions::saveOwnFile(const std::string& path, bool pretty) const
{
    SaveLock lock(path);
    const std::string target = saveTarget(path);

    Json merged;
    std::string bytes;
    // Written as this process holds it, not merged into what the file holds.
    bool wholeDocument = false;
    bool keepItsBytes = false;
    struct stat found {};
    const ReadResult read = readWhole(target, bytes, &found, false);
    switch (read) {
    case ReadResult::Missing:
        // A first save, or the file was removed: there is nothing of another
        // process to keep, and this process's whole document is written.
        merged = *m_data;
        wholeDocument = true;
        break;
    case ReadResult::NotRegular:
        throw VDLException<-14>("Could not save config file: {}", path);
    case ReadResult::Failed:
        // Cannot be merged: this process's document replaces it. Its bytes are
        // kept aside when they were never loaded.
        merged = *m_data;
        wholeDocument = true;
        keepItsBytes = m_keepOriginal;
        break;
    case ReadResult::TooLarge:
    case ReadResult::Read:
        if (read == ReadResult::Read && m_changes->haveWritten &&
            bytes == m_changes->writtenText) {
            merged = std::move(m_changes->writtenDocument);
            m_changes->haveWritten = false;
            break;
        }
        try {
            if (read == ReadResult::TooLarge)
                throw tooLarge();
            merged = overDefaults(parseDocument(bytes));
        } catch (const Json::exception& e) {
            // Malformed: not merged, kept aside and replaced, as after a load
            // that failed.
            if (!m_keepOriginal)
                VDL_WARN(LOGGER_GENERAL, "Could not load config file {}, keeping it as {}: {}",
                         path, path + kInvalidSuffix, e.what());
            merged = *m_data;
            wholeDocument = true;
            keepItsBytes = true;
        }
        break;
    }
    if (!wholeDocument) {
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
    Replacement replacement(target, path);
    if (!replacement.ready())
        throw VDLException<-14>("Could not save config file: {}", path);
    // The file read above is the one the save replaces: its mode and owners are
    // already known. A file that was not read (missing, unreadable) is looked at
    // again.
    const bool known = read == ReadResult::Read || read == ReadResult::TooLarge;
    if (keepItsBytes) {
        struct stat original = found;
        if (known || ::lstat(target.c_str(), &original) == 0) {
            if (!keepAside(path, target, original, read == ReadResult::Read ? &bytes : nullptr,
                           !replacement.inPlace()))
                throw VDLException<-14>("Could not save config file: {}", path);
        } else if (errno != ENOENT) { // gone meanwhile: nothing left to keep
            throw VDLException<-14>("Could not save config file: {}", path);
        }
    }
    if (!replacement.commit(text, true, known ? &found : nullptr))
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
