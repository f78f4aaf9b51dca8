"""python -m devservice.demo: the SDK end to end, in a headless notebook.

Starts the dev service, gives the SDK a private copy of the installed
package (so the demo's login lands in a credential store of its own, never
in the installed one), logs in once the way a user does, and then runs a
short notebook through a real IPython kernel: the commands of the notebook
assistant on a small sales frame. Each answer goes into a new cell, as the
classic notebook would put it, and each new code cell runs. Ends with a
summary of every step: what was asked, the context the SDK sent with it,
the answer and how its cell ran; then the requests the service saw.

    python -m devservice.demo [--save executed.ipynb] [--timeout SECONDS]

The helpers `private_site`, `client_env` and `login` are shared with the
integration and browser tests.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from datetime import datetime
from typing import Optional, Sequence

from .context import HEADER, split_prompt
from .service import DEMO_EMAIL, DEMO_PASSWORD, DEMO_TENANT, DevService

# Run in a fresh interpreter: answer the three hidden login prompts with the
# answers given in argv[1] (a JSON list), import the module named in argv[2],
# report what was asked. The prompts go through the SDK's real login.
LOGIN_SCRIPT = r"""
import getpass, importlib, json, sys
answers, asked = list(json.loads(sys.argv[1])), []
def _answer(prompt="Password: ", stream=None):
    asked.append(prompt)
    if not answers:
        raise EOFError("no answer left for " + repr(prompt))
    return answers.pop(0)
getpass.getpass = _answer
try:
    importlib.import_module(sys.argv[2])
finally:
    print("ASKED=" + json.dumps(asked))
"""


def private_site(dest: str) -> str:
    """Copy the installed quillon package into `dest` (without its store)
    and return `dest`, to be put first on PYTHONPATH."""
    import quillon

    source = os.path.dirname(os.path.realpath(quillon.__file__))
    target = os.path.join(dest, "quillon")
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__", "secret.json"))
    return dest


def store_path(site: str) -> str:
    return os.path.join(site, "quillon", "secret.json")


def client_env(svc: DevService, site: str, base: Optional[dict] = None) -> dict[str, str]:
    """The environment of a process that uses the SDK against `svc` with the
    package copy in `site`."""
    env = dict(os.environ if base is None else base)
    env.update(svc.env)
    env["PYTHONPATH"] = site
    env.pop("PYTHONHOME", None)
    return env


def login(env: dict[str, str], answers: Sequence[str] = (DEMO_EMAIL, DEMO_PASSWORD, DEMO_TENANT),
          module: str = "quillon.velto_gpt_sdk.endpoints", cwd: Optional[str] = None,
          timeout: float = 60) -> subprocess.CompletedProcess:
    """Import `module` in a new interpreter, answering the login prompts with
    `answers`; the output ends with a line ASKED=<JSON list of the prompts>."""
    return subprocess.run([sys.executable, "-c", LOGIN_SCRIPT, json.dumps(list(answers)), module],
                          env=env, cwd=cwd or tempfile.gettempdir(), capture_output=True, text=True,
                          timeout=timeout)


# -- the notebook ---------------------------------------------------------------

# The mimetype under which a notebook cell hands an answer to the demo, which
# then does what the classic notebook does with jupyter_mode=True: puts the
# answer into a new cell (code below the asking cell, markdown above it).
CELL_MIME = "application/vnd.quillon.demo-cell+json"

SETUP = f"""import pandas as pd
from IPython.display import display
from quillon.velto_gpt_sdk.nbassist import generate_code_completion, generate_markdown, optimize_code
from quillon.velto_gpt_sdk import endpoints
print("logged in to tenant", endpoints.tenant)

