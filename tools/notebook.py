"""python -m tools.notebook [--port N] [--dir DIR] [--no-browser]: try quillon in JupyterLab 4.

Starts the local stand-in service, copies the installed package into a private site folder and logs
it in as the stand-in's demo user (so the login lands in that copy's own store), writes a sample
notebook, and starts JupyterLab on it with the kernels' environment pointing at the stand-in: its
proxy and CA, the private site on PYTHONPATH, no proxy exemptions. Ctrl+C (or SIGTERM) stops both.
`make notebook` runs this with the project's venv."""

import argparse
import logging
import os
import secrets
import signal
import subprocess
import sys
from pathlib import Path
from typing import Optional, Sequence

from devservice import DEMO_EMAIL, DEMO_TENANT, DevService
from devservice.demo import FRAME, client_env, login, private_site, store_path

ROOT = Path(__file__).resolve().parents[1]
NOTEBOOK = "try-quillon.ipynb"

INTRO = f"""# Trying quillon against the local stand-in

This notebook's kernel uses a private copy of quillon, logged in as `{DEMO_EMAIL}` (tenant
`{DEMO_TENANT}`) against the local stand-in service, so nothing asks for a password. The stand-in
answers from a few templates that use your frames and columns: it is no engine, but every answer
lands where the real service's would."""
CELLS = [
    ("markdown", INTRO),
    ("code", "import pandas as pd\n"
             "from quillon.velto_gpt_sdk.nbassist import *\n"
             "from quillon.velto_gpt_sdk import endpoints\n"
             "print('logged in to tenant', endpoints.tenant)"),
    ("code", FRAME),
    ("markdown", "## The form\nPick a sample prompt or write your own, then Submit: the code goes into a new "
                 "cell below."),
    ("code", "generate_code(globals())"),
    ("markdown", "## The commands\nEach answer goes into a new cell: code below, an explanation above."),
    ("code", "generate_code_completion('total units per region as a bar chart', globals())"),
    ("code", 'slow = """revenue = []\nfor _, row in sales.iterrows():\n'
             '    revenue.append(row["units"] * row["price"])\n"""\n'
             "optimize_code(slow, globals())"),
    ("code", "generate_markdown(\"sales.groupby('region')['units'].sum()\", globals())"),
    ("code", "generate_code_completion(\"KeyError: 'regoin'\", globals(), debug_mode=True)"),
    ("markdown", "## The magics\nThey work on the notebook's own namespace: no `globals()`."),
    ("code", "%load_ext quillon"),
    ("code", "%%quillon\npivot table of average price by region"),
    ("code", "%quillon context"),
    ("markdown", "A mistake, and advice on it. The failing cell is tagged `raises-exception`, so Run All goes "
                 "on past it."),
    ("code", "sales['regoin']"),
    ("code", "%quillon fix"),
]
RAISES = "sales['regoin']"      # the cell that fails on purpose, tagged so that a headless run goes on


def write_notebook(folder: Path) -> Path:
    """The sample notebook in `folder`, written afresh."""
    import nbformat

    new = {"code": nbformat.v4.new_code_cell, "markdown": nbformat.v4.new_markdown_cell}
    nb = nbformat.v4.new_notebook(cells=[new[kind](source) for kind, source in CELLS])
    for cell in nb.cells:
        if cell.source == RAISES:
            cell.metadata["tags"] = ["raises-exception"]
    nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
    path = folder / NOTEBOOK
    nbformat.write(nb, path)
    return path


def _stop(signum, frame):
    raise KeyboardInterrupt


def _end(lab: subprocess.Popen) -> None:
    """Stops JupyterLab, which stops its kernels on SIGTERM; kills it if it takes too long."""
    if lab.poll() is None:
        lab.terminate()
        try:
            lab.wait(timeout=30)
        except (subprocess.TimeoutExpired, KeyboardInterrupt):
            lab.kill()
            lab.wait()


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tools.notebook", description=__doc__.split("\n")[0])
    parser.add_argument("--port", type=int, default=8888, help="JupyterLab's port (default %(default)s)")
    parser.add_argument("--dir", default=str(ROOT / "build" / "notebook"),
                        help="for the sample notebook and the private site (default %(default)s)")
    parser.add_argument("--no-browser", action="store_true", help="do not open a browser")
    args = parser.parse_args(argv)
    # Set for SIGINT too: a shell starts a background job with SIGINT ignored, and Python
    # then leaves it ignored.
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, _stop)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s stand-in: %(message)s", datefmt="%H:%M:%S")
    folder = Path(args.dir).resolve()
    folder.mkdir(parents=True, exist_ok=True)
    try:
        with DevService(demo=True, state_dir=str(folder / "service")) as svc:
            env = client_env(svc, private_site(str(folder / "site")))
            for name in ("NO_PROXY", "no_proxy"):
                env.pop(name)
            first = login(env, cwd=str(folder))
            if first.returncode != 0 or not os.path.exists(store_path(env["PYTHONPATH"])):
                print(first.stdout + first.stderr + "\nthe login did not write the credential store",
                      file=sys.stderr)
                return 1
            notebook = write_notebook(folder)
            token = secrets.token_hex(16)
            url = f"http://127.0.0.1:{args.port}/lab/tree/{NOTEBOOK}?token={token}"
            command = [sys.executable, "-m", "jupyterlab", notebook.name, "--ip=127.0.0.1",
                       f"--port={args.port}", "--port-retries=0", f"--IdentityProvider.token={token}",
                       f"--ServerApp.root_dir={folder}"]
            command += ["--no-browser"] * args.no_browser + ["--allow-root"] * (os.geteuid() == 0)
            print(f"stand-in service for *.{svc.domain}: proxy {svc.proxy_url}, CA {svc.ca_path}\n"
                  f"logged in as {DEMO_EMAIL} (tenant {DEMO_TENANT!r}) in {env['PYTHONPATH']}", flush=True)
            # Its own session: Ctrl+C reaches this process alone, which stops JupyterLab before
            # the stand-in (a server that gets Ctrl+C itself asks on the terminal whether to stop).
            lab = subprocess.Popen(command, env=env, cwd=folder, stdin=subprocess.DEVNULL,
                                   start_new_session=True)
            try:
                print(f"JupyterLab (pid {lab.pid}) on {url}\nCtrl+C stops JupyterLab and the stand-in",
                      flush=True)
                return lab.wait()
            finally:
                _end(lab)
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
