"""cellcourier.js, the answers' front-end half, run in Node.js against stand-ins of the notebook
models it meets: JupyterLab's (Notebook 7 has the same), the classic notebook's, and a front end
that is neither. test_browser.py drives the real ones; this pins what they do not reach, such as a
model restored from saved widget state."""
from pathlib import Path

import pytest

from conftest import CHILD_KERNEL, run_child, run_node

SCRIPT = Path(__file__).resolve().parents[1] / "src" / "quillon" / "velto_gpt_sdk" / "cellcourier.js"
VIEW = "application/vnd.jupyter.widget-view+json"

HARNESS = r"""
import courier from "SCRIPT_URL";

globalThis.window = {};   // no Jupyter.notebook: not the classic notebook
globalThis.document = { createElement: (tag) => ({ tag, textContent: "" }) };

const VIEW = "application/vnd.jupyter.widget-view+json";
const view = (id) => ({ output_type: "display_data", data: { [VIEW]: { model_id: id } }, metadata: {} });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const state = (extra) => ({ kind: "code", text: "x = `1`\n", note: "NOTE", anchor: "A",
                            self_id: "A", origin: "P", done: false, ...extra });
const drawing = () => ({
  drawn: null, closest: () => null,
  replaceChildren(...nodes) { this.drawn = nodes.map((n) => [n.tag, n.textContent]); },
});

function fakeModel(state, manager) {
  const saved = [];
  return { saved, get: (k) => state[k], set: (k, v) => { state[k] = v; },
           save_changes: () => saved.push({ ...state }), widget_manager: manager };
}

// JupyterLab: the document's cells, each with outputs; the widget manager
// knows the widgets (a box knows its children).
function lab(cellOutputs, widgets = {}) {
  const inserted = [];
  const cells = cellOutputs.map((outs) => {
    const list = outs.slice();
    return { outputs: { get length() { return list.length; }, get: (j) => list[j],
                        set: (j, v) => { list[j] = v; }, add: (v) => list.push(v), list } };
  });
  const notebook = { cells: { get length() { return cells.length; }, get: (i) => cells[i] },
                     sharedModel: { insertCell: (at, cell) => inserted.push([at, cell]) } };
  const children = (id) => (widgets[id] || []).map((c) => ({ model_id: c }));
  const get_model = async (id) => ({ get: (k) => (k === "children" ? children(id) : undefined) });
  const manager = { context: { model: notebook }, kernel: { clientId: "P" }, get_model };
  return { notebook, manager, inserted, outputs: (i) => cells[i].outputs.list };
}

// One courier, initialised and drawn as a JupyterLab page does, in a document of `cells`; what
// the document (its cell `cell`), the view and the kernel saw once it is done or has drawn.
async function inLab(cells, extra = {}, { cell = 0, widgets, late, dead } = {}) {
  const l = lab(cells, widgets);
  const m = fakeModel(state(extra), l.manager);
  if (dead) m.save_changes = () => { throw new Error("Syncing error: no comm channel defined"); };
  const el = drawing();
  courier.initialize({ model: m });
  courier.render({ model: m, el });
  if (late) {
    await sleep(150);
    l.notebook.cells.get(0).outputs.add(view("A"));
  }
  for (let i = 0; i < 400 && !m.get("done") && el.drawn === null; i++) await sleep(50);
  await sleep(100);
  return { inserted: l.inserted, outputs: l.outputs(cell), drawn: el.drawn, done: m.get("done"),
           saved: m.saved.length };
}

// The classic notebook, the courier's output in its second cell: its cell script made the new
// cell, so the page that asked only takes the output back.
async function inClassic(outputs, extra = {}) {
  let removed = false;
  const area = { outputs };
  globalThis.window = { Jupyter: { notebook: { kernel: { session_id: "P" },
    get_cells: () => [{ output_area: { outputs: [] } }, { output_area: area }, {}] } } };
  const l = lab([[view("A")]]);
  const m = fakeModel(state(extra), l.manager);
  const el = drawing();
  el.closest = (sel) => (sel === ".output_area" ? { remove: () => { removed = true; } } : null);
  courier.initialize({ model: m });
  courier.render({ model: m, el });
  await sleep(200);
  return { inserted: l.inserted, outputs: area.outputs, removed, drawn: el.drawn,
           done: m.get("done"), saved: m.saved.length };
}

const results = {};
const hi = { output_type: "stream", name: "stdout", text: "hi\n" };
const advice = "You can try this:\n advice\n";
// A command run in cell 1: a code cell goes directly below it; an explanation directly above.
results.code = await inLab([[], [hi, view("A")], []], {}, { cell: 1 });
results.markdown = await inLab([[], [view("A")]], { kind: "markdown", text: "# T" }, { cell: 1 });
// From the form's button B (in box V, shown in cell 2): below the form's cell; the handler's
// own output never arrived, so nothing else changes.
results.event = await inLab([[], [view("X")], [view("V")], []], { anchor: "B" },
                            { cell: 2, widgets: { V: ["D", "B"], X: [] } });
// Debug advice from the form: printed under the form's cell.
results.stdout = await inLab([[view("V")]], { kind: "stdout", text: advice, anchor: "B" },
                             { widgets: { V: ["B"] } });
results.late = await inLab([[]], {}, { late: true });   // the output arrives after the model
// Restored from saved widget state after it was delivered: nothing again.
results.restored = await inLab([[view("A")]], { done: true });
// Another page on the same shared notebook, and a courier restored from a notebook run
// elsewhere (nbclient): neither asked, so neither inserts (the asking page empties the output).
results.elsewhere = await inLab([[view("A")]], { origin: "Q" });
results.unasked = await inLab([[view("A")]], { origin: "" });
results.dead = await inLab([[view("A")]], {}, { dead: true });   // the kernel is gone
results.orphan = await inLab([[view("A")]], { anchor: "gone" });   // the anchor's cell is gone
{ // a front end that is neither: the module draws the answer itself
  const m = fakeModel(state(), { get_model: async () => ({}) });
  const el = drawing();
  courier.initialize({ model: m });
  courier.render({ model: m, el });
  results.other = { drawn: el.drawn, done: m.get("done") };
}
const EMPTY = { output_type: "display_data", data: {}, metadata: {} };
results.classic = await inClassic([EMPTY, { ...view("A"), transient: { display_id: "d" } }]);
// Opening a notebook run headless: no cell script ran on this page, so the fallback stays.
results.classicUnasked = await inClassic([EMPTY, view("A")], { origin: "nbclient" });
// Printed advice: the classic notebook shows what a handler prints itself, so nothing to do.
results.classicStdout = await inClassic([view("V")], { kind: "stdout", anchor: "B" });
process.stdout.write(JSON.stringify(results));
"""

