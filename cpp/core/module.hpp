// module.hpp: module definition with multi-phase initialisation and module
// state. The exec step of a module is a plain C++ function that reads like
// the module's list of statements; this layer runs it at most once per
// process, only in the first interpreter that imports the module, and leaves
// nothing behind when it fails, so the next import starts afresh.
#pragma once

#include "core/call.hpp"
#include "core/flow.hpp"
#include "core/import.hpp"
#include "core/lookup.hpp"
#include "core/values.hpp"

#include <span>

namespace quillon {

/// What a module keeps for its functions: the function type (which every
/// function of the module refers to) and the interned names of its table.
/// A module is made once per process, so this lives in the process guard
/// beside it (module.cpp).
struct ModuleState {
    PyObject* function_type;       // strong
    PyObject* names[max_names];    // strong, interned; indexed by Name::index
    std::size_t name_count;
};

/// The state of the module that defined `fn` (each module links its own core).
ModuleState& module_state(const Function& fn);

/// The module being initialised, with the statements its exec step needs.
class Module {
public:
    Module(PyObject* module, ModuleState& state);

    PyObject* get() const noexcept { return module_; }

    /// `name = value`
    void bind(const char* name, PyObject* value);
    /// `import name` (the module bound under its own name, or `as`).
    void import(const char* name, const char* as = nullptr);
    /// `from module import name [as as]`
    void import_from(const char* module, const char* name, const char* as = nullptr);
    /// Defines a module-level function.
    void def(const FunctionSpec& spec);
    /// The current value of a global, as the module's statements see it.
    Ref global(const char* name) const;

private:
    PyObject* module_;  // borrowed; the import machinery owns it
    PyObject* dict_;    // borrowed from the module
    ModuleState& state_;
};

using ExecFn = void (*)(Module&);

PyObject* create_module(PyObject* spec, PyModuleDef* def) noexcept;
// Not noexcept: the exec runs Python code (the login), so a thread that the
// interpreter's exit ends must be able to unwind through it (see boundary()).
int exec_module(PyObject* module, ExecFn exec, std::span<const std::string_view> names);

template <ExecFn Exec, const auto& Names>
int exec_slot(PyObject* module) {
    return exec_module(module, Exec, Names.names);
}

}  // namespace quillon

/// Defines PyInit_<name>, the module's one exported symbol, for a module
/// with the exec step `exec` and the name table `names` (QUILLON_NAMES). The
/// definition tables are static because the C API keeps pointers to them;
/// the declarations of what the modules cannot do come from version.hpp. The
/// module's state lives in the process guard (module.cpp), so its
/// per-module block is empty.
#define QUILLON_MODULE(name, exec, names)                                                                  \
    namespace {                                                                                            \
    PyModuleDef_Slot name##_slots[] = {                                                                    \
        {Py_mod_create, reinterpret_cast<void*>(::quillon::create_module)},                                \
        {Py_mod_exec, reinterpret_cast<void*>(::quillon::exec_slot<exec, names>)},                         \
        QUILLON_SLOT_INTERPRETERS QUILLON_SLOT_GIL {0, nullptr},                                           \
    };                                                                                                     \
    PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, name##_slots,            \
                              nullptr, nullptr, nullptr};                                                  \
    }                                                                                                      \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_def); }
