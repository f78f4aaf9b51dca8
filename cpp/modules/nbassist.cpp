// nbassist.cpp: the notebook assistant. Describes the notebook's namespace to
// the engine, runs the code-generation, optimisation, explanation and debug
// commands, puts answers into new cells, and shows the code-generation form.
#include "core/module.hpp"
#include "core/text.hpp"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace quillon::nbassist {
namespace {

// --- texts -----------------------------------------------------------------------

// The namespace description.
constexpr std::string_view header = "Given below are the modules and the variables that I have used:\n";
constexpr std::string_view modules_start = "Modules: \n";
constexpr std::string_view variables_start = "Variables: \n";
constexpr std::string_view name_lead = "name: ";
constexpr std::string_view type_lead = ", type: ";
constexpr std::string_view column_lead = "\t column: ";
constexpr std::string_view dtype_lead = ", dtype:";
constexpr std::string_view context_lead = "Use them as context and ";
constexpr std::string_view base_prompt_end = ": ";
constexpr const char* left_out[] = {"In", "Out", "quit", "exit"};

// The commands' base prompts.
constexpr char optimize_prompt[] = "Optimize the following code to be more efficient: ";
constexpr char markdown_prompt[] =
    "Explain the below given code and generate your answer in a proper markdown format that is easiy understand for "
    "coders and non coders alike:\n";
constexpr char code_prompt[] = "Write python code for: ";
constexpr char debug_prompt[] = "Debug the below given error and tell me how I can resolve it: \n";
constexpr char debug_lead[] = "You can try this:\n";

// The cell scripts of the classic notebook.
constexpr std::string_view cell_below_head =
    "\n        var code_cell = Jupyter.notebook.insert_cell_below('code');\n        code_cell.set_text(`";
constexpr std::string_view cell_above_head =
    "\n        var code_cell = Jupyter.notebook.insert_cell_above('markdown');\n        code_cell.set_text(`";
constexpr std::string_view cell_tail = "`);\n        code_cell.focus_cell();\n    ";

// The form.
constexpr char select_prompt[] = "Select the prompt";
constexpr char debug_code[] = "Debug Code";
constexpr char placeholder_initial[] = "Type your code generation query here";
constexpr char placeholder_query[] = "Type your code generation query here.";
constexpr char placeholder_error[] = "Enter your error response here.";

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
constexpr char display_next_cell_doc[] =
    "\n    Add the code to the next cell\n"
    "    :param code: code to be added to next cell\n"
    "    :return:\n    ";
constexpr char display_previous_cell_doc[] =
    "\n    Add the markdown to the previous cell\n"
    "    :param markdown: markdown to be added to previous cell\n"
    "    :return:\n    ";
constexpr char generate_code_doc[] = "\n    Generate the code using the GPT-3 API\n    :return:\n    ";
constexpr char on_button_clicked_doc[] =
    "\n        Update the box on the submission of the query\n"
    "        :param b: button \n"
    "        :return:\n        ";
constexpr char update_text_box_doc[] =
    "\n        Update the text box with the selected value\n"
    "        :param change: change in the value of the drop down\n"
    "        :return: None\n        ";

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
              "_courier_library", "_CourierLibrary", "close", "done", "os", "print")

// --- parameters ----------------------------------------------------------------------

struct GeneratePromptArgs {
    PyObject *query, *base_prompt, *global_variables;
};
constexpr Param generate_prompt_params[] = {
    {"query"},
    {"base_prompt", Exact::str, "str"},
    {"global_variables", Exact::any, nullptr, Default::None()},
};

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

struct DisplayNextCellArgs {
    PyObject* code;
};
constexpr Param display_next_cell_params[] = {{"code"}};

struct DisplayPreviousCellArgs {
    PyObject* markdown;
};
constexpr Param display_previous_cell_params[] = {{"markdown"}};

struct GenerateCodeArgs {
    PyObject* global_variables;
};
constexpr Param generate_code_params[] = {{"global_variables", Exact::any, nullptr, Default::None()}};

/// The observer of a courier's `done`.
struct CourierDeliveredArgs {
    PyObject* change;
};
constexpr Param courier_delivered_params[] = {{"change"}};

/// The display publisher hook of one cell script.
struct TagCellScriptArgs {
    PyObject* msg;
};
constexpr Param tag_cell_script_params[] = {{"msg"}};

/// The form's two handlers.
struct OnButtonClickedArgs {
    PyObject* b;
};
constexpr Param on_button_clicked_params[] = {{"b"}};

struct UpdateTextBoxArgs {
    PyObject* change;
};
constexpr Param update_text_box_params[] = {{"change"}};

/// The module's own attribute look-up, for names it does not hold yet.
struct ModuleGetattrArgs {
    PyObject* name;
};
constexpr Param module_getattr_params[] = {{"name"}};

// --- prompt assembly ------------------------------------------------------------------

/// Whether a namespace entry is described: no "_" anywhere in the name, and
/// none of IPython's own entries. Runs no Python code for an exact str.
bool described(PyObject* name) {
    if (PyUnicode_CheckExact(name)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(name);
        Py_ssize_t at = PyUnicode_FindChar(name, '_', 0, length, 1);
        if (at == -2) throw PyErrorSet{};
        if (at != -1) return false;
        if (length < 2 || length > 4) return true;  // no entry of IPython's can match
        for (const char* skip : left_out)
            if (PyUnicode_CompareWithASCIIString(name, skip) == 0) return false;
        return true;
    }
    Ref underscore = text("_");
    if (need(PySequence_Contains(name, underscore.get()))) return false;
    for (const char* skip : left_out) {
        Ref s = text(skip);
        if (!need(PyObject_RichCompareBool(name, s.get(), Py_NE))) return false;
    }
    return true;
}

