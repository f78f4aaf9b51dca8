"""The %quillon and %%quillon magics in a real kernel: one notebook run through
nbclient against the dev service, whose cells load the extension and use every
magic; the tests read the cells' outputs and the requests the service got."""
import subprocess
import sys

import pytest

from browser_support import WIDGET_VIEW, logged_in_env
from devservice import complete

NOTE = "quillon could not put this answer into a new cell, so here it is:"
FRAME = ("import pandas as pd\nsales = pd.DataFrame({'region': ['north', 'south', 'east'], 'units': [12, 7, 30]})\n"
         "top = 2\n")
LINE_REQUEST = "show the {top} largest regions by $units"     # sent as typed: no names filled in
REQUEST = "total units per region as a bar chart"
FAILING = "units = sales['units'].sum()\ntotal = total_of(sales, 'regoin')\n"
LOOP = "total = 0\nfor u in sales.units:\n    total += u\n"
SUBCOMMANDS = "fix, explain [N], optimize [N], form, context"

# The notebook's cells by name, in order; In[N] of each is its position plus one.
CELLS = [
    ("load", "%load_ext quillon"),
    ("no_error", "%quillon fix"),
    ("frame", FRAME),
    ("context", "%quillon context"),
    ("cell_request", "%%quillon\n" + REQUEST + "\n"),
    ("line_request", "%quillon " + LINE_REQUEST),
    ("helper", "def total_of(frame, column):\n    return frame[column].sum()\n"),
    ("failing", FAILING),
    ("fix", "%quillon fix"),
    ("explain", "%quillon explain 3"),
    ("loop", LOOP),
    ("optimize", "%quillon optimize"),
    ("form", "%quillon form"),
    ("usage", "%quillon"),
    ("help", "print(get_ipython().object_inspect('%quillon')['docstring'])"),
    ("unknown", "%quillon bogus"),
    ("too_far", "%quillon explain 99"),
    ("not_a_number", "%quillon optimize three"),
    ("refused_by_magic", "%%quillon\nanything at all"),
    ("refused_by_command", "from quillon.velto_gpt_sdk.nbassist import generate_code_completion\n"
                           "generate_code_completion('anything at all', globals())"),
    ("unload", "%unload_ext quillon"),
    ("unloaded", "%quillon"),
]
INDEX = {name: i for i, (name, _) in enumerate(CELLS)}
# Cells that ask the engine, in order.
ASKING = ["cell_request", "line_request", "fix", "explain", "optimize"]


@pytest.fixture(scope="module")
def run(svc, tmp_path_factory):
    """The notebook after the run: (cells by name, completion prompts by asking cell, all requests)."""
    import nbformat
    from nbclient import NotebookClient

    env = logged_in_env(svc, tmp_path_factory.mktemp("magics"))
    nb = nbformat.v4.new_notebook()
    nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
    nb.cells = [nbformat.v4.new_code_cell(source) for _, source in CELLS]
    cwd = str(tmp_path_factory.mktemp("run"))
    svc.state.clear_requests()
    client = NotebookClient(nb, timeout=120, kernel_name="python3", allow_errors=True,
                            resources={"metadata": {"path": cwd}})

    # The last two asking cells meet a failing service; nothing else asks after them.
    def on_cell_execute(cell, cell_index):
        if cell_index == INDEX["refused_by_magic"]:
            svc.state.force_status("/get-completion", 500, "engine down", times=2)

    client.on_cell_execute = on_cell_execute
    client.execute(env=env, cwd=cwd)
    requests = svc.state.requests
    prompts = [r.json()["query"] for r in requests if r.path == "/get-completion" and r.status == 200]
    return {name: nb.cells[i] for name, i in INDEX.items()}, dict(zip(ASKING, prompts, strict=True)), requests


def stdout(cell):
    return "".join(o.text for o in cell.outputs if o.output_type == "stream" and o.name == "stdout")


def fallback(cell):
    """The answer's output where no front end makes cells: the emptied cell
    script, then the answer as markdown and text."""
    script, answer = cell.outputs
    assert (script.output_type, script.data) == ("display_data", {})
    return answer.data


def usage_error(cell):
    """The message of the UsageError that the shell printed, as it prints them."""
    (out,) = cell.outputs
    assert (out.output_type, out.name) == ("stream", "stderr")
    assert out.text.startswith("UsageError: ")
    return out.text[len("UsageError: "):]


def shown(cell):
    """What a cell showed, without the traceback (whose frames differ)."""
    return [(o.output_type, o.get("name", o.get("ename")), o.get("text", o.get("evalue"))) for o in cell.outputs]


def test_loading_logs_in_and_asks_nothing_yet(run):
    cells, _, requests = run
    assert cells["load"].outputs == []
    assert [r.path for r in requests][:1] == ["/"]       # the stored token, checked by the login


def test_fix_without_an_error_says_so_and_sends_nothing(run):
    cells, prompts, _ = run
    assert stdout(cells["no_error"]) == (
        "quillon: there is no error to fix, no cell has raised an exception in this kernel yet.\n")
    assert len(prompts) == len(ASKING)      # the asking cells only


