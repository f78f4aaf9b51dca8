"""python -m devservice.demo [--save executed.ipynb] [--timeout SECONDS]: the SDK end to end, headless.

Starts the dev service, logs in as a user does with a private copy of the package (so a credential
store of its own), then runs the assistant's commands on a small sales frame in a real IPython
kernel. Each answer goes into a new cell, as the classic notebook would put it, and each new code
cell runs. Each step shows the requests the service saw, what was asked, the context sent with it,
the answer and how its cell ran. The tests use `private_site`, `store_path`, `client_env`, `login`."""

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

from .completions import HEADER, split_prompt
from .service import DEMO_EMAIL, DEMO_PASSWORD, DEMO_TENANT, DevService

# For a new interpreter: import module argv[2], answering the hidden prompts from the JSON list argv[1].
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
    """Copy the installed package into `dest`, without its store; returns `dest`, for PYTHONPATH."""
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
    """Import `module` in a new interpreter, answering the prompts; prints ASKED=<JSON list of them>."""
    return subprocess.run([sys.executable, "-c", LOGIN_SCRIPT, json.dumps(list(answers)), module],
                          env=env, cwd=cwd or tempfile.gettempdir(), capture_output=True, text=True,
                          timeout=timeout)


# A cell hands an answer to the demo under this mimetype, and the demo puts it into a new cell, as
# the classic notebook does in jupyter mode.
CELL_MIME = "application/vnd.quillon.demo-cell+json"
SETUP = f"""import pandas as pd
from IPython.display import display
from quillon.velto_gpt_sdk.nbassist import generate_code_completion, generate_markdown, optimize_code
from quillon.velto_gpt_sdk import endpoints
print("logged in to tenant", endpoints.tenant)

def cell(text, kind="code"):
    display({{"text/plain": text, {CELL_MIME!r}: {{"cell_type": kind, "source": text}}}}, raw=True)"""
FRAME = ("sales = pd.DataFrame({'region': ['north', 'south', 'east', 'west', 'north', 'east'],\n"
         "                      'units': [12, 7, 30, 4, 18, 9], 'price': [2.5, 3.0, 2.25, 4.0, 2.5, 3.5]})\nsales")
SLOW = ('slow = """revenue = []\nfor _, row in sales.iterrows():\n    revenue.append(row["units"] * row["price"])\n'
        'total = 0\nfor i in range(len(revenue)):\n    total += revenue[i]\n"""\n')


def ask(question: str, name: str = "code") -> str:
    return f"{name} = generate_code_completion({question!r}, globals(), jupyter_mode=False)\ncell({name})"


