// lookup.cpp: globals and attributes by name, for SDK functions.
#include "core/lookup.hpp"

#include "core/module.hpp"

namespace quillon {

PyObject* interned(const Function& fn, Name name) { return module_state(fn).names[name.index]; }

Ref global(const Function& fn, Name name) {
    PyObject* key = interned(fn, name);
    if (PyObject* value = PyDict_GetItemWithError(fn.globals, key)) return Ref::borrow(value);
    if (PyErr_Occurred()) throw PyErrorSet{};
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed; never null while a frame or thread state runs
    if (builtins != nullptr) {
        if (PyObject* value = PyDict_GetItemWithError(builtins, key)) return Ref::borrow(value);
        if (PyErr_Occurred()) throw PyErrorSet{};
    }
    raise_format(PyExc_NameError, "name '%s' is not defined", name.text);
}

void set_global(const Function& fn, Name name, PyObject* value) {
    need(PyDict_SetItem(fn.globals, interned(fn, name), value));
}

}  // namespace quillon
