// call.hpp: calling into Python, with positional and keyword arguments,
// the keywords' names taken from the caller's table.
#pragma once

#include "core/lookup.hpp"

#include <initializer_list>

namespace quillon {

/// One keyword argument of a call, or one entry of a new dict.
struct Kw {
    Name name;
    PyObject* value;  // borrowed
};

/// `f(*args)`.
Ref call(PyObject* f, std::initializer_list<PyObject*> args = {});
/// `f(*args, **kwargs)`.
Ref call(const Function& fn, PyObject* f, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs);
/// `obj.name(*args, **kwargs)`.
Ref call_method(const Function& fn, PyObject* obj, Name name, std::initializer_list<PyObject*> args = {},
                std::initializer_list<Kw> kwargs = {});

/// A new dict of the given entries (values borrowed), in the given order.
Ref dict(const Function& fn, std::initializer_list<Kw> items);

}  // namespace quillon
