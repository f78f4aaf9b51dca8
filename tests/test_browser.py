"""The notebook assistant in the real classic notebook: a notebook server on
loopback whose kernels use a private copy of the package (logged in against
the dev service), driven in headless Chromium."""
import os
import shutil
import time
from pathlib import Path

import pytest

from browser_support import NotebookPage, NotebookServer, chromium, missing
from devservice import DevService, complete
from devservice.demo import client_env, login, private_site

REASON = missing()
pytestmark = [pytest.mark.browser, pytest.mark.skipif(REASON is not None, reason=REASON or "")]

ROOT = Path(__file__).resolve().parents[1]
ARTIFACTS = ROOT / "tests" / "artifacts"
SETUP = ("import pandas as pd\n"
         "from quillon.velto_gpt_sdk.nbassist import *\n"
         "sales = pd.DataFrame({'region': ['north', 'south', 'east'], 'units': [12, 7, 30]})\n")
FORM = SETUP + "generate_code(globals())"
LATER = "# a cell further down"
# Backquotes, backslashes and a dollar-brace pair: all special in a JavaScript template string.
TRICKY_CODE = 'pattern = r"\\d+`${units}`"\nprint(f"{pattern}\\t`done`", "\\\\")\n'


@pytest.fixture(scope="module")
def svc():
    with DevService(demo=True) as service:
        yield service


@pytest.fixture(scope="module")
def server(svc, tmp_path_factory):
    home = tmp_path_factory.mktemp("browser")
    env = client_env(svc, private_site(str(home / "site")))
    first = login(env, cwd=str(home))
    assert first.returncode == 0, first.stdout + first.stderr
    (home / "notebooks").mkdir()
    srv = NotebookServer(str(home / "notebooks"), env, str(home))
    yield srv
    srv.close()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    with chromium(str(tmp_path_factory.mktemp("chromium-profile"))) as context:
        yield context


@pytest.fixture
def notebook(server, browser, svc, request):
    """A new notebook, an empty cell and LATER, open in the browser; its kernel is shut down after."""
    name = request.node.name.translate(str.maketrans("[]- ", "____")) + ".ipynb"
    page = browser.new_page()
    try:
        nb = NotebookPage(page, server.new_notebook(name, ["", LATER]))
        svc.state.clear_requests()
        yield nb
    finally:
        page.close()
        server.shutdown_kernels()


class Form:
    """The form shown in one cell's output."""

    def __init__(self, nb, index=0):
        self.cell = nb.page.locator("#notebook-container > .cell").nth(index)
        self.select = self.cell.locator(".widget-dropdown select")
        self.text = self.cell.locator(".widget-textarea textarea")
        self.button = self.cell.locator("button.widget-button", has_text="Submit")
        self.select.wait_for()

    def submit(self, title, text=None):
        self.select.select_option(label=title)
        if text is not None:
            self.text.fill(text)
        self.button.click()


def last_query(svc, timeout=15):
    """The prompt of the latest completion request, once the service has answered it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done = [r for r in svc.state.requests if r.path == "/get-completion" and r.status is not None]
        if done:
            return done[-1].json()["query"]
        time.sleep(0.05)
    raise AssertionError("no completion request reached the service")


def wait_cells(nb, count):
    nb.page.wait_for_function("n => Jupyter.notebook.get_cells().length >= n", arg=count, timeout=15000)
    time.sleep(0.3)      # a second insertion of the same script would come right after
    return nb.cells()


def test_form_submit_inserts_the_answer_below(notebook, svc):
    from quillon.velto_gpt_sdk import promptbook

    notebook.run(0, FORM)
    form = Form(notebook)
    form.select.select_option(label="Read a csv")
    form.text.page.wait_for_function("t => document.querySelector('.widget-textarea textarea').value === t",
                                     arg=promptbook.prompts_list["Read a csv"], timeout=10000)
    ARTIFACTS.mkdir(exist_ok=True)
    form.cell.screenshot(path=str(ARTIFACTS / "form.png"))
    if not (ROOT / "docs" / "form.png").exists() or os.environ.get("QUILLON_REFRESH_SCREENSHOTS"):
        (ROOT / "docs").mkdir(exist_ok=True)
        shutil.copyfile(ARTIFACTS / "form.png", ROOT / "docs" / "form.png")
    form.button.click()
    query = last_query(svc)
    assert query.endswith("Write python code for: : " + promptbook.prompts_list["Read a csv"])
    assert "name: sales, type: DataFrame" in query
    assert wait_cells(notebook, 3) == [["code", FORM], ["code", complete(query)], ["code", LATER]]


def test_markdown_goes_above_with_the_code_intact(notebook, svc):
    source = f"code = {TRICKY_CODE!r}\ngenerate_markdown(code)"
    notebook.run(0, SETUP)
    notebook.run(1, source)
    query = last_query(svc)
    markdown = complete(query)
    assert "```python\n" + TRICKY_CODE.strip("\n") + "\n```" in markdown
    assert wait_cells(notebook, 3) == [["code", SETUP], ["markdown", markdown], ["code", source]]


def test_debug_advice_is_shown_under_the_form(notebook, svc):
    from playwright.sync_api import expect

    notebook.run(0, FORM)
    Form(notebook).submit("Debug Code", "KeyError: 'regoin'")
    query = last_query(svc)
    assert query.endswith("Debug the below given error and tell me how I can resolve it: \n: KeyError: 'regoin'")
    advice = complete(query)
    assert "Did you mean 'region'?" in advice
    form = Form(notebook)
    expect(form.cell).to_contain_text("You can try this:", use_inner_text=True, timeout=10000)
    shown = " ".join(form.cell.inner_text().split())
    assert " ".join(("You can try this:\n " + advice).split()) in shown
    assert notebook.cells() == [["code", FORM], ["code", LATER]]


@pytest.mark.parametrize("how", ["command", "form"])
def test_reopened_notebook_does_not_insert_again(notebook, svc, how):
    if how == "command":
        notebook.run(0, SETUP + "generate_code_completion('Display top 5 records in the data frame.', globals())")
    else:
        notebook.run(0, FORM)
        Form(notebook).submit("Display Top 5 records")
    query = last_query(svc)
    before = wait_cells(notebook, 3)
    assert before[1] == ["code", complete(query)]
    notebook.save()
    notebook.reload()
    if how == "form":
        Form(notebook)          # the widgets are drawn again from the live kernel
    time.sleep(1)
    assert notebook.cells() == before
