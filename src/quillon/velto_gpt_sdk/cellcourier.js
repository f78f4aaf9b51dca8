// cellcourier.js: the front-end half of quillon's answers, an anywidget ES
// module that needs no build step (each courier's own module is a loader
// that imports this text once per page from the kernel's library widget).
// The kernel makes one courier widget per answer and shows it as an output
// whose bundle also holds the answer as text (the fallback). Only the page
// that asked for the answer acts on it: the courier's `origin` is the id of
// the kernel connection that sent the request. On that page this module:
//
//  - in a front end built on JupyterLab (JupyterLab 4, Notebook 7): puts the
//    answer into the notebook document (a code cell below or a markdown cell
//    above the anchor's cell, or printed text under it) and takes the
//    fallback output back, replacing it in place with an empty output;
//  - in the classic notebook, whose cell script this page has run, so the
//    cell is there: only takes the fallback output back.
//
// Other pages on a shared notebook see the document change and do nothing
// themselves. Anywhere else that draws widgets, where the anchor's cell is
// gone, or for a courier restored from a saved notebook (whose origin is no
// page), this module draws the fallback itself, as text, so the answer is
// never silently lost and never read as HTML.
//
// The anchor is the widget whose cell the answer belongs to: the courier
// itself for a command run in a cell, or the widget whose event ran the
// command (the form's Submit button). Once done, the courier sets `done`,
// and the kernel closes it.

const VIEW = "application/vnd.jupyter.widget-view+json";
const EMPTY = () => ({ output_type: "display_data", data: {}, metadata: {} });

/// Whether this page sent the request that the answer is for.
function askedHere(model) {
  const origin = model.get("origin");
  if (!origin) return false;
  const classic = classicNotebook();
  if (classic) return !!classic.kernel && classic.kernel.session_id === origin;
  const manager = model.widget_manager;
  const kernel = manager && manager.kernel;
  return !!kernel && kernel.clientId === origin;
}

function classicNotebook() {
  const jupyter = window.Jupyter;
  return jupyter && jupyter.notebook && typeof jupyter.notebook.get_cells === "function" ? jupyter.notebook : null;
}

/// The notebook model of a JupyterLab-based front end, from the widget
/// manager's document context, or null.
function labNotebook(model) {
  const manager = model.widget_manager;
  const context = manager && manager.context;
  const notebook = context && context.model;
  return notebook && notebook.cells && notebook.sharedModel && typeof notebook.sharedModel.insertCell === "function"
    ? notebook
    : null;
}

/// Whether the widget `id` is `anchor` or holds it among its descendants.
async function holds(manager, id, anchor, depth = 0) {
  if (id === anchor) return true;
  if (depth > 8) return false;
  let widget;
  try {
    widget = await manager.get_model(id);
  } catch (err) {
    return false;
  }
  const children = (widget && widget.get && widget.get("children")) || [];
  for (const child of children) {
    if (child && child.model_id && (await holds(manager, child.model_id, anchor, depth + 1))) return true;
  }
  return false;
}

function viewId(output) {
  const view = output && output.data && output.data[VIEW];
  return view && view.model_id;
}

/// The index of the cell (in the document, not the page: windowed notebooks
/// draw only part of it) that shows the anchor widget, or -1.
async function anchorCell(model, notebook, anchor) {
  const manager = model.widget_manager;
  for (let i = 0; i < notebook.cells.length; i++) {
    const outputs = notebook.cells.get(i).outputs;
    if (!outputs) continue;
    for (let j = 0; j < outputs.length; j++) {
      const id = viewId(outputs.get(j));
      if (id && (await holds(manager, id, anchor))) return i;
    }
  }
  return -1;
}

/// Replaces every output that shows this courier with an empty output, in
/// place, so that the indices of the cell's other outputs stay as they are.
function takeBackLab(notebook, self) {
  for (let i = 0; i < notebook.cells.length; i++) {
    const outputs = notebook.cells.get(i).outputs;
    if (!outputs) continue;
    for (let j = 0; j < outputs.length; j++) {
      if (viewId(outputs.get(j)) === self) outputs.set(j, EMPTY());
    }
  }
}

function finish(model) {
  model.set("done", true);
  try {
    model.save_changes();  // the kernel then closes this courier
  } catch (err) {
    console.warn("quillon: could not tell the kernel that the answer is in:", err);
  }
}

/// Puts the answer into the notebook; whether it got there (or had already).
async function deliverLab(model, notebook) {
  const anchor = model.get("anchor"), self = model.get("self_id");
  // The anchor's output may arrive just after this model: wait for it a while.
  let index = -1;
  for (let tries = 0; tries < 200 && index < 0; tries++) {
    index = await anchorCell(model, notebook, anchor);
    if (index < 0) await new Promise((resolve) => setTimeout(resolve, 50));
  }
  if (model.get("done")) return true;
  if (index < 0) {
    console.warn("quillon: the cell this answer belongs to is gone; the answer stays in its output");
    return false;
  }
  const kind = model.get("kind"), text = model.get("text");
  if (kind === "stdout") {
    const outputs = notebook.cells.get(index).outputs;
    if (outputs) outputs.add({ output_type: "stream", name: "stdout", text });
  } else {
    const at = kind === "markdown" ? index : index + 1;
    notebook.sharedModel.insertCell(at, { cell_type: kind, source: text });
  }
  try {  // the answer is in: a failure from here on must not show it twice
    takeBackLab(notebook, self);
    finish(model);
  } catch (err) {
    console.error("quillon:", err);
  }
  return true;
}

// Deliveries under way, by courier id (a view may be drawn from another model
// object than the one initialised): a view draws the fallback if one fails.
const deliveries = new Map();

/// The classic notebook: the output that shows this view is emptied in the
/// output area's list (what the notebook saves) and taken off the page.
function takeBackClassic(model, el, notebook) {
  const self = model.get("self_id");
  for (const cell of notebook.get_cells()) {
    const area = cell.output_area;
    if (!area || !area.outputs) continue;
    area.outputs.forEach((output, j) => {
      if (viewId(output) === self) area.outputs[j] = Object.assign(EMPTY(), { transient: output.transient });
    });
  }
  const wrapper = el.closest(".output_area");
  if (wrapper) wrapper.remove();
  finish(model);
}

function drawFallback(model, el) {
  const note = document.createElement("div");
  note.textContent = model.get("note");
  const body = document.createElement("pre");
  body.textContent = model.get("text");
  el.replaceChildren(note, body);
}

export default {
  initialize({ model }) {
    if (model.get("done") || !askedHere(model)) return;
    // The classic notebook shows what a widget's handler prints itself.
    if (classicNotebook()) return model.get("kind") === "stdout" ? finish(model) : undefined;
    const notebook = labNotebook(model);
    if (!notebook) return;
    const delivery = deliverLab(model, notebook).catch((err) => {
      console.error("quillon:", err);
      return false;
    });
    deliveries.set(model.get("self_id"), delivery);
  },
  render({ model, el }) {
    if (model.get("done")) return;
    const classic = classicNotebook();
    if (classic && askedHere(model)) return takeBackClassic(model, el, classic);
    const delivery = !classic && askedHere(model) && labNotebook(model) && deliveries.get(model.get("self_id"));
    if (delivery) delivery.then((delivered) => delivered || drawFallback(model, el));
    else drawFallback(model, el);
  },
};
