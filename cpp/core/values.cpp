// values.cpp: Python values made from C++ ones, and the other way round.
#include "core/values.hpp"

namespace quillon {

std::string_view utf8_view(PyObject* s) {
    if (!PyUnicode_Check(s)) raise_format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(s)->tp_name);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (data == nullptr) throw PyErrorSet{};
    return {data, static_cast<std::size_t>(size)};
}

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t;
}

}  // namespace quillon