/// str() of the objects that recur in one prompt: classes whose metaclass is
/// exactly `type` and numpy dtypes. For these str() runs no Python code and
/// depends only on the object, as long as no Python code runs in between
/// (a class's __qualname__ can be rebound): whoever runs Python code calls
/// `forget()`. Holds each key, so an address is not reused meanwhile.
class StrCache {
public:
    /// str(obj), from the cache where `cacheable` allows it.
    Ref get(PyObject* obj, bool cacheable) {
        if (!cacheable) return str(obj);
        for (auto& [key, value] : entries_)
            if (key.get() == obj) return value;
        Ref value = str(obj);
        if (entries_.size() < 64) entries_.emplace_back(Ref::borrow(obj), value);
        return value;
    }
    void forget() { entries_.clear(); }

private:
    std::vector<std::pair<Ref, Ref>> entries_;
};

Ref type_of(PyObject* value) { return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value))); }

/// `a, b = pair`, without an iterator for the usual exact 2-tuple.
std::array<Ref, 2> unpack_pair(PyObject* pair) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(pair, 0)), Ref::borrow(PyTuple_GET_ITEM(pair, 1))};
    return unpack<2>(pair);
}

/// What one prompt needs to know while it describes values.
struct Describer {
    Function& fn;
    Ref module_type;  // the type of `os`: values of exactly this type are modules
    Ref data_frame;
    Ref numpy_dtype;  // numpy.dtype, or empty without numpy
    StrCache type_text, dtype_text;
    TextBuilder modules, variables;
    bool ran_python = false;  // set once describing a value may have run Python code

    /// The column lines of a DataFrame, joined with line feeds.
    void columns(PyObject* df) {
        Ref dtypes = attr(fn, df, "dtypes"_n);
        Ref by_column = call_method(fn, dtypes.get(), "to_dict"_n);
        Ref items = call_method(fn, by_column.get(), "items"_n);
        Ref it = own(PyObject_GetIter(items.get()));
        bool first = true;
        while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
            auto [label, dtype] = unpack_pair(pair.get());
            if (!first) variables.ascii("\n");
            first = false;
            variables.ascii(column_lead).str(str(label.get()).get());
            bool fixed = numpy_dtype && PyObject_TypeCheck(dtype.get(), reinterpret_cast<PyTypeObject*>(numpy_dtype.get()));
            variables.ascii(dtype_lead).str(dtype_text.get(dtype.get(), fixed).get());
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    }

    /// Describes the value under `name`, fetched by `value_of()` afresh for
    /// each test and use.
    template <class ValueOf>
    void describe(PyObject* name, ValueOf&& value_of) {
        if (Py_TYPE(value_of().get()) == reinterpret_cast<PyTypeObject*>(module_type.get())) {
            modules.str(formatted(name).get()).ascii("\n");
            return;
        }
        variables.ascii(name_lead).str(formatted(name).get()).ascii(type_lead);
        if (Py_TYPE(value_of().get()) == reinterpret_cast<PyTypeObject*>(data_frame.get())) {
            Ref df = value_of();
            Ref type_name = attr(fn, type_of(df.get()).get(), "__name__"_n);
            variables.str(formatted(type_name.get()).get()).ascii("\n");
            columns(df.get());
            type_text.forget();  // the frame's own code ran
            ran_python = true;
        } else {
            Ref type = type_of(value_of().get());
            bool plain_class = Py_IS_TYPE(type.get(), &PyType_Type);
            variables.str(type_text.get(type.get(), plain_class).get());
            if (!plain_class) {
                type_text.forget();  // a metaclass's __str__ ran
                ran_python = true;
            }
        }
        variables.ascii("\n");
    }
};

/// An exact dict whose keys are all exact strs: selecting names runs no
/// Python code, so one walk selects them and takes their values, which are
/// what a look-up after the selection gives. Once describing a value may
/// have run Python code (a frame's dtypes, a metaclass's __str__), the rest
/// are read from the dict again, as it stands at that moment.
void describe_plain_dict(Describer& d, PyObject* ns) {
    std::vector<std::pair<Ref, Ref>> entries;
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(ns, &pos, &name, &value))
        if (described(name)) entries.emplace_back(Ref::borrow(name), Ref::borrow(value));
    for (const auto& [n, taken] : entries) {
        d.describe(n.get(), [&] {
            if (!d.ran_python) return taken;
            Ref v = Ref::borrow(PyDict_GetItemWithError(ns, n.get()));
            if (!v) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, n.get());
                throw PyErrorSet{};
            }
            return v;
        });
    }
}

/// Any other mapping (or a dict with other keys): the names first, by
/// iterating over it, and then `ns[name]` for every test and use.
void describe_mapping(Describer& d, PyObject* ns) {
    std::vector<Ref> names;
    bool exact_dict = PyDict_CheckExact(ns);
    Py_ssize_t size = exact_dict ? PyDict_GET_SIZE(ns) : 0;
    Ref it = own(PyObject_GetIter(ns));
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        bool keep = described(name.get());  // may run Python code for a key that is not a str
        if (exact_dict && PyDict_GET_SIZE(ns) != size)
            raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (keep) names.push_back(std::move(name));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    for (const Ref& n : names) {
        d.describe(n.get(), [&] { return own(PyObject_GetItem(ns, n.get())); });
        d.type_text.forget();  // the lookups ran the mapping's code
    }
}

