"""The assistant commands: prompts on the wire, answers into cells, printed or returned."""
import json

import pytest
import requests

from quillon.velto_gpt_sdk import promptbook
from conftest import docstring, run_node
from _notebook import ABOVE, BELOW, TAIL, nb, script_parts, shown, wire  # noqa: F401

OPTIMIZE = "Optimize the following code to be more efficient: "
MARKDOWN = ("Explain the below given code and generate your answer in a proper markdown format "
            "that is easiy understand for coders and non coders alike:\n")
CODE = "Write python code for: "
DEBUG = "Debug the below given error and tell me how I can resolve it: \n"
HEADER = "Given below are the modules and the variables that I have used:\n"

# The head of the script each command publishes in jupyter mode.
HEADS = {"optimize_code": BELOW, "generate_markdown": ABOVE, "generate_code_completion": BELOW}


@pytest.mark.parametrize("name, kwargs, base", [
    ("optimize_code", {}, OPTIMIZE),
    ("generate_markdown", {}, MARKDOWN),
    ("generate_code_completion", {}, CODE),
    ("generate_code_completion", {"debug_mode": True}, DEBUG),
])
@pytest.mark.parametrize("ns, described", [
    (None, ""),
    ({}, HEADER + "Modules: \n\nVariables: \n\nUse them as context and "),
    ({"n": 1, "json": json, "_x": 2},
     HEADER + "Modules: \njson\n\nVariables: \nname: n, type: <class 'int'>\n\n"
     "Use them as context and "),
])
def test_prompt_on_the_wire(nb, wire, shown, capsys, name, kwargs, base, ns, described):
    getattr(nb, name)("x = 1", global_variables=ns, jupyter_mode=False, **kwargs)
    tail = base + (": " if ns is not None else "") + "x = 1"
    assert wire.queries == [described + tail]


@pytest.mark.parametrize("name", HEADS)
@pytest.mark.parametrize("mode, publishes, answer", [
    ({}, True, "df.plot()"), ({"jupyter_mode": "no"}, True, ""),
    ({"jupyter_mode": False}, False, ""), ({"jupyter_mode": 0}, False, "df.plot()"),
    ({"jupyter_mode": None}, False, "df.plot()"),
])
def test_jupyter_mode(nb, wire, shown, capsys, name, mode, publishes, answer):
    wire.answer(answer)
    result = getattr(nb, name)("code", None, **mode)
    if publishes:
        assert result is None
        assert [script_parts(nb, obj) for obj in shown] == [(HEADS[name], answer, TAIL)]
    else:
        assert result == answer and shown == []
    assert len(wire.queries) == 1 and capsys.readouterr().out == ""


class TrueOnce:
    """A debug_mode whose truth changes once it has been asked."""
    asked = 0

    def __bool__(self):
        self.asked += 1
        return self.asked == 1


@pytest.mark.parametrize("debug", [True, 1, "yes", TrueOnce])
@pytest.mark.parametrize("jupyter", [True, False])
def test_debug_mode_prints(nb, wire, shown, capsys, debug, jupyter):
    debug = debug() if debug is TrueOnce else debug
    wire.answer("pip install numpy")
    got = nb.generate_code_completion("ModuleNotFoundError", debug_mode=debug, jupyter_mode=jupyter)
    assert got is None and shown == []
    assert capsys.readouterr().out == "You can try this:\n pip install numpy\n"
    assert wire.queries == [DEBUG + "ModuleNotFoundError"]


@pytest.mark.parametrize("name, args, kwargs, param, got", [
    ("optimize_code", (None,), {}, "code", "NoneType"),
    ("generate_markdown", (b"x = 1",), {}, "code", "bytes"),
    ("optimize_code", (type("Code", (str,), {})("x"),), {}, "code", "Code"),
    ("optimize_code", (None, []), {}, "code", "NoneType"),
    ("optimize_code", ("x", []), {}, "global_variables", "list"),
    ("generate_code_completion", ("x", type("NS", (dict,), {})()), {}, "global_variables", "NS"),
    ("generate_code_completion", ("x", ()), {"debug_mode": True}, "global_variables", "tuple"),
])
def test_type_errors_before_any_request(nb, wire, shown, name, args, kwargs, param, got):
    with pytest.raises(TypeError) as err:
        getattr(nb, name)(*args, **kwargs)
    want = "dict" if param == "global_variables" else "str"
    assert str(err.value) == f"Argument '{param}' has incorrect type (expected {want}, got {got})"
    assert wire.count == 0 and shown == []


