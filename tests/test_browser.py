"""The notebook assistant in the real front ends (classic from nbclassic, Notebook 7,
JupyterLab 4), served on loopback with kernels logged in against the dev service, driven
in headless Chromium. Every test runs once per front end; its id names it."""
import json
import os
import shutil
import time
from pathlib import Path

import pytest

from browser_support import browser, env, notebook, open_page, server  # noqa: F401 (fixtures)
from browser_support import (LATER, NOTE, SETUP, active_in_outputs, completions, last_query,
                             nothing_left_behind, notebook_of, run_headless, start_server, wait_cells)
from devservice import complete

# A real browser against real servers on two busy cores: a test that fails is
# run once more (pytest-rerunfailures) before it counts as failed.
pytestmark = [pytest.mark.browser, pytest.mark.flaky(reruns=1)]

ROOT = Path(__file__).resolve().parents[1]
ARTIFACTS = ROOT / "tests" / "artifacts"
SCREENSHOTS = {"classic": "form.png", "lab": "form-lab.png"}   # the README shows these
CELLS = ["", "", LATER]     # the cells of each test's new notebook
FORM = SETUP + "generate_code(globals())"
REQUEST = "total units per region as a bar chart"
# Backquotes, backslashes and a dollar-brace pair: all special in a JavaScript template string.
TRICKY_CODE = 'pattern = r"\\d+`${units}`"\nprint(f"{pattern}\\t`done`", "\\\\")\n'
LOOP = "total = 0\nfor u in sales.units:\n    total += u\n"      # for the stand-in to rewrite
COLLABORATIVE_RUNS = 8


def code(*sources):
    return [["code", source] for source in sources]


class Form:
    """The form shown in one cell's output."""

    def __init__(self, nb, index=0):
        self.cell = nb.page.locator(nb.cell_selector).nth(index)
        self.select = self.cell.locator(".widget-dropdown select")
        self.text = self.cell.locator(".widget-textarea textarea")
        self.button = self.cell.locator("button.widget-button")
        self.select.wait_for()


# The couriers and their library still open in the kernel.
LIVE_COURIERS = ("sorted(type(w).__name__ for w in __import__('ipywidgets').widgets.widget._instances.values()"
                 " if type(w).__name__ in ('CellCourier', 'CourierLibrary'))")


def couriers_closed(nb, timeout=10):
    """Whether the kernel has closed every courier, once delivered."""
    deadline = time.monotonic() + timeout
    while nb.kernel_value(LIVE_COURIERS) != "[]" and time.monotonic() < deadline:
        time.sleep(0.2)
    return nb.kernel_value(LIVE_COURIERS) == "[]"


def saved_and_reopened_as_is(nb, cells, index, form=False):
    """Saved and opened again, the notebook keeps `cells`, and cell `index` no output that
    could make the answer's cell once more (a trusted notebook runs its scripts again)."""
    assert nb.cells() == cells
    nb.save()
    saved = nb.server.saved(nb.name)["cells"]
    assert [[c["cell_type"], c["source"]] for c in saved] == cells
    nothing_left_behind(saved[index]["outputs"][1 if form else 0:])     # the form stays
    nb.reload()
    if form:
        Form(nb)          # the widgets are drawn again from the live kernel
    time.sleep(1.5)
    assert nb.cells() == cells


def screenshot(form, front_end):
    shot = SCREENSHOTS.get(front_end)
    if shot:
        ARTIFACTS.mkdir(exist_ok=True)
        form.cell.screenshot(path=str(ARTIFACTS / shot))
        if not (ROOT / "docs" / shot).exists() or os.environ.get("QUILLON_REFRESH_SCREENSHOTS"):
            (ROOT / "docs").mkdir(exist_ok=True)
            shutil.copyfile(ARTIFACTS / shot, ROOT / "docs" / shot)