def cell(text, kind="code"):
    # the demo puts text into a new cell, as the notebook does without jupyter_mode=False
    display({{"text/plain": text, {CELL_MIME!r}: {{"cell_type": kind, "source": text}}}}, raw=True)"""

FRAME = ("sales = pd.DataFrame({\"region\": [\"north\", \"south\", \"east\", \"west\", \"north\", \"east\"],\n"
         "                      \"units\": [12, 7, 30, 4, 18, 9],\n"
         "                      \"price\": [2.5, 3.0, 2.25, 4.0, 2.5, 3.5]})\n"
         "sales")
SLOW = ('slow = """revenue = []\n'
        'for _, row in sales.iterrows():\n'
        '    revenue.append(row["units"] * row["price"])\n'
        'total = 0\n'
        'for i in range(len(revenue)):\n'
        '    total += revenue[i]\n'
        '"""\n')


def ask(question: str, name: str = "code") -> str:
    return f"{name} = generate_code_completion({question!r}, globals(), jupyter_mode=False)\ncell({name})"


STEPS = [
    ("import the assistant (the stored token is accepted)", SETUP),
    ("the notebook's data", FRAME),
    ("generate_code_completion: the first rows", ask("Display top 5 records in the data frame.")),
    ("generate_code_completion: a chart", ask("total units per region as a bar chart", "chart")),
    ("generate_code_completion: a pivot table", ask("pivot table of average price by region")),
    ("optimize_code: loops over rows and indexes",
     SLOW + "faster = optimize_code(slow, globals(), jupyter_mode=False)\ncell(faster)"),
    ("generate_markdown: explain the chart code",
     "notes = generate_markdown(chart, globals(), jupyter_mode=False)\ncell(notes, \"markdown\")"),
    ("generate_code_completion, debug_mode: an error",
     "generate_code_completion(\"KeyError: 'regoin'\", globals(), debug_mode=True)"),
]


def build_notebook():
    import nbformat

    nb = nbformat.v4.new_notebook()
    nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
    nb.cells.append(nbformat.v4.new_markdown_cell(
        "# quillon against the local dev service\n"
        "Each command asks the service's engine, with the notebook's modules, variables and columns as"
        " context. With `jupyter_mode=False` it returns the answer, which `cell()` hands to the demo; the"
        " demo puts it into a new cell and runs that, as you would."))
    for title, source in STEPS:
        cell = nbformat.v4.new_code_cell(source)
        cell.metadata["step"] = title
        nb.cells.append(cell)
    return nb


def handed_cell(cell) -> Optional[dict]:
    """The {"cell_type", "source"} a cell handed over, if it did."""
    for out in cell.get("outputs", []):
        if out.output_type == "display_data" and CELL_MIME in out.get("data", {}):
            return out.data[CELL_MIME]
    return None


def run_notebook(nb, env: dict[str, str], cwd: str, timeout: float):
    """Run the cells in order; each answer a cell hands over becomes a new
    cell, which runs in its turn. A failing cell raises CellExecutionError."""
    import nbformat
    from nbclient import NotebookClient

    client = NotebookClient(nb, timeout=timeout, kernel_name="python3", allow_errors=False,
                            record_timing=True, resources={"metadata": {"path": cwd}})
    client.reset_execution_trackers()
    with client.setup_kernel(env=env, cwd=cwd):
        index = 0
        while index < len(nb.cells):
            cell = nb.cells[index]
            if cell.cell_type == "code":
                client.execute_cell(cell, index, execution_count=client.code_cells_executed + 1)
                handed = handed_cell(cell)
                if handed and handed["cell_type"] == "markdown":
                    nb.cells.insert(index, nbformat.v4.new_markdown_cell(
                        handed["source"], metadata={"generated_for": cell.metadata.get("step")}))
                    index += 1
                elif handed:
                    nb.cells.insert(index + 1, nbformat.v4.new_code_cell(
                        handed["source"], metadata={"generated_for": cell.metadata.get("step")}))
            index += 1
    return nb


def cell_text(cell) -> str:
    """What a cell showed: its streams, its plain-text results, its errors."""
    parts = []
    for out in cell.get("outputs", []):
        if out.output_type == "stream":
            parts.append(out.text)
        elif out.output_type in ("execute_result", "display_data"):
            data = out.get("data", {})
            text = data.get("text/markdown") or data.get("text/plain", "")
            if "image/png" in data:
                text = "[a figure]"
            parts.append(text if text.endswith("\n") else text + "\n")
        elif out.output_type == "error":
            parts.append(f"{out.ename}: {out.evalue}")
    return "".join(parts)


