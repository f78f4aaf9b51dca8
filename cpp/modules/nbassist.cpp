// nbassist.cpp: the notebook assistant. Describes the notebook's namespace to
// the engine, runs the code-generation, optimisation, explanation and debug
// commands, puts answers into new cells, and shows the code-generation form.
#include "core/module.hpp"
#include "core/text.hpp"

#include <utility>
#include <vector>

namespace quillon::nbassist {
namespace {

// --- prompt assembly ---------------------------------------------------------------

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

/// Whether a namespace entry is described: no "_" anywhere in the name, and
/// none of IPython's own entries.
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

/// str() of objects that recur within one prompt (a dtype, a variable's
/// type), computed once per object. Holds a reference to each key, so an
/// address cannot be reused for another object while the cache lives.
class StrCache {
public:
    PyObject* get(PyObject* obj) {
        for (auto& [key, value] : entries_)
            if (key.get() == obj) return value.get();
        Ref value = str(obj);
        if (entries_.size() < 64) entries_.emplace_back(Ref::borrow(obj), value);
        scratch_ = std::move(value);
        return scratch_.get();
    }

private:
    std::vector<std::pair<Ref, Ref>> entries_;
    Ref scratch_;
};

Ref type_of(PyObject* value) { return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value))); }

/// Writes an object as an f-string would insert it.
void write_formatted(TextBuilder& out, PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        out.str(value);
        return;
    }
    Ref s = own(PyObject_Format(value, nullptr));
    out.str(s.get());
}

/// `a, b = pair`, without an iterator for the usual exact 2-tuple.
std::array<Ref, 2> unpack_pair(PyObject* pair) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(pair, 0)), Ref::borrow(PyTuple_GET_ITEM(pair, 1))};
    return unpack<2>(pair);
}

/// The column lines of a DataFrame, joined with line feeds.
void write_columns(TextBuilder& out, PyObject* df, StrCache& dtype_text) {
    Ref dtypes = attr(df, "dtypes");
    Ref by_column = call_method(dtypes.get(), "to_dict");
    Ref items = call_method(by_column.get(), "items");
    Ref it = own(PyObject_GetIter(items.get()));
    bool first = true;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        auto [label, dtype] = unpack_pair(pair.get());
        if (!first) out.ascii("\n");
        first = false;
        out.ascii(column_lead);
        if (PyUnicode_CheckExact(label.get())) {
            out.str(label.get());
        } else {
            Ref s = str(label.get());
            out.str(s.get());
        }
        out.ascii(dtype_lead).str(dtype_text.get(dtype.get()));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
}

/// The names to describe, in namespace order, each with its value where the
/// walk already had it. An exact dict is walked once for both, since looking
/// a value up again has no effect to repeat; any other mapping is asked for
/// each value as often as the description reads it.
std::vector<std::pair<Ref, Ref>> described_entries(PyObject* namespace_) {
    std::vector<std::pair<Ref, Ref>> entries;
    if (PyDict_CheckExact(namespace_)) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(namespace_);
        PyObject *name, *value;
        while (PyDict_Next(namespace_, &pos, &name, &value)) {
            Ref held_name = Ref::borrow(name), held_value = Ref::borrow(value);
            bool keep = described(name);  // may run Python code for a key that is not a str
            if (PyDict_GET_SIZE(namespace_) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            if (keep) entries.emplace_back(std::move(held_name), std::move(held_value));
        }
        return entries;
    }
    Ref it = own(PyObject_GetIter(namespace_));
    while (Ref name = Ref::steal(PyIter_Next(it.get())))
        if (described(name.get())) entries.emplace_back(std::move(name), Ref{});
    if (PyErr_Occurred()) throw PyErrorSet{};
    return entries;
}

