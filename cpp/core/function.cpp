// function.cpp: the function type, its argument binding and its Python-side
// face (__code__, __defaults__, __annotations__, __doc__, descriptor binding).
#include "core/function.hpp"

#include <structmember.h>

#include <array>
#include <new>

namespace quillon {
namespace {

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

Py_ssize_t param_count(const Function* f) { return static_cast<Py_ssize_t>(f->spec->params.size()); }

// ---------------------------------------------------------------------------
// Binding errors, worded as the interpreter words them for a Python function.

[[gnu::cold, gnu::noinline]] void fail_too_many(const Function* f, Py_ssize_t given) {
    Py_ssize_t count = param_count(f);
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref sig = defcount ? own(PyUnicode_FromFormat("from %zd to %zd", count - defcount, count))
                       : own(PyUnicode_FromFormat("%zd", count));
    bool plural = defcount ? true : count != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname, sig.get(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
    throw PyErrorSet{};
}

[[gnu::cold, gnu::noinline]] void fail_missing(const Function* f, PyObject* const* bound) {
    Ref names = own(PyList_New(0));
    for (Py_ssize_t i = 0; i < param_count(f); ++i) {
        if (bound[i] == nullptr) {
            Ref quoted = own(PyUnicode_FromFormat("'%U'", PyTuple_GET_ITEM(f->varnames, i)));
            need(PyList_Append(names.get(), quoted.get()));
        }
    }
    Py_ssize_t missing = PyList_GET_SIZE(names.get());
    Ref listed;
    if (missing == 1) {
        listed = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else {
        // 'a' and 'b'; 'a', 'b', and 'c'
        Ref last = Ref::borrow(PyList_GET_ITEM(names.get(), missing - 1));
        need(PyList_SetSlice(names.get(), missing - 1, missing, nullptr));
        Ref sep = own(PyUnicode_FromString(missing == 2 ? " " : ", "));
        Ref head = own(PyUnicode_Join(sep.get(), names.get()));
        listed = own(PyUnicode_FromFormat(missing == 2 ? "%U and %U" : "%U, and %U", head.get(), last.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, missing,
                 missing == 1 ? "" : "s", listed.get());
    throw PyErrorSet{};
}

[[gnu::cold, gnu::noinline]] void fail_keyword(const Function* f, PyObject* keyword, bool repeated) {
    if (repeated)
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, keyword);
    else
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
    throw PyErrorSet{};
}

/// Index of the parameter called `keyword`, or -1. Interned names make the
/// pointer test the common case.
Py_ssize_t find_param(const Function* f, PyObject* keyword) {
    PyObject* names = f->varnames;
    Py_ssize_t count = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyTuple_GET_ITEM(names, i) == keyword) return i;
    for (Py_ssize_t i = 0; i < count; ++i) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(names, i), keyword, Py_EQ);
        if (need(eq)) return i;
    }
    return -1;
}

/// Fills `bound` with one borrowed object per parameter, in the order the
/// interpreter applies to a Python function: keywords first (unknown and
/// repeated names), then the positional count, then what is missing.
void bind(const Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    Py_ssize_t count = param_count(f);
    for (Py_ssize_t i = 0; i < nargs && i < count; ++i) bound[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t at = find_param(f, keyword);
            if (at < 0) fail_keyword(f, keyword, false);
            if (bound[at] != nullptr) fail_keyword(f, keyword, true);
            bound[at] = args[nargs + k];
        }
    }
    if (nargs > count) fail_too_many(f, nargs);
    Py_ssize_t first_default = count - (f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0);
    bool missing = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (bound[i] != nullptr) continue;
        if (i >= first_default)
            bound[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
        else
            missing = true;
    }
    if (missing) fail_missing(f, bound);
}

// Not noexcept, nor are the slots below that may run Python code: see boundary().
PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = as_function(callable);
    // Rebinding one SDK function to another must end in RecursionError, not
    // in a blown C stack.
    if (Py_EnterRecursiveCall(" while calling a quillon function")) return nullptr;
    PyObject* result = boundary<PyObject*>(nullptr, "a quillon function", [&] {
        std::array<PyObject*, max_params> bound{};
        bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound.data());
        check_arguments(*f->spec, bound.data());
        Ref r = f->spec->impl(*f, bound.data());
        if (!r && !PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%U() returned no result and set no error", f->qualname);
        return r.release();
    });
    Py_LeaveRecursiveCall();
    return result;
}

