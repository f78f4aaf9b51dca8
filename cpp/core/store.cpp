// store.cpp: atomic, owner-only replacement of a small file that writers in
// other processes, containers or hosts may share.
#include "core/store.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillon {

using shared::operator""_n;
namespace {

/// An open file descriptor, closed when dropped.
class Descriptor {
public:
    Descriptor() noexcept = default;
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Descriptor() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

/// Writes everything or returns false with errno set.
bool write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

/// What failed, for the error message: the errno, the step it failed in and,
/// where the step alone does not say it, what it failed on.
struct Failure {
    int error = 0;
    const char* step = nullptr;
    std::string detail;
    explicit operator bool() const { return error != 0; }
};

Failure failed(const char* step) { return {errno, step, {}}; }

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

/// Where the new store goes: its folder, held open so that the temporary
/// file, the rename and the clean-up all happen in the folder that was
/// looked up, whatever is renamed or relinked meanwhile; and its name there.
struct Place {
    Descriptor folder;  // O_PATH
    std::string name;
};

/// A symbolic link met on the way to the store, and who owns it.
struct Hop {
    std::string path;
    uid_t owner;
};

/// Follows the symbolic links from `path` to the file it finally names (or
/// would create: a dangling last link is followed too), so that a store
/// shared through a link is written where the link points and the link
/// stays. Each link is opened before it is read, so its owner and its text
/// are those of one link. A link is followed only if this process's user
/// made it, or the owner of the file at its end did: otherwise a user who
/// can put a link into the package folder would choose which file a login
/// run by someone else (root, say) replaces. This is the kernel's rule for
/// links in shared sticky folders (fs.protected_symlinks) without its trust
/// in the folder's owner, because the store's folder belongs to whoever
/// installed the package, not to the user whose file the link leads to.
Failure locate(std::string path, Place& place) {
    std::vector<Hop> hops;
    struct stat found {};
    bool exists = false;
    for (;;) {
        std::size_t slash = path.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        place.name = slash == std::string::npos ? path : path.substr(slash + 1);
        place.folder = Descriptor(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!place.folder) return failed("cannot create a file in the store's folder");
        if (place.name.empty()) return {EISDIR, "cannot replace the store", {}};
        Descriptor link(::openat(place.folder.get(), place.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!link) {
            if (errno == ENOENT) break;
            return failed("cannot look up the store");
        }
        struct stat st;
        if (::fstat(link.get(), &st) != 0) return failed("cannot look up the store");
        if (!S_ISLNK(st.st_mode)) {
            found = st;
            exists = true;
            break;
        }
        if (hops.size() == 40) return {ELOOP, "cannot follow the store's symbolic link", {}};
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
        ssize_t n = ::readlinkat(link.get(), "", target.data(), target.size());
        if (n < 0) return failed("cannot follow the store's symbolic link");
        if (static_cast<std::size_t>(n) == target.size())
            return {ENAMETOOLONG, "cannot follow the store's symbolic link", {}};
        target.resize(static_cast<std::size_t>(n));
        if (target.empty()) return {ENOENT, "cannot follow the store's symbolic link", {}};
        if (target.front() != '/') target = path.substr(0, slash == std::string::npos ? 0 : slash + 1) + target;
        hops.push_back({std::move(path), st.st_uid});
        path = std::move(target);
    }
    uid_t me = ::geteuid();
    for (const Hop& hop : hops) {
        if (hop.owner == me || (exists && hop.owner == found.st_uid)) continue;
        return {EACCES, "will not follow the symbolic link ",
                hop.path + ": it belongs to uid " + std::to_string(hop.owner) +
                    ", who is neither this process's user nor the owner of the file it leads to"};
    }
    return {};
}

/// Whose a temporary file is. Its writer holds an exclusive lock of its open
/// file on it from before the file has its name until it has been renamed
/// over the store, and a clean-up removes only a file it can lock itself, so
/// a writer's file is safe for as long as the writer lives, whichever pid
/// namespace or host it runs in: the lock belongs to the file, not to a pid.
/// It is an open file description lock (F_OFD_SETLK): a byte-range lock, the
/// kind that NFS (NLM, NFSv4) and the other network file systems take to the
/// server for every client, yet owned by the open file like flock(), so that
/// another thread's write in this process conflicts with it and closing some
/// other descriptor of the file does not drop it, as it would a classic
/// POSIX lock.
enum class Lock { taken, busy, unavailable };

Lock try_lock(int fd) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) == 0) return Lock::taken;
    return errno == EAGAIN || errno == EACCES ? Lock::busy : Lock::unavailable;
}

/// The temporary names: "<store>.<pid>.<n>.tmp". The pid and the count only
/// keep one writer's names apart from another's; a pid may be any number in
/// another pid namespace or on another host, so it says nothing of liveness.
std::string temporary_name(const std::string& store, int n) {
    return store + "." + std::to_string(::getpid()) + "." + std::to_string(n) + ".tmp";
}

bool is_temporary_name(std::string_view name, std::string_view store) {
    if (!name.starts_with(store) || !name.ends_with(".tmp")) return false;
    name = name.substr(store.size(), name.size() - store.size() - 4);  // ".<pid>.<n>"
    for (int part = 0; part < 2; ++part) {
        if (name.size() < 2 || name[0] != '.') return false;
        std::size_t digits = 1;
        while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
        if (digits == 1) return false;
        name.remove_prefix(digits);
    }
    return name.empty();
}

