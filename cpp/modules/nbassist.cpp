// nbassist.cpp: the notebook assistant. Describes the notebook's namespace to
// the engine, runs the code-generation, optimisation, explanation and debug
// commands, puts answers into new cells, and shows the code-generation form;
// each in a file of its own under nbassist/.
#include "modules/nbassist/nbassist.hpp"

namespace quillon::nbassist {
namespace {

// --- parameters ----------------------------------------------------------------------

/// The module's own attribute look-up, for names it does not hold yet.
struct ModuleGetattrArgs {
    PyObject* name;
};
constexpr Param module_getattr_params[] = {{"name"}};

// --- the module ----------------------------------------------------------------------

/// `openai` is bound on first use: nothing here calls it, and importing it
/// takes about a second of every notebook start. The module's import still
/// fails where the package is missing (exec checks that it can be found).
Ref module_getattr_impl(Function& fn, const ModuleGetattrArgs& a) {
    if (PyUnicode_Check(a.name) && PyUnicode_Compare(a.name, interned(fn, "openai"_n)) == 0) {
        Ref openai = import("openai");
        set_global(fn, "openai"_n, openai.get());
        return openai;
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    // Any code may rebind or delete the module's __name__: named only while it is a str, as the
    // interpreter's own look-up does.
    Ref module_name = dict_entry(fn, fn.globals, "__name__"_n);
    if (module_name && PyUnicode_Check(module_name.get()))
        raise_format(PyExc_AttributeError, "module '%U' has no attribute '%S'", module_name.get(), a.name);
    raise_format(PyExc_AttributeError, "module has no attribute '%S'", a.name);
}

/// `import name`, without running the package: ModuleNotFoundError when it
/// is not installed.
void require_installed(const char* name) {
    Ref find_spec = import_from("importlib.util", "find_spec");
    Ref spec = call(find_spec.get(), {text(name).get()});
    if (spec.get() != Py_None) return;
    Ref message = own(PyUnicode_FromFormat("No module named '%s'", name));
    Ref error = call(PyExc_ModuleNotFoundError, {message.get()});
    need(PyObject_SetAttrString(error.get(), "name", text(name).get()));
    raise_object(error.get());
}

constexpr FunctionSpec module_getattr_spec =
    function<ModuleGetattrArgs, module_getattr_params, module_getattr_impl>("__getattr__", nullptr);

/// The module's functions, in the order they are defined.
const FunctionSpec* const functions[] = {
    &get_prompts_spec,           &optimize_code_spec,     &generate_markdown_spec, &generate_code_completion_spec,
    &display_previous_cell_spec, &display_next_cell_spec, &generate_code_spec,     &generate_prompt_spec,
    &module_getattr_spec,
};

void exec(Module& m) {
    m.import("ipywidgets", "widgets");
    m.import_from("IPython.display", "display");
    m.import_from("IPython.display", "Javascript");
    require_installed("openai");
    m.import("os");
    m.import_from("pandas", "DataFrame");
    m.import_from("quillon.velto_gpt_sdk.promptbook", "prompts_list", "prompt_sample_list");
    m.import_from("quillon.validation.credgate", "authenticate_credentials");
    m.import_from("quillon.velto_gpt_sdk.endpoints", "get_completion");
    call(m.global("authenticate_credentials").get());
    for (const FunctionSpec* spec : functions) m.def(*spec);
}

}  // namespace
}  // namespace quillon::nbassist

QUILLON_MODULE(nbassist, quillon::nbassist::exec, quillon::nbassist::module_names)
