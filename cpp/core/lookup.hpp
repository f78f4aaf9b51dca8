// lookup.hpp: the names an SDK function looks up, as its own code would:
// its module's globals, then builtins, or an attribute of an object. Names
// come from the module's table (names.hpp) as ready interned strs, and
// everything is looked up when it is used, so users and tests can rebind any
// of it.
#pragma once

#include "core/function.hpp"
#include "core/names.hpp"

namespace quillon {

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
/// `obj.name`, or empty when it has no such attribute; other errors raise.
inline Ref attr_if_any(const Function& fn, PyObject* obj, Name name) {
    PyObject* value = nullptr;
#if QUILLON_PUBLIC_OPTIONAL_ATTR
    need(PyObject_GetOptionalAttr(obj, interned(fn, name), &value));
#else
    need(_PyObject_LookupAttr(obj, interned(fn, name), &value));
#endif
    return Ref::steal(value);
}
/// `obj[key]`, the key being the name's text.
inline Ref item(const Function& fn, PyObject* obj, Name key) { return own(PyObject_GetItem(obj, interned(fn, key))); }

}  // namespace quillon
