"""Answers where no front end can make a cell: a headless notebook run through
nbclient and a real kernel, and IPython in a terminal. The answer must stay in
the cell's output, as markdown and as text, with one line saying why."""
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


BELOW = ("\n        var code_cell = Jupyter.notebook.insert_cell_below('code');"
         "\n        code_cell.set_text(`")
TAIL = "`);\n        code_cell.focus_cell();\n    "


def test_what_a_kernel_publishes(env, tmp_path):
    """The messages on the wire, in order: the classic cell script exactly as
    before (then emptied through its display id), the courier's model, and
    one fallback output showing it."""
    from jupyter_client.manager import start_new_kernel

    km, kc = start_new_kernel(kernel_name="python3", env=env, cwd=str(tmp_path))
    try:
        kc.execute_interactive("from quillon.velto_gpt_sdk.nbassist import display_next_cell", timeout=60)
        seen = []
        kc.execute_interactive("display_next_cell('a`b${c}')", timeout=60, output_hook=seen.append)
    finally:
        kc.stop_channels()
        km.shutdown_kernel(now=True)
    # Widgets open comms for their parts too (a layout): keep the courier's.
    wanted = [m for m in seen if m["msg_type"] in ("display_data", "update_display_data")
              or (m["msg_type"] == "comm_open" and "kind" in m["content"]["data"]["state"])]
    assert [m["msg_type"] for m in wanted] == ["display_data", "update_display_data", "comm_open", "display_data"]
    script, update, opened, fallback = [m["content"] for m in wanted]
    asked = [m for m in seen if m["msg_type"] == "display_data"][0]["parent_header"]
    assert script["data"] == {"application/javascript": BELOW + "a\\`b\\${c}" + TAIL,
                              "text/plain": "<IPython.core.display.Javascript object>"}
    assert update == {"data": {}, "metadata": {}, "transient": script["transient"]}
    state = opened["data"]["state"]
    assert (state["kind"], state["text"], state["anchor"], state["done"]) == ("code", "a`b${c}", opened["comm_id"], False)
    assert state["origin"] == asked["session"] == kc.session.session   # the connection that asked
    assert fallback["data"][WIDGET_VIEW]["model_id"] == opened["comm_id"]
    assert fallback["data"]["text/plain"] == NOTE + "\n\na`b${c}"


def test_clicks_queued_while_the_form_works_are_dropped(svc, env, tmp_path):
    """Submit clicks as the browser sends them, straight to a kernel: two at
    once (a double click) make one request, with the button working
    meanwhile; a click after the answer makes the next. What the form's
    handler publishes names the button as its anchor."""
    from jupyter_client.manager import start_new_kernel

    km, kc = start_new_kernel(kernel_name="python3", env=env, cwd=str(tmp_path))
    svc.state.answer_delay = 1
    try:
        reply = kc.execute_interactive("from quillon.velto_gpt_sdk.nbassist import generate_code\n"
                                       "generate_code()", timeout=60, output_hook=lambda m: None)
        assert reply["content"]["status"] == "ok"
        opened = []
        kc.execute_interactive("import ipywidgets; button = [w for w in ipywidgets.Widget.widgets.values()"
                               " if isinstance(w, ipywidgets.Button)][-1]; print(button.model_id)",
                               timeout=60, output_hook=opened.append)
        button_id = "".join(m["content"].get("text", "") for m in opened if m["msg_type"] == "stream").strip()
        svc.state.clear_requests()

        def click():
            msg = kc.session.msg("comm_msg", {"comm_id": button_id,
                                              "data": {"method": "custom", "content": {"event": "click"}}})
            kc.shell_channel.send(msg)
            return msg["header"]["msg_id"]

        def settle(ids, timeout=30):
            """iopub messages until the kernel is idle after each of `ids`."""
            messages, pending = [], set(ids)
            while pending:
                m = kc.get_iopub_msg(timeout=timeout)
                messages.append(m)
                if m["msg_type"] == "status" and m["content"]["execution_state"] == "idle":
                    pending.discard(m["parent_header"].get("msg_id"))
            return messages

        first = settle([click(), click()])
        states = [m["content"]["data"]["state"] for m in first if m["msg_type"] == "comm_msg"
                  and m["content"]["comm_id"] == button_id and m["content"]["data"].get("method") == "update"]
        assert {"disabled": True} in states and {"description": "Working\u2026"} in states
        assert states[-1] == {"disabled": False}
        couriers = [m["content"]["data"]["state"] for m in first if m["msg_type"] == "comm_open"
                    and "kind" in m["content"]["data"]["state"]]
        assert [(c["kind"], c["anchor"]) for c in couriers] == [("code", button_id)]
        assert len(completions := [r for r in svc.state.requests if r.path == "/get-completion"]) == 1
        settle([click()])
        assert len([r for r in svc.state.requests if r.path == "/get-completion"]) == len(completions) + 1
    finally:
        svc.state.answer_delay = 0
        kc.stop_channels()
        km.shutdown_kernel(now=True)
