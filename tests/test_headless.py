"""Answers where no front end can make a cell: a headless notebook run through
nbclient and a real kernel, and IPython in a terminal. The answer must stay in
the cell's output, as markdown and as text, with one line saying why."""
import ast
import json
from pathlib import Path

import pytest

from browser_support import NOTE, SETUP, WIDGET_VIEW, completions, env, run_headless  # noqa: F401
from conftest import reported, run_python
from devservice import complete

TRICKY = "s = '```'\nprint(f\"{s}\\t`${x}`\")\n"
COMMANDS = ["generate_code_completion('Display top 5 records in the data frame.', globals())",
            f"optimize_code({TRICKY!r})", "generate_markdown('x = 1')",
            "generate_code_completion(\"KeyError: 'regoin'\", globals(), debug_mode=True)"]
WIDGET_STATE = "application/vnd.jupyter.widget-state+json"


@pytest.fixture(scope="module")
def executed(svc, env, tmp_path_factory):
    """A notebook of commands in jupyter mode, run headless: (notebook, queries)."""
    svc.state.clear_requests()
    nb = run_headless(env, [SETUP, *COMMANDS], str(tmp_path_factory.mktemp("run")))
    return nb, [r.json()["query"] for r in completions(svc)]


def answer_outputs(cell):
    """The outputs of a command cell: the emptied cell script, then the fallback."""
    script, fallback = cell.outputs
    assert (script.output_type, script.data, script.metadata) == ("display_data", {}, {})
    assert fallback.output_type == "display_data"
    return fallback.data


@pytest.mark.parametrize("index, kind, fence", [
    (1, "code", "```"),
    (2, "code", "````"),            # the answer's own fence cannot close the block
    (3, "markdown", "````"),        # an explanation as its source, never read as HTML
])
def test_the_answer_waits_in_its_output(executed, index, kind, fence):
    """As text, in a fenced block, and in the saved state of its courier, undelivered, so
    the notebook keeps it."""
    nb, sent = executed
    answer = complete(sent[index - 1])
    assert ("```" in answer) == (fence == "````")
    data = answer_outputs(nb.cells[index])
    assert list(data) == [WIDGET_VIEW, "text/markdown", "text/plain"]
    assert data["text/plain"] == NOTE + "\n\n" + answer
    language, body = ("python" if kind == "code" else "markdown"), answer.rstrip("\n")
    assert data["text/markdown"] == f"{NOTE}\n\n{fence}{language}\n{body}\n{fence}\n"
    model_id = data[WIDGET_VIEW]["model_id"]
    state = nb.metadata["widgets"][WIDGET_STATE]["state"][model_id]["state"]
    assert (state["kind"], state["text"], state["done"]) == (kind, answer, False)
    assert state["anchor"] == state["self_id"] == model_id
    assert state["origin"]          # nbclient's connection: no page that opens the file


def test_the_couriers_module_is_saved_once(executed):
    """In the library widget that every courier names; each courier holds only a short loader."""
    states = executed[0].metadata["widgets"][WIDGET_STATE]["state"]
    couriers = [s["state"] for s in states.values() if "kind" in s["state"]]
    (library_id,) = {c["library"] for c in couriers}
    import quillon.velto_gpt_sdk as package
    script = Path(package.__file__).with_name("cellcourier.js").read_text()
    assert states[library_id]["state"]["code"] == script
    assert all(len(c["_esm"]) < 1000 and c["_esm"] != script for c in couriers)
    assert sum(json.dumps(s).count("function takeBackClassic(") for s in states.values()) == 1


def test_debug_advice_is_printed_only(executed):
    nb, sent = executed
    (out,) = nb.cells[4].outputs
    assert (out.output_type, out.name, out.text) == ("stream", "stdout", "You can try this:\n " + complete(sent[3]) + "\n")


TERMINAL = r"""
import json
from IPython.terminal.interactiveshell import TerminalInteractiveShell
shell = TerminalInteractiveShell.instance()
published = []
shell.display_pub.publish = lambda data, metadata=None, **kw: published.append(data)
from quillon.velto_gpt_sdk import nbassist
nbassist.display_next_cell("x = `1`")
nbassist.display_previous_cell("# Title")
print("RESULT " + json.dumps(published))
"""


def test_terminal_ipython_shows_the_answer_as_text(env, tmp_path):
    published = reported(run_python(TERMINAL, env=env, cwd=tmp_path))
    assert [sorted(data) for data in published] == [["text/plain"], ["text/markdown", "text/plain"]] * 2
    assert published[1] == {"text/markdown": NOTE + "\n\n```python\nx = `1`\n```\n", "text/plain": NOTE + "\n\nx = `1`"}
    assert published[3] == {"text/markdown": NOTE + "\n\n```markdown\n# Title\n```\n", "text/plain": NOTE + "\n\n# Title"}


# The model id of the latest Submit button.
BUTTON = "[w.model_id for w in Widget.widgets.values() if isinstance(w, Button)][-1]"


def test_clicks_queued_while_the_form_works_are_dropped(svc, env, tmp_path):
    """Clicks sent as the browser sends them: the second of a double click waits in the
    kernel's queue till the answer is in, and is dropped; a click after the answer asks again."""
    from jupyter_client.manager import start_new_kernel

    km, kernel = start_new_kernel(kernel_name="python3", env=env, cwd=str(tmp_path))
    try:
        setup = "from quillon.velto_gpt_sdk.nbassist import *\nfrom ipywidgets import Button, Widget\n"
        reply = kernel.execute_interactive(setup + "generate_code()", timeout=60, output_hook=lambda m: None,
                                           user_expressions={"id": BUTTON})
        found = reply["content"]["user_expressions"]["id"]
        button_id = ast.literal_eval(found["data"]["text/plain"])
        svc.state.clear_requests()
        svc.state.answer_delay = 1
        for count, asked in [(2, 1), (1, 2)]:
            sent = [kernel.session.msg("comm_msg", {"comm_id": button_id, "data": {
                "method": "custom", "content": {"event": "click"}}}) for _ in range(count)]
            for msg in sent:
                kernel.shell_channel.send(msg)
            pending = {msg["header"]["msg_id"] for msg in sent}
            while pending:          # till the kernel is idle after each click
                msg = kernel.get_iopub_msg(timeout=30)
                if msg["msg_type"] == "status" and msg["content"]["execution_state"] == "idle":
                    pending.discard(msg["parent_header"].get("msg_id"))
            assert len(completions(svc)) == asked
    finally:
        svc.state.answer_delay = 0
        kernel.stop_channels()
        km.shutdown_kernel(now=True)
