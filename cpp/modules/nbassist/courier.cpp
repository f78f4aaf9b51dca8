// courier.cpp: the cell courier, the widget that carries an answer to the
// front ends the classic notebook's cell script does not reach.
#include "modules/nbassist/nbassist.hpp"

namespace quillon::nbassist {
namespace {

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

// --- texts -----------------------------------------------------------------------

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
    }).catch((err) => { loaded.delete(id); console.error("quillon:", err); }));
  return loaded.get(id);
}
export default {
  async initialize(props) { return (await courier(props.model))?.initialize(props); },
  async render({ model, el }) {
    const module = await courier(model);
    if (module) return module.render({ model, el });
    const shown = document.createElement("pre");  // no library: the answer as text
    shown.textContent = `${model.get("note")}\n\n${model.get("text")}`;
    el.replaceChildren(shown);
  },
};
)js";

// --- parameters ----------------------------------------------------------------------

/// The observer of a courier's `done`.
struct CourierDeliveredArgs {
    PyObject* change;
};
constexpr Param courier_delivered_params[] = {{"change"}};

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

/// Observes a courier's `done`: the front end has delivered its answer.
Ref courier_delivered_impl(Function& fn, const CourierDeliveredArgs& a) {
    if (truth(item(fn, a.change, "new"_n).get())) retire_courier(fn, item(fn, a.change, "owner"_n).get());
    return Ref::borrow(Py_None);
}

constexpr FunctionSpec courier_delivered_spec =
    function<CourierDeliveredArgs, courier_delivered_params, courier_delivered_impl>("courier_delivered", nullptr);

}  // namespace

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
    // A courier that fails on the way is closed, as nothing would ever close it.
    undo_on_error(
        [&] {
            Ref count = own(PyNumber_Add(attr(fn, library.get(), "couriers"_n).get(), integer(1).get()));
            set_attr(fn, library.get(), "couriers"_n, count.get());
        },
        [&] { call_method(fn, courier.get(), "close"_n); });
    undo_on_error(
        [&] {
            Ref observer = make_closure(fn, courier_delivered_spec, own(PyTuple_New(0)));
            call_method(fn, courier.get(), "observe"_n, {observer.get()}, {{"names"_n, text("done").get()}});
        },
        [&] { retire_courier(fn, courier.get()); });
    return courier;
}

/// Closes a courier whose work is over (delivered, or never shown), and the
/// library with the last one.
void retire_courier(Function& fn, PyObject* courier) {
    if (attr(fn, courier, "comm"_n).get() == Py_None) return;  // closed already
    call_method(fn, courier, "close"_n);
    // A widget's close leaves the layout widget that every DOM widget makes for itself.
    Ref layout = attr_if_any(fn, courier, "layout"_n);
    if (layout && layout.get() != Py_None) call_method(fn, layout.get(), "close"_n);
    Ref library = dict_entry(fn, fn.globals, "_courier_library"_n);
    if (!library || library.get() == Py_None) return;
    Ref ours = attr(fn, courier, "library"_n), its = attr(fn, library.get(), "model_id"_n);
    if (!need(PyObject_RichCompareBool(ours.get(), its.get(), Py_EQ))) return;
    Ref left = own(PyNumber_Subtract(attr(fn, library.get(), "couriers"_n).get(), integer(1).get()));
    set_attr(fn, library.get(), "couriers"_n, left.get());
    if (truth(left.get())) return;
    set_global(fn, "_courier_library"_n, Py_None);
    call_method(fn, library.get(), "close"_n);
}


}  // namespace quillon::nbassist