bool all_keys_exact_str(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

/// numpy.dtype, when numpy is loaded (pandas brings it); empty otherwise.
Ref numpy_dtype_class(Function& fn) {
    Ref key = text("numpy");
    Ref numpy = Ref::steal(PyImport_GetModule(key.get()));
    if (!numpy) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        return {};
    }
    Ref dtype = Ref::steal(PyObject_GetAttr(numpy.get(), interned(fn, "dtype"_n)));
    if (!dtype) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
        return {};
    }
    return PyType_Check(dtype.get()) ? dtype : Ref{};
}

Ref generate_prompt_impl(Function& fn, const GeneratePromptArgs& a) {
    if (a.global_variables == Py_None) return own(PyNumber_Add(a.base_prompt, a.query));

    Describer d{fn, type_of(global(fn, "os"_n).get()), global(fn, "DataFrame"_n), numpy_dtype_class(fn), {}, {}, {}, {}};
    d.modules.ascii(modules_start);
    d.variables.ascii(variables_start);
    if (PyDict_CheckExact(a.global_variables) && all_keys_exact_str(a.global_variables))
        describe_plain_dict(d, a.global_variables);
    else
        describe_mapping(d, a.global_variables);

    TextBuilder prompt;
    prompt.ascii(header).str(d.modules.finish().get()).ascii("\n").str(d.variables.finish().get()).ascii("\n");
    prompt.ascii(context_lead).str(a.base_prompt).ascii(base_prompt_end);
    if (PyUnicode_CheckExact(a.query)) return prompt.str(a.query).finish();
    // Anything else joins as `+` would join it, with its own error.
    return own(PyNumber_Add(prompt.finish().get(), a.query));
}

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

