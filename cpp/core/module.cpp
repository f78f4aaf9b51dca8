// module.cpp: module creation, exec and state behind QUILLON_MODULE.
#include "core/module.hpp"

#include <cstdint>

namespace quillon {

namespace {

// The only process-wide state of a module, and deliberately so: a module
// initialises once per process and lives in the first interpreter that
// imports it (on 3.12 and later its definition says so too, in the
// interpreters slot). A later import (after the module was dropped from
// sys.modules) gets the same module object back instead of running its
// statements, and with them the login, a second time; importlib.reload
// finds it initialised and runs nothing. What the module's functions need
// lives here beside it, so it is there whenever one of them runs, whatever
// the import machinery does with the module object meanwhile. Each
// extension module links its own copy of this core, so each has its own
// guard.
struct Guard {
    std::int64_t interpreter = -1;
    PyObject* module = nullptr;  // strong; set only once exec has succeeded
    ModuleState state{};         // filled by the exec, emptied again when the exec fails
};
Guard guard;

void clear_state(ModuleState& state) noexcept {
    Py_CLEAR(state.function_type);
    for (std::size_t i = 0; i < state.name_count; ++i) Py_CLEAR(state.names[i]);
    state.name_count = 0;
}

/// Fills the state: the function type and one interned str per name.
void initialise_state(PyObject* module, ModuleState& state, std::span<const std::string_view> names) {
    state.function_type = make_function_type(module).release();
    for (std::string_view name : names) {
        PyObject* s = need(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        PyUnicode_InternInPlace(&s);
        state.names[state.name_count++] = s;
    }
}

}  // namespace

ModuleState& module_state(const Function&) {
    if (guard.state.function_type == nullptr) raise(PyExc_SystemError, "module state used before initialisation");
    return guard.state;
}

Module::Module(PyObject* module, ModuleState& state)
    : module_(module), dict_(need(PyModule_GetDict(module))), state_(state) {}

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
    Ref fn = make_function(state_.function_type, module_, spec);
    bind(spec.name, fn.get());
}

Ref Module::global(const char* name) const {
    Ref key = text(name);
    PyObject* value = PyDict_GetItemWithError(dict_, key.get());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        raise_format(PyExc_NameError, "name '%s' is not defined", name);
    }
    return Ref::borrow(value);
}

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
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    if (guard.module == nullptr) return PyModule_NewObject(name.get());
    // The import machinery stamps the ModuleSpec it was given (`__spec__`) on
    // the module it gets back, so handing the live module to a load under
    // another name (the shared object loaded from its path as "x") would leave
    // it with a ModuleSpec that no longer finds it.
    Ref live = Ref::steal(PyModule_GetNameObject(guard.module));
    if (!live) return nullptr;
    int same = PyObject_RichCompareBool(live.get(), name.get(), Py_EQ);
    if (same == 0) {
        Ref message = Ref::steal(PyUnicode_FromFormat(
            "%U is already loaded in this process and cannot be loaded again as %R", live.get(), name.get()));
        if (message) PyErr_SetImportError(message.get(), name.get(), nullptr);
    }
    if (same != 1) return nullptr;
    // CPython drops the state block of the module it gets back (without
    // freeing it) and gives it a new one at exec. Ours is empty, a mere
    // "initialised" mark that makes importlib.reload skip the exec; it is
    // freed here, so that re-imports leak nothing.
    PyMem_Free(PyModule_GetState(guard.module));
    return Py_NewRef(guard.module);
}

int exec_module(PyObject* module, ExecFn exec, std::span<const std::string_view> names) {
    if (guard.module == module) return 0;  // the re-import above (a reload finds the mark and skips exec)
    if (guard.module != nullptr || guard.state.function_type != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "this module has already been initialised in this process");
        return -1;
    }
    int result = boundary(-1, "module initialisation", [&] {
        initialise_state(module, guard.state, names);
        Module m(module, guard.state);
        exec(m);
        guard.module = Py_NewRef(module);
        return 0;
    });
    // A failed exec leaves the half-built module to the import machinery,
    // which drops it; the guard forgets what the exec made, so the next
    // import runs again.
    if (result != 0) clear_state(guard.state);
    return result;
}

}  // namespace quillon
