#pragma once
// The file-system side of an option file, in a directory that others may write
// (the option directory is shared by the group "vandrel", and the programs that
// save it often run as root). A save or a load resolves the path once, by one
// trusted walk, to descriptors of the directories involved; the lock, the read,
// the kept copy, the temporary, the rename, the sweep and the directory sync then
// all work at those descriptors, and no path is resolved a second time. Nothing
// is copied from files that others choose: a new file takes no set-id, sticky or
// execute bit, and a lock this code creates has a fixed mode and group.
//
// The document, the changes and their merge are the option object's; this unit
// only moves bytes.
#include <chrono>
#include <cstddef>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

// Internal to the library: nothing here is exported, type information included.
#pragma GCC visibility push(hidden)

namespace Vandrel::optionfile {

// The largest option file that is read, and the largest text that a save writes.
// The kit writes a few hundred bytes per card. The worst file within this limit
// (an array of empty objects, each of which becomes a member) costs about 29 MiB
// of heap to load or save; tests/libvdlsdk_util/test_option_limits.cpp bounds
// that and bench/libvdlsdk_util measures the time. Any file at the nesting
// limit (256 levels) still fits pretty printed.
constexpr std::size_t kMaxFileSize = std::size_t{512} << 10;

// An open descriptor that is closed on every path.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1);
    // Closes now; false when the close (the last chance for a deferred write
    // error) failed, with errno set.
    bool close();

private:
    int m_fd;
};

// Where the walk of an option path ended.
struct Location {
    enum class Status {
        File,         // a regular file
        Missing,      // nothing at the name; the directory that would hold it exists
        NotRegular,   // something else at the path's own name, or where a link there
                      // leads (a directory, a FIFO)
        Refused,      // a step the walk does not take: a link with two names, one that
                      // leads from what one user owns to what another owns, a loop
        NoDirectory,  // a directory on the way does not exist (a walk that creates none)
        CannotCreate, // a directory on the way cannot be created
        Failed,       // a directory on the way cannot be used
    };

    Status status = Status::Failed;
    std::string path; // as the caller named it
    std::string why;  // what went wrong, for every status but File and Missing
    int error = 0;    // the errno behind CannotCreate and Failed

    // The directory that holds the path's own last name (the lock lives there)
    // and that name; both O_PATH descriptors.
    Descriptor nameDir;
    std::string name;
    // The directory that holds the file itself, where a symbolic link at the
    // name led to another directory (-1 otherwise), and the file's name there.
    Descriptor otherFileDir;
    std::string fileName;
    // The file's path as the walk reached it (the path itself unless a link led elsewhere).
    std::string shown;

    int fileDir() const { return otherFileDir.get() >= 0 ? otherFileDir.get() : nameDir.get(); }
    // Nothing is there: no file and no directory on the way, as on a first run.
    bool nothingThere() const;
};

// Walks `path` one component at a time from the root or the working directory,
// each opened with O_PATH|O_NOFOLLOW at the descriptor of the one before. Trust
// follows ownership: no step (into a directory, up through "..", to a link, or
// from a link to what it names) goes from a component owned by someone other
// than root or the effective user to one that another owns, so that what a
// member owns leads only to what she could reach herself. The regular file at
// the end is no step: a save replaces it by a rename in the directory reached.
// A symbolic link met anywhere (in the directory part, at the name, or inside a
// link's own target) is followed only when it has a single name, and only to a
// directory or, at the end, to a regular file (or to nothing yet). With
// `createDirectories`, a missing directory is made (mode 0775 as reduced by the
// umask); a directory on the way that may not be searched is then one below
// which none can be made (CannotCreate).
Location walk(const std::string& path, bool createDirectories);

// Raises -14 "Could not save config file: <path>: <why>".
[[noreturn]] void saveFailed(const std::string& path, const std::string& why);
// The same with the text of `error` as the reason.
[[noreturn]] void saveFailedWith(const std::string& path, int error);

// The file at a location, opened without following a link or waiting on it.
struct OpenedFile {
    Descriptor fd; // O_RDONLY, or O_PATH for a file the process may not read
    struct stat st {};
};

enum class ReadResult {
    Read,
    Missing,
    NotRegular,
    TooLarge,
    Unreadable,
    Busy, // another process holds a lease on it (EWOULDBLOCK)
};

// Reads the file the walk found, whole, never beyond kMaxFileSize. `file` is
// open afterwards for Read, TooLarge and Unreadable (a regular file the process
// may not read), so that its bytes can be kept by descriptor.
ReadResult readFile(const Location& at, std::string& text, OpenedFile& file);

// Reads the regular file at `path` as the caller names it, links followed, the
// same way: for a caller that asks for the bytes itself.
ReadResult readPath(const std::string& path, std::string& text);