// ---------------------------------------------------------------------------
// Python-visible attributes

template <auto Fn>
PyObject* guarded_get(PyObject* self, void*) {
    return boundary<PyObject*>(nullptr, "a quillon function attribute",
                               [&] { return Fn(as_function(self)).release(); });
}

Ref get_name(Function* f) { return Ref::borrow(f->name); }
Ref get_qualname(Function* f) { return Ref::borrow(f->qualname); }
Ref get_module(Function* f) { return Ref::borrow(f->module_name); }
Ref get_globals(Function* f) { return Ref::borrow(f->globals); }
Ref get_none(Function*) { return Ref::borrow(Py_None); }
Ref get_defaults(Function* f) { return Ref::borrow(f->defaults ? f->defaults : Py_None); }
Ref get_closure(Function* f) { return Ref::borrow(f->closure ? f->closure : Py_None); }

Ref get_doc(Function* f) {
    if (f->spec->doc == nullptr) return Ref::borrow(Py_None);
    return own(PyUnicode_FromString(f->spec->doc));
}

Ref get_annotations(Function* f) {
    if (f->annotations == nullptr) {
        Ref annotations = own(PyDict_New());
        for (const Param& p : f->spec->params) {
            if (p.annotation == nullptr) continue;
            Ref text = own(PyUnicode_FromString(p.annotation));
            need(PyDict_SetItemString(annotations.get(), p.name, text.get()));
        }
        f->annotations = annotations.release();
    }
    return Ref::borrow(f->annotations);
}

