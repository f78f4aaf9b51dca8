// flow.hpp: Python's control flow around calls: unpacking, try/except,
// try/finally and the with statement.
#pragma once

#include "core/call.hpp"
#include "core/values.hpp"

#include <array>

namespace quillon {

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

/// `with ctx as entered: return body(entered)`: __enter__ and __exit__ are
/// looked up on the type, as the with statement does; __exit__ sees the
/// exception that leaves the body, and the body's exception wins unless
/// __exit__ raises one of its own.
Ref with_context(const Function& fn, PyObject* ctx, Ref (*body)(PyObject* entered, void* data), void* data);

template <class Body>
Ref with_context(const Function& fn, PyObject* ctx, Body&& body) {
    return with_context(
        fn, ctx, [](PyObject* entered, void* data) { return (*static_cast<Body*>(data))(entered); }, &body);
}

/// `try: body() except BaseException: undo(); raise`: undoes what is half
/// done when the body fails. The body's error is restored after the undo,
/// unless the undo raises one of its own.
template <class Body, class Undo>
void undo_on_error(Body&& body, Undo&& undo) {
    try {
        body();
    } catch (const PyErrorSet&) {
        PendingError error = PendingError::take();
        undo();
        error.restore();
        throw;
    }
}

/// `try: body() finally: cleanup()`. The body's error is restored after the
/// cleanup, unless the cleanup raises one of its own.
template <class Body, class Cleanup>
void try_finally(Body&& body, Cleanup&& cleanup) {
    undo_on_error(body, cleanup);
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
