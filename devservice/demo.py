"""python -m devservice.demo: the SDK end to end, in a headless notebook.

Starts the dev service, gives the SDK a private copy of the installed package
(so the demo's login lands in a credential store of its own), logs in the way
a user does, then runs a short notebook through a real IPython kernel: the
assistant's commands on a small sales frame. Each answer goes into a new cell,
as the classic notebook would put it, and each new code cell runs. For every
step it prints what was asked, the context the SDK sent with it, the answer
and how its cell ran; then the requests the service saw.

    python -m devservice.demo [--save executed.ipynb] [--timeout SECONDS]

`private_site`, `store_path`, `client_env` and `login` serve the tests too.
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
from typing import Optional, Sequence

from .context import HEADER, split_prompt
from .service import DEMO_EMAIL, DEMO_PASSWORD, DEMO_TENANT, DevService

# Run in a fresh interpreter: answer the hidden login prompts with argv[1] (a
# JSON list), import the module named in argv[2], print what was asked.
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
    """Copy the installed quillon package into `dest` (without its store) and
    return `dest`, to be put first on PYTHONPATH."""
    import quillon

    target = os.path.join(dest, "quillon")
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(os.path.dirname(os.path.realpath(quillon.__file__)), target,
                    ignore=shutil.ignore_patterns("__pycache__", "secret.json"))
    return dest


def store_path(site: str) -> str:
    return os.path.join(site, "quillon", "secret.json")


def client_env(svc: DevService, site: str, base: Optional[dict] = None) -> dict[str, str]:
    """The environment of a process that uses the package copy in `site` against `svc`."""
    env = dict(os.environ if base is None else base, **svc.env, PYTHONPATH=site)
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


# A cell hands an answer to the demo under this mimetype; the demo then does
# what the classic notebook does in jupyter mode: puts it into a new cell, code
# below the asking cell and markdown above it.
CELL_MIME = "application/vnd.quillon.demo-cell+json"
SETUP = f"""import pandas as pd
from IPython.display import display
from quillon.velto_gpt_sdk.nbassist import generate_code_completion, generate_markdown, optimize_code
from quillon.velto_gpt_sdk import endpoints
print("logged in to tenant", endpoints.tenant)

def cell(text, kind="code"):
    display({{"text/plain": text, {CELL_MIME!r}: {{"cell_type": kind, "source": text}}}}, raw=True)"""
FRAME = ("sales = pd.DataFrame({\"region\": [\"north\", \"south\", \"east\", \"west\", \"north\", \"east\"],\n"
         "                      \"units\": [12, 7, 30, 4, 18, 9],\n"
         "                      \"price\": [2.5, 3.0, 2.25, 4.0, 2.5, 3.5]})\nsales")
SLOW = ('slow = """revenue = []\nfor _, row in sales.iterrows():\n    revenue.append(row["units"] * row["price"])\n'
        'total = 0\nfor i in range(len(revenue)):\n    total += revenue[i]\n"""\n')


def ask(question: str, name: str = "code") -> str:
    return f"{name} = generate_code_completion({question!r}, globals(), jupyter_mode=False)\ncell({name})"


STEPS = [
    ("import the assistant (the stored token is accepted)", SETUP),
    ("the notebook's data", FRAME),
    ("generate_code_completion: the first rows", ask("Display top 5 records in the data frame.")),
    ("generate_code_completion: a chart", ask("total units per region as a bar chart", "chart")),
    ("generate_code_completion: a pivot table", ask("pivot table of average price by region")),
    ("optimize_code: a loop over rows", SLOW + "faster = optimize_code(slow, globals(), jupyter_mode=False)\n"
                                               "cell(faster)"),
    ("generate_markdown: explain the chart code",
     "notes = generate_markdown(chart, globals(), jupyter_mode=False)\ncell(notes, \"markdown\")"),
    ("generate_code_completion, debug_mode: an error",
     "generate_code_completion(\"KeyError: 'regoin'\", globals(), debug_mode=True)"),
]


def excerpt(text: str, label: str = "", lines: int = 6, width: int = 96, bar: str = "| ") -> str:
    """The first lines of a text, indented under `label`."""
    rows = text.strip("\n").splitlines() or ["(nothing)"]
    shown = [r if len(r) <= width else r[: width - 3] + "..." for r in rows[:lines]]
    shown += [f"... ({len(rows) - lines} more lines)"] if len(rows) > lines else []
    return "\n".join(f"      {label if i == 0 else '':<9}{bar}{row}".rstrip() for i, row in enumerate(shown))


KINDS = {"/auth/get_token": "login", "/": "token check", "/get-completion": "completion"}


def describe(request) -> str:
    kind = KINDS.get(request.path, "app-token check" if request.path.startswith("/validate-app-token/")
                     else request.path)
    if request.path == "/get-completion":
        body = request.json()
        kind += f" ({len(body['query'])}-char prompt, max_tokens {body['max_tokens']})"
    return f"{kind} {request.status}"


def cell_text(cell) -> str:
    """What a cell showed: its streams, its plain-text results (a figure as
    such), its errors."""
    parts = []
    for out in cell.get("outputs", []):
        data = out.get("data", {})
        if out.output_type == "stream":
            parts.append(out.text)
        elif out.output_type == "error":
            parts.append(f"{out.ename}: {out.evalue}\n")
        elif "image/png" in data or "text/plain" in data:
            parts.append("[a figure]\n" if "image/png" in data else data["text/plain"].rstrip("\n") + "\n")
    return "".join(parts)