void relay_printed(Function& fn, PyObject* advice);

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
    Ref code = complete(fn, a.query, truth(a.debug_mode) ? debug_prompt : code_prompt, a.global_variables);
    if (truth(a.debug_mode)) {
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

// --- cell scripts ----------------------------------------------------------------------

/// The text (a str) as the body of a JavaScript template string that
/// evaluates to exactly this text: backslash, backquote and "${" are
/// escaped, and so is the carriage return, which a template string would
/// turn into a line feed. Everything else stands as it is.
Ref template_literal_body(PyObject* value) {
    Ref s = Ref::borrow(value);
    constexpr std::pair<const char*, const char*> escapes[] = {
        {"\\", "\\\\"}, {"`", "\\`"}, {"${", "\\${"}, {"\r", "\\r"}};
    for (auto [from, to] : escapes) {
        Ref f = text(from), t = text(to);
        s = own(PyUnicode_Replace(s.get(), f.get(), t.get(), -1));
    }
    return s;
}

// A saved, trusted notebook runs its JavaScript outputs again when it is
// reopened, and every earlier cell script would then insert its cell once
// more. So the script's output is emptied as soon as the front end has run
// it: on its way out through the kernel's display publisher the message is
// given a display id, and an update with no data follows it. Outside a
// kernel, or when `display` is not the kernel's, the script is published
// as it is.

enum OnceCell : std::size_t { once_script, once_display_id, once_tagged, once_cell_count };

/// `mapping[key]` of an exact dict, held; empty when `mapping` is not an
/// exact dict or lacks the key.
Ref dict_entry(Function& fn, PyObject* mapping, Name key) {
    if (mapping == nullptr || !PyDict_CheckExact(mapping)) return {};
    Ref value = Ref::borrow(PyDict_GetItemWithError(mapping, interned(fn, key)));
    if (!value && PyErr_Occurred()) throw PyErrorSet{};
    return value;
}

/// A display publisher hook: tags our script's message with the display id.
/// Everything taken out of the message is held: the lookups can run the
/// `__eq__` of a key whose hash collides, and that code may change the
/// message. Only exact dicts and an exact str script can be ours, so the
/// comparison runs no Python code.
Ref tag_cell_script_impl(Function& fn, const TagCellScriptArgs& a) {
    Ref msg = Ref::borrow(a.msg);
    Ref msg_type = dict_entry(fn, msg.get(), "msg_type"_n);
    if (!msg_type || !PyUnicode_CheckExact(msg_type.get()) ||
        PyUnicode_CompareWithASCIIString(msg_type.get(), "display_data") != 0)
        return msg;
    Ref content = dict_entry(fn, msg.get(), "content"_n);
    Ref data = dict_entry(fn, content.get(), "data"_n);
    Ref script = dict_entry(fn, data.get(), "application/javascript"_n);
    Ref ours = fn.cell(once_script);
    if (!script || !PyUnicode_CheckExact(script.get()) || !PyUnicode_CheckExact(ours.get())) return msg;
    int same = PyUnicode_Compare(script.get(), ours.get());
    if (same == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (same != 0) return msg;
    Ref transient = dict(fn, {{"display_id"_n, fn.cell(once_display_id).get()}});
    need(PyDict_SetItem(content.get(), interned(fn, "transient"_n), transient.get()));
    need(PyCell_Set(PyTuple_GET_ITEM(fn.closure, once_tagged), Py_True));
    return msg;
}

constexpr FunctionSpec tag_cell_script_spec =
    function<TagCellScriptArgs, tag_cell_script_params, tag_cell_script_impl>("tag_cell_script", nullptr);

/// The running IPython shell, or empty when IPython is not running.
Ref running_shell(Function& fn) {
    Ref shell_class = import_from("IPython.core.interactiveshell", "InteractiveShell");
    if (!truth(call_method(fn, shell_class.get(), "initialized"_n).get())) return {};
    return call_method(fn, shell_class.get(), "instance"_n);
}

/// The shell's display publisher when it is a kernel's, which takes hooks.
Ref kernel_display_publisher(Function& fn, PyObject* shell) {
    Ref publisher = attr(fn, shell, "display_pub"_n);
    if (!PyObject_HasAttr(publisher.get(), interned(fn, "register_hook"_n))) return {};
    return publisher;
}

/// Publishes the classic notebook's cell script, emptied in a kernel once it
/// has run (see above).
void publish_cell_script(Function& fn, std::string_view head, PyObject* answer, PyObject* publisher) {
    Ref body = template_literal_body(answer);
    TextBuilder script;
    Ref text_script = script.ascii(head).str(body.get()).ascii(cell_tail).finish();
    Ref javascript = call(global(fn, "Javascript"_n).get(), {text_script.get()});

    if (publisher == nullptr) {
        call(global(fn, "display"_n).get(), {javascript.get()});
        return;
    }
    Ref uuid = call_method(fn, import("uuid").get(), "uuid4"_n);
    Ref display_id = attr(fn, uuid.get(), "hex"_n);
    Ref cells = own(PyTuple_New(once_cell_count));
    PyTuple_SET_ITEM(cells.get(), once_script, need(PyCell_New(text_script.get())));
    PyTuple_SET_ITEM(cells.get(), once_display_id, need(PyCell_New(display_id.get())));
    PyTuple_SET_ITEM(cells.get(), once_tagged, need(PyCell_New(Py_False)));
    Ref hook = make_closure(fn, tag_cell_script_spec, cells);

    call_method(fn, publisher, "register_hook"_n, {hook.get()});
    try_finally([&] { call(global(fn, "display"_n).get(), {javascript.get()}); },
                [&] { call_method(fn, publisher, "unregister_hook"_n, {hook.get()}); });
    if (PyCell_GET(PyTuple_GET_ITEM(cells.get(), once_tagged)) != Py_True) return;
    Ref nothing = own(PyDict_New());
    Ref update = import_from("IPython.display", "update_display");
    call(fn, update.get(), {nothing.get()}, {{"raw"_n, Py_True}, {"display_id"_n, display_id.get()}});
}

// --- answers in the other front ends: the cell courier ---------------------------------
//
// The cell script works only in the classic notebook: JupyterLab 4 and
// Notebook 7 have no `Jupyter.notebook`, and the kernel cannot tell which
// front end shows its output (a headless nbclient run looks like the classic
// notebook to it). So, in a kernel, every answer is also published as one
// more output: a bundle of a "courier" widget view, the answer as markdown
// and the answer as plain text. The courier's ES module (cellcourier.js,
// shipped beside this module and run by anywidget in every widget-capable
// front end) puts the answer into the notebook document in a JupyterLab-
// based front end; there and in the classic notebook, once the cell exists,
// it takes the output back by emptying it in place, so a saved notebook holds
// no answer twice and reopening it inserts nothing. Only the page that sent
// the request acts on its answer (the courier's `origin` is that page's
// kernel connection), so two pages on one shared notebook insert it once,
// and a courier restored from a saved notebook inserts nothing. Everywhere
// else the answer stays in its output: drawn by the module itself as text,
// or, where nothing draws widgets (nbclient, a console), as the markdown or
// the text. Neither is ever read as HTML: the markdown holds the answer in a
// fenced block that nothing in the answer can close.
//
// Once the front end has delivered an answer it sets `done`, and the kernel
// closes the courier: nothing of the answer stays in the kernel or in the
// widget state of a saved notebook. The module's text travels once per
// kernel, in one library widget that lives while couriers do; each courier's
// own ES module is a short loader of it.
//
// A widget event (the form's Submit) runs outside any cell: JupyterLab
// drops the outputs of its handler, but the courier's model still reaches
// the front end, and its `anchor` names the widget whose event ran the
// command, so the front end finds that widget's cell. From a cell, the
// anchor is the courier itself.

constexpr char courier_note[] = "quillon could not put this answer into a new cell, so here it is:";
constexpr char widget_view_type[] = "application/vnd.jupyter.widget-view+json";
constexpr Name courier_text_traits[] = {"kind"_n, "text"_n, "note"_n, "anchor"_n, "self_id"_n, "origin"_n, "library"_n};
constexpr char courier_doc[] =
    "The front-end half of an answer: puts it into a new cell, or prints it, where the classic\n"
    "notebook's cell script cannot; see cellcourier.js.";
constexpr char library_doc[] = "The text of cellcourier.js, sent once for every courier of this kernel.";

// Every courier's ES module: it imports the library's module once per page.
constexpr char courier_loader[] = R"js(const loaded = (globalThis.__quillonCourier ??= new Map());
function courier(model) {
  const id = model.get("library");
  if (!loaded.has(id))
    loaded.set(id, model.widget_manager.get_model(id).then(async (library) => {
      const url = URL.createObjectURL(new Blob([library.get("code")], { type: "text/javascript" }));
      try { return (await import(url)).default; } finally { URL.revokeObjectURL(url); }
    }));
  return loaded.get(id);
}
export default {
  async initialize(props) { return (await courier(props.model)).initialize(props); },
  async render(props) { return (await courier(props.model)).render(props); },
};
)js";

/// `obj.name`, or empty when the object has no such attribute.
Ref attr_if_any(Function& fn, PyObject* obj, Name name) {
    PyObject* value = PyObject_GetAttr(obj, interned(fn, name));
    if (value != nullptr) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
    PyErr_Clear();
    return {};
}

/// The request on the kernel's shell channel that is being handled (a
/// cell's execute_request or a widget's comm_msg), or empty outside a kernel.
Ref shell_request(Function& fn, PyObject* shell) {
    Ref kernel = attr_if_any(fn, shell, "kernel"_n);
    if (!kernel || kernel.get() == Py_None) return {};
    Ref get_parent = attr_if_any(fn, kernel.get(), "get_parent"_n);
    if (!get_parent) return {};
    return call(get_parent.get(), {text("shell").get()});
}

/// The comm message of the widget event that the kernel is handling, or
/// empty: from a cell, outside a kernel, or with a kernel that does not say.
Ref widget_event(Function& fn, PyObject* shell) {
    Ref request = shell_request(fn, shell);
    Ref msg_type = dict_entry(fn, dict_entry(fn, request.get(), "header"_n).get(), "msg_type"_n);
    if (!msg_type || !PyUnicode_Check(msg_type.get()) ||
        PyUnicode_CompareWithASCIIString(msg_type.get(), "comm_msg") != 0)
        return {};
    return request;
}

/// The model id of the widget whose event the kernel is handling, or empty.
Ref event_widget_id(Function& fn, PyObject* shell) {
    Ref event = widget_event(fn, shell);
    Ref comm_id = dict_entry(fn, dict_entry(fn, event.get(), "content"_n).get(), "comm_id"_n);
    return comm_id && PyUnicode_Check(comm_id.get()) ? comm_id : Ref{};
}

/// The kernel connection that sent the request being handled (its
/// messages' session), or "": the page that asked for the answer.
Ref request_origin(Function& fn, PyObject* shell) {
    Ref request = shell_request(fn, shell);
    Ref session = dict_entry(fn, dict_entry(fn, request.get(), "header"_n).get(), "session"_n);
    return session && PyUnicode_CheckExact(session.get()) ? session : text("");
}

/// `name = Trait(value).tag(sync=True)`, or without the tag.
Ref trait(Function& fn, PyObject* traitlets, Name trait_type, PyObject* value, bool synced = true) {
    Ref made = call_method(fn, traitlets, trait_type, {value});
    return synced ? call_method(fn, made.get(), "tag"_n, {}, {{"sync"_n, Py_True}}) : made;
}

/// A class made with type(name, (base,), namespace), as this module's.
Ref new_class(Function& fn, const char* name, PyObject* base, const char* doc, PyObject* ns) {
    need(PyDict_SetItem(ns, interned(fn, "__module__"_n), global(fn, "__name__"_n).get()));
    need(PyDict_SetItem(ns, interned(fn, "__qualname__"_n), text(name).get()));
    need(PyDict_SetItem(ns, interned(fn, "__doc__"_n), text(doc).get()));
    Ref bases = tuple({base});
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {text(name).get(), bases.get(), ns});
}

