// call.hpp: calling into Python. Everything an SDK function calls is looked up
// when it is called (its module's globals, then builtins; or an attribute of
// an imported module), so users and tests can rebind any of it. Names come
// from the module's table (names.hpp) as ready interned strs.
#pragma once

#include "core/function.hpp"
#include "core/names.hpp"

#include <array>
#include <initializer_list>
#include <string_view>

namespace quillon {

// --- values -------------------------------------------------------------------------

inline Ref text(const char* s) { return own(PyUnicode_FromString(s)); }
inline Ref text(std::string_view s) {
    return own(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return own(PyLong_FromLongLong(v)); }
inline PyObject* boolean(bool v) { return v ? Py_True : Py_False; }
inline bool truth(PyObject* obj) { return need(PyObject_IsTrue(obj)) != 0; }
inline Ref str(PyObject* obj) { return own(PyObject_Str(obj)); }
/// The text of `value` as an f-string would insert it.
inline Ref formatted(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return own(PyObject_Format(value, nullptr));
}

/// The UTF-8 text of a str, valid while the str lives; TypeError otherwise.
std::string_view utf8_view(PyObject* s);

/// A new tuple of the given objects (borrowed).
Ref tuple(std::initializer_list<PyObject*> items);

// --- names of the calling function's module ----------------------------------------------

/// One keyword argument of a call, or one entry of a new dict.
struct Kw {
    Name name;
    PyObject* value;  // borrowed
};

/// The interned str of `name` in the module of `fn`.
PyObject* interned(const Function& fn, Name name);

/// The current binding of `name` as the function's own code would see it:
/// its module's globals first, then builtins; NameError when neither has it.
Ref global(const Function& fn, Name name);
/// Rebinds a global of the function's module.
void set_global(const Function& fn, Name name, PyObject* value);

inline Ref attr(const Function& fn, PyObject* obj, Name name) {
    return own(PyObject_GetAttr(obj, interned(fn, name)));
}
inline void set_attr(const Function& fn, PyObject* obj, Name name, PyObject* value) {
    need(PyObject_SetAttr(obj, interned(fn, name), value));
}
/// `obj[key]`, the key being the name's text.
inline Ref item(const Function& fn, PyObject* obj, Name key) { return own(PyObject_GetItem(obj, interned(fn, key))); }

/// `f(*args)`.
Ref call(PyObject* f, std::initializer_list<PyObject*> args = {});
/// `f(*args, **kwargs)`.
Ref call(const Function& fn, PyObject* f, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs);
/// `obj.name(*args, **kwargs)`.
Ref call_method(const Function& fn, PyObject* obj, Name name, std::initializer_list<PyObject*> args = {},
                std::initializer_list<Kw> kwargs = {});

/// A new dict of the given entries (values borrowed), in the given order.
Ref dict(const Function& fn, std::initializer_list<Kw> items);

// --- imports ------------------------------------------------------------------------

/// The module called `name`, imported if need be (as importlib.import_module
/// gives it: for a dotted name, the submodule itself).
Ref import(const char* name);

/// `from module import name`, with the interpreter's ImportError when the
/// module lacks it.
Ref import_from(const char* module, const char* name);

// --- errors and control flow -------------------------------------------------------------

/// `a, b, ... = value`, with the interpreter's errors for a value that is
/// not iterable or does not hold exactly N items.
template <std::size_t N>
std::array<Ref, N> unpack(PyObject* value);

/// The exception in the error indicator, taken out of it and normalised,
/// with its traceback attached; `restore()` puts it back.
struct PendingError {
    Ref type, value, traceback;

    static PendingError take();
    void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

/// Inside `catch (const PyErrorSet&)`: the pending exception when it is an
/// `Exception` (what `except Exception as err` catches), cleared from the
/// error indicator. Anything else (KeyboardInterrupt, SystemExit) is
/// rethrown untouched.
Ref catch_exception();

/// Sets `error` (an exception instance) as the pending exception and throws.
[[noreturn]] void raise_object(PyObject* error);

/// `with ctx as entered: return body(entered)`: __exit__ sees the exception
/// that leaves the body, and the body's exception wins unless __exit__
/// raises one of its own.
Ref with_context(const Function& fn, PyObject* ctx, Ref (*body)(PyObject* entered, void* data), void* data);

template <class Body>
Ref with_context(const Function& fn, PyObject* ctx, Body&& body) {
    return with_context(
        fn, ctx, [](PyObject* entered, void* data) { return (*static_cast<Body*>(data))(entered); }, &body);
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

}  // namespace quillon