def asked(request) -> list[str]:
    """One completion request: the user's text and the notebook context sent with it."""
    query = request.json()["query"]
    prompt = split_prompt(query)
    out = [excerpt(prompt.request, {"optimize": "code:", "explain": "code:", "debug": "error:"}
                   .get(prompt.mode, "asked:"), lines=4, bar=" ")]
    if query.startswith(HEADER):
        frames = [f"{v.name}: DataFrame ({', '.join(f'{c} {t}' for c, t in v.columns)})"
                  for v in prompt.context.frames()]
        others = len(prompt.context.variables) - len(frames)
        items = [f"modules {', '.join(prompt.context.modules)}"] * bool(prompt.context.modules) + frames
        context = textwrap.wrap("; ".join(items + [f"{others} other variables"]), 84)
        out.append(excerpt("\n".join(context), "context:", lines=3, bar=" "))
        out.append(f"{'':16}(the {len(prompt.request)}-character request went out as a"
                   f" {len(query)}-character prompt)")
    return out


def run_notebook(nb, env: dict[str, str], cwd: str, timeout: float, svc: DevService) -> int:
    """Run the cells in order, printing each step; an answer a cell hands over
    becomes a new cell, which runs in its turn. Returns how many generated code
    cells ran; a failing cell raises CellExecutionError."""
    import nbformat
    from nbclient import NotebookClient

    client = NotebookClient(nb, timeout=timeout, kernel_name="python3", allow_errors=False,
                            resources={"metadata": {"path": cwd}})
    client.reset_execution_trackers()

    def execute(cell, index: int) -> float:
        started = time.monotonic()
        client.execute_cell(cell, index, execution_count=client.code_cells_executed + 1)
        return time.monotonic() - started

    generated, index = 0, 0
    with client.setup_kernel(env=env, cwd=cwd):
        while index < len(nb.cells):
            cell, seen = nb.cells[index], len(svc.state.requests)
            if cell.cell_type != "code":
                index += 1
                continue
            print(f"\n  {cell.metadata['step']:<64} {execute(cell, index):6.2f} s")
            requests = svc.state.requests[seen:]
            completions = [r for r in requests if r.path == "/get-completion"]
            if requests and not completions:
                print("      service:  " + ", ".join(map(describe, requests)))
            for line in (line for r in completions for line in asked(r)):
                print(line)
            handed = next((out.data[CELL_MIME] for out in cell.outputs
                           if out.output_type == "display_data" and CELL_MIME in out.get("data", {})), None)
            if handed is None:
                print(excerpt(cell_text(cell), "shows:"))
            else:
                print(excerpt(handed["source"], "answer:", lines=8))
                new = {"code": nbformat.v4.new_code_cell, "markdown": nbformat.v4.new_markdown_cell}[
                    handed["cell_type"]](handed["source"], metadata={"generated_for": cell.metadata["step"]})
                if new.cell_type == "markdown":
                    nb.cells.insert(index, new)         # above the asking cell, as the notebook puts it
                    index += 1
                else:
                    nb.cells.insert(index + 1, new)
                    index += 1
                    seconds = execute(new, index)
                    generated += 1
                    shown = cell_text(new)
                    print(f"      new cell: ran without error in {seconds:.2f} s"
                          + (", showing:\n" + excerpt(shown, lines=4) if shown else ""))
            index += 1
    return generated


def main(argv: Optional[Sequence[str]] = None) -> int:
    import nbformat

    parser = argparse.ArgumentParser(prog="python -m devservice.demo", description=__doc__.split("\n")[0])
    parser.add_argument("--save", metavar="PATH", help="also write the executed notebook here")
    parser.add_argument("--timeout", type=float, default=45, help="per-cell time limit (default %(default)s s)")
    args = parser.parse_args(argv)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="quillon-demo-") as tmp, DevService(demo=True) as svc:
        print(f"quillon demo against the dev service for *.{svc.domain} (proxy {svc.proxy_url})")
        site = private_site(os.path.join(tmp, "site"))
        env = client_env(svc, site)
        first = login(env, cwd=tmp)
        said = [line if not line.startswith("ASKED=") else "asked " + ", ".join(map(repr, json.loads(line[6:])))
                for line in first.stdout.splitlines()]
        print(f"\n  first login as {DEMO_EMAIL} (tenant {DEMO_TENANT!r}), answering the SDK's prompts\n"
              + excerpt("\n".join(said), "shows:"))
        if first.returncode != 0 or not os.path.exists(store_path(site)):
            print(first.stderr + "\ndemo FAILED: the login did not write the credential store", file=sys.stderr)
            return 1
        nb = nbformat.v4.new_notebook()
        nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
        nb.cells = [nbformat.v4.new_code_cell(source, metadata={"step": title}) for title, source in STEPS]
        try:
            generated = run_notebook(nb, env, tmp, args.timeout, svc)
        except Exception as err:    # a failing cell, a dead kernel, a time-out
            reason = (f"{err.ename}: {err.evalue}" if hasattr(err, "ename")
                      else f"{type(err).__name__}: {str(err).strip()[-2000:]}")
            print(f"\ndemo FAILED: {reason}", file=sys.stderr)
            return 1
        if args.save:
            nbformat.write(nb, args.save)
        requests = svc.state.requests
        print(f"\n  requests seen by the service: {len(requests)}")
        for r in requests:
            print(f"    {r.method:<5} https://{r.host}{r.path[:60]:<20} {describe(r)}")
    completions = [r for r in requests if r.path == "/get-completion"]
    asking = sum(("generate_" in source or "optimize_code(" in source) for _, source in STEPS[2:])
    if len(completions) != asking or any(r.status != 200 for r in requests):
        print(f"\ndemo FAILED: expected {asking} accepted completion requests, saw {len(completions)}",
              file=sys.stderr)
        return 1
    print(f"\n  demo OK in {time.monotonic() - started:.1f} s: {generated} generated code cells ran without"
          " error" + (f"; executed notebook saved to {args.save}" if args.save else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