def test_form_shows_that_it_works_and_inserts_one_answer_below(notebook, svc):
    """A double click asks once (the button is disabled, and says it works, till the answer);
    a click after the answer asks again."""
    from playwright.sync_api import expect
    from quillon.velto_gpt_sdk import promptbook

    prompt = promptbook.prompts_list["Read a csv"]
    notebook.run(0, FORM)
    form = Form(notebook)
    form.select.select_option(label="Read a csv")
    form.text.page.wait_for_function("t => document.querySelector('.widget-textarea textarea').value === t",
                                     arg=prompt, timeout=10000)
    screenshot(form, notebook.server.front_end)
    svc.state.answer_delay = 3
    try:
        form.button.dblclick()
        expect(form.button).to_be_disabled(timeout=2000)
        expect(form.button).to_contain_text("Working")
        expect(form.button.locator("i.fa-spinner")).to_have_count(1)
        assert notebook.cells() == code(FORM, "", LATER)
        expect(form.button).to_be_enabled(timeout=15000)
    finally:
        svc.state.answer_delay = 0
    expect(form.button).to_have_text("Submit")
    expect(form.button.locator("i")).to_have_count(0)
    query = last_query(svc)
    assert query.endswith("Write python code for: : " + prompt)
    assert "name: sales, type: DataFrame" in query
    assert wait_cells(notebook, 4) == code(FORM, complete(query), "", LATER)
    time.sleep(1)       # a second click's request would have reached the service by now
    assert len(completions(svc)) == 1
    form.button.click()                     # a click after the answer asks again
    cells = code(FORM, complete(query), complete(query), "", LATER)
    assert wait_cells(notebook, 5) == cells
    assert len(completions(svc)) == 2
    assert couriers_closed(notebook)
    saved_and_reopened_as_is(notebook, cells, 0, form=True)


@pytest.mark.parametrize("command, sent, kind", [
    (f"generate_code_completion({REQUEST!r}, globals())", REQUEST, "code"),
    (f"optimize_code({TRICKY_CODE + LOOP!r})", TRICKY_CODE, "code"),
    (f"generate_markdown({TRICKY_CODE!r})", TRICKY_CODE, "markdown"),
], ids=["completion", "optimize", "markdown"])
def test_commands_put_the_answer_next_to_their_cell(notebook, svc, command, sent, kind):
    """Code directly below, an explanation directly above, each as the service sent it."""
    notebook.run(0, SETUP)
    notebook.run(1, command)
    query = last_query(svc)
    assert sent in query
    ran, answer, below = ["code", command], [kind, complete(query)], kind == "code"
    cells = code(SETUP) + ([ran, answer] if below else [answer, ran]) + code(LATER)
    assert wait_cells(notebook, 4) == cells
    if below:
        assert notebook.outputs(2) == []        # the new cell is not run
    nothing_left_behind(notebook.outputs(1 if below else 2))
    assert couriers_closed(notebook)
    saved_and_reopened_as_is(notebook, cells, 1 if below else 2)


def test_debug_advice_is_shown_under_the_form(notebook, svc):
    from playwright.sync_api import expect

    notebook.run(0, FORM)
    form = Form(notebook)
    form.select.select_option(label="Debug Code")
    form.text.fill("KeyError: 'regoin'")
    form.button.click()
    query = last_query(svc)
    assert query.endswith("Debug the below given error and tell me how I can resolve it: \n: KeyError: 'regoin'")
    advice = complete(query)
    assert "Did you mean 'region'?" in advice
    expect(form.cell).to_contain_text("You can try this:", use_inner_text=True, timeout=10000)
    time.sleep(0.5)
    shown = " ".join(form.cell.inner_text().split())
    assert shown.count("You can try this:") == 1            # printed once, in every front end
    assert " ".join(("You can try this:\n " + advice).split()) in shown
    assert notebook.cells() == code(FORM, "", LATER)
    assert couriers_closed(notebook)


# --- answers that try to run in the page ---------------------------------------------------

# Markup that runs script, a fence and a template string to close early, a
# dollar-brace substitution and math delimiters around markup.
HOSTILE_CODE = ('s = "</script><script>alert(1)</script>"\n'
                'tag = "<img src=x onerror=alert(2)>"  # ```` is no fence\n'
                '`````\nt = f"${{tag}}" + `${alert(3)}` + "&amp; &lt;b&gt;"\n')
HOSTILE_MARKDOWN = ("# Reading <img src=x onerror=alert(4)>\n\n"
                    "</script><script>alert(5)</script>\n\n"
                    "<svg onload=alert(6)></svg> and &lt;b&gt; stay as typed\n\n"
                    "``````python\nprint('``` ````')\n``````\n\n"
                    "Costs ${n} and $x<img src=y onerror=alert(7)>$.\n")
HOSTILE_COMMANDS = "optimize_code('x = 1')\ngenerate_markdown('x = 1')"


def hostile(query, max_tokens):
    return HOSTILE_MARKDOWN if query.startswith("Explain") else HOSTILE_CODE


@pytest.fixture
def hostile_service(svc):
    svc.state.completer = hostile
    yield svc
    svc.state.completer = complete


def flat(text):
    return " ".join(text.split())


