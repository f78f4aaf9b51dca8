// module.hpp: module definition with multi-phase initialisation. The exec
// step of a module is a plain C++ function that reads like the module's
// list of statements; this layer runs it at most once per process, only in
// the first interpreter that imports the module, and leaves nothing behind
// when it fails, so the next import starts afresh.
#pragma once

#include "core/call.hpp"

namespace quillon {

/// The module being initialised, with the statements its exec step needs.
class Module {
public:
    explicit Module(PyObject* module);

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
    PyObject* module_;     // borrowed; the import machinery owns it
    PyObject* dict_;       // borrowed from the module
    Ref function_type_;  // made with the first function
};

using ExecFn = void (*)(Module&);

PyObject* create_module(PyObject* spec, PyModuleDef* def) noexcept;
int exec_module(PyObject* module, ExecFn exec) noexcept;

template <ExecFn Exec>
int exec_slot(PyObject* module) noexcept {
    return exec_module(module, Exec);
}

}  // namespace quillon

/// Defines PyInit_<name>, the module's one exported symbol. The definition
/// tables are static because the C API keeps pointers to them.
#define QUILLON_MODULE(name, exec)                                                                       \
    namespace {                                                                                          \
    PyModuleDef_Slot name##_slots[] = {                                                                  \
        {Py_mod_create, reinterpret_cast<void*>(::quillon::create_module)},                              \
        {Py_mod_exec, reinterpret_cast<void*>(::quillon::exec_slot<exec>)},                              \
        {0, nullptr},                                                                                    \
    };                                                                                                   \
    PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, name##_slots, nullptr,  \
                              nullptr, nullptr};                                                         \
    }                                                                                                    \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_def); }