/// A code object that describes the parameters exactly as a Python function
/// of this signature would: that is what inspect and pydoc read.
Ref get_code(Function* f) {
    if (f->code == nullptr) {
        Ref key = own(PyUnicode_FromString("__file__"));
        Ref file = Ref::borrow(PyDict_GetItemWithError(f->globals, key.get()));
        if (!file && PyErr_Occurred()) throw PyErrorSet{};
        Ref filename = file && PyUnicode_Check(file.get()) ? file : Ref::borrow(f->module_name);
        // The file name goes in as a str: a path need not be valid UTF-8.
        Ref empty = own(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", f->spec->name, 0)));
        Ref replace = own(PyObject_GetAttrString(empty.get(), "replace"));
        Ref kwargs = own(PyDict_New());
        Ref argcount = own(PyLong_FromSsize_t(param_count(f)));
        Ref flags = own(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
        need(PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()));
        need(PyDict_SetItemString(kwargs.get(), "co_nlocals", argcount.get()));
        need(PyDict_SetItemString(kwargs.get(), "co_varnames", f->varnames));
        need(PyDict_SetItemString(kwargs.get(), "co_flags", flags.get()));
        need(PyDict_SetItemString(kwargs.get(), "co_qualname", f->qualname));
        need(PyDict_SetItemString(kwargs.get(), "co_filename", filename.get()));
        Ref noargs = own(PyTuple_New(0));
        f->code = own(PyObject_Call(replace.get(), noargs.get(), kwargs.get())).release();
    }
    return Ref::borrow(f->code);
}

PyGetSetDef function_getset[] = {
    {"__name__", guarded_get<get_name>, nullptr, nullptr, nullptr},
    {"__qualname__", guarded_get<get_qualname>, nullptr, nullptr, nullptr},
    {"__module__", guarded_get<get_module>, nullptr, nullptr, nullptr},
    {"__doc__", guarded_get<get_doc>, nullptr, nullptr, nullptr},
    {"__code__", guarded_get<get_code>, nullptr, nullptr, nullptr},
    {"__defaults__", guarded_get<get_defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", guarded_get<get_none>, nullptr, nullptr, nullptr},
    {"__annotations__", guarded_get<get_annotations>, nullptr, nullptr, nullptr},
    {"__globals__", guarded_get<get_globals>, nullptr, nullptr, nullptr},
    {"__closure__", guarded_get<get_closure>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

/// Like a Python function: looked up on an instance it becomes a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->module_name);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->varnames);
    Py_VISIT(f->defaults);
    Py_VISIT(f->closure);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->code);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "quillon.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

Ref default_value(const Default& d) {
    switch (d.kind) {
    case Default::none: return Ref::borrow(Py_None);
    case Default::false_: return Ref::borrow(Py_False);
    case Default::true_: return Ref::borrow(Py_True);
    case Default::integer: return own(PyLong_FromLongLong(d.integer_value));
    case Default::text: return own(PyUnicode_FromString(d.text_value));
    case Default::required: break;
    }
    raise(PyExc_SystemError, "parameter without a default in the defaults tuple");
}

const char* exact_name(Exact e) {
    switch (e) {
    case Exact::str: return "str";
    case Exact::int_: return "int";
    case Exact::dict: return "dict";
    case Exact::any: break;
    }
    return "object";
}

bool passes(Exact e, PyObject* value) {
    switch (e) {
    case Exact::any: return true;
    case Exact::str: return PyUnicode_CheckExact(value);
    case Exact::int_: return PyLong_CheckExact(value);
    case Exact::dict: return PyDict_CheckExact(value);
    }
    return false;
}

Ref new_function(PyObject* type, const FunctionSpec& spec, PyObject* globals, Ref qualname, Ref closure) {
    if (spec.params.size() > max_params) raise(PyExc_SystemError, "too many parameters for a quillon function");
    // Defaults form a suffix of the parameter list, as in Python.
    Ref varnames = own(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
    std::size_t first_default = spec.params.size();
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        PyObject* name = need(PyUnicode_InternFromString(spec.params[i].name));
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), name);
        if (spec.params[i].dflt.kind != Default::required && first_default == spec.params.size())
            first_default = i;
    }
    Ref defaults;
    if (first_default < spec.params.size()) {
        defaults = own(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size() - first_default)));
        for (std::size_t i = first_default; i < spec.params.size(); ++i)
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i - first_default),
                             default_value(spec.params[i].dflt).release());
    }
    Ref name = own(PyUnicode_InternFromString(spec.name));
    // Held from here on: the allocation below can run the cyclic GC, whose
    // finalizers may rebind the module's __name__ and free the old one.
    Ref key = own(PyUnicode_FromString("__name__"));
    Ref module_name = Ref::borrow(PyDict_GetItemWithError(globals, key.get()));
    if (!module_name) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        raise(PyExc_SystemError, "module namespace without __name__");
    }

    auto* f = PyObject_GC_New(Function, reinterpret_cast<PyTypeObject*>(type));
    if (f == nullptr) throw PyErrorSet{};
    f->vectorcall = vectorcall;
    f->spec = &spec;
    f->globals = Py_NewRef(globals);
    f->module_name = module_name.release();
    f->name = name.release();
    f->qualname = qualname ? qualname.release() : Py_NewRef(f->name);
    f->varnames = varnames.release();
    f->defaults = defaults.release();
    f->closure = closure.release();
    f->code = nullptr;
    f->annotations = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace

Ref Function::cell(std::size_t index) const {
    if (closure == nullptr || static_cast<Py_ssize_t>(index) >= PyTuple_GET_SIZE(closure))
        raise(PyExc_SystemError, "closure cell out of range");
    PyObject* value = PyCell_GET(PyTuple_GET_ITEM(closure, static_cast<Py_ssize_t>(index)));
    if (value == nullptr) raise(PyExc_NameError, "free variable referenced before assignment");
    return Ref::borrow(value);
}

void check_arguments(const FunctionSpec& spec, PyObject* const* args) {
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
        if (passes(p.exact, args[i])) continue;
        if (args[i] == Py_None && p.dflt.kind == Default::none) continue;
        raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                     exact_name(p.exact), Py_TYPE(args[i])->tp_name);
    }
}

Ref make_function_type(PyObject* module) {
    return own(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
}

Ref make_function(PyObject* function_type, PyObject* module, const FunctionSpec& spec) {
    return new_function(function_type, spec, need(PyModule_GetDict(module)), Ref{}, Ref{});
}

Ref make_closure(const Function& outer, const FunctionSpec& spec, Ref cells) {
    Ref qualname = own(PyUnicode_FromFormat("%U.<locals>.%s", outer.qualname, spec.name));
    return new_function(reinterpret_cast<PyObject*>(Py_TYPE(&outer)), spec, outer.globals, std::move(qualname),
                        std::move(cells));
}

}  // namespace quillon
