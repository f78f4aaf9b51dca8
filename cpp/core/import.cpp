// import.cpp: imports, as the import statement makes them.
#include "core/import.hpp"

#include "core/values.hpp"

namespace quillon {

Ref import(const char* name) { return own(PyImport_ImportModule(name)); }

Ref import_from(const char* module, const char* name) {
    // A fromlist makes the import system load `module.name` when it is a
    // submodule not yet imported, as the import statement does.
    Ref wanted = text(name);
    Ref fromlist = tuple({wanted.get()});
    Ref mod = own(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
    PyObject* value = PyObject_GetAttr(mod.get(), wanted.get());
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
        raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return Ref::steal(value);
}

}  // namespace quillon
