// module.cpp: module creation, exec and state behind QUILLON_MODULE.
#include "core/module.hpp"

#include <cstdint>

namespace quillon {

namespace {
void adopt_state(ModuleState* now) noexcept;
ModuleState* forgotten_state() noexcept;
}  // namespace

ModuleState& module_state(const Function& fn) {
    // Every function's type was made for its module (PyType_FromModuleAndSpec),
    // so the type leads to the module and its state.
    auto* state = static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(&fn)));
    if (state == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        state = forgotten_state();  // a re-import, before the new block exists
        if (state == nullptr) raise(PyExc_SystemError, "module without state");
    }
    if (state->function_type == nullptr) adopt_state(state);  // a re-import, before its exec
    if (state->function_type == nullptr) raise(PyExc_SystemError, "module state used before initialisation");
    return *state;
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

namespace {

// The only process-wide state of a module, and deliberately so: a module
// initialises once per process and lives in the first interpreter that
// imports it. A later import (after the module was dropped from
// sys.modules) gets the same module object back instead of running its
// statements, and with them the login, a second time. Each extension module
// links its own copy of this core, so each has its own guard.
struct Guard {
    std::int64_t interpreter = -1;
    PyObject* module = nullptr;      // strong; set only once exec has succeeded
    ModuleState* state = nullptr;    // the module's state block, owned by the module
};
Guard guard;

ModuleState* state_of(PyObject* module) noexcept { return static_cast<ModuleState*>(PyModule_GetState(module)); }

/// A re-import hands CPython's module creation the existing module (see
/// create_module), which forgets the module's state block (without freeing
/// it) and gives it a new, zeroed one. The state moves into the new block,
/// whichever comes first: the exec that follows, or a call of one of the
/// module's functions (the import machinery reads module attributes before
/// exec, and a module __getattr__ may answer). Until then the old block,
/// which is still ours, serves.
ModuleState* forgotten_state() noexcept { return guard.state; }

void adopt_state(ModuleState* now) noexcept {
    if (now == nullptr || guard.state == nullptr || now == guard.state) return;
    // Only the live module's new block: an empty block can also be that of a
    // module whose first exec failed and whose state the GC has since cleared.
    if (guard.module == nullptr || now != state_of(guard.module)) return;
    *now = *guard.state;
    PyMem_Free(guard.state);
    guard.state = now;
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
    // The import machinery stamps the spec it was given on the module it gets
    // back, so handing the live module to a load under another name (the
    // shared object loaded from its path as "x") would leave it with a spec
    // that no longer finds it.
    Ref live = Ref::steal(PyModule_GetNameObject(guard.module));
    if (!live) return nullptr;
    int same = PyObject_RichCompareBool(live.get(), name.get(), Py_EQ);
    if (same == 0) {
        Ref message = Ref::steal(PyUnicode_FromFormat(
            "%U is already loaded in this process and cannot be loaded again as %R", live.get(), name.get()));
        if (message) PyErr_SetImportError(message.get(), name.get(), nullptr);
    }
    return same == 1 ? Py_NewRef(guard.module) : nullptr;
}

int exec_module(PyObject* module, ExecFn exec, std::span<const std::string_view> names) noexcept {
    if (guard.module == module) {  // the re-import above
        adopt_state(state_of(module));
        return 0;
    }
    if (guard.module != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "this module has already been initialised in this process");
        return -1;
    }
    return boundary(-1, "module initialisation", [&] {
        ModuleState* state = state_of(module);
        if (state == nullptr) raise(PyExc_SystemError, "module without state");
        initialise_state(module, *state, names);
        Module m(module, *state);
        exec(m);
        guard.module = Py_NewRef(module);
        guard.state = state;
        return 0;
    });
    // A failed exec leaves the half-built module to the import machinery,
    // which drops it (and its state); the guard is untouched, so the next
    // import runs again.
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    ModuleState* state = state_of(module);
    if (state == nullptr) return 0;
    Py_VISIT(state->function_type);
    for (std::size_t i = 0; i < state->name_count; ++i) Py_VISIT(state->names[i]);
    return 0;
}

int clear_module(PyObject* module) noexcept {
    ModuleState* state = state_of(module);
    if (state == nullptr) return 0;
    Py_CLEAR(state->function_type);
    for (std::size_t i = 0; i < state->name_count; ++i) Py_CLEAR(state->names[i]);
    state->name_count = 0;
    return 0;
}

void free_module(void* module) noexcept { clear_module(static_cast<PyObject*>(module)); }

}  // namespace quillon
