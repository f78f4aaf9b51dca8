// module.cpp: module creation and exec behind QUILLON_MODULE, and the call
// helpers shared by every module.
#include "core/module.hpp"

#include <cstdarg>
#include <cstdint>
#include <new>

namespace quillon {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PyErrorSet{};
}

Ref call(PyObject* f, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs) {
    constexpr std::size_t most = 12;
    if (args.size() + kwargs.size() > most) raise(PyExc_SystemError, "too many arguments for quillon::call");
    PyObject* stack[most];
    std::size_t n = 0;
    for (PyObject* a : args) stack[n++] = a;
    Ref kwnames;
    if (kwargs.size() != 0) {
        kwnames = own(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        Py_ssize_t k = 0;
        for (const Kw& kw : kwargs) {
            PyTuple_SET_ITEM(kwnames.get(), k++, need(PyUnicode_InternFromString(kw.name)));
            stack[n++] = kw.value;
        }
    }
    return own(PyObject_Vectorcall(f, stack, args.size(), kwnames.get()));
}

Ref global(const Function& fn, const char* name) {
    Ref key = text(name);
    if (PyObject* value = PyDict_GetItemWithError(fn.globals, key.get())) return Ref::borrow(value);
    if (PyErr_Occurred()) throw PyErrorSet{};
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed; never null while a frame or thread state runs
    if (builtins != nullptr) {
        if (PyObject* value = PyDict_GetItemWithError(builtins, key.get())) return Ref::borrow(value);
        if (PyErr_Occurred()) throw PyErrorSet{};
    }
    raise_format(PyExc_NameError, "name '%s' is not defined", name);
}

void set_global(const Function& fn, const char* name, PyObject* value) {
    need(PyDict_SetItemString(fn.globals, name, value));
}

Ref import(const char* name) { return own(PyImport_ImportModule(name)); }

Ref import_from(const char* module, const char* name) {
    // A fromlist makes the import system load `module.name` when it is a
    // submodule not yet imported, as the import statement does.
    Ref wanted = text(name);
    Ref fromlist = tuple({wanted.get()});
    Ref mod = own(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
    PyObject* value = PyObject_GetAttrString(mod.get(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
        raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return Ref::steal(value);
}

Module::Module(PyObject* module) : module_(module), dict_(need(PyModule_GetDict(module))) {}

void Module::bind(const char* name, PyObject* value) { need(PyDict_SetItemString(dict_, name, value)); }

void Module::import(const char* name, const char* as) {
    Ref mod = quillon::import(name);
    bind(as ? as : name, mod.get());
}

void Module::import_from(const char* module, const char* name, const char* as) {
    Ref value = quillon::import_from(module, name);
    bind(as ? as : name, value.get());
}

void Module::def(const FunctionSpec& spec) {
    if (!function_type_) function_type_ = make_function_type(module_);
    Ref fn = make_function(function_type_.get(), module_, spec);
    bind(spec.name, fn.get());
}

Ref Module::global(const char* name) const {
    PyObject* value = PyDict_GetItemString(dict_, name);
    if (value == nullptr) raise_format(PyExc_NameError, "name '%s' is not defined", name);
    return Ref::borrow(value);
}

namespace {

// The only process-wide state of a module, and deliberately so: a module
// initialises once per process and lives in the first interpreter that
// imports it. A later import (after the module was dropped from
// sys.modules) gets the same module object back instead of running its
// statements, and with them the login, a second time. Each extension module
// links its own copy of this core, so each has its own guard.
struct Guard {
    std::int64_t interpreter = -1;
    PyObject* module = nullptr;  // strong; set only once exec has succeeded
};
Guard guard;

}  // namespace

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (guard.interpreter == -1) {
        guard.interpreter = current;
    } else if (guard.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (guard.module != nullptr) return Py_NewRef(guard.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

int exec_module(PyObject* module, ExecFn exec) noexcept {
    if (guard.module == module) return 0;  // importlib.reload, or the re-import above
    if (guard.module != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "this module has already been initialised in this process");
        return -1;
    }
    try {
        Module m(module);
        exec(m);
        guard.module = Py_NewRef(module);
        return 0;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module initialisation failed without an error");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception while initialising a module");
    }
    // A failed exec leaves the half-built module to the import machinery,
    // which drops it; the guard is untouched, so the next import runs again.
    return -1;
}

}  // namespace quillon

namespace quillon {

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t;
}

Ref dict(std::initializer_list<Kw> items) {
    Ref d = own(PyDict_New());
    for (const Kw& kw : items) need(PyDict_SetItemString(d.get(), kw.name, kw.value));
    return d;
}

PendingError PendingError::take() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PendingError error{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    if (error.traceback && error.value) need(PyException_SetTraceback(error.value.get(), error.traceback.get()));
    return error;
}

Ref catch_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
    return PendingError::take().value;
}

Ref with_context(PyObject* ctx, Ref (*body)(PyObject*, void*), void* data) {
    Ref exit = attr(ctx, "__exit__");
    Ref entered = call_method(ctx, "__enter__");
    Ref result;
    try {
        result = body(entered.get(), data);
    } catch (const PyErrorSet&) {
        PendingError error = PendingError::take();
        if (!error.type) throw;
        PyObject* traceback = error.traceback ? error.traceback.get() : Py_None;
        Ref suppress = call(exit.get(), {error.type.get(), error.value.get(), traceback});
        if (truth(suppress.get())) return Ref::borrow(Py_None);
        error.restore();
        throw;
    }
    call(exit.get(), {Py_None, Py_None, Py_None});
    return result;
}

}  // namespace quillon
