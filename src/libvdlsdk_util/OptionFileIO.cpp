// The file-system side of an option file in a shared directory; see OptionFileIO.hpp.
#include "OptionFileIO.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <fmt/format.h>

#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"

namespace Vandrel::optionfile {

namespace {

constexpr mode_t kDirectoryMode = 0775;      // reduced by the umask, as for any new directory
constexpr mode_t kNewFileMode = 0666;        // reduced by the umask, as for any new file
constexpr mode_t kFileBits = 0666;           // what a new file may take from the one it replaces
constexpr mode_t kLockMode = 0664;           // fixed: see SaveLock
constexpr mode_t kPrivateMode = 0600;        // a file this code writes, until its text is complete
constexpr int kUniqueNameAttempts = 16;
constexpr int kOpenAttempts = 4;
// As many links as the kernel follows in one path.
constexpr int kMaxLinkHops = 40;
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kDirectoryChunk = 8192;
// The sweep looks at no more entries than this per save, so that names others
// plant in the directory cost each save a bounded time. The directory holds a
// handful of names where nobody plants any.
constexpr long kSweepEntries = 4096;
constexpr const char* kLockSuffix = ".lock";
constexpr const char* kInvalidSuffix = ".invalid";
constexpr const char* kTemporaryInfix = ".tmp.";
// Names that others choose are opened without following a link, without
// waiting on a FIFO and without taking a terminal.
constexpr int kOpenOthers = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

constexpr auto kPerHolder = std::chrono::seconds(5);
constexpr auto kOverall = std::chrono::seconds(30);
constexpr auto kLockPollFirst = std::chrono::microseconds(200);
constexpr auto kLockPollLongest = std::chrono::microseconds(10000);
constexpr auto kFirstPollLongest = std::chrono::microseconds(500);
constexpr auto kQueuedPollLongest = std::chrono::microseconds(2000);
// The savers next in line after the first look as often as the first, so
// that the next one is ready whenever one gets the lock.
constexpr int kNextInLine = 4;
// Longer than most saves hold the lock.
constexpr auto kShortHold = std::chrono::milliseconds(50);

std::string errorText(int error) { return std::strerror(error); }

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

bool writeAll(int fd, const std::string& text) { return writeAll(fd, text.data(), text.size()); }

// ---- The walk ----------------------------------------------------------------

// Why a symbolic link may not be followed for its names, or "" when it may: a
// hard link to another user's link anywhere on the file system would pass as
// that user's.
std::string secondName(const struct stat& link, const std::string& shown)
{
    if (link.st_nlink != 1)
        return fmt::format("the symbolic link {} has more than one name", shown);
    return {};
}

// Whether the walk may go on from a component owned by `from` to one owned by
// `to`. Only root and this process's user are trusted to lead anywhere;
// anyone else leads only to what is hers, which she could reach on her own.
bool mayStep(uid_t from, uid_t to) { return from == 0 || from == ::geteuid() || from == to; }

// The text of the symbolic link open (O_PATH) at `fd`; "" when it cannot be read.
// Links under /proc report no size: those are read with room for any path.
std::string linkText(int fd, const struct stat& st)
{
    if (st.st_size >= PATH_MAX)
        return {};
    const std::size_t room = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : PATH_MAX;
    std::string text(room, '\0');
    const ssize_t length = ::readlinkat(fd, "", text.data(), text.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= text.size())
        return {};
    text.resize(static_cast<std::size_t>(length));
    return text;
}

class Walk {
public:
    Walk(const std::string& path, bool create) : m_create(create), m_rest(path)
    {
        m_at.path = path;
    }

