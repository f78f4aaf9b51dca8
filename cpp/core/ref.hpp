// ref.hpp: owning references to Python objects and the "a Python error is set"
// exception that carries failures from the C API up to the nearest boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/version.hpp"

#include <new>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace quillon {

/// Thrown when a C API call failed and left a Python exception set. Nothing
/// else travels in it: the error indicator is the payload.
struct PyErrorSet {};

/// A strong reference. Every new reference is wrapped in one the moment it
/// is returned; `release()` hands it back to CPython.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    // The old object is dropped last, so `*this` is already consistent when
    // its destructor runs arbitrary Python code.
    Ref& operator=(Ref other) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }

    /// Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Adds a reference to a borrowed object (may be null).
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Wraps the result of a C API call that returns a new reference, throwing
/// when it failed.
inline Ref own(PyObject* p) {
    if (p == nullptr) throw PyErrorSet{};
    return Ref::steal(p);
}

/// For C API calls that return a borrowed reference or null with an error.
inline PyObject* need(PyObject* p) {
    if (p == nullptr) throw PyErrorSet{};
    return p;
}

/// For C API calls that report failure as -1 (and, for predicates, 0 or 1
/// otherwise). Returns the value for use as a condition.
inline int need(int rc) {
    if (rc < 0) throw PyErrorSet{};
    return rc;
}

/// Sets a Python exception and throws.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
/// Sets `error` (an exception instance) as the pending exception and throws.
[[noreturn]] void raise_object(PyObject* error);

/// Sets the Python error for a C++ exception that reached a boundary: a
/// PyErrorSet keeps the error already set, anything else becomes MemoryError
/// or SystemError. Call only inside a `catch (...)`.
void error_from_current_exception(const char* where) noexcept;

/// Ends the work of a thread that CPython is ending with pthread_exit because
/// it wants the GIL back while the interpreter exits: called where that
/// unwinding reaches the first C++ frame, it sleeps until the process ends,
/// so that no destructor above runs without the GIL, on objects the exit is
/// tearing down (later CPythons hang such threads themselves).
[[noreturn]] void park_exiting_thread() noexcept;

/// `call()`, a call into Python code, with an exiting thread parked where it
/// would be unwound (see above).
/// (The forced unwind carries no object, so the handler's reference binds to
/// null, which UndefinedBehaviorSanitizer reports: it is off in the handful
/// of lines here and in boundary().)
template <class Call>
[[gnu::no_sanitize("undefined")]] PyObject* parking_on_exit(Call&& call) {
#if defined(__GLIBCXX__)
    try {
        return call();
    } catch (abi::__forced_unwind&) {
        park_exiting_thread();
    }
#else
    return call();
#endif
}

/// Where CPython calls into C++: runs `body` and turns any C++ exception into
/// the Python error and `failed`, so that no exception crosses into CPython.
///
/// One thing passes: the forced unwind with which glibc ends a thread
/// (pthread_exit). CPython ends each daemon thread that way when it wants
/// the GIL back after the interpreter began to exit; the calls into Python
/// park such a thread first (parking_on_exit), but not every C API call that
/// can run Python code goes through them. Swallowing the unwind aborts the
/// process ("FATAL: exception not rethrown"), and so does meeting a noexcept
/// frame (std::terminate), which is why neither this function nor the entry
/// points that call it are noexcept.
template <class Result, class Body>
[[gnu::no_sanitize("undefined")]] Result boundary(Result failed, const char* where, Body&& body) {
    try {
        return body();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        error_from_current_exception(where);
        return failed;
    }
}

}  // namespace quillon
