"""The magics in the real front ends (the classic notebook from nbclassic, Notebook 7 and
JupyterLab 4), each served on loopback with kernels that use a private copy of
the package logged in against the dev service, driven in headless Chromium.
Every test runs once per front end; its id names it."""
import os
import time

import pytest

from browser_support import FRONT_ENDS, WIDGET_VIEW, NotebookServer, chromium, logged_in_env, missing, open_notebook
from devservice import DevService, complete

# A real browser against real servers on two busy cores: a test that fails is
# run once more (pytest-rerunfailures) before it counts as failed.
pytestmark = [pytest.mark.browser, pytest.mark.flaky(reruns=1)]

LOAD = "%load_ext quillon"
FRAME = "import pandas as pd\nsales = pd.DataFrame({'region': ['north', 'south', 'east'], 'units': [12, 7, 30]})"
REQUEST = "total units per region as a bar chart"
MAGIC = "%%quillon\n" + REQUEST
LATER = "# a cell further down"
NOTE = "quillon could not put this answer into a new cell"


@pytest.fixture(scope="module")
def svc():
    with DevService(demo=True) as service:
        yield service


@pytest.fixture(scope="module")
def env(svc, tmp_path_factory):
    return logged_in_env(svc, tmp_path_factory.mktemp("browser-magics"))


@pytest.fixture(scope="module", params=FRONT_ENDS)
def server(env, request, tmp_path_factory):
    front_end = request.param
    reason = missing(front_end)
    if reason is not None:
        if os.environ.get("CI"):
            pytest.fail(f"{front_end}: {reason}")     # CI installs everything: a gap there is a failure
        pytest.skip(f"{front_end}: {reason}")
    home = tmp_path_factory.mktemp(front_end)
    (home / "notebooks").mkdir()
    srv = NotebookServer(front_end, str(home / "notebooks"), env, str(home))
    yield srv
    srv.close()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    with chromium(str(tmp_path_factory.mktemp("chromium-profile"))) as context:
        yield context


@pytest.fixture
def notebook(server, browser, svc, request):
    """A new notebook of three empty cells and LATER, open in the browser; its kernel is shut down after."""
    name = request.node.name.translate(str.maketrans("[]- ", "____")) + ".ipynb"
    page = browser.new_page()
    try:
        nb = open_notebook(server.front_end, page, server.new_notebook(name, ["", "", "", LATER]))
        svc.state.clear_requests()
        yield nb
    finally:
        page.close()
        server.shutdown_kernels()


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
    deadline = time.monotonic() + 15
    while len(nb.cells()) < count and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.5)      # a second insertion of the same answer would come right after
    return nb.cells()


def no_answer_left(outputs):
    """Once its cell is made, no output still shows the answer."""
    for out in outputs:
        data = out.get("data", {})
        assert "application/javascript" not in data and WIDGET_VIEW not in data, out
        assert NOTE not in str(data), out


def test_cell_magic_inserts_one_code_cell_directly_below(notebook, svc):
    notebook.run(0, LOAD)
    notebook.run(1, FRAME)
    notebook.run(2, MAGIC)
    query = last_query(svc)
    assert query.endswith("Write python code for: : " + REQUEST)
    assert "name: sales, type: DataFrame" in query
    assert wait_cells(notebook, 5) == [["code", LOAD], ["code", FRAME], ["code", MAGIC],
                                       ["code", complete(query)], ["code", LATER]]
    no_answer_left(notebook.outputs(2))


def test_explain_inserts_one_markdown_cell_above(notebook, svc):
    notebook.run(0, LOAD)
    notebook.run(1, FRAME)
    notebook.run(2, "%quillon explain")
    query = last_query(svc)
    assert query.endswith(": " + FRAME)          # the cell run before
    assert wait_cells(notebook, 5) == [["code", LOAD], ["code", FRAME], ["markdown", complete(query)],
                                       ["code", "%quillon explain"], ["code", LATER]]
    no_answer_left(notebook.outputs(3))


def test_fix_prints_advice_on_the_last_error(notebook, svc):
    failing = FRAME + "\ntotal = sales['regoin'].sum()"
    notebook.run(0, LOAD)
    notebook.run(1, failing)
    assert [o.get("ename") for o in notebook.outputs(1)] == ["KeyError"]
    notebook.run(2, "%quillon fix")
    query = last_query(svc)
    assert "total = sales['regoin'].sum()" in query and query.endswith("KeyError: 'regoin'\n")
    advice = complete(query)
    assert "Did you mean 'region'?" in advice
    time.sleep(0.5)
    printed = "".join("".join(o["text"]) for o in notebook.outputs(2) if o.get("name") == "stdout")
    assert printed == "You can try this:\n " + advice + "\n"
    assert notebook.cells() == [["code", LOAD], ["code", failing], ["code", "%quillon fix"], ["code", LATER]]
