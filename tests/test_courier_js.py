"""cellcourier.js, the answers' front-end half, run in Node.js against stand-ins
of the notebook models it meets: JupyterLab's (Notebook 7 has the same), the
classic notebook's, and a front end that is neither. The real front ends are
driven in test_browser.py; this pins the cases they do not reach, such as a
model restored from saved widget state."""
from pathlib import Path

import pytest

from conftest import run_node

SCRIPT = Path(__file__).resolve().parents[1] / "src" / "quillon" / "velto_gpt_sdk" / "cellcourier.js"
VIEW = "application/vnd.jupyter.widget-view+json"

HARNESS = r"""
import courier from "SCRIPT_URL";

globalThis.window = {};   // no Jupyter.notebook: not the classic notebook

const VIEW = "application/vnd.jupyter.widget-view+json";
const view = (id) => ({ output_type: "display_data", data: { [VIEW]: { model_id: id } }, metadata: {} });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function fakeModel(state, manager) {
  const saved = [];
  return {
    saved,
    get: (k) => state[k],
    set: (k, v) => { state[k] = v; },
    save_changes: () => saved.push({ ...state }),
    widget_manager: manager,
  };
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
  const manager = { context: { model: notebook }, kernel: { clientId: "P" },
                    get_model: async (id) => ({ get: (k) => (k === "children" ? (widgets[id] || []).map((c) => ({ model_id: c })) : undefined) }) };
  return { notebook, manager, inserted, outputs: (i) => cells[i].outputs.list };
}

async function settle(model) {
  for (let i = 0; i < 100 && !model.get("done"); i++) await sleep(20);
  await sleep(100);
}

const results = {};
const state = (extra) => ({ kind: "code", text: "x = `1`\n", note: "NOTE", anchor: "A", self_id: "A", origin: "P",
                            done: false, ...extra });
const drawing = () => ({ drawn: null, closest: () => null,
                         replaceChildren(...nodes) { this.drawn = nodes.map((n) => [n.tag, n.textContent]); } });
globalThis.document = { createElement: (tag) => ({ tag, textContent: "" }) };

{ // a command run in cell 1: a code cell goes directly below it, the fallback is emptied
  const l = lab([[], [{ output_type: "stream", name: "stdout", text: "hi\n" }, view("A")], []]);
  const m = fakeModel(state(), l.manager);
  courier.initialize({ model: m });
  await settle(m);
  results.code = { inserted: l.inserted, outputs: l.outputs(1), done: m.get("done"), saved: m.saved.length };
}
{ // an explanation: a markdown cell directly above the command's cell
  const l = lab([[], [view("A")]]);
  const m = fakeModel(state({ kind: "markdown", text: "# T" }), l.manager);
  courier.initialize({ model: m });
  await settle(m);
  results.markdown = { inserted: l.inserted, outputs: l.outputs(1) };
}
{ // from the form's button B (in box V, shown in cell 2): below the form's cell;
  // the handler's own output never arrived, so nothing else changes
  const l = lab([[], [view("X")], [view("V")], []], { V: ["D", "B"], X: [] });
  const m = fakeModel(state({ anchor: "B" }), l.manager);
  courier.initialize({ model: m });
  await settle(m);
  results.event = { inserted: l.inserted, outputs: l.outputs(2) };
}
{ // debug advice from the form: printed under the form's cell
  const l = lab([[view("V")]], { V: ["B"] });
  const m = fakeModel(state({ kind: "stdout", text: "You can try this:\n advice\n", anchor: "B" }), l.manager);
  courier.initialize({ model: m });
  await settle(m);
  results.stdout = { inserted: l.inserted, outputs: l.outputs(0) };
}
{ // the output arrives a little after the model
  const l = lab([[]]);
  const m = fakeModel(state(), l.manager);
  courier.initialize({ model: m });
  await sleep(150);
  l.notebook.cells.get(0).outputs.add(view("A"));
  await settle(m);
  results.late = { inserted: l.inserted };
}
{ // restored from saved widget state after it was delivered: nothing again
  const l = lab([[view("A")]]);
  const m = fakeModel(state({ done: true }), l.manager);
  courier.initialize({ model: m });
  courier.render({ model: m, el: { closest: () => null, replaceChildren() { throw new Error("drawn"); } } });
  await sleep(200);
  results.restored = { inserted: l.inserted, outputs: l.outputs(0) };
}

// Another page on the same shared notebook, and a courier restored from a
// notebook run elsewhere (nbclient): neither asked, so neither inserts; both
// draw the answer as text (the asking page empties the shared output).
for (const [name, origin] of [["elsewhere", "Q"], ["unasked", ""]]) {
  const l = lab([[view("A")]]);
  const m = fakeModel(state({ origin }), l.manager);
  const el = drawing();
  courier.initialize({ model: m });
  courier.render({ model: m, el });
  await sleep(200);
  results[name] = { inserted: l.inserted, outputs: l.outputs(0), drawn: el.drawn, done: m.get("done") };
}
{ // the kernel is gone (a dead comm): the answer still goes in, once
  const l = lab([[view("A")]]);
  const m = fakeModel(state(), l.manager);
  m.save_changes = () => { throw new Error("Syncing error: no comm channel defined"); };
  courier.initialize({ model: m });
  await settle(m);
  results.dead = { inserted: l.inserted.length, outputs: l.outputs(0), done: m.get("done") };
}

// A front end that is neither: the module draws the answer itself.
{
  const m = fakeModel(state(), { get_model: async () => ({}) });
  const el = drawing();
  courier.initialize({ model: m });
  courier.render({ model: m, el });
  results.other = { drawn: el.drawn, done: m.get("done") };
}

{ // JupyterLab, but the anchor's cell is gone (cleared or deleted meanwhile): the view draws the answer
  const l = lab([[view("A")]]);
  const m = fakeModel(state({ anchor: "gone" }), l.manager);
  const el = drawing();
  courier.initialize({ model: m });
  courier.render({ model: m, el });
  for (let i = 0; i < 200 && el.drawn === null; i++) await sleep(100);
  results.orphan = { inserted: l.inserted, drawn: el.drawn, done: m.get("done") };
}

// The classic notebook: its cell script made the cell; the output is taken back only.
{
  const area = { outputs: [{ output_type: "display_data", data: {}, metadata: {} }, { ...view("A"), transient: { display_id: "d" } }] };
  let removed = false;
  globalThis.window = { Jupyter: { notebook: { kernel: { session_id: "P" },
                                                get_cells: () => [{ output_area: { outputs: [] } }, { output_area: area }, {}] } } };
  const l = lab([[view("A")]]);
  const m = fakeModel(state(), l.manager);
  courier.initialize({ model: m });
  courier.render({ model: m, el: { closest: (sel) => (sel === ".output_area" ? { remove: () => { removed = true; } } : null) } });
  await sleep(200);
  results.classic = { inserted: l.inserted, outputs: area.outputs, removed, done: m.get("done") };
}
{ // printed advice in the classic notebook, which shows what the handler printed: nothing to do
  const m = fakeModel(state({ kind: "stdout", anchor: "B" }), lab([]).manager);
  courier.initialize({ model: m });
  results.classicStdout = { done: m.get("done"), saved: m.saved.length };
}
// The classic notebook opening a notebook run headless: no cell script ran on
// this page, so the fallback stays, drawn as text.
{
  const area = { outputs: [{ output_type: "display_data", data: {}, metadata: {} }, view("A")] };
  globalThis.window = { Jupyter: { notebook: { kernel: { session_id: "P" }, get_cells: () => [{ output_area: area }] } } };
  const l = lab([[view("A")]]);
  const m = fakeModel(state({ origin: "nbclient" }), l.manager);
  const el = drawing();
  courier.initialize({ model: m });
  courier.render({ model: m, el });
  await sleep(200);
  results.classicUnasked = { inserted: l.inserted, outputs: area.outputs, drawn: el.drawn, done: m.get("done") };
}
process.stdout.write(JSON.stringify(results));
"""