/// The courier widget class, made on first use (so that anywidget is
/// imported only in a kernel) and kept as the module global _CellCourier.
Ref courier_class(Function& fn) {
    if (Ref cls = dict_entry(fn, fn.globals, "_CellCourier"_n)) return cls;
    Ref base = import_from("anywidget", "AnyWidget");
    Ref traitlets = import("traitlets");
    Ref ns = dict(fn, {{"_esm"_n, text(courier_loader).get()}});
    for (Name name : courier_text_traits)
        need(PyDict_SetItem(ns.get(), interned(fn, name), trait(fn, traitlets.get(), "Unicode"_n, text("").get()).get()));
    need(PyDict_SetItem(ns.get(), interned(fn, "done"_n),
                        trait(fn, traitlets.get(), "Bool"_n, Py_False).get()));
    Ref cls = new_class(fn, "CellCourier", base.get(), courier_doc, ns.get());
    set_global(fn, "_CellCourier"_n, cls.get());
    return cls;
}

/// The library widget of the live couriers: a model of the widget base
/// class holding cellcourier.js. Made when a courier needs it and none is
/// alive, kept as the module global _courier_library.
Ref courier_library(Function& fn) {
    Ref library = dict_entry(fn, fn.globals, "_courier_library"_n);
    if (library && library.get() != Py_None && attr(fn, library.get(), "comm"_n).get() != Py_None) return library;

    Ref cls = dict_entry(fn, fn.globals, "_CourierLibrary"_n);
    if (!cls) {
        Ref file = dict_entry(fn, fn.globals, "__file__"_n);
        if (!file) raise(PyExc_RuntimeError, "nbassist has no __file__, so cellcourier.js cannot be found");
        Ref path = call(import_from("pathlib", "Path").get(), {file.get()});
        Ref script_path = call_method(fn, path.get(), "with_name"_n, {text("cellcourier.js").get()});
        Ref script = call_method(fn, script_path.get(), "read_text"_n, {}, {{"encoding"_n, text("utf-8").get()}});
        Ref traitlets = import("traitlets");
        Ref ns = dict(fn, {{"code"_n, trait(fn, traitlets.get(), "Unicode"_n, script.get()).get()},
                           {"couriers"_n, trait(fn, traitlets.get(), "Int"_n, integer(0).get(), false).get()}});
        cls = new_class(fn, "CourierLibrary", import_from("ipywidgets", "Widget").get(), library_doc, ns.get());
        set_global(fn, "_CourierLibrary"_n, cls.get());
    }
    library = call(cls.get());
    set_global(fn, "_courier_library"_n, library.get());
    return library;
}