STEPS = [
    ("import the assistant (the stored token is accepted)", SETUP), ("the notebook's data", FRAME),
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


def excerpt(text: str, label: str = "", lines: int = 6, width: int = 104, bar: str = "| ") -> str:
    """The first lines of a text, indented under `label`."""
    rows = text.strip("\n").splitlines() or ["(nothing)"]
    shown = [r if len(r) <= width else r[: width - 3] + "..." for r in rows[:lines]]
    shown += [f"... ({len(rows) - lines} more lines)"] if len(rows) > lines else []
    return "\n".join(f"      {label if i == 0 else '':<9}{bar}{row}".rstrip() for i, row in enumerate(shown))


def service_lines(seen) -> list[str]:
    """Each request the service saw, with its status; for a completion, what was asked and sent."""
    kinds = {"/auth/get_token": "login", "/": "token check", "/get-completion": "completion"}
    out = ["      service:  " + ", ".join(f"{r.method} {kinds.get(r.path.split('?')[0], 'app-token check')}"
                                          f" {r.status}" for r in seen)] if seen else []
    return out + [line for r in seen if r.path == "/get-completion" for line in asked(r)]


def cell_text(cell) -> str:
    """What a cell showed: streams, plain-text results (a figure as such), errors."""
    def shown(out, data) -> str:
        if out.output_type in ("stream", "error"):
            return out.text if out.output_type == "stream" else f"{out.ename}: {out.evalue}\n"
        return "[a figure]\n" if "image/png" in data else data.get("text/plain", "").rstrip("\n") + "\n"
    return "".join(shown(out, out.get("data", {})) for out in cell.outputs)


def asked(request) -> list[str]:
    """One completion request: the user's text and the notebook context sent with it."""
    query = request.json()["query"]
    prompt = split_prompt(query)
    out = [excerpt(prompt.request, {"optimize": "code:", "explain": "code:", "debug": "error:"}
                   .get(prompt.mode, "asked:"), lines=4, bar=" ")]
    if query.startswith(HEADER):
        frames = [f"{v.name}: DataFrame ({', '.join(f'{c} {t}' for c, t in v.columns)})" for v in prompt.frames()]
        items = [f"modules {', '.join(prompt.modules)}"] * bool(prompt.modules) + frames
        context = "; ".join(items + [f"{len(prompt.variables) - len(frames)} other variables"])
        out.append(excerpt("\n".join(textwrap.wrap(context, 100)), "context:", lines=3, bar=" "))
        out.append(f"{'':16}(the {len(prompt.request)}-character request went out as a {len(query)}-character"
                   f" prompt, max_tokens {request.json()['max_tokens']})")
    return out


def run_notebook(nb, env: dict[str, str], cwd: str, timeout: float, svc: DevService) -> int:
    """Run and print the steps; an answer a cell hands over becomes a new cell, which runs in its
    turn. Returns how many generated code cells ran; a failing cell raises CellExecutionError."""
    import nbformat
    from nbclient import NotebookClient

    client = NotebookClient(nb, timeout=timeout, kernel_name="python3", resources={"metadata": {"path": cwd}})
    client.reset_execution_trackers()
    at = lambda cell: next(i for i, c in enumerate(nb.cells) if c is cell)  # noqa: E731

    def execute(cell) -> float:
        started = time.monotonic()
        client.execute_cell(cell, at(cell), execution_count=client.code_cells_executed + 1)
        return time.monotonic() - started

    generated = 0
    with client.setup_kernel(env=env, cwd=cwd):
        for cell in list(nb.cells):
            seen = len(svc.state.requests)
            print(f"\n  {cell.metadata['step']:<64} {execute(cell):6.2f} s",
                  *service_lines(svc.state.requests[seen:]), sep="\n")
            handed = next((out.data[CELL_MIME] for out in cell.outputs
                           if out.output_type == "display_data" and CELL_MIME in out.get("data", {})), None)
            if handed is None:
                print(excerpt(cell_text(cell), "shows:"))
                continue
            print(excerpt(handed["source"], "answer:", lines=10))
            # Code goes below the asking cell and runs; markdown goes above it.
            new = getattr(nbformat.v4, f"new_{handed['cell_type']}_cell")(
                handed["source"], metadata={"generated_for": cell.metadata["step"]})
            nb.cells.insert(at(cell) + (new.cell_type == "code"), new)
            if new.cell_type == "code":
                seconds, shown, generated = execute(new), cell_text(new), generated + 1
                print(f"      new cell: ran without error in {seconds:.2f} s"
                      + (", showing:\n" + excerpt(shown, lines=4) if shown else ""))
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
        env = client_env(svc, private_site(os.path.join(tmp, "site")))
        first = login(env, cwd=tmp)
        said = [line if not line.startswith("ASKED=") else "asked " + ", ".join(map(repr, json.loads(line[6:])))
                for line in first.stdout.splitlines()]
        print(f"\n  first login as {DEMO_EMAIL} (tenant {DEMO_TENANT!r}), answering the SDK's prompts",
              *service_lines(svc.state.requests), excerpt("\n".join(said), "shows:"), sep="\n")
        if first.returncode != 0 or not os.path.exists(store_path(env["PYTHONPATH"])):
            print(first.stderr + "\ndemo FAILED: the login did not write the credential store", file=sys.stderr)
            return 1
        nb = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(source, metadata={"step": title})
                                             for title, source in STEPS])
        nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
        try:
            generated = run_notebook(nb, env, tmp, args.timeout, svc)
        except Exception as err:    # a failing cell, a dead kernel, a time-out
            print(f"\ndemo FAILED: {getattr(err, 'ename', type(err).__name__)}:"
                  f" {getattr(err, 'evalue', str(err).strip()[-2000:])}", file=sys.stderr)
            return 1
        if args.save:
            nbformat.write(nb, args.save)
        seen = svc.state.requests
    completions = [r for r in seen if r.path == "/get-completion"]
    if len(completions) != len(STEPS) - 2 or any(r.status != 200 for r in seen):   # all but two steps ask
        print(f"\ndemo FAILED: expected {len(STEPS) - 2} accepted completion requests, saw {len(completions)}"
              f" and {sum(r.status != 200 for r in seen)} refused requests", file=sys.stderr)
        return 1
    print(f"\n  demo OK in {time.monotonic() - started:.1f} s: the service answered {len(seen)} requests;"
          f" {generated} generated code cells ran without error"
          + (f"; executed notebook saved to {args.save}" if args.save else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
