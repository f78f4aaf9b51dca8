// store.cpp: atomic, owner-only replacement of a small file.
#include "core/store.hpp"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon {
namespace {

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

/// What failed, for the error message: the errno and the step it failed in.
struct Failure {
    int error = 0;
    const char* step = nullptr;
    explicit operator bool() const { return error != 0; }
};

Failure failed(const char* step) { return {errno, step}; }

/// The file that `path` finally names: symbolic links are followed (also a
/// dangling last one), so a store shared through a link is written where the
/// link points and the link itself stays.
Failure resolve_links(std::string& path) {
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) return {};
            return failed("cannot look up the store");
        }
        if (!S_ISLNK(st.st_mode)) return {};
        if (hops == 40) return {ELOOP, "cannot follow the store's symbolic link"};
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) return failed("cannot follow the store's symbolic link");
        target.resize(static_cast<std::size_t>(n));
        if (target.empty()) return {ENOENT, "cannot follow the store's symbolic link"};
        if (target.front() != '/') {
            std::size_t slash = path.find_last_of('/');
            target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
        }
        path = std::move(target);
    }
}

std::string folder_of(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

/// Writes `content` to an open 0600 file and flushes it to disk.
Failure fill(int fd, std::string_view content) {
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) return failed("cannot restrict the new store to its owner");
    if (!write_all(fd, content)) return failed("cannot write the new store");
    if (::fsync(fd) != 0) return failed("cannot flush the new store to disk");
    return {};
}

/// The temporary names of one writer: "<store>.<pid>.<n>.tmp". The pid
/// tells a later writer whether the one that made a leftover is gone.
std::string temporary_name(const std::string& target, int n) {
    return target + "." + std::to_string(::getpid()) + "." + std::to_string(n) + ".tmp";
}

/// A new store under a temporary name beside `target`, complete before it
/// gets that name: it is written as an unnamed file (O_TMPFILE) and linked
/// into the folder only once flushed, so a writer killed midway leaves no
/// copy of the credentials behind. On file systems without unnamed files it
/// is written under its temporary name directly.
Failure write_temporary(const std::string& target, std::string_view content, std::string& temp) {
    int fd = ::open(folder_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
        Failure f = fill(fd, content);
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        for (int n = 0; !f; ++n) {
            temp = temporary_name(target, n);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
            temp.clear();
            if (errno != EEXIST || n == 100) f = failed("cannot name the new store");
        }
        if (::close(fd) != 0 && !f) f = failed("cannot write the new store");
        return f;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return failed("cannot create a file in the store's folder");

    for (int n = 0; fd < 0; ++n) {
        temp = temporary_name(target, n);
        fd = ::open(temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd >= 0) break;
        temp.clear();
        if (errno != EEXIST || n == 100) return failed("cannot create a file in the store's folder");
    }
    Failure f = fill(fd, content);
    if (::close(fd) != 0 && !f) f = failed("cannot write the new store");
    return f;
}

/// Removes the temporary files of earlier writers of `target` that were
/// killed between naming their file and renaming it. Only a file whose
/// writer's process is gone is touched, so a writer still in flight keeps
/// its file.
void remove_leftovers(const std::string& target) {
    std::string folder = folder_of(target);
    std::string prefix = target.substr(target.find_last_of('/') + 1) + ".";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    int me = ::getpid();
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (!name.starts_with(prefix) || !name.ends_with(".tmp")) continue;
        std::string_view rest = name.substr(prefix.size());
        int pid = 0;
        auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
        if (ec != std::errc{} || pid <= 0 || pid == me || *end != '.') continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

/// The system work, run without the GIL.
Failure replace(std::string target, std::string_view content) {
    if (Failure f = resolve_links(target)) return f;
    std::string temp;
    Failure f = write_temporary(target, content, temp);
    if (!f && ::rename(temp.c_str(), target.c_str()) != 0) f = failed("cannot replace the store");
    if (f) {
        if (!temp.empty()) ::unlink(temp.c_str());
        return f;
    }
    remove_leftovers(target);
    // Make the rename itself durable; a folder that cannot be synced is no
    // reason to report a failed write.
    int dir = ::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
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
    f = replace(std::move(target), content);
    Py_END_ALLOW_THREADS
    if (!f) return;
    // OSError(errno, text, filename) picks the subclass for the errno
    // (PermissionError, FileNotFoundError...), so callers can still tell.
    Ref shown = own(PyOS_FSPath(path));
    Ref message = own(PyUnicode_FromFormat("could not save the login in the credential store: %s (%s)", f.step,
                                           std::strerror(f.error)));
    Ref code = integer(f.error);
    Ref error = call(PyExc_OSError, {code.get(), message.get(), shown.get()});
    raise_object(error.get());
}

void write_store(const Function& fn, PyObject* path, PyObject* data) {
    Ref content = call_method(fn, global(fn, core_name<"json">()).get(), core_name<"dumps">(), {data});
    replace_file(path, utf8_view(content.get()));
}

}  // namespace quillon
