// commands.cpp: the commands: optimise, explain, generate or debug code, each
// asking the engine with the full prompt and publishing its answer.
#include "modules/nbassist/nbassist.hpp"

namespace quillon::nbassist {
namespace {

// --- texts -----------------------------------------------------------------------

// The commands' base prompts.
constexpr char optimize_prompt[] = "Optimize the following code to be more efficient: ";
constexpr char markdown_prompt[] =
    "Explain the below given code and generate your answer in a proper markdown format that is easiy understand for "
    "coders and non coders alike:\n";
constexpr char code_prompt[] = "Write python code for: ";
constexpr char debug_prompt[] = "Debug the below given error and tell me how I can resolve it: \n";

constexpr char get_prompts_doc[] = "\n    Get the list of prompts\n    :return:\n    ";
constexpr char optimize_code_doc[] =
    "\n    Optimize the code\n"
    "    :param code: code to be optimized\n"
    "    :param global_variables: global variables to be used in the code\n"
    "    :param jupyter_mode: If the user is using a jupyter notebook or not\n"
    "    :return:\n    ";
constexpr char generate_markdown_doc[] =
    "\n    Generate the markdown for the code\n"
    "    :param code: code to be converted to markdown\n"
    "    :param global_variables: global variables to be used in the code\n"
    "    :param jupyter_mode: If the user is using a jupyter notebook or not\n"
    "    :return:\n    ";
constexpr char generate_code_completion_doc[] =
    "\n    Call the completion function to generate the code\n"
    "    :param query: query from the user\n"
    "    :param jupyter_mode: If the user is using a jupyter notebook or not\n"
    "    :param global_variables: global variables to be used in the code\n"
    "    :param debug_mode: If the user is debugging the code\n"
    "    :return:\n    ";

// --- parameters ----------------------------------------------------------------------

/// optimize_code and generate_markdown.
struct CodeArgs {
    PyObject *code, *global_variables, *jupyter_mode;
};
constexpr Param code_params[] = {
    {"code", Exact::str, "str"},
    {"global_variables", Exact::dict, "dict", Default::None()},
    {"jupyter_mode", Exact::any, "bool", Default::True()},
};

struct GenerateCodeCompletionArgs {
    PyObject *query, *global_variables, *debug_mode, *jupyter_mode;
};
constexpr Param generate_code_completion_params[] = {
    {"query"},
    {"global_variables", Exact::dict, "dict", Default::None()},
    {"debug_mode", Exact::any, "bool", Default::False()},
    {"jupyter_mode", Exact::any, "bool", Default::True()},
};

// --- commands ------------------------------------------------------------------------

Ref get_prompts_impl(Function& fn) {
    Ref values = call_method(fn, global(fn, "prompt_sample_list"_n).get(), "values"_n);
    return own(PySequence_List(values.get()));
}

/// Builds the full prompt for `query`, asks the engine and returns the
/// "completion" entry of its answer.
Ref complete(Function& fn, PyObject* query, const char* base_prompt, PyObject* global_variables) {
    Ref base = text(base_prompt);
    Ref prompt = call(fn, global(fn, "_generate_prompt"_n).get(), {query},
                      {{"base_prompt"_n, base.get()}, {"global_variables"_n, global_variables}});
    Ref answer = call(fn, global(fn, "get_completion"_n).get(), {}, {{"prompt"_n, prompt.get()}});
    return item(fn, answer.get(), "completion"_n);
}

Ref optimize_code_impl(Function& fn, const CodeArgs& a) {
    Ref optimized_code = complete(fn, a.code, optimize_prompt, a.global_variables);
    if (!truth(a.jupyter_mode)) return optimized_code;
    call(global(fn, "display_next_cell"_n).get(), {optimized_code.get()});
    return Ref::borrow(Py_None);
}

Ref generate_markdown_impl(Function& fn, const CodeArgs& a) {
    Ref markdown = complete(fn, a.code, markdown_prompt, a.global_variables);
    if (!truth(a.jupyter_mode)) return markdown;
    call(global(fn, "display_previous_cell"_n).get(), {markdown.get()});
    return Ref::borrow(Py_None);
}

Ref generate_code_completion_impl(Function& fn, const GenerateCodeCompletionArgs& a) {
    bool debug = truth(a.debug_mode);  // once: its __bool__ could answer differently the second time
    Ref code = complete(fn, a.query, debug ? debug_prompt : code_prompt, a.global_variables);
    if (debug) {
        Ref lead = text(debug_lead);
        call(global(fn, "print"_n).get(), {lead.get(), code.get()});
        relay_printed(fn, code.get());
    } else if (truth(a.jupyter_mode)) {
        call(global(fn, "display_next_cell"_n).get(), {code.get()});
    } else {
        return code;
    }
    return Ref::borrow(Py_None);
}

}  // namespace

const FunctionSpec get_prompts_spec = function<get_prompts_impl>("get_prompts", get_prompts_doc);
const FunctionSpec optimize_code_spec =
    function<CodeArgs, code_params, optimize_code_impl>("optimize_code", optimize_code_doc);
const FunctionSpec generate_markdown_spec =
    function<CodeArgs, code_params, generate_markdown_impl>("generate_markdown", generate_markdown_doc);
const FunctionSpec generate_code_completion_spec =
    function<GenerateCodeCompletionArgs, generate_code_completion_params, generate_code_completion_impl>(
        "generate_code_completion", generate_code_completion_doc);
}  // namespace quillon::nbassist
