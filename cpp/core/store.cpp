// store.cpp: atomic, owner-only replacement of a small file.
#include "core/store.hpp"

#include "core/call.hpp"

#include <cerrno>
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

/// The system work, run without the GIL. Returns 0 or an errno value.
int replace(const std::string& target, std::string_view content) {
    std::string temp = target + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // created 0600
    if (fd < 0) return errno;
    int err = 0;
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0 || !write_all(fd, content) || ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return err;
    }
    // Make the rename itself durable; a folder that cannot be synced is no
    // reason to report a failed write.
    std::string folder = target.substr(0, target.find_last_of('/') + 1);
    int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

}  // namespace

void replace_file(PyObject* path, std::string_view content) {
    if (!PyUnicode_Check(path)) {
        PyErr_Format(PyExc_TypeError, "the store path must be str, not %.200s", Py_TYPE(path)->tp_name);
        throw PyErrorSet{};
    }
    Ref encoded = own(PyUnicode_EncodeFSDefault(path));
    std::string target(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (target.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte in the store path");
    int err;
    Py_BEGIN_ALLOW_THREADS
    err = replace(target, content);
    Py_END_ALLOW_THREADS
    if (err != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        throw PyErrorSet{};
    }
}

Ref store_path(const Module& m) {
    Ref os_path = attr(m.global("os").get(), "path");
    Ref real = call_method(os_path.get(), "realpath", {m.global("__file__").get()});
    Ref folder = call_method(os_path.get(), "dirname", {real.get()});
    Ref parts = call_method(os_path.get(), "split", {folder.get()});
    Ref head = own(PySequence_GetItem(parts.get(), 0));
    return call_method(os_path.get(), "join", {head.get(), text("secret.json").get()});
}

void write_store(const Function& fn, PyObject* path, PyObject* data) {
    Ref content = call_method(global(fn, "json").get(), "dumps", {data});
    replace_file(path, utf8_view(content.get()));
}

}  // namespace quillon