def cell_window(cell) -> Optional[tuple[float, float]]:
    """When the kernel started and finished the cell, as epoch seconds."""
    timing = cell.metadata.get("execution", {})
    try:
        return tuple(datetime.fromisoformat(timing[key].replace("Z", "+00:00")).timestamp()
                     for key in ("iopub.execute_input", "shell.execute_reply"))
    except (KeyError, ValueError):
        return None


def excerpt(text: str, lines: int = 6, width: int = 96, label: str = "", bar: str = "| ") -> str:
    """The first lines of a text, indented under `label`."""
    rows = text.strip("\n").splitlines() or ["(nothing)"]
    shown = [r if len(r) <= width else r[: width - 3] + "..." for r in rows[:lines]]
    if len(rows) > lines:
        shown.append(f"... ({len(rows) - lines} more lines)")
    heads = [f"      {label:<9}"] + [" " * 15] * len(shown) if label else ["      "] * len(shown)
    return "\n".join((head + bar + row).rstrip() for head, row in zip(heads, shown))


KINDS = {"/auth/get_token": "login", "/": "token check", "/get-completion": "completion"}


def describe(request) -> str:
    kind = KINDS.get(request.path, "app-token check" if request.path.startswith("/validate-app-token/")
                     else request.path)
    if request.path == "/get-completion":
        try:
            body = request.json()
            kind += f" ({len(body['query'])}-char prompt, max_tokens {body['max_tokens']})"
        except (ValueError, KeyError, TypeError):
            kind += " (unreadable body)"
    return f"{kind} {request.status}"


def context_lines(context, width: int = 84) -> list[str]:
    """The notebook context a prompt carried, shortened: modules, then each
    variable with its type, a frame with its columns and dtypes."""
    items = [f"modules {', '.join(context.modules)}"] if context.modules else []
    for v in context.variables:
        if v.type == "DataFrame":
            columns = ", ".join(f"{c} {t}" for c, t in v.columns[:6]) + (", ..." if len(v.columns) > 6 else "")
            items.append(f"{v.name}: DataFrame ({columns})")
        else:
            items.append(f"{v.name}: {v.type.removeprefix('<class ').removesuffix('>').strip(chr(39))}")
    lines = textwrap.wrap("; ".join(items) or "(none)", width)
    return lines[:3] + (["..."] if len(lines) > 3 else [])


def asked(request) -> list[str]:
    """What one completion request asked: the request, the context that came
    with it, and how much longer the prompt was than the request."""
    try:
        query = request.json()["query"]
    except (ValueError, KeyError, TypeError):
        return ["      (unreadable request body)"]
    prompt = split_prompt(query)
    label = {"optimize": "code", "explain": "code", "debug": "error"}.get(prompt.mode, "asked")
    out = [excerpt(prompt.request, lines=4, label=label + ":", bar=" ")]
    if query.startswith(HEADER):
        out.append(excerpt("\n".join(context_lines(prompt.context)), label="context:", bar=" "))
        out.append(f"{'':16}(the {len(prompt.request)}-character request went out as a"
                   f" {len(query)}-character prompt)")
    return out