@pytest.mark.parametrize("name", HEADS)
def test_engine_failures_reach_the_caller(nb, wire, shown, capsys, name):
    wire.answer(status=200, text="no completion here")
    with pytest.raises(KeyError, match="completion"):
        getattr(nb, name)("x")
    wire.answer("x", status=500)
    with pytest.raises(requests.exceptions.HTTPError):
        getattr(nb, name)("x")
    assert shown == [] and "You can try this" not in capsys.readouterr().out


def test_get_prompts(nb):
    first, second = nb.get_prompts(), nb.get_prompts()
    assert type(first) is list and first is not second
    assert first == list(promptbook.prompts_list.values()) and len(first) == 27
    first.clear()
    assert nb.get_prompts() == second and len(promptbook.prompts_list) == 27


@pytest.mark.parametrize("func, head", [
    ("display_next_cell", BELOW), ("display_previous_cell", ABOVE)])
def test_cell_script_text(nb, shown, func, head):
    assert getattr(nb, func)(5) is None
    assert getattr(nb, func)("a`b${c}$d{e}\\") is None
    assert [obj.data for obj in shown] == [head + "5" + TAIL, head + "a\\`b\\${c}$d{e}\\\\" + TAIL]


NASTY = {
    "fence": "```python\nprint(f'{x!r}')\n```\n",
    "escape-in-literal": 'print("a\\nb\\tc")',
    "windows-path": "C:\\Users\\me\\",
    "backslash-backquote": "\\`",
    "substitution": "${x}",
    "escaped-substitution": "\\${x} $${y}",
    "dollar": "$",
    "brace": "{",
    "dollar-brace-split": "$ {x} $\n{y}",
    "script-end": "</script><script>alert(1)</script>",
    "unicode": "größe = '变量' # 😀 ✓",
    "line-separators": "a\u2028b\u2029c",
    "str-subclass": type("Answer", (str,), {})("sub`class"),
    "carriage-returns": "a\r\nb\rc",
    "lone-surrogate": "a\ud800b",
}
CASES = [(name, func) for name in NASTY for func in ("display_next_cell", "display_previous_cell")]

HARNESS = """
const results = {};
for (const [key, src] of Object.entries(SCRIPTS)) {
  const rec = {calls: []};
  const cell = {set_text(text) { rec.calls.push("set_text"); rec.text = text; },
                focus_cell() { rec.calls.push("focus_cell"); }};
  const insert = (where) => (type) => { rec.calls.push(where + ":" + type); return cell; };
  const notebook = {insert_cell_below: insert("below"), insert_cell_above: insert("above")};
  try { new Function("Jupyter", src)({notebook}); } catch (e) { rec.error = String(e); }
  results[key] = rec;
}
process.stdout.write(JSON.stringify(results));
"""


@pytest.fixture(scope="module")
def front_end(nb):
    """Every nasty text published by both functions, run once through Node.js."""
    published = {}
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(nb, "display", lambda obj: published.setdefault(key, obj.data))
        for name, func in CASES:
            key = f"{name}/{func}"
            getattr(nb, func)(NASTY[name])
    return run_node("const SCRIPTS = " + json.dumps(published) + ";\n" + HARNESS)


@pytest.mark.parametrize("name, func", CASES)
def test_cell_receives_text_exactly(front_end, name, func):
    where = "below:code" if func == "display_next_cell" else "above:markdown"
    assert front_end[f"{name}/{func}"] == {
        "calls": [where, "set_text", "focus_cell"], "text": str(NASTY[name])}


GV, JM = (":param global_variables: global variables to be used in the code",
          ":param jupyter_mode: If the user is using a jupyter notebook or not")
DOCS = {
    "get_prompts": ("Get the list of prompts", ":return:"),
    "optimize_code": ("Optimize the code", ":param code: code to be optimized", GV, JM, ":return:"),
    "generate_markdown": ("Generate the markdown for the code",
                          ":param code: code to be converted to markdown", GV, JM, ":return:"),
    "generate_code_completion": (
        "Call the completion function to generate the code", ":param query: query from the user",
        JM, GV, ":param debug_mode: If the user is debugging the code", ":return:"),
    "display_next_cell": (
        "Add the code to the next cell", ":param code: code to be added to next cell", ":return:"),
    "generate_code": ("Generate the code using the GPT-3 API", ":return:"),
}


@pytest.mark.parametrize("name", DOCS)
def test_docstrings(nb, name):
    assert getattr(nb, name).__doc__ == docstring(4, *DOCS[name])