    Location run()
    {
        const bool fromRoot = !m_rest.empty() && m_rest[0] == '/';
        m_dir.reset(::open(fromRoot ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat st;
        if (m_dir.get() < 0 || ::fstat(m_dir.get(), &st) != 0)
            return failed(Location::Status::Failed, errno);
        m_owner = st.st_uid;
        m_ownerIs = fromRoot ? "the directory /" : "the working directory";
        for (;;) {
            const std::size_t start = m_rest.find_first_not_of('/', m_pos);
            if (start == std::string::npos) {
                // Ends in a slash: a directory.
                m_fromLink = m_pos < m_linkEnd;
                return notRegular(m_shownBase + m_rest.substr(m_pos));
            }
            std::size_t end = m_rest.find('/', start);
            if (end == std::string::npos)
                end = m_rest.size();
            const std::string name = m_rest.substr(start, end - start);
            m_shownDir = m_shownBase + m_rest.substr(m_pos, start - m_pos);
            m_shown = m_shownDir + name;
            m_fromLink = start < m_linkEnd;
            m_pos = end;
            const bool last = end == m_rest.size();
            if (last && !m_atName) {
                m_atName = true;
                m_at.name = name;
            }
            if (name == "." || name == "..") {
                if (last)
                    return notRegular(m_shown);
                if (name == ".." && enterDirectory(::openat(m_dir.get(), "..",
                                                             O_PATH | O_DIRECTORY | O_CLOEXEC)))
                    return std::move(m_at);
                m_shownBase = m_shown;
                continue;
            }
            const bool done = last ? atEnd(name) : atDirectory(name);
            if (done)
                return std::move(m_at);
        }
    }

private:
    bool enter(int fd)
    {
        if (fd < 0)
            return false;
        m_dir.reset(fd);
        return true;
    }

    // Enters the directory open at `fd` where its owner may be reached from
    // the component before; true when the walk stops there.
    bool enterDirectory(int fd)
    {
        struct stat st;
        if (!enter(fd) || ::fstat(m_dir.get(), &st) != 0)
            return stop(Location::Status::Failed, errno);
        return !step(st, "the directory " + m_shown);
    }

    // Goes on to the component `st`, described as `what`, where the owner of
    // the component before may lead there; false (the walk refused) where not.
    bool step(const struct stat& st, std::string what)
    {
        if (!mayStep(m_owner, st.st_uid)) {
            refuse(fmt::format("{} of user {} leads to {} of user {}", m_ownerIs, m_owner, what,
                               st.st_uid));
            return false;
        }
        m_owner = st.st_uid;
        m_ownerIs = std::move(what);
        return true;
    }

    Location failed(Location::Status status, int error)
    {
        m_at.status = status;
        m_at.error = error;
        m_at.why = errorText(error);
        return std::move(m_at);
    }

    // Something other than a regular file at the end (at the name, or where a
    // link there leads): not an option file.
    bool markNotRegular(const std::string& shown)
    {
        m_at.status = Location::Status::NotRegular;
        m_at.why = fmt::format("{} is not a regular file", shown);
        return true;
    }

    Location notRegular(const std::string& shown)
    {
        markNotRegular(shown);
        return std::move(m_at);
    }

    bool refuse(std::string why)
    {
        m_at.status = Location::Status::Refused;
        m_at.why = std::move(why);
        return true;
    }

    bool stop(Location::Status status, int error)
    {
        m_at.status = status;
        m_at.error = error;
        m_at.why = errorText(error);
        return true;
    }

    // The last component: the file itself, nothing yet, or a link to follow.
    bool atEnd(const std::string& name)
    {
        Descriptor fd(::openat(m_dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (fd.get() < 0) {
            if (errno != ENOENT)
                return stop(Location::Status::Failed, errno);
            return found(Location::Status::Missing, name);
        }
        if (::fstat(fd.get(), &st) != 0)
            return stop(Location::Status::Failed, errno);
        if (S_ISREG(st.st_mode))
            return found(Location::Status::File, name);
        if (S_ISLNK(st.st_mode)) {
            if (!step(st, "the symbolic link " + m_shown))
                return true;
            // The lock stays beside the path's own name, the link.
            if (m_at.nameDir.get() < 0) {
                m_at.nameDir.reset(::fcntl(m_dir.get(), F_DUPFD_CLOEXEC, 0));
                if (m_at.nameDir.get() < 0)
                    return stop(Location::Status::Failed, errno);
            }
            return follow(fd.get(), st);
        }
        return markNotRegular(m_shown);
    }

    bool found(Location::Status status, const std::string& name)
    {
        m_at.status = status;
        m_at.fileName = name;
        m_at.shown = m_shown;
        if (m_at.nameDir.get() < 0)
            m_at.nameDir = std::move(m_dir);
        else
            m_at.otherFileDir = std::move(m_dir);
        return true;
    }

    // A component before the last: a directory to enter (made where missing) or
    // a link to follow.
    bool atDirectory(const std::string& name)
    {
        for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
            // A directory opens at once; anything else is looked at more closely.
            const int dir =
                ::openat(m_dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (dir >= 0) {
                if (enterDirectory(dir))
                    return true;
                m_shownBase = m_shown;
                return false;
            }
            // As mkdir below a directory the process may not search would report it.
            if (errno == EACCES && m_create)
                return stop(Location::Status::CannotCreate, EACCES);
            if (errno == ENOENT) {
                if (!m_create)
                    return stop(Location::Status::NoDirectory, ENOENT);
                if (::mkdirat(m_dir.get(), name.c_str(), kDirectoryMode) != 0 && errno != EEXIST)
                    return stop(Location::Status::CannotCreate, errno);
                continue; // made here or meanwhile: open it
            }
            if (errno != ENOTDIR)
                return stop(Location::Status::Failed, errno);
            Descriptor fd(::openat(m_dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
                if (errno == ENOENT)
                    continue; // removed meanwhile
                return stop(Location::Status::Failed, errno);
            }
            if (S_ISLNK(st.st_mode))
                return !step(st, "the symbolic link " + m_shown) || follow(fd.get(), st);
            if (S_ISDIR(st.st_mode))
                continue; // put there meanwhile
            if (m_fromLink)
                return refuse(fmt::format("{} is not a directory", m_shown));
            // As mkdir would report it: below the directory that holds the file
            // a directory cannot be made.
            const bool holdsTheFile =
                m_rest.find('/', m_rest.find_first_not_of('/', m_pos)) == std::string::npos;
            return stop(holdsTheFile ? Location::Status::Failed : Location::Status::CannotCreate,
                        ENOTDIR);
        }
        return stop(Location::Status::Failed, EAGAIN);
    }

    // Follows the link open at `fd` when it may be followed: its text takes its
    // place in what is left to walk.
    bool follow(int fd, const struct stat& st)
    {
        if (++m_hops > kMaxLinkHops)
            return refuse(fmt::format("too many symbolic links at {}", m_at.path));
        std::string why = secondName(st, m_shown);
        if (!why.empty())
            return refuse(std::move(why));
        const std::string text = linkText(fd, st);
        if (text.empty())
            return refuse(fmt::format("the symbolic link {} cannot be read", m_shown));
        // What is left of an outer link's text stays part of the link region.
        m_linkEnd = text.size() + (m_linkEnd > m_pos ? m_linkEnd - m_pos : 0);
        m_rest = text + m_rest.substr(m_pos);
        m_pos = 0;
        if (text[0] == '/') {
            m_shown = "/";
            if (enterDirectory(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)))
                return true;
            m_shownBase.clear();
        } else {
            m_shownBase = m_shownDir;
        }
        return false;
    }

    const bool m_create;
    Location m_at;
    Descriptor m_dir;       // the directory reached so far
    std::string m_rest;     // what is left to walk, from m_pos
    std::size_t m_pos = 0;
    std::string m_shownBase; // the path text that reached m_dir
    std::string m_shownDir;  // ... and the slashes before the current component
    std::string m_shown;     // ... and the current component
    std::size_t m_linkEnd = 0; // m_rest up to here came from links' text
    bool m_fromLink = false;   // the current component did
    bool m_atName = false;     // the path's own last name was reached
    int m_hops = 0;
    // The owner of the component reached last, and what that component is: the
    // next one must be reachable from it.
    uid_t m_owner = 0;
    std::string m_ownerIs;
};

// ---- Names that cannot be planted ----------------------------------------------

// 16 hex digits that others cannot guess: a temporary's name must not be one
// that a group member could have put there first.
std::string unpredictable()
{
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        // No entropy yet (early boot): distinct at least, from the clock and a counter.
        static std::atomic<std::uint64_t> counter{0};
        value = static_cast<std::uint64_t>(
                    std::chrono::steady_clock::now().time_since_epoch().count()) *
                    0x9E3779B97F4A7C15ull +
                counter.fetch_add(1);
    }
    return fmt::format("{:016x}", value);
}

// "<name><infix><pid>." for this process: the stem of the names a save makes,
// which the sweep of ended processes' leftovers recognises.
std::string ownStem(const std::string& name, const char* infix)
{
    return name + infix + std::to_string(::getpid()) + '.';
}

// Creates a new file "<stem><unpredictable>" in `dir` with O_EXCL; -1 when none
// can be made (errno says why).
int createUnique(int dir, const std::string& stem, std::string& name, mode_t mode)
{
    for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
        name = stem + unpredictable();
        const int fd = ::openat(dir, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Whether the entry `name` is "<prefix><pid>" or "<prefix><pid>.<anything>" of a
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
        pid == ::getpid())
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Where the last sweep of a directory for one file's temporaries stopped, so
// that the next goes on from there and every entry is reached in turn. A few
// directories per process; one not remembered is swept from its start.
class SweepPositions {
public:
    off_t find(const struct stat& dir, std::size_t prefix)
    {
        // Never waits: a fork while another thread held the mutex leaves it
        // held in the child for good.
        std::unique_lock<std::mutex> guard(m_mutex, std::try_to_lock);
        if (!guard.owns_lock())
            return 0;
        for (const Entry& entry : m_entries)
            if (entry.dev == dir.st_dev && entry.ino == dir.st_ino && entry.prefix == prefix)
                return entry.offset;
        return 0;
    }

    void store(const struct stat& dir, std::size_t prefix, off_t offset)
    {
        std::unique_lock<std::mutex> guard(m_mutex, std::try_to_lock);
        if (!guard.owns_lock())
            return;
        for (Entry& entry : m_entries)
            if (entry.dev == dir.st_dev && entry.ino == dir.st_ino && entry.prefix == prefix) {
                entry.offset = offset;
                return;
            }
        m_entries[m_next] = {dir.st_dev, dir.st_ino, prefix, offset};
        m_next = (m_next + 1) % m_entries.size();
    }

private:
    struct Entry {
        dev_t dev = 0;
        ino_t ino = 0;
        std::size_t prefix = 0; // hash of the temporaries' prefix
        off_t offset = 0;
    };
    std::mutex m_mutex;
    std::array<Entry, 8> m_entries{};
    std::size_t m_next = 0;
};

SweepPositions& sweepPositions()
{
    static SweepPositions positions;
    return positions;
}

// Removes from the directory `dir` (open for reading) what saves of processes
// that have ended left there (a kill between creating and renaming): regular
// files named by one of the two prefixes and a process id. Anything else at
// such a name was not made by a save and stays. Read with getdents64 on `dir`
// itself: a directory stream would cost a dup, a stat and two fcntl calls on
// every save. Each sweep looks at kSweepEntries entries at most and goes on
// where the last sweep of the directory stopped, from the start again after
// its end. Only the directory sync uses `dir` afterwards, which its read
// position does not affect.
void removeStaleTemporaries(int dir, const std::string& prefix, const std::string& alsoPrefix)
{
    struct stat dirStat;
    const bool known = ::fstat(dir, &dirStat) == 0;
    const std::size_t key = std::hash<std::string>{}(prefix);
    off_t position = known ? sweepPositions().find(dirStat, key) : 0;
    if (position != 0 && ::lseek(dir, position, SEEK_SET) < 0) {
        position = 0;
        (void)::lseek(dir, 0, SEEK_SET);
    }
    bool wrapped = position == 0;
    alignas(struct dirent64) char buffer[kDirectoryChunk];
    long seen = 0;
    while (seen < kSweepEntries) {
        const ssize_t got = ::getdents64(dir, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return; // the position stays for the next sweep
        if (got == 0) {
            // The end: on from the start, within this sweep's bound.
            position = 0;
            if (wrapped || ::lseek(dir, 0, SEEK_SET) < 0)
                break;
            wrapped = true;
            continue;
        }
        for (ssize_t at = 0; at < got && seen < kSweepEntries;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            ++seen;
            position = static_cast<off_t>(entry->d_off);
            const char* entryName = entry->d_name;
            if (!leftByEndedProcess(entryName, prefix) &&
                !leftByEndedProcess(entryName, alsoPrefix))
                continue;
            bool regular = entry->d_type == DT_REG;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st;
                regular = ::fstatat(dir, entryName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISREG(st.st_mode);
            }
            if (regular)
                (void)::unlinkat(dir, entryName, 0);
        }
    }
    if (known)
        sweepPositions().store(dirStat, key, position);
}

// Gives a file that a save wrote the group "vandrel" where it exists.
void giveGroup(int fd)
{
    gid_t gid;
    if (vandrelGroupId(gid))
        (void)::fchown(fd, static_cast<uid_t>(-1), gid);
}

// The permission bits of a file whose bytes go from group `from` to group `to`:
// the members of `to` were not its readers as members of `from`, so their
// group bits give them no more than others had.
mode_t bitsForGroup(mode_t mode, gid_t from, gid_t to)
{
    if (from == to)
        return mode;
    return (mode & ~S_IRWXG) | (mode & S_IRWXG & ((mode & S_IRWXO) << 3));
}

// Gives the file `st` open at `fd`, overwritten in place, the group "vandrel"
// where it exists, its group bits narrowed first (see bitsForGroup) so that at
// no moment its new group reads more than its old one could.
void giveGroupInPlace(int fd, const struct stat& st)
{
    gid_t gid;
    if (!vandrelGroupId(gid) || st.st_gid == gid)
        return;
    const mode_t bits = st.st_mode & 0777;
    const mode_t narrowed = bitsForGroup(bits, st.st_gid, gid);
    if (narrowed != bits && ::fchmod(fd, narrowed) != 0)
        return; // keeps its group rather than widen it
    if (::fchown(fd, static_cast<uid_t>(-1), gid) != 0 && narrowed != bits)
        (void)::fchmod(fd, st.st_mode & 07777);
}

// Makes "<name>" in `dir` a second name of the file open at `fd`, from the
// descriptor itself, so that no name is looked up again: with AT_EMPTY_PATH
// where the process may, otherwise through /proc. False with errno set.
bool linkDescriptor(int fd, int dir, const std::string& name)
{
    if (::linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0)
        return true;
    if (errno != ENOENT && errno != EPERM)
        return false;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// The process's umask, read without changing it (umask() would, for all its
// threads at once); the narrowest where /proc cannot tell.
mode_t currentUmask()
{
    constexpr const char* kField = "\nUmask:";
    Descriptor fd(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    char buffer[kReadChunk];
    ssize_t got = -1;
    if (fd.get() >= 0) {
        while ((got = ::read(fd.get(), buffer, sizeof buffer - 1)) < 0 && errno == EINTR) {
        }
    }
    if (got <= 0)
        return 077;
    buffer[got] = '\0';
    const char* field = std::strstr(buffer, kField);
    if (field == nullptr)
        return 077;
    char* end = nullptr;
    const unsigned long mask = std::strtoul(field + std::strlen(kField), &end, 8);
    return end == field + std::strlen(kField) ? 077 : static_cast<mode_t>(mask & 0777);
}

// The owner, group and mode a file that a save writes is given.
struct Attributes {
    bool ownerKnown; // false: a new file, the process's own
    uid_t uid;
    gid_t gid;
    mode_t mode;
};

// The previous file's owners and permission bits (without set-id, sticky or
// execute bits), or those of a new file. Where the text came from a file that
// is no longer at the name (renamed away, replaced by another's), the bytes
// keep that file's readers: its owners, and no mode wider than it had.
Attributes attributesFor(const struct stat* previous, const Origin* origin)
{
    const bool hadFile = previous != nullptr && S_ISREG(previous->st_mode);
    const mode_t mode = hadFile ? previous->st_mode & kFileBits : kNewFileMode & ~currentUmask();
    if (origin != nullptr && !(hadFile && origin->isFile(*previous)))
        return {true, origin->uid, origin->gid, mode & origin->mode & kFileBits};
    if (hadFile)
        return {true, previous->st_uid, previous->st_gid, mode};
    return {false, 0, 0, mode};
}

// Gives the file at `fd` (made by this save, readable by its writer only) its
// attributes: the owner where the process may, the group "vandrel" (otherwise
// the one given), then the mode, since a change of owner or group clears
// set-id bits. Where the process may give both the owner and the group, one
// call does. Bytes that came from a file of another group reach "vandrel"
// with no more than others could read of them (see bitsForGroup).
void giveAttributes(int fd, const Attributes& to)
{
    gid_t group = 0;
    const bool haveGroup = vandrelGroupId(group);
    if (to.ownerKnown) {
        if (!haveGroup || ::fchown(fd, to.uid, group) != 0) {
            if (::fchown(fd, to.uid, to.gid) != 0)
                (void)::fchown(fd, static_cast<uid_t>(-1), to.gid);
            if (haveGroup)
                (void)::fchown(fd, static_cast<uid_t>(-1), group);
        }
    } else if (haveGroup) {
        (void)::fchown(fd, static_cast<uid_t>(-1), group);
    }
    struct stat now;
    const bool regrouped = to.ownerKnown && ::fstat(fd, &now) == 0 && now.st_gid != to.gid;
    (void)::fchmod(fd, regrouped ? bitsForGroup(to.mode, to.gid, now.st_gid) : to.mode);
}

// Overwrites the file at a location where no temporary can be made beside it,
// so that a full disk fails before any byte changes. A file that does not grow
// needs no new space. One that grows has its new length reserved first; where
// the file system cannot reserve (no fallocate: ext2, NFSv3, many FUSE file
// systems), its new tail is written past the old end and synced first, and cut
// back when that fails, and only then is the head overwritten. A file with a
// second name is not overwritten: the bytes under that name would change too.
// `noTemporary` is why no temporary could be made: the reason when there is
// no file to overwrite either.
struct stat overwriteInPlace(const Location& at, const std::string& text, int noTemporary,
                             const Origin* origin)
{
    Descriptor fd(::openat(at.fileDir(), at.fileName.c_str(), O_WRONLY | kOpenOthers));
    struct stat st;
    if (fd.get() < 0)
        saveFailedWith(at.path, errno == ENOENT ? noTemporary : errno);
    if (::fstat(fd.get(), &st) != 0)
        saveFailedWith(at.path, errno);
    if (!S_ISREG(st.st_mode))
        saveFailed(at.path, fmt::format("{} is not a regular file", at.shown));
    if (st.st_nlink != 1)
        saveFailed(at.path, fmt::format("{} has more than one name", at.shown));
    // Its owner and mode stay: where it is not the file the text came from,
    // they must let no one else read it.
    if (origin != nullptr && !origin->isFile(st) &&
        (st.st_uid != origin->uid || (st.st_mode & kFileBits & ~origin->mode) != 0))
        saveFailed(at.path, fmt::format("{} was replaced by a file that others may read", at.shown));
    const off_t length = static_cast<off_t>(text.size());
    const off_t old = st.st_size;
    std::size_t head = text.size();
    if (length > old) {
        int rc;
        while ((rc = ::fallocate(fd.get(), 0, old, length - old)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            if (errno != EOPNOTSUPP && errno != ENOSYS)
                saveFailedWith(at.path, errno);
            head = static_cast<std::size_t>(old);
            if (!writeAll(fd.get(), text.data() + head, text.size() - head, old) ||
                ::fdatasync(fd.get()) != 0) {
                const int failure = errno;
                (void)::ftruncate(fd.get(), old);
                saveFailedWith(at.path, failure);
            }
        }
    }
    if (!writeAll(fd.get(), text.data(), head, 0) || ::ftruncate(fd.get(), length) != 0)
        saveFailedWith(at.path, errno);
    giveGroupInPlace(fd.get(), st);
    if (::fsync(fd.get()) != 0 || ::fstat(fd.get(), &st) != 0 || !fd.close())
        saveFailedWith(at.path, errno);
    return st;
}

// What a stat of the option file shows of it: another process's save changes it.
struct FileState {
    bool exists = false;
    struct stat st {};

    static FileState of(const Location& at)
    {
        FileState state;
        state.exists =
            ::fstatat(at.fileDir(), at.fileName.c_str(), &state.st, AT_SYMLINK_NOFOLLOW) == 0;
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

class SteadyClock final : public WaitClock {
public:
    std::chrono::steady_clock::time_point now() override
    {
        return std::chrono::steady_clock::now();
    }
    // At an absolute time of the monotonic clock (the steady clock's): a pause
    // that a signal interrupts goes on to the same end.
    void pauseUntil(std::chrono::steady_clock::time_point deadline) override
    {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            deadline.time_since_epoch())
                            .count();
        if (ns <= 0)
            return;
        struct timespec at;
        at.tv_sec = static_cast<time_t>(ns / 1000000000);
        at.tv_nsec = static_cast<long>(ns % 1000000000);
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
};

std::string seconds(std::chrono::milliseconds length)
{
    return fmt::format("{:g}", std::chrono::duration<double>(length).count());
}

[[noreturn]] void notALock(const Location& at)
{
    saveFailed(at.path, fmt::format("the lock {}{} is not a regular file", at.path, kLockSuffix));
}

// Saves that go on without the lock say so, once per process.
void warnUnguarded(const Location& at, int error)
{
    static std::atomic<bool> warned{false};
    if (warned.exchange(true))
        return;
    const std::string& path = at.path;
    const std::string why = errorText(error);
    VDL_WARN(LOGGER_GENERAL,
             "Could not lock config file {}: {}{}: {}; saves go on without the lock, and two "
             "processes saving at the same moment can lose one's changes",
             path, path, kLockSuffix, why);
}

enum class LockOpen {
    Opened,
    Leased, // another holds a lease on it: waited for like a held lock
    NoLock, // none can be created or opened for want of permission
};

// Opens the lock file at a location, or creates it. `st` is the file opened.
LockOpen openLock(const Location& at, Descriptor& lock, struct stat& st, int& error)
{
    const std::string name = at.name + kLockSuffix;
    const int dir = at.nameDir.get();
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        // Open for writing where the mode allows: flock needs that where it is
        // emulated by byte-range locks. Elsewhere any access mode can hold it,
        // also beside another's read lease, which only opens for writing break.
        int fd = ::openat(dir, name.c_str(), O_RDWR | kOpenOthers);
        if (fd < 0 && (errno == EACCES || errno == ETXTBSY || errno == EROFS || errno == EAGAIN))
            fd = ::openat(dir, name.c_str(), O_RDONLY | kOpenOthers);
        if (fd < 0 && errno == EACCES)
            fd = ::openat(dir, name.c_str(), O_WRONLY | kOpenOthers);
        if (fd >= 0) {
            lock.reset(fd);
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
                return LockOpen::Opened;
            lock.reset();
            notALock(at);
        }
        // ELOOP: a link; ENXIO: a FIFO without reader or a socket.
        if (errno == ELOOP || errno == ENXIO || errno == ENODEV || errno == EISDIR)
            notALock(at);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return LockOpen::Leased;
        error = errno;
        if (errno == EACCES || errno == EPERM)
            return LockOpen::NoLock;
        if (errno != ENOENT)
            break;
        fd = ::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | kOpenOthers, kLockMode);
        if (fd < 0) {
            if (errno == EEXIST)
                continue; // made meanwhile (or a dangling link): look again
            error = errno;
            if (errno == EACCES || errno == EPERM || errno == EROFS)
                return LockOpen::NoLock;
            break;
        }
        lock.reset(fd);
        // Made here, so its group and mode may be set; the mode is not the umask's.
        giveGroup(fd);
        (void)::fchmod(fd, kLockMode);
        if (::fstat(fd, &st) != 0)
            break;
        return LockOpen::Opened;
    }
    if (error == 0)
        error = EAGAIN; // renamed and recreated under our hands each time
    saveFailed(at.path, fmt::format("the lock {}{} cannot be opened: {}", at.path, kLockSuffix,
                                    errorText(error)));
}

// File systems whose flock is made of byte-range locks over the whole file
// (network and cluster file systems, FUSE): there, the queue's byte-range
// locks would conflict with the lock itself.
bool flockIsOwn(int fd)
{
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL:     // NFS
    case 0x517BUL:     // SMB
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x65735546UL: // FUSE
    case 0x01021997UL: // 9P
    case 0x00C36400UL: // Ceph
    case 0x01161970UL: // GFS2
    case 0x7461636FUL: // OCFS2
    case 0x5346414FUL: // AFS
    case 0x6B414653UL: // kAFS
    case 0x19920119UL: // OrangeFS
        return false;
    default:
        return true;
    }
}

// A saver's place in the queue of those waiting for one lock, so that they
// are served in the order they came rather than by who happens to poll first
// after a release. The place is a read lock, of the open file description
// (OFD: the kernel drops it when the process ends, so a killed saver never
// stalls the queue), on one byte of the lock file past its end: the byte at
// kQueueStart + the time the saver came, in nanoseconds of the monotonic clock,
// which all processes of the host share. A saver waits while any byte below
// its own is held (but passes one that stays first too long). The bytes are
// never written; flock and these locks do not meet where flock is the
// kernel's own.
class QueuePlace {
public:
    QueuePlace() = default;
    QueuePlace(const QueuePlace&) = delete;
    QueuePlace& operator=(const QueuePlace&) = delete;
    ~QueuePlace() { leave(); }

    // Whether anyone waits in the queue of the lock open at `fd` (false where
    // that cannot be told).
    static bool othersWait(int fd)
    {
        struct flock probe = range(F_WRLCK, kQueueStart, 0);
        return ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    }

    // Takes the place in the queue of the lock open at `fd`: at the time of
    // arrival, which is kept across a new lock file. False where no place can
    // be had (the file system, a descriptor without read access).
    bool join(int fd)
    {
        if (m_came == 0) {
            struct timespec now;
            if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0)
                return false;
            m_came = static_cast<off_t>(now.tv_sec) * 1000000000 + now.tv_nsec + 1;
        }
        if (!flockIsOwn(fd))
            return false;
        struct flock place = range(F_RDLCK, kQueueStart + m_came, 1);
        if (::fcntl(fd, F_OFD_SETLK, &place) != 0)
            return false;
        m_fd = fd;
        return true;
    }

    bool held() const { return m_fd >= 0; }

    // How many savers that came earlier still wait, counted up to `most`. One
    // that has been first in line for `patience` without taking its turn (a
    // stopped process, a place planted by hand) is passed from then on.
    int earlierWaiting(int most, std::chrono::steady_clock::time_point now,
                       std::chrono::steady_clock::duration patience)
    {
        const off_t mine = kQueueStart + m_came;
        off_t from = m_passed;
        int count = 0;
        // The place found is most often the earliest (places are kept in the
        // order they were taken), so the count goes on above it.
        while (count < most && from < mine) {
            struct flock probe = range(F_WRLCK, from, mine - from);
            if (::fcntl(m_fd, F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK)
                break;
            // A lock planted over a range is passed as a whole.
            const off_t end = probe.l_len > 0 && probe.l_len < mine - probe.l_start
                                  ? probe.l_start + probe.l_len
                                  : mine;
            if (count == 0) {
                if (probe.l_start != m_first) {
                    m_first = probe.l_start;
                    m_firstSince = now;
                } else if (now - m_firstSince >= patience) {
                    m_passed = from = end;
                    m_first = -1;
                    continue;
                }
            }
            ++count;
            from = end;
        }
        return count;
    }

    void leave()
    {
        if (m_fd < 0)
            return;
        struct flock place = range(F_UNLCK, kQueueStart + m_came, 1);
        (void)::fcntl(m_fd, F_OFD_SETLK, &place);
        m_fd = -1;
    }

private:
    static constexpr off_t kQueueStart = 1;

    static struct flock range(short type, off_t start, off_t length)
    {
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_start = start;
        lock.l_len = length;
        return lock;
    }

    int m_fd = -1; // the lock file's descriptor the place is held on; not owned
    off_t m_came = 0;
    off_t m_passed = kQueueStart; // places below are not waited for
    off_t m_first = -1;           // the earliest place found last time
    std::chrono::steady_clock::time_point m_firstSince{};
};

} // namespace

// ---- Origin ----------------------------------------------------------------------

Origin Origin::of(const struct stat& st)
{
    return {st.st_dev, st.st_ino, st.st_uid, st.st_gid, st.st_mode & kFileBits};
}

bool Origin::isFile(const struct stat& st) const
{
    // The owner too: a file put in its place may have its freed inode number.
    return st.st_dev == dev && st.st_ino == ino && st.st_uid == uid;
}

// ---- Descriptor, walk, messages ---------------------------------------------------

Descriptor::~Descriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept
{
    if (this != &other) {
        reset(other.m_fd);
        other.m_fd = -1;
    }
    return *this;
}

void Descriptor::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

bool Descriptor::close()
{
    const int fd = m_fd;
    m_fd = -1;
    return ::close(fd) == 0;
}

bool Location::nothingThere() const
{
    return status == Status::Missing || status == Status::NoDirectory ||
           ((status == Status::CannotCreate || status == Status::Failed) &&
            (error == ENOTDIR || error == ENAMETOOLONG));
}

Location walk(const std::string& path, bool createDirectories)
{
    return Walk(path, createDirectories).run();
}

void saveFailed(const std::string& path, const std::string& why)
{
    throw VDLException<-14>("Could not save config file: {}: {}", path, why);
}

void saveFailedWith(const std::string& path, int error) { saveFailed(path, errorText(error)); }

// ---- Read ----------------------------------------------------------------------

namespace {

// Reads the regular file open at `fd`, whole, never beyond kMaxFileSize.
ReadResult readOpened(int fd, const struct stat& st, std::string& text)
{
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileSize)
        return ReadResult::TooLarge;
    std::string content;
    content.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return ReadResult::Unreadable;
        }
        if (got == 0)
            break;
        content.append(chunk, static_cast<std::size_t>(got));
        if (content.size() > kMaxFileSize)
            return ReadResult::TooLarge; // grew while read
    }
    text = std::move(content);
    return ReadResult::Read;
}

} // namespace

ReadResult readFile(const Location& at, std::string& text, OpenedFile& file)
{
    file.fd.reset(::openat(at.fileDir(), at.fileName.c_str(), O_RDONLY | kOpenOthers));
    if (file.fd.get() < 0) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        if (errno == EWOULDBLOCK)
            return ReadResult::Busy; // another process's lease
        if (errno != EACCES)
            return ReadResult::NotRegular; // a link put there since the walk, or worse
        // Not readable: open it all the same, to keep its bytes by descriptor.
        file.fd.reset(::openat(at.fileDir(), at.fileName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (file.fd.get() < 0 || ::fstat(file.fd.get(), &file.st) != 0)
            return errno == ENOENT ? ReadResult::Missing : ReadResult::NotRegular;
        return S_ISREG(file.st.st_mode) ? ReadResult::Unreadable : ReadResult::NotRegular;
    }
    if (::fstat(file.fd.get(), &file.st) != 0 || !S_ISREG(file.st.st_mode))
        return ReadResult::NotRegular;
    return readOpened(file.fd.get(), file.st, text);
}

ReadResult readPath(const std::string& path, std::string& text)
{
    // Links are followed as the caller named them; a FIFO or a device is not
    // waited on.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == ENOENT ? ReadResult::Missing
               : errno == EWOULDBLOCK ? ReadResult::Busy
                                      : ReadResult::Unreadable;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return ReadResult::NotRegular;
    return readOpened(fd.get(), st, text);
}

// ---- Lock ----------------------------------------------------------------------

LockWait defaultLockWait() { return {kPerHolder, kOverall, nullptr}; }

SaveLock::SaveLock(const Location& at, const LockWait& wait)
{
    SteadyClock steady;
    WaitClock& clock = wait.clock != nullptr ? *wait.clock : steady;
    // Each save another process completes changes the file and starts the
    // per-holder bound again, so a queue of savers does not count as one long
    // hold; nothing extends the overall bound. Both are absolute deadlines.
    const auto start = clock.now();
    const auto overall = start + wait.overall;
    auto since = start;
    FileState seen = FileState::of(at);
    // A saver that came earlier but stays first in line this long without
    // taking its turn (it is stopped, say) is passed.
    const auto patience = wait.perHolder / 5;
    QueuePlace place;
    struct stat locked {};
    bool waited = false;
    auto turn = start; // when this saver last found an earlier one waiting
    bool wasDeferring = false;
    bool queue = true; // false once no place could be had
    auto pause = kLockPollFirst;
    for (;;) {
        if (m_fd.get() < 0) {
            int error = 0;
            if (openLock(at, m_fd, locked, error) == LockOpen::NoLock) {
                warnUnguarded(at, error);
                return;
            }
        }
        const int fd = m_fd.get();
        if (queue && fd >= 0 && !place.held() && (waited || QueuePlace::othersWait(fd)))
            queue = place.join(fd);
        const int earlier =
            place.held() ? place.earlierWaiting(kNextInLine, clock.now(), patience) : 0;
        const bool deferring = earlier > 0;
        if (fd >= 0 && !deferring) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                // The lock counts only while its name still leads to the file
                // locked: a lock file renamed away or replaced since it was
                // opened would let another saver lock the new one meanwhile.
                struct stat named;
                if (::fstatat(at.nameDir.get(), (at.name + kLockSuffix).c_str(), &named,
                              AT_SYMLINK_NOFOLLOW) == 0 &&
                    named.st_dev == locked.st_dev && named.st_ino == locked.st_ino)
                    return;
                (void)::flock(fd, LOCK_UN);
                place.leave();
                m_fd.reset();
            } else if (errno == EINTR) {
                continue;
            } else if (errno != EWOULDBLOCK) {
                // A file system without flock: unguarded, like no lock file.
                warnUnguarded(at, errno);
                place.leave();
                m_fd.reset();
                return;
            }
        }
        waited = true;
        // In line before the first pause: the place is the time it came.
        if (queue && m_fd.get() >= 0 && !place.held())
            queue = place.join(m_fd.get());
        const auto now = clock.now();
        if (deferring) {
            turn = now;
        } else if (wasDeferring) {
            pause = kLockPollFirst; // just became the first
        }
        wasDeferring = deferring;
        const FileState state = FileState::of(at);
        if (state != seen) {
            seen = state;
            since = now;
        }
        if (now >= overall)
            saveFailed(at.path, fmt::format("other processes held {}{} for more than {} s",
                                            at.path, kLockSuffix, seconds(wait.overall)));
        if (now >= since + wait.perHolder)
            saveFailed(at.path, fmt::format("another process held {}{} for more than {} s",
                                            at.path, kLockSuffix, seconds(wait.perHolder)));
        // The first savers in the queue look often while a save takes: their
        // turn comes with the next releases. Those further behind look less often,
        // and so does a first saver once the lock has been held longer than a
        // save takes, and everyone where there is no queue (a lease, a file
        // system whose flock is byte-range locks).
        const auto longest = earlier >= kNextInLine ? kQueuedPollLongest
                             : deferring || (place.held() && now - turn < kShortHold)
                                 ? kFirstPollLongest
                                 : kLockPollLongest;
        clock.pauseUntil(std::min({now + pause, overall, since + wait.perHolder}));
        pause = std::min(pause * 2, longest);
    }
}

SaveLock::~SaveLock()
{
    if (m_fd.get() >= 0)
        (void)::flock(m_fd.get(), LOCK_UN);
}

// ---- Kept copy -----------------------------------------------------------------

KeepResult keepAside(const Location& at, const OpenedFile& file, const std::string* bytes,
                     bool mayLink)
{
    const int dir = at.fileDir();
    const std::string keep = at.fileName + kInvalidSuffix;
    struct stat there;
    if (::fstatat(dir, keep.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
        if (there.st_dev == file.st.st_dev && there.st_ino == file.st.st_ino)
            return KeepResult::Kept; // already its second name
        if (S_ISDIR(there.st_mode))
            return KeepResult::NotReplaceable;
    }

    const std::string stem = ownStem(keep, kTemporaryInfix);
    std::string staged;
    bool made = false;
    for (int attempt = 0; mayLink && !made && attempt < kUniqueNameAttempts; ++attempt) {
        staged = stem + unpredictable();
        made = linkDescriptor(file.fd.get(), dir, staged);
        if (!made && errno != EEXIST)
            break;
    }
    if (!made) {
        if (bytes == nullptr)
            saveFailed(at.path, fmt::format("{} cannot be kept as {}{}: {}", at.shown, at.shown,
                                            kInvalidSuffix, errorText(errno)));
        // Readable by this process only until the bytes are in it.
        Descriptor fd(createUnique(dir, stem, staged, kPrivateMode));
        if (fd.get() < 0)
            saveFailedWith(at.path, errno);
        bool done = writeAll(fd.get(), *bytes);
        if (done) {
            if (::fchown(fd.get(), file.st.st_uid, file.st.st_gid) != 0)
                (void)::fchown(fd.get(), static_cast<uid_t>(-1), file.st.st_gid);
            done = ::fchmod(fd.get(), file.st.st_mode & kFileBits) == 0;
        }
        if (!done || ::fsync(fd.get()) != 0 || !fd.close()) {
            const int failure = errno;
            (void)::unlinkat(dir, staged.c_str(), 0);
            saveFailedWith(at.path, failure);
        }
    }
    if (::renameat(dir, staged.c_str(), dir, keep.c_str()) != 0) {
        const int failure = errno;
        (void)::unlinkat(dir, staged.c_str(), 0);
        if (failure == EISDIR || failure == ENOTEMPTY || failure == EEXIST)
            return KeepResult::NotReplaceable;
        saveFailedWith(at.path, failure);
    }
    // Where the kept name had become the same file meanwhile, rename left both.
    (void)::unlinkat(dir, staged.c_str(), 0);
    return KeepResult::Kept;
}

// ---- Replacement ---------------------------------------------------------------

Replacement::Replacement(const Location& at) : m_at(at)
{
    const int dir = at.fileDir();
    // Also the directory whose sync makes the rename durable.
    m_dir.reset(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (m_dir.get() >= 0)
        removeStaleTemporaries(m_dir.get(), at.fileName + kTemporaryInfix,
                               at.fileName + kInvalidSuffix + kTemporaryInfix);
    m_fd.reset(createUnique(dir, ownStem(at.fileName, kTemporaryInfix), m_temporary, kPrivateMode));
    if (m_fd.get() >= 0)
        return;
    m_temporary.clear();
    // Only a directory the process may not write to; other failures (a full
    // disk among them) would fail the overwrite as well.
    m_noTemporary = errno;
    m_inPlace = errno == EACCES || errno == EPERM;
    if (!m_inPlace)
        saveFailedWith(at.path, errno);
}

Replacement::~Replacement()
{
    if (!m_temporary.empty())
        (void)::unlinkat(m_at.fileDir(), m_temporary.c_str(), 0);
}

struct stat Replacement::commit(const std::string& text, const struct stat* previous,
                               const Origin* origin)
{
    if (m_inPlace)
        return overwriteInPlace(m_at, text, m_noTemporary, origin);
    const int fd = m_fd.get();
    const int dir = m_at.fileDir();
    struct stat found;
    if (previous == nullptr &&
        ::fstatat(dir, m_at.fileName.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0)
        previous = &found;
    // The temporary was made by this save, readable by this process only; its
    // owners and mode are given once the text is in it.
    if (!writeAll(fd, text))
        saveFailedWith(m_at.path, errno);
    giveAttributes(fd, attributesFor(previous, origin));
    struct stat written;
    if (::fsync(fd) != 0 || ::fstat(fd, &written) != 0 || !m_fd.close() ||
        ::renameat(dir, m_temporary.c_str(), dir, m_at.fileName.c_str()) != 0)
        saveFailedWith(m_at.path, errno);
    m_temporary.clear();
    // Some file systems cannot sync a directory; the rename has happened by
    // then, so that is not a failure.
    if (m_dir.get() >= 0)
        (void)::fsync(m_dir.get());
    return written;
}

// ---- Group ---------------------------------------------------------------------

bool vandrelGroupId(gid_t& gid)
{
    static std::atomic<bool> found{false};
    static std::atomic<gid_t> id{0};
    if (found.load(std::memory_order_acquire)) {
        gid = id.load(std::memory_order_relaxed);
        return true;
    }
    // While the group is missing every save pays this lookup. The walk stays:
    // with a group source that searches drop-in directories for every lookup
    // by name (as systemd's does), getgrnam_r costs more than the walk (about
    // 0.2 ms against 0.13 ms when the group does not exist).
    const struct group* entry = get_group();
    if (entry == nullptr)
        return false;
    gid = entry->gr_gid;
    id.store(gid, std::memory_order_relaxed);
    found.store(true, std::memory_order_release);
    return true;
}

} // namespace Vandrel::optionfile