Ref generate_prompt(Function& fn, PyObject* const* args) {
    PyObject *query = args[0], *base_prompt = args[1], *global_variables = args[2];
    if (global_variables == Py_None) return own(PyNumber_Add(base_prompt, query));

    Ref os_module = global(fn, "os");  // the specimen of a module object
    // Types are held, not borrowed: formatting a name runs Python code that
    // may reassign a value's __class__ and let the old class go.
    Ref module_type = type_of(os_module.get());
    Ref data_frame = global(fn, "DataFrame");
    bool exact_dict = PyDict_CheckExact(global_variables);
    auto lookup = [&](PyObject* name) { return own(PyObject_GetItem(global_variables, name)); };

    TextBuilder modules, variables;
    modules.ascii(modules_start);
    variables.ascii(variables_start);
    StrCache type_text, dtype_text;
    for (auto& [name, known_value] : described_entries(global_variables)) {
        Ref value = exact_dict ? known_value : lookup(name.get());
        Ref type = type_of(value.get());
        if (type.get() == module_type.get()) {
            write_formatted(modules, name.get());
            modules.ascii("\n");
            continue;
        }
        if (!exact_dict) {
            value = lookup(name.get());
            type = type_of(value.get());
        }
        variables.ascii(name_lead);
        write_formatted(variables, name.get());
        variables.ascii(type_lead);
        if (type.get() == data_frame.get()) {
            if (!exact_dict) value = lookup(name.get());
            Ref type_name = attr(type.get(), "__name__");
            write_formatted(variables, type_name.get());
            variables.ascii("\n");
            write_columns(variables, value.get(), dtype_text);
        } else {
            if (!exact_dict) {
                value = lookup(name.get());
                type = type_of(value.get());
            }
            variables.str(type_text.get(type.get()));
        }
        variables.ascii("\n");
    }

    TextBuilder prompt;
    prompt.ascii(header).str(modules.finish().get()).ascii("\n").str(variables.finish().get()).ascii("\n");
    prompt.ascii(context_lead).str(base_prompt).ascii(base_prompt_end);
    if (PyUnicode_CheckExact(query)) return prompt.str(query).finish();
    // Anything else joins as `+` would join it, with its own error.
    return own(PyNumber_Add(prompt.finish().get(), query));
}

// --- commands ------------------------------------------------------------------

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
constexpr char display_next_cell_doc[] =
    "\n    Add the code to the next cell\n"
    "    :param code: code to be added to next cell\n"
    "    :return:\n    ";
constexpr char display_previous_cell_doc[] =
    "\n    Add the markdown to the previous cell\n"
    "    :param markdown: markdown to be added to previous cell\n"
    "    :return:\n    ";

Ref get_prompts(Function& fn, PyObject* const*) {
    Ref values = call_method(global(fn, "prompt_sample_list").get(), "values");
    return own(PySequence_List(values.get()));
}

/// Builds the full prompt for `query`, asks the engine and returns the
/// "completion" entry of its answer.
Ref complete(Function& fn, PyObject* query, const char* base_prompt, PyObject* global_variables) {
    Ref base = text(base_prompt);
    Ref prompt = call(global(fn, "_generate_prompt").get(), {query},
                      {{"base_prompt", base.get()}, {"global_variables", global_variables}});
    Ref answer = call(global(fn, "get_completion").get(), {}, {{"prompt", prompt.get()}});
    return item(answer.get(), "completion");
}

Ref optimize_code(Function& fn, PyObject* const* args) {
    Ref optimized_code = complete(fn, args[0], optimize_prompt, args[1]);
    if (!truth(args[2])) return optimized_code;
    call(global(fn, "display_next_cell").get(), {optimized_code.get()});
    return Ref::borrow(Py_None);
}

Ref generate_markdown(Function& fn, PyObject* const* args) {
    Ref markdown = complete(fn, args[0], markdown_prompt, args[1]);
    if (!truth(args[2])) return markdown;
    call(global(fn, "display_previous_cell").get(), {markdown.get()});
    return Ref::borrow(Py_None);
}

Ref generate_code_completion(Function& fn, PyObject* const* args) {
    PyObject *query = args[0], *global_variables = args[1], *debug_mode = args[2], *jupyter_mode = args[3];
    Ref code = complete(fn, query, truth(debug_mode) ? debug_prompt : code_prompt, global_variables);
    if (truth(debug_mode)) {
        Ref lead = text("You can try this:\n");
        call(global(fn, "print").get(), {lead.get(), code.get()});
    } else if (truth(jupyter_mode)) {
        call(global(fn, "display_next_cell").get(), {code.get()});
    } else {
        return code;
    }
    return Ref::borrow(Py_None);
}

// --- cell scripts ----------------------------------------------------------------

