// publish.cpp: answers into new cells: the classic notebook's cell script,
// and for every other front end the courier (courier.cpp) and a fallback
// output that shows the answer as text.
#include "modules/nbassist/nbassist.hpp"

namespace quillon::nbassist {
namespace {

// --- texts -----------------------------------------------------------------------

constexpr char widget_view_type[] = "application/vnd.jupyter.widget-view+json";
// The cell scripts of the classic notebook.
constexpr std::string_view cell_below_head =
    "\n        var code_cell = Jupyter.notebook.insert_cell_below('code');\n        code_cell.set_text(`";
constexpr std::string_view cell_above_head =
    "\n        var code_cell = Jupyter.notebook.insert_cell_above('markdown');\n        code_cell.set_text(`";
constexpr std::string_view cell_tail = "`);\n        code_cell.focus_cell();\n    ";

constexpr char display_next_cell_doc[] =
    "\n    Add the code to the next cell\n"
    "    :param code: code to be added to next cell\n"
    "    :return:\n    ";
constexpr char display_previous_cell_doc[] =
    "\n    Add the markdown to the previous cell\n"
    "    :param markdown: markdown to be added to previous cell\n"
    "    :return:\n    ";

// --- parameters ----------------------------------------------------------------------

struct DisplayNextCellArgs {
    PyObject* code;
};
constexpr Param display_next_cell_params[] = {{"code"}};

struct DisplayPreviousCellArgs {
    PyObject* markdown;
};
constexpr Param display_previous_cell_params[] = {{"markdown"}};

/// The display publisher hook of one cell script.
struct TagCellScriptArgs {
    PyObject* msg;
};
constexpr Param tag_cell_script_params[] = {{"msg"}};

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

/// `text` as a markdown fenced block in `language`: the fence is longer than
/// the longest run of backquotes in it, so nothing in it can close the block.
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
    auto show = [&] {  // after the courier's view, if any
        need(PyDict_SetItemString(bundle.get(), "text/markdown", markdown.finish().get()));
        need(PyDict_SetItemString(bundle.get(), "text/plain", plain.finish().get()));
        call(fn, global(fn, "display"_n).get(), {bundle.get()}, {{"raw"_n, Py_True}});
    };
    if (!kernel) return show();
    Ref courier = new_courier(fn, shell, kind, answer, event_widget_id(fn, shell).get());
    undo_on_error(
        [&] {
            Ref shown = call_method(fn, courier.get(), "_repr_mimebundle_"_n);
            if (PyTuple_Check(shown.get()) && PyTuple_GET_SIZE(shown.get()) > 0)  // (data, metadata)
                shown = Ref::borrow(PyTuple_GET_ITEM(shown.get(), 0));
            Ref view_key = text(widget_view_type);
            Ref view = own(PyObject_GetItem(shown.get(), view_key.get()));
            need(PyDict_SetItem(bundle.get(), view_key.get(), view.get()));
            show();
        },
        [&] { retire_courier(fn, courier.get()); });  // never shown, so never delivered
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

Ref display_next_cell_impl(Function& fn, const DisplayNextCellArgs& a) {
    publish_answer(fn, cell_below_head, "code", a.code);
    return Ref::borrow(Py_None);
}

Ref display_previous_cell_impl(Function& fn, const DisplayPreviousCellArgs& a) {
    publish_answer(fn, cell_above_head, "markdown", a.markdown);
    return Ref::borrow(Py_None);
}

}  // namespace

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

const FunctionSpec display_next_cell_spec =
    function<DisplayNextCellArgs, display_next_cell_params, display_next_cell_impl>("display_next_cell",
                                                                                    display_next_cell_doc);
const FunctionSpec display_previous_cell_spec =
    function<DisplayPreviousCellArgs, display_previous_cell_params, display_previous_cell_impl>(
        "display_previous_cell", display_previous_cell_doc);
}  // namespace quillon::nbassist