EMPTY = {"output_type": "display_data", "data": {}, "metadata": {}}
CODE = {"cell_type": "code", "source": "x = `1`\n"}
DRAWN = [["div", "NOTE"], ["pre", "x = `1`\n"]]   # as text, never as HTML


def view(model_id):
    return {"output_type": "display_data", "data": {VIEW: {"model_id": model_id}}, "metadata": {}}


def done(inserted, outputs, saved=1):
    """The answer is in the document and the view drew nothing: shown once."""
    return {"inserted": inserted, "outputs": outputs, "drawn": None, "done": True, "saved": saved}


def drawn(outputs):
    """Not this page's to insert, or it cannot: the view draws the answer, nothing else changes."""
    return {"inserted": [], "outputs": outputs, "drawn": DRAWN, "done": False, "saved": 0}


STDOUT = {"output_type": "stream", "name": "stdout"}
EXPECTED = {
    # the fallback output is emptied in place, so the cell's other outputs keep their indices
    "code": done([[2, CODE]], [dict(STDOUT, text="hi\n"), EMPTY]),
    "markdown": done([[1, {"cell_type": "markdown", "source": "# T"}]], [EMPTY]),
    "event": done([[3, CODE]], [view("V")]),
    "stdout": done([], [view("V"), dict(STDOUT, text="You can try this:\n advice\n")]),
    "late": done([[1, CODE]], [EMPTY]),
    "restored": done([], [view("A")], saved=0),
    "elsewhere": drawn([view("A")]),
    "unasked": drawn([view("A")]),
    "dead": done([[1, CODE]], [EMPTY], saved=0),   # inserted once, though the kernel never hears
    "orphan": drawn([view("A")]),
    "other": {"drawn": DRAWN, "done": False},
    "classic": dict(done([], [EMPTY, dict(EMPTY, transient={"display_id": "d"})]), removed=True),
    "classicUnasked": dict(drawn([EMPTY, view("A")]), removed=False),
    "classicStdout": dict(done([], [view("V")]), removed=False),
}


@pytest.fixture(scope="module")
def results():
    return run_node(HARNESS.replace("SCRIPT_URL", SCRIPT.as_uri()), suffix=".mjs")


@pytest.mark.parametrize("case", EXPECTED)
def test_courier(results, case):
    assert results[case] == EXPECTED[case]


LOADER = r"""
import courier from "LOADER_URL";
globalThis.document = { createElement: (tag) => ({ tag, textContent: "" }) };
console.error = () => {};
let asked = 0;
const get_model = async (id) => { asked += 1; throw new Error(`no model ${id}`); };
const model = { get: (k) => ({ library: "L", note: "NOTE", text: "<b>x</b>" })[k],
                widget_manager: { get_model } };
const el = { replaceChildren(...nodes) { this.drawn = nodes.map((n) => [n.tag, n.textContent]); } };
await courier.render({ model, el });
await courier.render({ model, el });
console.log(JSON.stringify({ drawn: el.drawn, asked }));
"""


def test_a_courier_without_its_library_shows_the_answer_as_text_and_asks_again(tmp_path):
    """Each courier's own module only loads the library's: where that fails (a notebook saved
    without it), the answer is still shown, and a later courier tries again."""
    loader = tmp_path / "loader.mjs"
    loader.write_text(run_child('''
        nbassist.display_next_cell("x = 1")
        report(esm=nbassist._CellCourier._esm)
    ''', prelude=CHILD_KERNEL)["esm"])
    result = run_node(LOADER.replace("LOADER_URL", loader.as_uri()), suffix=".mjs")
    assert result == {"drawn": [["pre", "NOTE\n\n<b>x</b>"]], "asked": 2}