def test_context_is_what_the_next_request_sends(run):
    """Byte for byte: the description printed by `context` is the sent
    prompt up to the instruction and the request."""
    cells, prompts, _ = run
    printed = stdout(cells["context"])
    description, _, count_line = printed.rpartition("(")
    assert count_line == (f"{len(description)} characters, sent ahead of every request: %%quillon, fix, explain,"
                          " optimize and the form)\n")
    assert prompts["cell_request"] == description + "Use them as context and Write python code for: : " + REQUEST
    assert "Modules: \npd\n" in description
    assert "name: sales, type: DataFrame\n\t column: region, dtype:" in description


@pytest.mark.parametrize("name, request_text", [("cell_request", REQUEST),
                                                ("line_request", LINE_REQUEST)])
def test_requests_give_code_as_the_command_does(run, name, request_text):
    cells, prompts, _ = run
    assert prompts[name].endswith("Write python code for: : " + request_text)
    data = fallback(cells[name])
    assert list(data) == [WIDGET_VIEW, "text/markdown", "text/plain"]
    assert data["text/plain"] == NOTE + "\n\n" + complete(prompts[name])


def test_fix_sends_the_error_as_ipython_showed_it(run):
    cells, prompts, _ = run
    assert shown(cells["failing"]) == [("error", "KeyError", "'regoin'")]
    sent = prompts["fix"]
    failing_cell = f"In[{INDEX['failing'] + 1}]"
    head, report = sent.split("Debug the below given error and tell me how I can resolve it: \n: ")
    helper_cell = f"In[{INDEX['helper'] + 1}]"
    assert report == (f"The failing cell, {failing_cell}:\n{FAILING}\n"
                      f"Also in the traceback, {helper_cell}:\n{CELLS[INDEX['helper']][1]}\n"
                      "Traceback of the notebook's cells (most recent call last):\n"
                      f"  Cell {failing_cell}, line 2\n"
                      "    total = total_of(sales, 'regoin')\n"
                      f"  Cell {helper_cell}, line 2\n"
                      "    return frame[column].sum()\n"
                      "KeyError: 'regoin'\n")
    assert "name: sales, type: DataFrame" in head
    advice = complete(sent)
    assert "Did you mean 'region'?" in advice
    assert stdout(cells["fix"]) == "You can try this:\n " + advice + "\n"


@pytest.mark.parametrize("name, lead, code", [
    ("explain", "Explain the below given code", FRAME),
    ("optimize", "Optimize the following code to be more efficient: ", LOOP),
])
def test_explain_and_optimize_take_an_earlier_cell(run, name, lead, code):
    """explain names its cell (In[3], the frame); optimize takes the cell run before it."""
    cells, prompts, _ = run
    assert lead in prompts[name]
    assert prompts[name].endswith(": " + code.rstrip("\n"))    # In[N] as the history keeps it
    answer = complete(prompts[name])
    assert fallback(cells[name])["text/plain"] == NOTE + "\n\n" + answer


def test_form_is_shown_and_asks_nothing(run):
    cells, _, _ = run
    (out,) = cells["form"].outputs
    assert out.output_type == "display_data" and WIDGET_VIEW in out.data


def test_usage_is_printed_and_is_the_help_text(run):
    cells, _, _ = run
    usage = stdout(cells["usage"])
    assert usage.startswith("Ask the Quillon engine from a notebook cell")
    for line in ["%%quillon ", "%quillon <request>", "%quillon fix", "%quillon explain [N]",
                 "%quillon optimize [N]", "%quillon form", "%quillon context"]:
        assert "\n  " + line in usage
    assert stdout(cells["help"]) == usage.rstrip("\n") + "\n"


@pytest.mark.parametrize("name, message", [
    ("unknown", f"%quillon: unknown subcommand 'bogus'; the subcommands are {SUBCOMMANDS}."),
    ("too_far", "%quillon explain: there is no cell In[99]; the cells run so far are In[1] to In[17]"),
    ("not_a_number", "%quillon optimize: 'three' is not a cell number; give N as in In[N]"),
])
def test_mistakes_are_usage_errors(run, name, message):
    cells, _, _ = run
    assert usage_error(cells[name]).startswith(message)


def test_unloading_takes_the_magic_away(run):
    cells, _, _ = run
    assert cells["unload"].outputs == []
    assert usage_error(cells["unloaded"]).startswith("Line magic function `%quillon` not found")


def test_service_errors_are_raised_as_the_commands_raise_them(run):
    cells, _, requests = run
    assert shown(cells["refused_by_magic"]) == shown(cells["refused_by_command"])
    assert shown(cells["refused_by_magic"])[-1][:2] == ("error", "HTTPError")
    assert [r.status for r in requests if r.path == "/get-completion"][-2:] == [500, 500]