def summary(nb, svc: DevService, phases: list[tuple[str, float, str]]) -> str:
    requests = svc.state.requests
    out = ["", f"quillon demo against the dev service for *.{svc.domain} (proxy {svc.proxy_url})", ""]
    for name, seconds, shown in phases:
        out.append(f"  {name:<56} {seconds:6.2f} s")
        if shown:
            out.append(excerpt(shown, label=" "))
    out += ["", "  notebook steps (time in the kernel): the request, the context the SDK sent with it, the answer"]
    for cell in nb.cells:
        window = cell_window(cell) if cell.cell_type == "code" else None
        timing = "     ? " if window is None else f"{window[1] - window[0]:6.2f} s"
        if "generated_for" in cell.metadata:
            if cell.cell_type == "markdown":
                continue            # shown as the answer of the cell that asked for it
            shown = cell_text(cell).strip("\n")
            out.append(f"      new cell: ran without error in {timing.strip()}" + (", showing:" if shown else ""))
            if shown:
                out.append(excerpt(shown, lines=4, label=" "))
            continue
        if cell.cell_type != "code":
            continue
        out.append(f"  {cell.metadata.get('step', '?'):<56} {timing}")
        seen = [r for r in requests if window and window[0] <= r.time <= window[1]]
        completions = [r for r in seen if r.path == "/get-completion"]
        if seen and not completions:
            out.append("      service: " + ", ".join(describe(r) for r in seen))
        for r in completions:
            out += asked(r)
        handed = handed_cell(cell)
        if handed:
            out.append(excerpt(handed["source"], lines=8, label="answer:"))
        else:
            out.append(excerpt(cell_text(cell), label="shows:"))
    out += ["", f"  requests seen by the service: {len(requests)}"]
    for r in requests:
        out.append(f"    {r.method:<5} https://{r.host}{r.path[:60]:<20} {describe(r)}")
    return "\n".join(out)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m devservice.demo", description=__doc__.split("\n")[0])
    parser.add_argument("--save", metavar="PATH", help="also write the executed notebook here")
    parser.add_argument("--timeout", type=float, default=45, help="per-cell time limit (default %(default)s s)")
    args = parser.parse_args(argv)

    started = time.monotonic()
    phases: list[tuple[str, float, str]] = []

    def phase(name: str, since: float, shown: str = "") -> float:
        now = time.monotonic()
        phases.append((name, now - since, shown))
        return now

    with tempfile.TemporaryDirectory(prefix="quillon-demo-") as tmp, DevService(demo=True) as svc:
        mark = phase("start the dev service", started)
        site = private_site(os.path.join(tmp, "site"))
        env = client_env(svc, site)
        mark = phase("private copy of the package", mark)
        first = login(env, cwd=tmp)
        said = [line for line in first.stdout.splitlines() if not line.startswith("ASKED=")]
        asked = [json.loads(line[6:]) for line in first.stdout.splitlines() if line.startswith("ASKED=")]
        said += [f"asked {prompt!r}" for prompt in (asked[0] if asked else [])]
        mark = phase(f"first login as {DEMO_EMAIL} (tenant {DEMO_TENANT!r})", mark, "\n".join(said))
        if first.returncode != 0 or not os.path.exists(store_path(site)):
            print(first.stdout + first.stderr, file=sys.stderr)
            print("demo FAILED: the login did not write the credential store", file=sys.stderr)
            return 1

        nb = build_notebook()
        try:
            run_notebook(nb, env, tmp, args.timeout)
        except Exception as err:    # a failing cell, a dead kernel, a time-out
            phase("run the notebook (FAILED)", mark)
            print(summary(nb, svc, phases))
            reason = (f"{err.ename}: {err.evalue}" if hasattr(err, "ename")
                      else f"{type(err).__name__}: {str(err).strip()[-2000:]}")
            print(f"\ndemo FAILED: {reason}", file=sys.stderr)
            return 1
        phase("run the notebook (kernel start included)", mark)
        if args.save:
            import nbformat

            nbformat.write(nb, args.save)
        print(summary(nb, svc, phases))
        completions = [r for r in svc.state.requests if r.path == "/get-completion"]
        refused = [r for r in svc.state.requests if r.status != 200]
        generated = [c for c in nb.cells if c.cell_type == "code" and "generated_for" in c.metadata]
    total = time.monotonic() - started
    asking = sum(("generate_" in source or "optimize_code(" in source) for _, source in STEPS[2:])
    if len(completions) != asking or refused:
        print(f"\ndemo FAILED: expected {asking} accepted completion requests, saw {len(completions)}"
              f" ({len(refused)} refused requests)", file=sys.stderr)
        return 1
    print(f"\n  demo OK in {total:.1f} s: {len(generated)} generated code cells ran without error"
          + (f"; executed notebook saved to {args.save}" if args.save else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
