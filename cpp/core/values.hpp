// values.hpp: Python values made from C++ ones, and the other way round.
#pragma once

#include "core/ref.hpp"

#include <initializer_list>
#include <string_view>

namespace quillon {

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

}  // namespace quillon