/// Writes `content` to an open 0600 file and flushes it to disk.
Failure fill(int fd, std::string_view content) {
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) return failed("cannot restrict the new store to its owner");
    if (!write_all(fd, content)) return failed("cannot write the new store");
    if (::fsync(fd) != 0) return failed("cannot flush the new store to disk");
    return {};
}

/// A new store under a temporary name beside the store, complete before it
/// gets that name and locked (see Lock) while `file` stays open: it is
/// written as an unnamed file (O_TMPFILE) and linked into the folder only
/// once flushed, so a writer killed midway leaves no copy of the credentials
/// behind. On file systems without unnamed files it is created under its
/// temporary name and locked at once.
Failure write_temporary(const Place& place, std::string_view content, Descriptor& file, std::string& temp) {
    int folder = place.folder.get();
    file = Descriptor(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (file) {
        try_lock(file.get());  // nobody else can reach an unnamed file, so it is never busy
        if (Failure f = fill(file.get(), content)) return f;
        std::string self = "/proc/self/fd/" + std::to_string(file.get());
        for (int n = 0;; ++n) {
            temp = temporary_name(place.name, n);
            if (::linkat(AT_FDCWD, self.c_str(), folder, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) return {};
            temp.clear();
            if (errno != EEXIST || n == 100) return failed("cannot name the new store");
        }
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return failed("cannot create a file in the store's folder");

    for (int n = 0;; ++n) {
        temp = temporary_name(place.name, n);
        file = Descriptor(::openat(folder, temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                                   S_IRUSR | S_IWUSR));
        if (file) {
            // A clean-up may have locked the new file before this writer
            // did, and then removes it: this writer takes another name.
            struct stat mine, named;
            if (try_lock(file.get()) != Lock::busy && ::fstat(file.get(), &mine) == 0 &&
                ::fstatat(folder, temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(mine, named))
                return fill(file.get(), content);
            file.reset();
            errno = EBUSY;
        }
        temp.clear();
        if ((errno != EEXIST && errno != EBUSY) || n == 100)
            return failed("cannot create a file in the store's folder");
    }
}

/// Removes the temporary files of writers killed before their rename, here
/// or anywhere else the folder is shared. A file is removed only while this
/// process holds its lock and its name still leads to the locked file, so
/// neither a live writer's file nor one named afresh meanwhile can go.
void remove_leftovers(int folder, std::string_view store) {
    Descriptor listed(::fcntl(folder, F_DUPFD_CLOEXEC, 0));  // the listing closes its own descriptor
    if (!listed) return;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listed.get()), ::closedir);
    if (!dir) return;
    listed.release();
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        if (!is_temporary_name(name, store)) continue;
        struct stat named, held;
        // Only regular files are opened: opening a device or a FIFO has effects of its own.
        if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode)) continue;
        Descriptor file(::openat(folder, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!file || try_lock(file.get()) != Lock::taken) continue;
        if (::fstat(file.get(), &held) == 0 && ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_file(held, named))
            ::unlinkat(folder, name, 0);
    }
}

/// The system work, run without the GIL.
Failure replace(const std::string& path, std::string_view content) {
    Place place;
    if (Failure f = locate(path, place)) return f;
    Descriptor file;
    std::string temp;
    Failure f = write_temporary(place, content, file, temp);
    if (!f && ::renameat(place.folder.get(), temp.c_str(), place.folder.get(), place.name.c_str()) != 0)
        f = failed("cannot replace the store");
    if (f) {
        if (!temp.empty()) ::unlinkat(place.folder.get(), temp.c_str(), 0);
        return f;
    }
    file.reset();  // the lock goes with it; the content was flushed before the rename
    Descriptor folder(::openat(place.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) {
        remove_leftovers(folder.get(), place.name);
        // Make the rename itself durable; a folder that cannot be synced is
        // no reason to report a failed write.
        ::fsync(folder.get());
    }
    return {};
}

}  // namespace

void replace_file(PyObject* path, std::string_view content) {
    PyObject* raw = nullptr;  // what open() would use: str, bytes or a path-like, as bytes
    if (!PyUnicode_FSConverter(path, &raw)) throw PyErrorSet{};
    Ref encoded = Ref::steal(raw);
    std::string target(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw)));
    Failure f;
    Py_BEGIN_ALLOW_THREADS
    try {  // nothing may leave this block by an exception: the thread would stay detached
        f = replace(target, content);
    } catch (const std::bad_alloc&) {
        f = {ENOMEM, "cannot write the new store", {}};
    }
    Py_END_ALLOW_THREADS
    if (!f) return;
    // OSError(errno, text, filename) picks the subclass for the errno
    // (PermissionError, FileNotFoundError...), so callers can still tell.
    Ref shown = own(PyOS_FSPath(path));
    Ref message = own(PyUnicode_FromFormat("could not save the login in the credential store: %s%s (%s)", f.step,
                                           f.detail.c_str(), std::strerror(f.error)));
    Ref code = integer(f.error);
    Ref error = call(PyExc_OSError, {code.get(), message.get(), shown.get()});
    raise_object(error.get());
}

void write_store(const Function& fn, PyObject* path, PyObject* data) {
    Ref content = call_method(fn, global(fn, "json"_n).get(), "dumps"_n, {data});
    replace_file(path, utf8_view(content.get()));
}

}  // namespace quillon