/// Observes a courier's `done`: the front end has delivered its answer, so
/// the courier is closed, and the library with the last one.
Ref courier_delivered_impl(Function& fn, const CourierDeliveredArgs& a) {
    if (!truth(item(fn, a.change, "new"_n).get())) return Ref::borrow(Py_None);
    Ref courier = item(fn, a.change, "owner"_n);
    if (attr(fn, courier.get(), "comm"_n).get() == Py_None) return Ref::borrow(Py_None);  // closed already
    call_method(fn, courier.get(), "close"_n);
    Ref library = dict_entry(fn, fn.globals, "_courier_library"_n);
    if (!library || library.get() == Py_None) return Ref::borrow(Py_None);
    Ref ours = attr(fn, courier.get(), "library"_n), its = attr(fn, library.get(), "model_id"_n);
    if (!need(PyObject_RichCompareBool(ours.get(), its.get(), Py_EQ))) return Ref::borrow(Py_None);
    Ref left = own(PyNumber_Subtract(attr(fn, library.get(), "couriers"_n).get(), integer(1).get()));
    set_attr(fn, library.get(), "couriers"_n, left.get());
    if (truth(left.get())) return Ref::borrow(Py_None);
    set_global(fn, "_courier_library"_n, Py_None);
    call_method(fn, library.get(), "close"_n);
    return Ref::borrow(Py_None);
}

constexpr FunctionSpec courier_delivered_spec =
    function<CourierDeliveredArgs, courier_delivered_params, courier_delivered_impl>("courier_delivered", nullptr);

/// A new courier for `answer` (a str): `kind` is "code" (a code cell below
/// the anchor's cell), "markdown" (a markdown cell above it) or "stdout"
/// (printed under it). `anchor` may be null: the courier itself.
Ref new_courier(Function& fn, PyObject* shell, const char* kind, PyObject* answer, PyObject* anchor) {
    Ref uuid = call_method(fn, import("uuid").get(), "uuid4"_n);
    Ref own_id = attr(fn, uuid.get(), "hex"_n);
    Ref cls = courier_class(fn);
    Ref library = courier_library(fn);
    Ref library_id = attr(fn, library.get(), "model_id"_n);
    Ref courier = call(fn, cls.get(), {},
                       {{"model_id"_n, own_id.get()},
                        {"kind"_n, text(kind).get()},
                        {"text"_n, answer},
                        {"note"_n, text(courier_note).get()},
                        {"anchor"_n, anchor ? anchor : own_id.get()},
                        {"self_id"_n, own_id.get()},
                        {"origin"_n, request_origin(fn, shell).get()},
                        {"library"_n, library_id.get()}});
    Ref count = own(PyNumber_Add(attr(fn, library.get(), "couriers"_n).get(), integer(1).get()));
    set_attr(fn, library.get(), "couriers"_n, count.get());
    Ref observer = make_closure(fn, courier_delivered_spec, own(PyTuple_New(0)));
    call_method(fn, courier.get(), "observe"_n, {observer.get()}, {{"names"_n, text("done").get()}});
    return courier;
}

/// `text` as a markdown fenced block in `language`: the fence is longer than
/// the longest run of backquotes in it, so nothing in it can close the
/// block, and whatever it holds is shown as text, never read as HTML.
Ref fenced(PyObject* text_value, const char* language) {
    need(PyUnicode_READY(text_value));
    Py_ssize_t longest = 0, run = 0, length = PyUnicode_GET_LENGTH(text_value);
    int kind = PyUnicode_KIND(text_value);
    const void* data = PyUnicode_DATA(text_value);
    for (Py_ssize_t i = 0; i < length; ++i) {
        run = PyUnicode_READ(kind, data, i) == '`' ? run + 1 : 0;
        if (run > longest) longest = run;
    }
    std::string fence(static_cast<std::size_t>(longest < 3 ? 3 : longest + 1), '`');
    TextBuilder block;
    block.ascii(fence).ascii(language).ascii("\n").str(text_value);
    if (length == 0 || PyUnicode_READ(kind, data, length - 1) != '\n') block.ascii("\n");
    return block.ascii(fence).ascii("\n").finish();
}

/// The answer as one display output: the courier's view where a kernel can
/// make widgets, and the answer as markdown and as text for every front end
/// that draws no widget (the markdown holds it in a fenced block: code as
/// python, an explanation as its markdown source).
void publish_fallback(Function& fn, const char* kind, PyObject* answer, PyObject* shell, bool kernel) {
    bool code = std::string_view(kind) == "code";
    TextBuilder markdown, plain;
    markdown.ascii(courier_note).ascii("\n\n").str(fenced(answer, code ? "python" : "markdown").get());
    plain.ascii(courier_note).ascii("\n\n").str(answer);
    Ref bundle = own(PyDict_New());
    if (kernel) {
        Ref courier = new_courier(fn, shell, kind, answer, event_widget_id(fn, shell).get());
        Ref shown = call_method(fn, courier.get(), "_repr_mimebundle_"_n);
        if (PyTuple_Check(shown.get()) && PyTuple_GET_SIZE(shown.get()) > 0)  // (data, metadata)
            shown = Ref::borrow(PyTuple_GET_ITEM(shown.get(), 0));
        Ref view_key = text(widget_view_type);
        Ref view = own(PyObject_GetItem(shown.get(), view_key.get()));
        need(PyDict_SetItem(bundle.get(), view_key.get(), view.get()));
    }
    need(PyDict_SetItemString(bundle.get(), "text/markdown", markdown.finish().get()));
    need(PyDict_SetItemString(bundle.get(), "text/plain", plain.finish().get()));
    call(fn, global(fn, "display"_n).get(), {bundle.get()}, {{"raw"_n, Py_True}});
}

/// The answer, published for every front end. Outside IPython: the cell
/// script alone. In IPython: the cell script (which the classic notebook
/// runs), then the fallback output (see above).
void publish_answer(Function& fn, std::string_view head, const char* kind, PyObject* content) {
    Ref answer = own(PyObject_Format(content, nullptr));
    Ref shell = running_shell(fn);
    Ref publisher = shell ? kernel_display_publisher(fn, shell.get()) : Ref{};
    publish_cell_script(fn, head, answer.get(), publisher.get());
    if (shell) publish_fallback(fn, kind, answer.get(), shell.get(), bool(publisher));
}