// A clock for the lock wait; tests give one they control.
class WaitClock {
public:
    virtual std::chrono::steady_clock::time_point now() = 0;
    // Returns once `deadline` has come; a signal does not move it.
    virtual void pauseUntil(std::chrono::steady_clock::time_point deadline) = 0;

protected:
    ~WaitClock() = default;
};

// How long a save waits for the lock: at most `perHolder` while the file does
// not change (one process holds the lock that long), and at most `overall` in
// all, whatever other processes do meanwhile. Both are deadlines on the
// monotonic clock, fixed when the wait starts or the file last changed.
struct LockWait {
    std::chrono::milliseconds perHolder;
    std::chrono::milliseconds overall;
    WaitClock* clock; // null: the steady clock and real pauses
};

// 5 s per holder, 30 s in all: start-up and the exit save never wait longer.
LockWait defaultLockWait();

// Exclusive use of the option file across processes for one save: flock on
// "<name>.lock" beside the path's own name, which the rename-based save never
// replaces. Savers that have to wait are served in the order they came: each
// holds a place in a queue of byte-range locks on the lock file (see
// QueuePlace in the .cpp), which the kernel drops when a process ends. The
// lock is taken again where its name no longer leads to the file locked (the
// lock file was renamed or replaced meanwhile). A lease on the lock file is
// waited for like a held lock. Only where no lock file can be created or
// opened for want of permission (a directory the process may not write, a
// lock whose mode refuses it) or the file system has no flock, the save goes
// on without it, and the first such save of the process logs a warning.
// Anything there but a regular file is a lock that cannot be had (-14), as is
// a lock that cannot be opened for another reason. A lock made here is mode
// 0664 (group members can open it for writing, which flock needs where it is
// emulated by byte-range locks, as on NFS) with the group "vandrel" where
// that exists.
class SaveLock {
public:
    explicit SaveLock(const Location& at, const LockWait& wait = defaultLockWait());
    // Unlocks before closing: a child forked meanwhile shares the descriptor.
    ~SaveLock();
    SaveLock(const SaveLock&) = delete;
    SaveLock& operator=(const SaveLock&) = delete;

private:
    Descriptor m_fd;
};

enum class KeepResult {
    Kept,
    NotReplaceable, // the kept name holds something a rename cannot replace (a directory)
};

// Keeps the bytes of `file` (the file the save replaces) as "<file>.invalid"
// beside it. Where the file system allows, that is a second name for the same
// file, made from its descriptor: nothing is copied and mode and owners stay.
// Otherwise it is a copy of `bytes` (null for a file that was not read) with at
// most the original's permission bits and, where the process may set them, its
// owners. Whatever is at the kept name is replaced by rename, never followed.
// `mayLink` is false when the save overwrites the file in place, which would
// change a second name's bytes too. -14 when the bytes cannot be kept.
KeepResult keepAside(const Location& at, const OpenedFile& file, const std::string* bytes,
                     bool mayLink);

// The file whose bytes a document holds: its identity, owners and permission
// bits as they were when it was read.
struct Origin {
    dev_t dev;
    ino_t ino;
    uid_t uid;
    gid_t gid;
    mode_t mode;

    static Origin of(const struct stat& st);
    // Whether `st` is still that file (device, inode and owner).
    bool isFile(const struct stat& st) const;
};

// The replacement of the file at a location: a temporary made beside it,
// written, synced and renamed over it, then the directory synced, so that a
// failure at any point leaves the previous file as it was. The temporaries that
// ended processes left beside it are removed first. Where the directory cannot
// take a temporary (the process may not write it) the file is overwritten in
// place. A temporary that is not renamed is removed.
class Replacement {
public:
    // -14 when neither a temporary nor an overwrite in place is possible.
    explicit Replacement(const Location& at);
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    bool inPlace() const { return m_inPlace; }
    // Writes `text` and gives the file the group "vandrel" where it exists. The
    // new file keeps the previous file's owner (where the process may) and its
    // permission bits without set-id, sticky or execute bits; `previous` is
    // that file's stat data where the caller has it (null: looked up here).
    // `origin` (null: none) is the file the text's bytes came from: where the
    // file at the name is another, the new one takes the origin's owners and
    // no wider mode than it had; an overwrite in place of another file that
    // others may read is refused. The temporary is readable by this process
    // only until the text is in it. Returns the written file's stat data;
    // -14 on failure.
    struct stat commit(const std::string& text, const struct stat* previous,
                       const Origin* origin);

private:
    const Location& m_at;
    Descriptor m_dir; // the file's directory opened for reading: the sweep and the sync
    Descriptor m_fd;
    std::string m_temporary;
    bool m_inPlace = false;
    int m_noTemporary = 0; // why no temporary could be made
};

// The group "vandrel"'s id: looked up once per process; a group that is missing
// is looked up again at the next call, so that one created later is found.
// False while it is missing.
bool vandrelGroupId(gid_t& gid);

} // namespace Vandrel::optionfile

#pragma GCC visibility pop