def assert_inert(nb, index):
    """No dialog opened, nothing in the outputs can run code, and each answer is shown in
    cell `index`'s outputs as the text it is."""
    time.sleep(1)           # an image's onerror, a script's alert would have come by now
    assert nb.dialogs == []
    assert active_in_outputs(nb.page) == []
    shown = flat(nb.shown(index))
    assert flat(HOSTILE_CODE) in shown and flat(HOSTILE_MARKDOWN) in shown


def test_hostile_answers_go_into_their_cells_as_text(notebook, hostile_service):
    """Each answer becomes its cell's text, character for character, and nothing of it runs."""
    source = SETUP + HOSTILE_COMMANDS
    notebook.run(0, source)
    cells = wait_cells(notebook, 5)
    made = code(source, HOSTILE_CODE, "", LATER) + [["markdown", HOSTILE_MARKDOWN]]
    assert sorted(cells) == sorted(made)        # the classic notebook may select another cell first
    time.sleep(1)
    assert notebook.dialogs == []
    assert active_in_outputs(notebook.page) == []
    assert couriers_closed(notebook)


@pytest.fixture(scope="module")
def headless_run(env, svc, tmp_path_factory):
    """A notebook whose commands got hostile answers, run through nbclient: the answers
    stay in its outputs, with the couriers in the widget state."""
    svc.state.completer = hostile
    try:
        return run_headless(env, ["from quillon.velto_gpt_sdk.nbassist import *", HOSTILE_COMMANDS],
                            str(tmp_path_factory.mktemp("headless-run")))
    finally:
        svc.state.completer = complete


def open_hostile(open_page, server, headless_run, how):
    """A page on the hostile answers, and the index of the cell that shows them: the headless
    run's notebook, trusted or not, or (`live`) one that asks for them itself."""
    if how == "live":
        nb = open_page(server, server.upload("live.ipynb", notebook_of([SETUP, LATER])))
        nb.run(0, SETUP + HOSTILE_COMMANDS)
        return nb, 0
    content = json.loads(json.dumps(headless_run))
    for cell in content["cells"]:
        cell["metadata"].pop("trusted", None)
        if how == "trusted":
            cell["metadata"]["trusted"] = True
    return open_page(server, server.upload(f"{how}.ipynb", content)), 1


@pytest.mark.parametrize("how", ["trusted", "untrusted"])
def test_answers_of_a_headless_run_stay_readable_and_inert(server, open_page, headless_run, how):
    """Where the run's couriers cannot reach the page that asked (none did), the front end
    shows the answers as text, runs nothing of them, and keeps them in the file it saves."""
    nb, index = open_hostile(open_page, server, headless_run, how)
    assert_inert(nb, index)
    assert nb.cells() == [["code", c["source"]] for c in headless_run["cells"]]
    nb.save()
    saved = server.saved(f"{how}.ipynb")["cells"][index]["outputs"]
    assert [flat(o["data"]["text/plain"]) for o in saved if "text/plain" in o.get("data", {})] == [
        flat(NOTE + " " + HOSTILE_CODE), flat(NOTE + " " + HOSTILE_MARKDOWN)]


@pytest.fixture(scope="module")
def bare_lab(env, tmp_path_factory):
    srv = start_server("lab-bare", env, tmp_path_factory)
    yield srv
    srv.close()


@pytest.mark.parametrize("how", ["live", "trusted", "untrusted"])
def test_answers_stay_inert_in_jupyterlab_without_widgets(bare_lab, open_page, hostile_service,
                                                          headless_run, how):
    """Without the widget extensions JupyterLab shows the fallback's markdown, even a trusted one."""
    assert_inert(*open_hostile(open_page, bare_lab, headless_run, how))


# --- two pages on one collaborative notebook ----------------------------------------------


def test_two_pages_on_one_shared_notebook_insert_each_answer_once(server, open_page, svc):
    """With jupyter-collaboration two pages share the document and its kernel, and both get
    every courier: only the page that ran the command inserts its answer."""
    if server.front_end != "lab":
        pytest.skip("two pages share one document only in JupyterLab with jupyter-collaboration")
    url = server.upload("shared.ipynb", notebook_of(["", LATER]))
    both = (open_page(server, url), open_page(server, url.replace("?reset&", "?")))
    expected = code("", LATER)
    for run in range(COLLABORATIVE_RUNS):
        source = f"from quillon.velto_gpt_sdk.nbassist import *\ngenerate_code_completion('print run {run}')"
        svc.state.clear_requests()
        both[run % 2].run(0, source)
        expected = code(source, complete(last_query(svc))) + expected[1:]
        for nb in both:
            assert wait_cells(nb, len(expected)) == expected, f"run {run}"
    for nb in both:
        nothing_left_behind(nb.outputs(0))
    assert couriers_closed(both[0])