/// The debug advice that a command printed, when a widget event ran it: a
/// JupyterLab-based front end drops what a widget's handler prints, so in a
/// kernel a courier prints it once more, under the widget's cell, there
/// only. It is not displayed, so no other front end shows it twice.
void relay_printed(Function& fn, PyObject* advice) {
    Ref shell = running_shell(fn);
    if (!shell || !kernel_display_publisher(fn, shell.get())) return;
    Ref anchor = event_widget_id(fn, shell.get());
    if (!anchor) return;
    TextBuilder printed;  // what print(debug_lead, advice) wrote
    printed.ascii(debug_lead).ascii(" ").str(str(advice).get()).ascii("\n");
    new_courier(fn, shell.get(), "stdout", printed.finish().get(), anchor.get());
}

Ref display_next_cell_impl(Function& fn, const DisplayNextCellArgs& a) {
    publish_answer(fn, cell_below_head, "code", a.code);
    return Ref::borrow(Py_None);
}

Ref display_previous_cell_impl(Function& fn, const DisplayPreviousCellArgs& a) {
    publish_answer(fn, cell_above_head, "markdown", a.markdown);
    return Ref::borrow(Py_None);
}

// --- the code-generation form ------------------------------------------------------------

constexpr char submit_label[] = "Submit";
constexpr char working_label[] = "Working…";
constexpr char working_icon[] = "spinner spin";  // Font Awesome's spinner, turning

// The cells shared by the two handlers of one form: the handlers' own, and
// the Submit button with the moment from which a click is a new one.
enum FormCell : std::size_t {
    cell_global_variables,
    cell_prompt_drop_down,
    cell_question_textbox,
    cell_submit_button,
    cell_ready_after,
    form_cell_count
};

bool equals(PyObject* value, const char* s) {
    Ref t = text(s);
    return need(PyObject_RichCompareBool(value, t.get(), Py_EQ)) != 0;
}

/// When the browser sent the click that the kernel is handling (its
/// message's date, by the browser's clock), or empty outside a kernel.
Ref click_sent_at(Function& fn) {
    Ref shell = running_shell(fn);
    if (!shell) return {};
    Ref date = dict_entry(fn, dict_entry(fn, widget_event(fn, shell.get()).get(), "header"_n).get(), "date"_n);
    if (!date) return {};
    Ref datetime_type = import_from("datetime", "datetime");
    return need(PyObject_IsInstance(date.get(), datetime_type.get())) ? date : Ref{};
}

// From Submit until the answer or an error, the button is disabled and says
// that it works, so that the front end sends no click meanwhile. A click that
// the front end sent before it saw the button disabled (the second half of a
// double click) waits in the kernel's queue and arrives after the work: it
// was sent before the moment the work ended, and is dropped. That moment is
// kept in the browser's clock (the first click's date plus the work's
// duration), so clocks that differ between browser and kernel do not matter.
Ref on_button_clicked_impl(Function& fn, const OnButtonClickedArgs&) {
    // The cells' contents are held for the whole call: the widgets' Python
    // code may rebind the cells meanwhile.
    Ref drop_down = fn.cell(cell_prompt_drop_down), textbox = fn.cell(cell_question_textbox);
    Ref global_variables = fn.cell(cell_global_variables), button = fn.cell(cell_submit_button);
    if (truth(attr(fn, button.get(), "disabled"_n).get()))
        return Ref::borrow(Py_None);  // it works: no second request
    Ref sent = click_sent_at(fn);
    Ref ready_after = fn.cell(cell_ready_after);
    if (sent && ready_after.get() != Py_None && need(PyObject_RichCompareBool(sent.get(), ready_after.get(), Py_LT)))
        return Ref::borrow(Py_None);

    Ref selected = attr(fn, drop_down.get(), "value"_n);
    bool debug_mode = equals(selected.get(), debug_code);
    Ref query = attr(fn, textbox.get(), "value"_n);
    Ref description = attr(fn, button.get(), "description"_n);
    Ref icon = attr(fn, button.get(), "icon"_n);
    auto started = std::chrono::steady_clock::now();
    try_finally(
        [&] {  // the working state is set inside: its observers may fail too
            set_attr(fn, button.get(), "disabled"_n, Py_True);
            set_attr(fn, button.get(), "icon"_n, text(working_icon).get());
            set_attr(fn, button.get(), "description"_n, text(working_label).get());
            call(fn, global(fn, "generate_code_completion"_n).get(), {},
                 {{"query"_n, query.get()},
                  {"global_variables"_n, global_variables.get()},
                  {"debug_mode"_n, boolean(debug_mode)},
                  {"jupyter_mode"_n, Py_True}});
        },
        [&] {  // enabled last, once it reads as before, but even if that fails
            try_finally(
                [&] {
                    set_attr(fn, button.get(), "description"_n, description.get());
                    set_attr(fn, button.get(), "icon"_n, icon.get());
                },
                [&] { set_attr(fn, button.get(), "disabled"_n, Py_False); });
            if (!sent) return;
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
            Ref seconds = own(PyFloat_FromDouble(took.count()));
            Ref elapsed = call(fn, import_from("datetime", "timedelta").get(), {}, {{"seconds"_n, seconds.get()}});
            Ref ready = own(PyNumber_Add(sent.get(), elapsed.get()));
            need(PyCell_Set(PyTuple_GET_ITEM(fn.closure, cell_ready_after), ready.get()));
        });
    return Ref::borrow(Py_None);
}