EMPTY = {"output_type": "display_data", "data": {}, "metadata": {}}


def view(model_id):
    return {"output_type": "display_data", "data": {VIEW: {"model_id": model_id}}, "metadata": {}}


@pytest.fixture(scope="module")
def results():
    return run_node(HARNESS.replace("SCRIPT_URL", SCRIPT.as_uri()), suffix=".mjs")


def test_code_goes_directly_below_and_the_fallback_is_emptied(results):
    assert results["code"] == {
        "inserted": [[2, {"cell_type": "code", "source": "x = `1`\n"}]],
        "outputs": [{"output_type": "stream", "name": "stdout", "text": "hi\n"}, EMPTY],
        "done": True, "saved": 1}


def test_markdown_goes_directly_above(results):
    assert results["markdown"] == {"inserted": [[1, {"cell_type": "markdown", "source": "# T"}]], "outputs": [EMPTY]}


def test_a_widget_event_finds_the_cell_of_the_widget_that_holds_it(results):
    assert results["event"] == {"inserted": [[3, {"cell_type": "code", "source": "x = `1`\n"}]], "outputs": [view("V")]}


def test_printed_advice_is_added_under_the_widgets_cell(results):
    assert results["stdout"] == {"inserted": [], "outputs": [
        view("V"), {"output_type": "stream", "name": "stdout", "text": "You can try this:\n advice\n"}]}


def test_an_output_that_arrives_later_is_waited_for(results):
    assert results["late"] == {"inserted": [[1, {"cell_type": "code", "source": "x = `1`\n"}]]}


def test_a_delivered_courier_restored_from_saved_state_does_nothing(results):
    assert results["restored"] == {"inserted": [], "outputs": [view("A")]}


def test_another_front_end_gets_the_answer_drawn(results):
    assert results["other"] == {"drawn": [["div", "NOTE"], ["pre", "x = `1`\n"]], "done": False}


def test_an_answer_whose_cell_is_gone_is_drawn_in_its_output(results):
    assert results["orphan"] == {"inserted": [], "drawn": [["div", "NOTE"], ["pre", "x = `1`\n"]], "done": False}


def test_classic_notebook_only_takes_the_output_back(results):
    assert results["classic"] == {"inserted": [], "outputs": [EMPTY, dict(EMPTY, transient={"display_id": "d"})],
                                  "removed": True, "done": True}


DRAWN = [["div", "NOTE"], ["pre", "x = `1`\n"]]


@pytest.mark.parametrize("case", ["elsewhere", "unasked"])
def test_only_the_page_that_asked_inserts(results, case):
    assert results[case] == {"inserted": [], "outputs": [view("A")], "drawn": DRAWN, "done": False}


def test_a_dead_comm_does_not_insert_twice(results):
    assert results["dead"] == {"inserted": 1, "outputs": [EMPTY], "done": True}


def test_classic_notebook_keeps_an_output_its_page_did_not_make(results):
    assert results["classicUnasked"] == {"inserted": [], "outputs": [EMPTY, view("A")], "drawn": DRAWN,
                                         "done": False}


def test_classic_notebook_releases_printed_advice_at_once(results):
    assert results["classicStdout"] == {"done": True, "saved": 1}