constexpr std::string_view cell_below_head =
    "\n        var code_cell = Jupyter.notebook.insert_cell_below('code');\n        code_cell.set_text(`";
constexpr std::string_view cell_above_head =
    "\n        var code_cell = Jupyter.notebook.insert_cell_above('markdown');\n        code_cell.set_text(`";
constexpr std::string_view cell_tail = "`);\n        code_cell.focus_cell();\n    ";

/// The text as the body of a JavaScript template string that evaluates to
/// exactly this text: backslash, backquote and "${" are escaped, and so is
/// the carriage return, which a template string would turn into a line
/// feed. Everything else stands as it is.
Ref template_literal_body(PyObject* value) {
    Ref s = own(PyObject_Format(value, nullptr));
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

/// `mapping[key]` of an exact dict with an exact-str key, held; empty when
/// `mapping` is not an exact dict or lacks the key.
Ref dict_entry(PyObject* mapping, const char* key) {
    if (mapping == nullptr || !PyDict_CheckExact(mapping)) return {};
    Ref k = text(key);
    Ref value = Ref::borrow(PyDict_GetItemWithError(mapping, k.get()));
    if (!value && PyErr_Occurred()) throw PyErrorSet{};
    return value;
}

/// A display publisher hook: tags our script's message with the display id.
/// Everything taken out of the message is held: the lookups can run the
/// `__eq__` of a key whose hash collides, and that code may change the
/// message. Only exact dicts and an exact str script can be ours, so the
/// comparison runs no Python code.
Ref tag_cell_script(Function& fn, PyObject* const* args) {
    Ref msg = Ref::borrow(args[0]);
    Ref msg_type = dict_entry(msg.get(), "msg_type");
    if (!msg_type || !PyUnicode_CheckExact(msg_type.get()) ||
        PyUnicode_CompareWithASCIIString(msg_type.get(), "display_data") != 0)
        return msg;
    Ref content = dict_entry(msg.get(), "content");
    Ref data = dict_entry(content.get(), "data");
    Ref script = dict_entry(data.get(), "application/javascript");
    Ref ours = fn.cell(once_script);
    if (!script || !PyUnicode_CheckExact(script.get()) || !ours || !PyUnicode_CheckExact(ours.get()))
        return msg;
    int same = PyUnicode_Compare(script.get(), ours.get());
    if (same == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (same != 0) return msg;
    Ref transient = dict({{"display_id", fn.cell(once_display_id).get()}});
    need(PyDict_SetItemString(content.get(), "transient", transient.get()));
    need(PyCell_Set(PyTuple_GET_ITEM(fn.closure, once_tagged), Py_True));
    return msg;
}

constexpr Param tag_cell_script_params[] = {{"msg"}};
const FunctionSpec tag_cell_script_spec = {"tag_cell_script", nullptr, tag_cell_script_params, tag_cell_script};

/// The running kernel's display publisher, when it takes hooks.
Ref kernel_display_publisher() {
    Ref shell_class = import_from("IPython.core.interactiveshell", "InteractiveShell");
    if (!truth(call_method(shell_class.get(), "initialized").get())) return {};
    Ref shell = call_method(shell_class.get(), "instance");
    Ref publisher = attr(shell.get(), "display_pub");
    if (!need(PyObject_HasAttrString(publisher.get(), "register_hook"))) return {};
    return publisher;
}

void publish_cell(Function& fn, std::string_view head, PyObject* content) {
    Ref body = template_literal_body(content);
    TextBuilder script;
    Ref text_script = script.ascii(head).str(body.get()).ascii(cell_tail).finish();
    Ref javascript = call(global(fn, "Javascript").get(), {text_script.get()});

    Ref publisher = kernel_display_publisher();
    if (!publisher) {
        call(global(fn, "display").get(), {javascript.get()});
        return;
    }
    Ref display_id = attr(call_method(import("uuid").get(), "uuid4").get(), "hex");
    Ref cells = own(PyTuple_New(once_cell_count));
    PyTuple_SET_ITEM(cells.get(), once_script, need(PyCell_New(text_script.get())));
    PyTuple_SET_ITEM(cells.get(), once_display_id, need(PyCell_New(display_id.get())));
    PyTuple_SET_ITEM(cells.get(), once_tagged, need(PyCell_New(Py_False)));
    Ref hook = make_closure(fn, tag_cell_script_spec, cells);

    call_method(publisher.get(), "register_hook", {hook.get()});
    try_finally([&] { call(global(fn, "display").get(), {javascript.get()}); },
                [&] { call_method(publisher.get(), "unregister_hook", {hook.get()}); });
    if (PyCell_GET(PyTuple_GET_ITEM(cells.get(), once_tagged)) != Py_True) return;
    Ref nothing = own(PyDict_New());
    Ref update = import_from("IPython.display", "update_display");
    call(update.get(), {nothing.get()}, {{"raw", Py_True}, {"display_id", display_id.get()}});
}

Ref display_next_cell(Function& fn, PyObject* const* args) {
    publish_cell(fn, cell_below_head, args[0]);
    return Ref::borrow(Py_None);
}

Ref display_previous_cell(Function& fn, PyObject* const* args) {
    publish_cell(fn, cell_above_head, args[0]);
    return Ref::borrow(Py_None);
}

// --- the code-generation form --------------------------------------------------------

constexpr char select_prompt[] = "Select the prompt";
constexpr char debug_code[] = "Debug Code";
constexpr char placeholder_initial[] = "Type your code generation query here";
constexpr char placeholder_query[] = "Type your code generation query here.";
constexpr char placeholder_error[] = "Enter your error response here.";

constexpr char generate_code_doc[] = "\n    Generate the code using the GPT-3 API\n    :return:\n    ";
constexpr char on_button_clicked_doc[] =
    "\n        Update the box on the submission of the query\n"
    "        :param b: button \n"
    "        :return:\n        ";
constexpr char update_text_box_doc[] =
    "\n        Update the text box with the selected value\n"
    "        :param change: change in the value of the drop down\n"
    "        :return: None\n        ";

// The cells shared by the two handlers of one form.
enum Cell : std::size_t { cell_global_variables, cell_prompt_drop_down, cell_question_textbox, cell_count };

bool equals(PyObject* value, const char* s) {
    Ref t = text(s);
    return need(PyObject_RichCompareBool(value, t.get(), Py_EQ)) != 0;
}

Ref on_button_clicked(Function& fn, PyObject* const*) {
    // The cells' contents are held for the whole call: the widgets' Python
    // code may rebind the cells meanwhile.
    Ref drop_down = fn.cell(cell_prompt_drop_down), textbox = fn.cell(cell_question_textbox);
    Ref global_variables = fn.cell(cell_global_variables);
    Ref selected = attr(drop_down.get(), "value");
    bool debug_mode = equals(selected.get(), debug_code);
    Ref query = attr(textbox.get(), "value");
    call(global(fn, "generate_code_completion").get(), {},
         {{"query", query.get()},
          {"global_variables", global_variables.get()},
          {"debug_mode", boolean(debug_mode)},
          {"jupyter_mode", Py_True}});
    return Ref::borrow(Py_None);
}

Ref update_text_box(Function& fn, PyObject* const* args) {
    Ref selected_value = item(args[0], "new");
    Ref textbox = fn.cell(cell_question_textbox);
    if (equals(selected_value.get(), select_prompt)) {
        set_attr(textbox.get(), "placeholder", text(placeholder_query).get());
    } else if (equals(selected_value.get(), debug_code)) {
        set_attr(textbox.get(), "placeholder", text(placeholder_error).get());
    } else {
        set_attr(textbox.get(), "placeholder", text(placeholder_query).get());
        Ref prompt = own(PyObject_GetItem(global(fn, "prompt_sample_list").get(), selected_value.get()));
        set_attr(textbox.get(), "value", prompt.get());
    }
    return Ref::borrow(Py_None);
}

constexpr Param on_button_clicked_params[] = {{"b"}};
constexpr Param update_text_box_params[] = {{"change"}};
const FunctionSpec on_button_clicked_spec = {"on_button_clicked", on_button_clicked_doc, on_button_clicked_params,
                                             on_button_clicked};
const FunctionSpec update_text_box_spec = {"update_text_box", update_text_box_doc, update_text_box_params,
                                           update_text_box};

Ref generate_code(Function& fn, PyObject* const* args) {
    Ref cells = own(PyTuple_New(cell_count));
    for (Py_ssize_t i = 0; i < cell_count; ++i) PyTuple_SET_ITEM(cells.get(), i, need(PyCell_New(nullptr)));
    auto store = [&](Cell c, PyObject* v) { need(PyCell_Set(PyTuple_GET_ITEM(cells.get(), c), v)); };
    store(cell_global_variables, args[0]);

    Ref widgets = global(fn, "widgets");
    Ref titles = own(PySequence_List(call_method(global(fn, "prompt_sample_list").get(), "keys").get()));
    Ref options = own(PyList_New(0));
    need(PyList_Append(options.get(), text(select_prompt).get()));
    need(PyList_Append(options.get(), text(debug_code).get()));
    need(PyList_SetSlice(options.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, titles.get()));

    Ref prompt_drop_down = call_method(widgets.get(), "Dropdown", {},
                                       {{"options", options.get()}, {"description", text("Select Prompt:").get()}});
    store(cell_prompt_drop_down, prompt_drop_down.get());
    Ref or_text = call_method(widgets.get(), "HTML", {}, {{"value", text("<strong>OR</strong>").get()}});
    Ref question_textbox = call_method(widgets.get(), "Textarea", {},
                                       {{"value", text("").get()},
                                        {"placeholder", text(placeholder_initial).get()},
                                        {"description", text("Query:").get()},
                                        {"rows", integer(3).get()}});
    store(cell_question_textbox, question_textbox.get());
    Ref submit_button = call_method(widgets.get(), "Button", {}, {{"description", text("Submit").get()}});

    Ref on_click_handler = make_closure(fn, on_button_clicked_spec, cells);
    Ref on_change_handler = make_closure(fn, update_text_box_spec, cells);

    call_method(prompt_drop_down.get(), "observe", {on_change_handler.get()}, {{"names", text("value").get()}});
    Ref children = own(PyList_New(0));
    for (const Ref& w : {prompt_drop_down, or_text, question_textbox, submit_button})
        need(PyList_Append(children.get(), w.get()));
    Ref box_layout = call_method(widgets.get(), "VBox", {children.get()});
    call(global(fn, "display").get(), {box_layout.get()});
    call_method(submit_button.get(), "on_click", {on_click_handler.get()});
    return Ref::borrow(Py_None);
}

// --- module ------------------------------------------------------------------------

constexpr Param code_params[] = {
    {"code", Exact::str, "str"},
    {"global_variables", Exact::dict, "dict", Default::None()},
    {"jupyter_mode", Exact::any, "bool", Default::True()},
};
constexpr Param generate_code_completion_params[] = {
    {"query"},
    {"global_variables", Exact::dict, "dict", Default::None()},
    {"debug_mode", Exact::any, "bool", Default::False()},
    {"jupyter_mode", Exact::any, "bool", Default::True()},
};
constexpr Param display_next_cell_params[] = {{"code"}};
constexpr Param display_previous_cell_params[] = {{"markdown"}};
constexpr Param generate_code_params[] = {{"global_variables", Exact::any, nullptr, Default::None()}};
constexpr Param generate_prompt_params[] = {
    {"query"},
    {"base_prompt", Exact::str, "str"},
    {"global_variables", Exact::any, nullptr, Default::None()},
};

const FunctionSpec functions[] = {
    {"get_prompts", get_prompts_doc, {}, get_prompts},
    {"optimize_code", optimize_code_doc, code_params, optimize_code},
    {"generate_markdown", generate_markdown_doc, code_params, generate_markdown},
    {"generate_code_completion", generate_code_completion_doc, generate_code_completion_params,
     generate_code_completion},
    {"display_previous_cell", display_previous_cell_doc, display_previous_cell_params, display_previous_cell},
    {"display_next_cell", display_next_cell_doc, display_next_cell_params, display_next_cell},
    {"generate_code", generate_code_doc, generate_code_params, generate_code},
    {"_generate_prompt", nullptr, generate_prompt_params, generate_prompt},
};

void exec(Module& m) {
    m.import("ipywidgets", "widgets");
    m.import_from("IPython.display", "display");
    m.import_from("IPython.display", "Javascript");
    m.import("openai");
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

QUILLON_MODULE(nbassist, quillon::nbassist::exec)
