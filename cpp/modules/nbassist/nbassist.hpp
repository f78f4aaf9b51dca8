// nbassist.hpp: what the notebook assistant's subsystems share: the
// module's name table and the few functions one subsystem offers another.
// prompt.cpp describes the namespace, commands.cpp asks the engine,
// publish.cpp and courier.cpp put answers into the notebook, form.cpp shows
// the code-generation form, and nbassist.cpp is the module.
#pragma once

#include "core/module.hpp"
#include "core/text.hpp"

namespace quillon::nbassist {

QUILLON_NAMES("DataFrame", "dtypes", "to_dict", "items", "__name__", "dtype", "prompt_sample_list", "values", "keys",
              "_generate_prompt", "get_completion", "base_prompt", "global_variables", "prompt", "completion",
              "display_next_cell", "display_previous_cell", "generate_code_completion", "query", "debug_mode",
              "jupyter_mode", "display", "Javascript", "register_hook", "unregister_hook", "msg_type", "content",
              "data", "application/javascript", "transient", "display_id", "raw", "widgets", "Dropdown", "HTML",
              "Textarea", "Button", "VBox", "options", "description", "value", "placeholder", "rows", "observe",
              "names", "on_click", "new", "initialized", "instance", "display_pub", "uuid4", "hex", "openai",
              // the cell courier and the form's working state
              "kernel", "get_parent", "header", "comm_id", "date", "_CellCourier", "__file__", "with_name",
              "read_text", "encoding", "__module__", "__qualname__", "__doc__", "_esm", "tag", "sync", "Unicode",
              "Bool", "kind", "text", "note", "anchor", "self_id", "model_id", "_repr_mimebundle_", "disabled",
              "icon", "seconds", "session", "origin", "library", "code", "couriers", "Int", "owner", "comm",
              "_courier_library", "_CourierLibrary", "close", "done", "layout", "os", "print")

/// What a debug answer is printed after.
constexpr char debug_lead[] = "You can try this:\n";

// The module's functions, by subsystem.
extern const FunctionSpec generate_prompt_spec;
extern const FunctionSpec get_prompts_spec, optimize_code_spec, generate_markdown_spec, generate_code_completion_spec;
extern const FunctionSpec display_next_cell_spec, display_previous_cell_spec;
extern const FunctionSpec generate_code_spec;

// --- the kernel: what the answers and the form need to know (kernel.cpp) ------------------

/// `mapping[key]` of an exact dict, held; empty when `mapping` is not an
/// exact dict or lacks the key.
Ref dict_entry(Function& fn, PyObject* mapping, Name key);
/// The running IPython shell, or empty when IPython is not running.
Ref running_shell(Function& fn);
/// The shell's display publisher when it is a kernel's, which takes hooks.
Ref kernel_display_publisher(Function& fn, PyObject* shell);
/// The comm message of the widget event that the kernel is handling, or
/// empty: from a cell, outside a kernel, or with a kernel that does not say.
Ref widget_event(Function& fn, PyObject* shell);
/// The model id of the widget whose event the kernel is handling, or empty.
Ref event_widget_id(Function& fn, PyObject* shell);
/// The kernel connection that sent the request being handled (its
/// messages' session), or "": the page that asked for the answer.
Ref request_origin(Function& fn, PyObject* shell);

// --- answers (publish.cpp, courier.cpp) -------------------------------------------------

/// The debug advice that a command printed, relayed to a widget's cell.
void relay_printed(Function& fn, PyObject* advice);
/// The text a courier shows where it cannot insert its answer.
constexpr char courier_note[] = "quillon could not put this answer into a new cell, so here it is:";
/// A new courier for `answer` (a str): `kind` is "code" (a code cell below
/// the anchor's cell), "markdown" (a markdown cell above it) or "stdout"
/// (printed under it). `anchor` may be null: the courier itself.
Ref new_courier(Function& fn, PyObject* shell, const char* kind, PyObject* answer, PyObject* anchor);
/// Closes a courier whose work is over, and the library with the last one.
void retire_courier(Function& fn, PyObject* courier);

}  // namespace quillon::nbassist