def test_importing_quillon_logs_nobody_in(tmp_path):
    done = subprocess.run([sys.executable, "-c", "import sys, quillon; print(sorted(m for m in sys.modules"
                                                 " if m.startswith('quillon')))"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['quillon']"


# -- odd values, in this process against the faked service -----------------------------

from _notebook import nb, wire  # noqa: E402,F401  (the assistant under a faked login)


@pytest.fixture
def shell(nb):
    from IPython.core.interactiveshell import InteractiveShell

    from quillon.velto_gpt_sdk import magics

    shell = InteractiveShell.instance()
    magics.load_ipython_extension(shell)
    yield shell
    InteractiveShell.clear_instance()


@pytest.mark.parametrize("args", [(5,), (b"fix",), (None,), ("", 5), ("", b"a request")])
def test_the_magic_refuses_what_is_not_text(shell, wire, args):
    with pytest.raises(TypeError):
        shell.find_line_magic("quillon")(*args)
    assert wire.queries == []


class Falsy:
    def __bool__(self):
        return False


@pytest.mark.parametrize("stripped, sent", [(None, []), (Falsy(), []), ("tidy", ["tidy"])])
def test_a_cell_is_taken_by_what_its_strip_returns(shell, wire, capsys, stripped, sent):
    cell = type("Odd", (str,), {"strip": lambda self: stripped})("as typed")
    shell.find_cell_magic("quillon")("", cell)
    assert [query.rpartition(": ")[2] for query in wire.queries] == sent
    assert capsys.readouterr().out.startswith("Ask the Quillon engine") == (not sent)


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("last_type, last_value, last_traceback, sent", [
    (ValueError, ValueError("bad"), None, "ValueError: bad\n"),
    (5, ValueError("bad"), None, "ValueError: bad\n"),                 # not a type: the value's own
    (Unprintable, Unprintable(), None, "test_magics.Unprintable: <exception str() failed>\n"),
    (ValueError, ValueError("bad"), "not a traceback", AttributeError),
])
def test_fix_copes_with_odd_last_errors(shell, wire, monkeypatch, last_type, last_value, last_traceback, sent):
    for name, value in [("last_type", last_type), ("last_value", last_value), ("last_traceback", last_traceback)]:
        monkeypatch.setattr(sys, name, value, raising=False)
    fix = shell.find_line_magic("quillon")
    if isinstance(sent, type):
        with pytest.raises(sent):
            fix("fix")
        assert wire.queries == []
    else:
        fix("fix")
        assert wire.queries[-1].endswith("resolve it: \n: " + sent)


@pytest.mark.parametrize("history, message", [
    (["", "   \n"], "%quillon explain: In[1] is empty"),
    (["", 5], "%quillon explain: In[1] is empty"),
    ([""], "%quillon explain: there is no cell In[1]; no cell has been run yet"),
])
def test_explain_names_what_is_wrong_with_the_cell(shell, wire, monkeypatch, history, message):
    from IPython.core.error import UsageError

    monkeypatch.setattr(shell.history_manager, "input_hist_raw", history)
    with pytest.raises(UsageError) as raised:
        shell.find_line_magic("quillon")("explain 1")
    assert str(raised.value) == message
    assert wire.queries == []


@pytest.mark.parametrize("user_error", [True, False])
def test_fix_looks_past_the_magics_own_errors(shell, wire, monkeypatch, capsys, user_error):
    """After %quillon itself failed (here: the engine answered 500), fix is
    still about the user's last error, or says there is none."""
    monkeypatch.delattr(sys, "last_value", raising=False)
    if user_error:
        shell.run_cell("1 / 0")
    wire.answer(status=500)
    shell.run_cell("%quillon fix" if user_error else "%quillon show the first rows")
    assert sys.last_value is not None and not isinstance(sys.last_value, ZeroDivisionError)
    wire.answer("advice")
    capsys.readouterr()
    shell.run_cell("%quillon fix")
    if user_error:
        assert wire.queries[-1].endswith("\n    1 / 0\nZeroDivisionError: division by zero\n")
        assert capsys.readouterr().out == "You can try this:\n advice\n"
    else:
        assert capsys.readouterr().out == ("quillon: there is no error to fix, no cell has raised an exception in"
                                           " this kernel other than %quillon's own.\n")
        assert len(wire.queries) == 1


@pytest.mark.slow
def test_repeated_magics_keep_memory_flat(shell, monkeypatch):
    """context, fix without an error and the usage errors, thousands of
    times: what tracemalloc sees afterwards does not grow with the count."""
    import contextlib
    import gc
    import os
    import tracemalloc

    from IPython.core.error import UsageError

    magic = shell.find_line_magic("quillon")
    monkeypatch.delattr(sys, "last_value", raising=False)
    shell.user_ns["sales"] = __import__("pandas").DataFrame({"region": ["n"], "units": [1]})

    def calls(count):
        for _ in range(count):
            magic("context")
            magic("fix")
            magic("")
            for line in ("bogus", "explain 99", "optimize x"):
                with contextlib.suppress(UsageError):
                    magic(line)

    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        calls(300)
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            calls(2000)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
    assert grown < 64 * 1024, f"{grown} bytes more after 2000 rounds"
