"""The magics in the real front ends (the classic notebook from nbclassic, Notebook 7 and
JupyterLab 4), each served on loopback with kernels that use a private copy of
the package logged in against the dev service, driven in headless Chromium.
Every test runs once per front end; its id names it."""
import time

import pytest

from browser_support import browser, env, notebook, open_page, server  # noqa: F401 (fixtures)
from browser_support import LATER, last_query, nothing_left_behind, wait_cells
from devservice import complete

# A real browser against real servers on two busy cores: a test that fails is
# run once more (pytest-rerunfailures) before it counts as failed.
pytestmark = [pytest.mark.browser, pytest.mark.flaky(reruns=1)]

CELLS = ["", "", "", LATER]     # the cells of each test's new notebook
LOAD = "%load_ext quillon"
FRAME = "import pandas as pd\nsales = pd.DataFrame({'region': ['north', 'south', 'east'], 'units': [12, 7, 30]})"
REQUEST = "total units per region as a bar chart"
MAGIC = "%%quillon\n" + REQUEST


def test_cell_magic_inserts_one_code_cell_directly_below(notebook, svc):
    notebook.run(0, LOAD)
    notebook.run(1, FRAME)
    notebook.run(2, MAGIC)
    query = last_query(svc)
    assert query.endswith("Write python code for: : " + REQUEST)
    assert "name: sales, type: DataFrame" in query
    assert wait_cells(notebook, 5) == [["code", LOAD], ["code", FRAME], ["code", MAGIC],
                                       ["code", complete(query)], ["code", LATER]]
    nothing_left_behind(notebook.outputs(2))


def test_explain_inserts_one_markdown_cell_above(notebook, svc):
    notebook.run(0, LOAD)
    notebook.run(1, FRAME)
    notebook.run(2, "%quillon explain")
    query = last_query(svc)
    assert query.endswith(": " + FRAME)          # the cell run before
    assert wait_cells(notebook, 5) == [["code", LOAD], ["code", FRAME], ["markdown", complete(query)],
                                       ["code", "%quillon explain"], ["code", LATER]]
    nothing_left_behind(notebook.outputs(3))


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
