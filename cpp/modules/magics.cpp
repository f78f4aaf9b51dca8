// magics.cpp: the IPython extension behind `%load_ext quillon`. Registers one
// magic, `%quillon` as a line and `%%quillon` as a cell, that runs the
// notebook assistant's commands on the kernel's user namespace: code for a
// request, advice on the last error, an explanation or a faster version of an
// earlier cell, the form, and a preview of what is said about the namespace.
// Every answer goes through the assistant's own public functions, so it is
// delivered, and every service error raised, exactly as the commands do it.
#include "core/module.hpp"
#include "core/text.hpp"

#include <array>
#include <cstdarg>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::magics {
namespace {

// --- texts -----------------------------------------------------------------------

constexpr char usage[] =
    "Ask the Quillon engine from a notebook cell; every request describes this\n"
    "notebook's modules, variables and data-frame columns to the engine.\n"
    "\n"
    "  %%quillon               a cell holding a request in plain words: the code for\n"
    "                          it, in a new code cell below\n"
    "  %quillon <request>      the same, for a request on one line\n"
    "  %quillon fix            advice on the last error raised in this kernel\n"
    "  %quillon explain [N]    an explanation of cell In[N] (default: the cell run\n"
    "                          before this one), in a new markdown cell above\n"
    "  %quillon optimize [N]   a faster version of cell In[N] (same default), in a\n"
    "                          new code cell below\n"
    "  %quillon form           the code-generation form\n"
    "  %quillon context        shows, without sending anything, what every request\n"
    "                          says about this notebook's namespace\n";

constexpr char subcommands[] = "fix, explain [N], optimize [N], form, context";
constexpr char msg_no_error[] =
    "quillon: there is no error to fix, no cell has raised an exception in this kernel yet.";
constexpr char msg_only_own[] =
    "quillon: there is no error to fix, no cell has raised an exception in this kernel other than %quillon's own.";
constexpr char report_cell[] = "The failing cell, ";
constexpr char report_other_cell[] = "Also in the traceback, ";
constexpr char report_trace[] = "Traceback of the notebook's cells (most recent call last):\n";

constexpr char load_doc[] =
    "\n    Log in as importing the notebook assistant does, and register the %quillon\n"
    "    line magic and the %%quillon cell magic on the shell\n"
    "    :param ipython: the IPython shell that loads the extension\n"
    "    :return:\n    ";
constexpr char unload_doc[] =
    "\n    Remove the %quillon and %%quillon magics from the shell\n"
    "    :param ipython: the IPython shell that unloads the extension\n"
    "    :return:\n    ";

// What `_generate_prompt` puts after the namespace description, for an
// empty base prompt and an empty query: what `context` cuts off.
constexpr std::string_view prompt_tail = "Use them as context and : ";

QUILLON_NAMES("nbassist", "generate_code_completion", "optimize_code", "generate_markdown", "generate_code",
              "_generate_prompt", "base_prompt", "global_variables", "debug_mode", "user_ns", "end", "strip", "pop",
              "register_magic_function", "magic_kind", "magic_name", "magics_manager", "magics", "quillon",
              "partial", "_ipython_magic_no_var_expand", "__doc__", "UsageError", "displayhook", "exec_result",
              "execution_count", "history_manager", "input_hist_raw", "compile", "format_code_name", "sys",
              "last_type", "last_value", "last_traceback", "traceback", "extract_tb", "format_exception_only",
              "filename", "lineno", "line", "linecache", "getlines", "print")

// --- parameters ----------------------------------------------------------------------

struct ExtensionArgs {
    PyObject* ipython;
};
constexpr Param extension_params[] = {{"ipython"}};

/// The magic, called by IPython as `quillon(line)` or `quillon(line, cell)`.
struct MagicArgs {
    PyObject *line, *cell;
};
constexpr Param magic_params[] = {{"line"}, {"cell", Exact::any, nullptr, Default::None()}};

// The magic's closure: the shell that loaded the extension, the exception
// the magic itself last raised, and the user's last error from before it
// (last_type, last_value, last_traceback), or None.
enum MagicCell : std::size_t { cell_shell, cell_own_error, cell_user_error, magic_cell_count };

// --- helpers ---------------------------------------------------------------------------

bool is(PyObject* word, const char* s) {
    return PyUnicode_Check(word) && PyUnicode_CompareWithASCIIString(word, s) == 0;
}

void print(Function& fn, PyObject* value, const char* end = "\n") {
    call(fn, global(fn, "print"_n).get(), {value}, {{"end"_n, text(end).get()}});
}

/// IPython's UsageError, its message made as PyUnicode_FromFormat makes
/// it: the shell shows the message without a traceback.
[[noreturn]] void usage_error(Function& fn, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (!message) throw PyErrorSet{};
    Ref error = call(global(fn, "UsageError"_n).get(), {message.get()});
    raise_object(error.get());
}

Ref nbassist_function(Function& fn, Name name) { return attr(fn, global(fn, "nbassist"_n).get(), name); }

Ref user_ns(Function& fn, PyObject* shell) { return attr(fn, shell, "user_ns"_n); }

// --- the last error ----------------------------------------------------------------------

/// sys.last_type, last_value and last_traceback, which the shell sets
/// when it shows an exception; empty when it has shown none.
std::array<Ref, 3> last_error(Function& fn) {
    Ref sys = global(fn, "sys"_n);
    Ref value = attr_if_any(fn, sys.get(), "last_value"_n);
    if (!value || value.get() == Py_None) return {};
    Ref type = attr_if_any(fn, sys.get(), "last_type"_n);
    Ref tb = attr_if_any(fn, sys.get(), "last_traceback"_n);
    return {type ? type : Ref::borrow(Py_None), value, tb ? tb : Ref::borrow(Py_None)};
}

// An error of the magic itself (the service down, a usage error) is not
// the user's to fix, and asking `fix` again after one should still be about
// the user's error. So each call keeps the user's last error from before
// it, and the exception it raises itself, in the magic's closure.

/// Keeps the shell's last error in the closure unless the magic raised it.
void remember_user_error(Function& fn) {
    auto error = last_error(fn);
    if (!error[1] || error[1].get() == fn.cell(cell_own_error).get()) return;
    Ref triple = tuple({error[0].get(), error[1].get(), error[2].get()});
    need(PyCell_Set(PyTuple_GET_ITEM(fn.closure, cell_user_error), triple.get()));
}

/// The user's last error: the shell's, or the one from before the magic's
/// own; empty when there is none. `own_only` tells that the shell's last
/// error was the magic's own.
std::array<Ref, 3> last_user_error(Function& fn, bool& own_only) {
    auto error = last_error(fn);
    own_only = false;
    if (!error[1] || error[1].get() != fn.cell(cell_own_error).get()) return error;
    Ref kept = fn.cell(cell_user_error);
    if (kept.get() == Py_None) {
        own_only = true;
        return {};
    }
    auto [type, value, tb] = unpack<3>(kept.get());
    return {type, value, tb};
}

/// The report `fix` sends, from what IPython showed the user for an
/// exception (see `last_user_error`): the code
/// of the cell that failed (and of any other cell the traceback passes
/// through, such as one that defined a function it called), the
/// traceback's frames that lie in the notebook's cells, and the
/// exception's type and message, last, as a traceback ends. Empty when no
/// exception has been shown.
Ref error_report(Function& fn, PyObject* shell, const std::array<Ref, 3>& error) {
    auto [type, value, tb] = error;
    if (!type || !PyType_Check(type.get())) type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    Ref traceback = global(fn, "traceback"_n);
    Ref compiler = attr(fn, shell, "compile"_n);

    // The frames in the user's cells, named as IPython names them ("Cell
    // In[3]"), and those cells (file, name), outermost first, each once.
    TextBuilder frames;
    bool any_frame = false;
    std::vector<std::pair<Ref, Ref>> cells;
    auto note_cell = [&](PyObject* filename) -> std::array<Ref, 2> {
        Ref label = call_method(fn, compiler.get(), "format_code_name"_n, {filename});
        if (label.get() == Py_None) return {};
        auto kind_name = unpack<2>(label.get());
        bool known = false;
        for (const auto& [file, name] : cells)
            known = known || need(PyObject_RichCompareBool(file.get(), filename, Py_EQ));
        if (!known) cells.emplace_back(Ref::borrow(filename), kind_name[1]);
        return kind_name;
    };
    if (tb && tb.get() != Py_None) {
        Ref summary = call_method(fn, traceback.get(), "extract_tb"_n, {tb.get()});
        Ref it = own(PyObject_GetIter(summary.get()));
        while (Ref frame = Ref::steal(PyIter_Next(it.get()))) {
            Ref filename = attr(fn, frame.get(), "filename"_n);
            auto [kind, name] = note_cell(filename.get());
            if (!kind) continue;
            frames.ascii("  ").str(str(kind.get()).get()).ascii(" ").str(str(name.get()).get());
            frames.ascii(", line ").str(str(attr(fn, frame.get(), "lineno"_n).get()).get()).ascii("\n");
            Ref line = attr(fn, frame.get(), "line"_n);
            if (line.get() != Py_None && truth(line.get())) frames.ascii("    ").str(str(line.get()).get()).ascii("\n");
            any_frame = true;
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    }
    // A syntax error never ran: its cell is the file it names.
    if (cells.empty() && PyObject_TypeCheck(value.get(), reinterpret_cast<PyTypeObject*>(PyExc_SyntaxError))) {
        Ref filename = attr_if_any(fn, value.get(), "filename"_n);
        if (filename && PyUnicode_Check(filename.get())) note_cell(filename.get());
    }

    TextBuilder report;
    bool first = true;
    for (const auto& [file, name] : cells) {
        Ref lines = call_method(fn, global(fn, "linecache"_n).get(), "getlines"_n, {file.get()});
        Ref source = own(PyUnicode_Join(text("").get(), lines.get()));
        Py_ssize_t length = PyUnicode_GET_LENGTH(source.get());
        if (length == 0) continue;
        report.ascii(first ? report_cell : report_other_cell).str(str(name.get()).get()).ascii(":\n").str(source.get());
        if (PyUnicode_READ_CHAR(source.get(), length - 1) != '\n') report.ascii("\n");
        report.ascii("\n");
        first = false;
    }
    if (any_frame) report.ascii(report_trace).str(frames.finish().get());
    Ref exception_only = call_method(fn, traceback.get(), "format_exception_only"_n, {type.get(), value.get()});
    report.str(own(PyUnicode_Join(text("").get(), exception_only.get())).get());
    return report.finish();
}

// --- earlier cells -------------------------------------------------------------------------

/// The number N of the running cell, In[N]. The shell's execution result
/// of the running cell knows it (the shell's own counter is advanced before
/// the cell runs in some IPython versions and after it in others); without
/// one, the cell is taken to be the next after the history's last.
long long running_cell_number(Function& fn, PyObject* shell, Py_ssize_t history_length) {
    Ref hook = attr_if_any(fn, shell, "displayhook"_n);
    Ref result = hook ? attr_if_any(fn, hook.get(), "exec_result"_n) : Ref{};
    Ref number = result && result.get() != Py_None ? attr_if_any(fn, result.get(), "execution_count"_n) : Ref{};
    if (number && PyLong_CheckExact(number.get())) {
        long long n = PyLong_AsLongLong(number.get());
        if (n == -1 && PyErr_Occurred()) throw PyErrorSet{};
        return n;
    }
    return history_length;
}

/// The text of input cell `In[N]`, as the user typed it; N is the word
/// given (null: the cell run before this one). A UsageError names what is
/// wrong with it.
Ref input_cell(Function& fn, PyObject* shell, PyObject* word, const char* subcommand) {
    Ref history = attr(fn, attr(fn, shell, "history_manager"_n).get(), "input_hist_raw"_n);
    Py_ssize_t count = need(PyObject_Length(history.get()));
    long long n;
    if (word == nullptr) {
        n = running_cell_number(fn, shell, count) - 1;
        if (n < 1 || n >= count)
            usage_error(fn, "%%quillon %s: no cell has run before this one; name one as %%quillon %s N, for In[N]",
                        subcommand, subcommand);
    } else {
        Ref number = Ref::steal(PyLong_FromUnicodeObject(word, 10));
        if (!number) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyErrorSet{};
            PyErr_Clear();
            usage_error(fn, "%%quillon %s: '%U' is not a cell number; give N as in In[N]", subcommand, word);
        }
        int overflow = 0;
        n = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
        if (n == -1 && PyErr_Occurred()) throw PyErrorSet{};
        if ((overflow != 0 || n < 1 || n >= count) && count > 1)
            usage_error(fn, "%%quillon %s: there is no cell In[%U]; the cells run so far are In[1] to In[%zd]",
                        subcommand, word, count - 1);
        if (overflow != 0 || n < 1 || n >= count)
            usage_error(fn, "%%quillon %s: there is no cell In[%U]; no cell has been run yet", subcommand, word);
    }
    Ref source = own(PySequence_GetItem(history.get(), static_cast<Py_ssize_t>(n)));
    if (!PyUnicode_Check(source.get()) || !truth(call_method(fn, source.get(), "strip"_n).get()))
        usage_error(fn, "%%quillon %s: In[%lld] is empty", subcommand, n);
    return source;
}

// --- the subcommands ----------------------------------------------------------------------

void request_code(Function& fn, PyObject* shell, PyObject* request) {
    Ref ns = user_ns(fn, shell);
    call(nbassist_function(fn, "generate_code_completion"_n).get(), {request, ns.get()});
}

void fix(Function& fn, PyObject* shell) {
    bool own_only = false;
    auto error = last_user_error(fn, own_only);
    if (!error[1]) {
        print(fn, text(own_only ? msg_only_own : msg_no_error).get());
        return;
    }
    Ref report = error_report(fn, shell, error);
    Ref ns = user_ns(fn, shell);
    call(fn, nbassist_function(fn, "generate_code_completion"_n).get(), {report.get(), ns.get()},
         {{"debug_mode"_n, Py_True}});
}

void on_cell(Function& fn, PyObject* shell, Name command, PyObject* word, const char* subcommand) {
    Ref code = input_cell(fn, shell, word, subcommand);
    Ref ns = user_ns(fn, shell);
    call(nbassist_function(fn, command).get(), {code.get(), ns.get()});
}

/// Prints the namespace description that every request carries, as the
/// assistant's own `_generate_prompt` builds it: its prompt for an empty
/// request is the description followed by `prompt_tail`.
void context(Function& fn, PyObject* shell) {
    Ref ns = user_ns(fn, shell);
    Ref empty = text("");
    Ref prompt = call(fn, nbassist_function(fn, "_generate_prompt"_n).get(), {empty.get()},
                      {{"base_prompt"_n, empty.get()}, {"global_variables"_n, ns.get()}});
    if (!PyUnicode_Check(prompt.get())) raise(PyExc_TypeError, "_generate_prompt did not return a str");
    Ref tail = text(prompt_tail);
    Ref description = prompt;
    if (need(PyUnicode_Tailmatch(prompt.get(), tail.get(), 0, PY_SSIZE_T_MAX, 1)))
        description = own(PyUnicode_Substring(prompt.get(), 0, PyUnicode_GET_LENGTH(prompt.get()) -
                                                                    PyUnicode_GET_LENGTH(tail.get())));
    print(fn, description.get(), "");
    Ref count = own(PyUnicode_FromFormat(
        "(%zd characters, sent ahead of every request: %%%%quillon, fix, explain, optimize and the form)",
        PyUnicode_GET_LENGTH(description.get())));
    print(fn, count.get());
}

// --- the magic -------------------------------------------------------------------------------

Ref run_magic(Function& fn, const MagicArgs& a) {
    Ref shell = fn.cell(cell_shell);
    if (!PyUnicode_Check(a.line)) raise(PyExc_TypeError, "the magic's line must be a str");
    if (a.cell != Py_None) {  // %%quillon: the cell (after anything on the magic's line) is the request
        if (!PyUnicode_Check(a.cell)) raise(PyExc_TypeError, "the magic's cell must be a str");
        Ref joined = PyUnicode_GET_LENGTH(a.line) ? own(PyUnicode_FromFormat("%U\n%U", a.line, a.cell))
                                                  : Ref::borrow(a.cell);
        Ref request = call_method(fn, joined.get(), "strip"_n);  // a str subclass's strip may return anything
        if (!truth(request.get())) print(fn, text(usage).get(), "");
        else request_code(fn, shell.get(), request.get());
        return Ref::borrow(Py_None);
    }

    Ref words = own(PyUnicode_Split(a.line, nullptr, -1));
    Py_ssize_t n = PyList_GET_SIZE(words.get());
    if (n == 0) {
        print(fn, text(usage).get(), "");
        return Ref::borrow(Py_None);
    }
    PyObject* first = PyList_GET_ITEM(words.get(), 0);
    PyObject* second = n > 1 ? PyList_GET_ITEM(words.get(), 1) : nullptr;
    auto no_more = [&](const char* subcommand, Py_ssize_t allowed) {
        if (n > allowed + 1)
            usage_error(fn, "%%quillon %s takes %s", subcommand,
                        allowed ? "at most one cell number" : "nothing after it");
    };
    if (is(first, "fix")) {
        no_more("fix", 0);
        fix(fn, shell.get());
    } else if (is(first, "explain")) {
        no_more("explain", 1);
        on_cell(fn, shell.get(), "generate_markdown"_n, second, "explain");
    } else if (is(first, "optimize")) {
        no_more("optimize", 1);
        on_cell(fn, shell.get(), "optimize_code"_n, second, "optimize");
    } else if (is(first, "form")) {
        no_more("form", 0);
        call(nbassist_function(fn, "generate_code"_n).get(), {user_ns(fn, shell.get()).get()});
    } else if (is(first, "context")) {
        no_more("context", 0);
        context(fn, shell.get());
    } else if (n == 1) {
        // One word is too short for a request and is most likely a mistyped subcommand.
        usage_error(fn, "%%quillon: unknown subcommand '%U'; the subcommands are %s. A request takes more than one "
                        "word: %%quillon <request>, or a %%%%quillon cell", first, subcommands);
    } else {
        Ref request = call_method(fn, a.line, "strip"_n);
        request_code(fn, shell.get(), request.get());
    }
    return Ref::borrow(Py_None);
}

Ref magic_impl(Function& fn, const MagicArgs& a) {
    remember_user_error(fn);
    try {
        return run_magic(fn, a);
    } catch (const PyErrorSet&) {
        PendingError error = PendingError::take();
        need(PyCell_Set(PyTuple_GET_ITEM(fn.closure, cell_own_error), error.value ? error.value.get() : Py_None));
        error.restore();
        throw;
    }
}

constexpr FunctionSpec magic_spec = function<MagicArgs, magic_params, magic_impl>("quillon", usage);

/// Registers %quillon and %%quillon on `ipython`, bound to it.
Ref load_ipython_extension_impl(Function& fn, const ExtensionArgs& a) {
    Ref cells = own(PyTuple_New(magic_cell_count));
    PyTuple_SET_ITEM(cells.get(), cell_shell, need(PyCell_New(a.ipython)));
    PyTuple_SET_ITEM(cells.get(), cell_own_error, need(PyCell_New(Py_None)));
    PyTuple_SET_ITEM(cells.get(), cell_user_error, need(PyCell_New(Py_None)));
    Ref closure = make_closure(fn, magic_spec, cells);
    // A request goes to the engine as typed: IPython would otherwise put
    // the values of names into a line's {name} and $name before the magic
    // sees it. Functions of this module take no attributes, so the mark is
    // set on a partial of the closure, which also carries its usage text.
    Ref magic = call(global(fn, "partial"_n).get(), {closure.get()});
    set_attr(fn, magic.get(), "_ipython_magic_no_var_expand"_n, Py_True);
    set_attr(fn, magic.get(), "__doc__"_n, text(usage).get());
    call(fn, attr(fn, a.ipython, "register_magic_function"_n).get(), {magic.get()},
         {{"magic_kind"_n, text("line_cell").get()}, {"magic_name"_n, interned(fn, "quillon"_n)}});
    return Ref::borrow(Py_None);
}

/// Takes %quillon and %%quillon away again (`%unload_ext quillon`).
Ref unload_ipython_extension_impl(Function& fn, const ExtensionArgs& a) {
    Ref registered = attr(fn, attr(fn, a.ipython, "magics_manager"_n).get(), "magics"_n);
    for (const char* kind : {"line", "cell"}) {
        Ref table = own(PyObject_GetItem(registered.get(), text(kind).get()));
        call_method(fn, table.get(), "pop"_n, {interned(fn, "quillon"_n), Py_None});
    }
    return Ref::borrow(Py_None);
}

// --- the module ----------------------------------------------------------------------

constexpr FunctionSpec functions[] = {
    function<ExtensionArgs, extension_params, load_ipython_extension_impl>("load_ipython_extension", load_doc),
    function<ExtensionArgs, extension_params, unload_ipython_extension_impl>("unload_ipython_extension",
                                                                             unload_doc),
};

void exec(Module& m) {
    for (const char* name : {"sys", "traceback", "linecache"}) m.import(name);
    m.import_from("IPython.core.error", "UsageError");
    m.import_from("functools", "partial");
    // The notebook assistant's import logs in (and asks, when it must).
    m.import("quillon.velto_gpt_sdk.nbassist", "nbassist");
    for (const FunctionSpec& spec : functions) m.def(spec);
}

}  // namespace
}  // namespace quillon::magics

QUILLON_MODULE(magics, quillon::magics::exec, quillon::magics::module_names)