Ref update_text_box_impl(Function& fn, const UpdateTextBoxArgs& a) {
    Ref selected_value = item(fn, a.change, "new"_n);
    Ref textbox = fn.cell(cell_question_textbox);
    if (equals(selected_value.get(), select_prompt)) {
        set_attr(fn, textbox.get(), "placeholder"_n, text(placeholder_query).get());
    } else if (equals(selected_value.get(), debug_code)) {
        set_attr(fn, textbox.get(), "placeholder"_n, text(placeholder_error).get());
    } else {
        set_attr(fn, textbox.get(), "placeholder"_n, text(placeholder_query).get());
        Ref prompt = own(PyObject_GetItem(global(fn, "prompt_sample_list"_n).get(), selected_value.get()));
        set_attr(fn, textbox.get(), "value"_n, prompt.get());
    }
    return Ref::borrow(Py_None);
}

constexpr FunctionSpec on_button_clicked_spec =
    function<OnButtonClickedArgs, on_button_clicked_params, on_button_clicked_impl>("on_button_clicked",
                                                                                    on_button_clicked_doc);
constexpr FunctionSpec update_text_box_spec =
    function<UpdateTextBoxArgs, update_text_box_params, update_text_box_impl>("update_text_box", update_text_box_doc);

Ref generate_code_impl(Function& fn, const GenerateCodeArgs& a) {
    Ref cells = own(PyTuple_New(form_cell_count));
    for (std::size_t i = 0; i < form_cell_count; ++i)
        PyTuple_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(i), need(PyCell_New(nullptr)));
    auto store = [&](FormCell c, PyObject* v) { need(PyCell_Set(PyTuple_GET_ITEM(cells.get(), c), v)); };
    store(cell_global_variables, a.global_variables);
    store(cell_ready_after, Py_None);

    Ref widgets = global(fn, "widgets"_n);
    Ref titles = own(PySequence_List(call_method(fn, global(fn, "prompt_sample_list"_n).get(), "keys"_n).get()));
    Ref options = own(PyList_New(0));
    need(PyList_Append(options.get(), text(select_prompt).get()));
    need(PyList_Append(options.get(), text(debug_code).get()));
    need(PyList_SetSlice(options.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, titles.get()));

    Ref prompt_drop_down = call(fn, attr(fn, widgets.get(), "Dropdown"_n).get(), {},
                                {{"options"_n, options.get()}, {"description"_n, text("Select Prompt:").get()}});
    store(cell_prompt_drop_down, prompt_drop_down.get());
    Ref or_text = call(fn, attr(fn, widgets.get(), "HTML"_n).get(), {}, {{"value"_n, text("<strong>OR</strong>").get()}});
    Ref question_textbox = call(fn, attr(fn, widgets.get(), "Textarea"_n).get(), {},
                                {{"value"_n, text("").get()},
                                 {"placeholder"_n, text(placeholder_initial).get()},
                                 {"description"_n, text("Query:").get()},
                                 {"rows"_n, integer(3).get()}});
    store(cell_question_textbox, question_textbox.get());
    Ref submit_button =
        call(fn, attr(fn, widgets.get(), "Button"_n).get(), {}, {{"description"_n, text(submit_label).get()}});
    store(cell_submit_button, submit_button.get());

    Ref on_click_handler = make_closure(fn, on_button_clicked_spec, cells);
    Ref on_change_handler = make_closure(fn, update_text_box_spec, cells);

    call_method(fn, prompt_drop_down.get(), "observe"_n, {on_change_handler.get()}, {{"names"_n, text("value").get()}});
    Ref children = own(PyList_New(0));
    for (const Ref& w : {prompt_drop_down, or_text, question_textbox, submit_button})
        need(PyList_Append(children.get(), w.get()));
    Ref box_layout = call(attr(fn, widgets.get(), "VBox"_n).get(), {children.get()});
    call(global(fn, "display"_n).get(), {box_layout.get()});
    call_method(fn, submit_button.get(), "on_click"_n, {on_click_handler.get()});
    return Ref::borrow(Py_None);
}

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
    Ref module_name = global(fn, "__name__"_n);
    raise_format(PyExc_AttributeError, "module '%U' has no attribute '%S'", module_name.get(), a.name);
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


constexpr FunctionSpec functions[] = {
    function<get_prompts_impl>("get_prompts", get_prompts_doc),
    function<CodeArgs, code_params, optimize_code_impl>("optimize_code", optimize_code_doc),
    function<CodeArgs, code_params, generate_markdown_impl>("generate_markdown", generate_markdown_doc),
    function<GenerateCodeCompletionArgs, generate_code_completion_params, generate_code_completion_impl>(
        "generate_code_completion", generate_code_completion_doc),
    function<DisplayPreviousCellArgs, display_previous_cell_params, display_previous_cell_impl>(
        "display_previous_cell", display_previous_cell_doc),
    function<DisplayNextCellArgs, display_next_cell_params, display_next_cell_impl>("display_next_cell",
                                                                                    display_next_cell_doc),
    function<GenerateCodeArgs, generate_code_params, generate_code_impl>("generate_code", generate_code_doc),
    function<GeneratePromptArgs, generate_prompt_params, generate_prompt_impl>("_generate_prompt", nullptr),
    function<ModuleGetattrArgs, module_getattr_params, module_getattr_impl>("__getattr__", nullptr),
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
    for (const FunctionSpec& spec : functions) m.def(spec);
}

}  // namespace
}  // namespace quillon::nbassist

QUILLON_MODULE(nbassist, quillon::nbassist::exec, quillon::nbassist::module_names)
