// call.hpp: calling into Python. Everything an SDK function calls is looked up
// when it is called (its module's globals, then builtins; or an attribute of
// an imported module), so users and tests can rebind any of it.
#pragma once

#include "core/function.hpp"

#include <array>
#include <initializer_list>
#include <string_view>

namespace quillon {

/// One keyword argument of a call.
struct Kw {
    const char* name;
    PyObject* value;  // borrowed
};

inline Ref text(const char* s) { return own(PyUnicode_FromString(s)); }
inline Ref text(std::string_view s) {
    return own(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return own(PyLong_FromLongLong(v)); }
inline PyObject* boolean(bool v) { return v ? Py_True : Py_False; }

/// The UTF-8 text of a str, valid while the str lives; TypeError otherwise.
inline std::string_view utf8_view(PyObject* s) {
    if (!PyUnicode_Check(s)) raise_format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(s)->tp_name);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (data == nullptr) throw PyErrorSet{};
    return {data, static_cast<std::size_t>(size)};
}

inline Ref attr(PyObject* obj, const char* name) { return own(PyObject_GetAttrString(obj, name)); }
inline void set_attr(PyObject* obj, const char* name, PyObject* value) {
    need(PyObject_SetAttrString(obj, name, value));
}
inline bool truth(PyObject* obj) { return need(PyObject_IsTrue(obj)) != 0; }
inline Ref str(PyObject* obj) { return own(PyObject_Str(obj)); }
inline Ref item(PyObject* obj, const char* key) {
    Ref k = text(key);
    return own(PyObject_GetItem(obj, k.get()));
}

/// `f(*args, **kwargs)` with keyword names given as C strings.
Ref call(PyObject* f, std::initializer_list<PyObject*> args = {}, std::initializer_list<Kw> kwargs = {});

/// `obj.name(*args, **kwargs)`.
inline Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args = {},
                       std::initializer_list<Kw> kwargs = {}) {
    Ref method = attr(obj, name);
    return call(method.get(), args, kwargs);
}

/// The current binding of `name` as the function's own code would see it:
/// its module's globals first, then builtins; NameError when neither has it.
Ref global(const Function& fn, const char* name);

/// Rebinds a module global of the function's module.
void set_global(const Function& fn, const char* name, PyObject* value);

/// The module called `name`, imported if need be (as importlib.import_module
/// gives it: for a dotted name, the submodule itself).
Ref import(const char* name);

/// `from module import name`, with the interpreter's ImportError when the
/// module lacks it.
Ref import_from(const char* module, const char* name);

}  // namespace quillon

namespace quillon {

/// `a, b, ... = value`, with the interpreter's errors for a value that is
/// not iterable or does not hold exactly N items.
template <std::size_t N>
std::array<Ref, N> unpack(PyObject* value) {
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyIter_Check(value)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        throw PyErrorSet{};
    }
    std::array<Ref, N> items;
    for (std::size_t i = 0; i < N; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", int(N), int(i));
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise_format(PyExc_ValueError, "too many values to unpack (expected %d)", int(N));
    if (PyErr_Occurred()) throw PyErrorSet{};
    return items;
}

/// The exception in the error indicator, taken out of it and normalised,
/// with its traceback attached; `restore()` puts it back.
struct PendingError {
    Ref type, value, traceback;

    static PendingError take();
    void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

/// A new tuple of the given objects (borrowed).
Ref tuple(std::initializer_list<PyObject*> items);

/// A new dict from C-string keys to objects (borrowed), in the given order.
Ref dict(std::initializer_list<Kw> items);

/// Inside `catch (const PyErrorSet&)`: the pending exception when it is an
/// `Exception` (what `except Exception as err` catches), cleared from the
/// error indicator. Anything else (KeyboardInterrupt, SystemExit) is
/// rethrown untouched.
Ref catch_exception();

/// `with ctx as entered: return body(entered)`: __exit__ sees the exception
/// that leaves the body, and the body's exception wins unless __exit__
/// raises one of its own.
Ref with_context(PyObject* ctx, Ref (*body)(PyObject* entered, void* data), void* data);

template <class Body>
Ref with_context(PyObject* ctx, Body&& body) {
    return with_context(
        ctx, [](PyObject* entered, void* data) { return (*static_cast<Body*>(data))(entered); }, &body);
}

/// `try: body() finally: cleanup()`. The body's error is restored after the
/// cleanup, unless the cleanup raises one of its own.
template <class Body, class Cleanup>
void try_finally(Body&& body, Cleanup&& cleanup) {
    try {
        body();
    } catch (const PyErrorSet&) {
        PendingError error = PendingError::take();
        cleanup();
        error.restore();
        throw;
    }
    cleanup();
}

}  // namespace quillon
