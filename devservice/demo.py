"""python -m devservice.demo: the SDK end to end, in a headless notebook.

Starts the dev service, gives the SDK a private copy of the installed
package (so the demo's login lands in a credential store of its own, never
in the installed one), logs in once the way a user does, and then runs a
short notebook through a real IPython kernel: the commands of the notebook
assistant in return mode, with their answers printed. Ends with a summary of
every step, the answers, the requests the service saw and the timings.

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
import time
from datetime import datetime
from typing import Optional, Sequence

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

FRAME = ("sales = pd.DataFrame({\"region\": [\"north\", \"south\", \"east\", \"west\", \"north\", \"east\"],\n"
         "                      \"units\": [12, 7, 30, 4, 18, 9],\n"
         "                      \"price\": [2.5, 3.0, 2.25, 4.0, 2.5, 3.5]})\n"
         "sales")
SLOW_CODE = ("slow = (\"squares = []\\n\"\n"
             "        \"for n in range(10):\\n\"\n"
             "        \"    if n % 2:\\n\"\n"
             "        \"        squares.append(n * n)\\n\")\n")

STEPS = [
    ("import the notebook assistant (the stored token is accepted)",
     "import pandas as pd\n"
     "from quillon.velto_gpt_sdk.nbassist import *\n"
     "from quillon.velto_gpt_sdk import endpoints\n"
     "print('logged in to tenant', endpoints.tenant)"),
    ("get_completion", "answer = get_completion(\"Write python code for: Apply PCA on the data frame.\")\n"
                       "print(answer[\"completion\"])"),
    ("build a DataFrame", FRAME),
    ("generate_code_completion",
     "code = generate_code_completion(\"Display top 5 records in the data frame.\", globals(),\n"
     "                                jupyter_mode=False)\n"
     "print(code)"),
    ("optimize_code", SLOW_CODE + "faster = optimize_code(slow, jupyter_mode=False)\nprint(faster)"),
    ("generate_markdown",
     "from IPython.display import Markdown\n"
     "notes = generate_markdown(code, jupyter_mode=False)\n"
     "display(Markdown(notes))"),
    ("check the answers",
     "assert isinstance(code, str) and 'sales' in code, code\n"
     "exec(code)\n"
     "assert 'squares' in faster and faster != slow, faster\n"
     "assert notes.lstrip().startswith('#'), notes\n"
     "print('all answers look right')"),
]


def build_notebook():
    import nbformat

    nb = nbformat.v4.new_notebook()
    nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
    nb.cells.append(nbformat.v4.new_markdown_cell(
        "# quillon against the local dev service\n"
        "Each command below asks the service's engine and returns the answer as text "
        "(`jupyter_mode=False`); with the default the answer goes into a new cell instead."))
    for title, source in STEPS:
        cell = nbformat.v4.new_code_cell(source)
        cell.metadata["step"] = title
        nb.cells.append(cell)
    return nb


def run_notebook(nb, env: dict[str, str], cwd: str, timeout: float):
    from nbclient import NotebookClient

    client = NotebookClient(nb, timeout=timeout, kernel_name="python3", allow_errors=False,
                            record_timing=True, resources={"metadata": {"path": cwd}})
    client.execute(env=env, cwd=cwd)
    return nb


def cell_text(cell) -> str:
    """What a cell showed: its streams, its plain-text results, its errors."""
    parts = []
    for out in cell.get("outputs", []):
        if out.output_type == "stream":
            parts.append(out.text)
        elif out.output_type in ("execute_result", "display_data"):
            data = out.get("data", {})
            parts.append(data.get("text/markdown") or data.get("text/plain", ""))
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


def excerpt(text: str, lines: int = 6, width: int = 96) -> str:
    rows = text.rstrip("\n").splitlines() or ["(nothing)"]
    shown = [r if len(r) <= width else r[: width - 3] + "..." for r in rows[:lines]]
    if len(rows) > lines:
        shown.append(f"... ({len(rows) - lines} more lines)")
    return "\n".join(("      | " + row).rstrip() for row in shown)


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


def summary(nb, svc: DevService, phases: list[tuple[str, float, str]]) -> str:
    requests = svc.state.requests
    out = ["", f"quillon demo against the dev service for *.{svc.domain} (proxy {svc.proxy_url})", ""]
    for name, seconds, shown in phases:
        out.append(f"  {name:<56} {seconds:6.2f} s")
        if shown:
            out.append(excerpt(shown))
    out += ["", "  notebook steps (time in the kernel; requests the service saw meanwhile)"]
    for cell in (c for c in nb.cells if c.cell_type == "code"):
        window = cell_window(cell)
        timing = "     ? " if window is None else f"{window[1] - window[0]:6.2f} s"
        out.append(f"  {cell.metadata.get('step', '?'):<56} {timing}")
        if window is not None:
            seen = [describe(r) for r in requests if window[0] <= r.time <= window[1]]
            if seen:
                out.append("      service: " + ", ".join(seen))
        out.append(excerpt(cell_text(cell)))
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
    total = time.monotonic() - started
    if len(completions) != 4 or refused:
        print(f"\ndemo FAILED: expected 4 accepted completion requests, saw {len(completions)}"
              f" ({len(refused)} refused requests)", file=sys.stderr)
        return 1
    print(f"\n  demo OK in {total:.1f} s" + (f"; executed notebook saved to {args.save}" if args.save else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
