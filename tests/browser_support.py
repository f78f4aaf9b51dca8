"""The notebook servers of the three front ends and a headless Chromium page on
each, for the browser tests.

    classic     the classic notebook, from nbclassic
    notebook7   Notebook 7, built on JupyterLab
    lab         JupyterLab 4
    lab-bare    JupyterLab 4 whose widget extensions are disabled, as on a
                server that lacks them: no widget is drawn

All of them run from the project's .venv, with its default python3 kernel.
The classic page is driven through `Jupyter.notebook`; the JupyterLab-based
pages through the application object that `--expose-app-in-browser` puts on
`window.jupyterapp`. Both kinds read cells from the notebook model, not from
the page, since JupyterLab draws only part of a long notebook.

The headless tests share the notebook's first cell and the logged-in kernel
environment from here.
"""
from __future__ import annotations

import json
import os
import secrets
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from contextlib import contextmanager
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CHROMIUM = "/usr/bin/chromium"
CHROMIUM_ARGS = ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run"]
FRONT_ENDS = ["classic", "notebook7", "lab"]
# What each front end's server needs: the distribution and its major version.
_NEEDS = {"classic": {"nbclassic": "1."}, "notebook7": {"notebook": "7."}, "lab": {"jupyterlab": "4."}}


def missing(front_end: str) -> str | None:
    """Why the browser tests of `front_end` cannot run here, or None."""
    if not os.path.exists(CHROMIUM):
        return f"no Chromium at {CHROMIUM} (apt-get install chromium)"
    # anywidget brings the widgets' front-end extensions, for the classic notebook and JupyterLab alike.
    for name, major in {"playwright": "", "anywidget": "", **_NEEDS[front_end]}.items():
        try:
            found = metadata.version(name)
        except metadata.PackageNotFoundError:
            return f"{name} is not installed (make venv)"
        if not found.startswith(major):
            return f"needs {name} {major}x, found {found}"
    return None


# The first cell of every test notebook: the assistant and a small frame to ask about.
SETUP = ("import pandas as pd\n"
         "from quillon.velto_gpt_sdk.nbassist import *\n"
         "sales = pd.DataFrame({'region': ['north', 'south', 'east'], 'units': [12, 7, 30]})\n")
WIDGET_VIEW = "application/vnd.jupyter.widget-view+json"   # the output that carries the cell courier


def logged_in_env(svc, home: Path) -> dict[str, str]:
    """The environment of kernels that import a private copy of the package under
    `home`, logged in once against the dev service `svc`."""
    from devservice.demo import client_env, login, private_site
    env = client_env(svc, private_site(str(home / "site")))
    first = login(env, cwd=str(home))
    assert first.returncode == 0, first.stdout + first.stderr
    return env


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _opener():
    return urllib.request.build_opener(urllib.request.ProxyHandler({}))   # loopback: never a proxy


class NotebookServer:
    """The front end's server on loopback, serving `root`, with `env` for its kernels."""

    def __init__(self, front_end: str, root: str, env: dict[str, str], home: str):
        self.front_end = front_end
        self.root, self.port, self.token = root, free_port(), secrets.token_hex(16)
        self.base = f"http://127.0.0.1:{self.port}"
        env = dict(env)
        for var, sub in (("JUPYTER_CONFIG_DIR", "config"), ("JUPYTER_RUNTIME_DIR", "runtime"),
                         ("JUPYTER_DATA_DIR", "data"), ("IPYTHONDIR", "ipython"), ("HOME", "")):
            env[var] = os.path.join(home, sub)
            os.makedirs(env[var], exist_ok=True)
        common = ["--no-browser", "--ip=127.0.0.1", f"--port={self.port}", "--port-retries=0"]
        common += ["--allow-root"] if os.geteuid() == 0 else []
        if front_end == "lab-bare":
            labconfig = Path(env["JUPYTER_CONFIG_DIR"]) / "labconfig"
            labconfig.mkdir(exist_ok=True)
            (labconfig / "page_config.json").write_text(json.dumps({"disabledExtensions": {
                "@jupyter-widgets/jupyterlab-manager": True, "anywidget": True}}))
        app = {"classic": "nbclassic", "notebook7": "notebook"}.get(front_end, "jupyterlab")
        command = [sys.executable, "-m", app, f"--IdentityProvider.token={self.token}",
                   f"--ServerApp.root_dir={root}", "--PasswordIdentityProvider.hashed_password="]
        command += [] if front_end == "classic" else ["--expose-app-in-browser"]
        self.log_path = os.path.join(home, f"{front_end}-server.log")
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(command + common, env=env, cwd=root, stdout=self._log,
                                     stderr=subprocess.STDOUT)
        self._wait()

    def api(self, method: str, path: str, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(f"{self.base}{path}", data=data, method=method,
                                         headers={"Authorization": f"token {self.token}",
                                                  "Content-Type": "application/json"})
        with _opener().open(request, timeout=10) as response:
            text = response.read()
        return json.loads(text) if text else None

    def _wait(self, timeout: float = 60) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("the notebook server exited:\n" + self.log())
            try:
                self.api("GET", "/api/status")
                return
            except (urllib.error.URLError, ConnectionError, OSError):
                time.sleep(0.2)
        raise RuntimeError("the notebook server did not come up:\n" + self.log())

    def log(self) -> str:
        if not self._log.closed:
            self._log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")[-4000:]

    def new_notebook(self, name: str, sources=()) -> str:
        cells = [{"id": f"cell-{i}", "cell_type": "code", "source": s, "metadata": {}, "outputs": [],
                  "execution_count": None} for i, s in enumerate(sources or [""])]
        content = {"nbformat": 4, "nbformat_minor": 5, "cells": cells,
                   "metadata": {"kernelspec": {"name": "python3", "display_name": "Python 3",
                                               "language": "python"}}}
        return self.upload(name, content)

    def upload(self, name: str, content: dict) -> str:
        """Puts the notebook `content` on the server as `name`; its URL. The
        server signs it (so it opens trusted) only when every code cell's
        metadata says "trusted": true."""
        self.api("PUT", f"/api/contents/{name}", {"type": "notebook", "format": "json", "content": content})
        if self.front_end.startswith("lab"):
            # `reset`: a fresh workspace, or JupyterLab reopens every notebook of the earlier tests.
            return f"{self.base}/lab/tree/{name}?reset&token={self.token}"
        # nbclassic serves the classic pages under /nbclassic when Notebook 7 is installed beside it.
        prefix = "/nbclassic" if self.front_end == "classic" else ""
        return f"{self.base}{prefix}/notebooks/{name}?token={self.token}"

    def saved(self, name: str) -> dict:
        """The notebook as the server has it on disk."""
        return self.api("GET", f"/api/contents/{name}?content=1")["content"]

    def shutdown_kernels(self) -> None:
        for session in self.api("GET", "/api/sessions"):
            self.api("DELETE", f"/api/sessions/{session['id']}")

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()


@contextmanager
def chromium(user_data_dir: str):
    from playwright.sync_api import sync_playwright

    with sync_playwright() as p:
        context = p.chromium.launch_persistent_context(
            user_data_dir=user_data_dir, executable_path=CHROMIUM, headless=True, args=CHROMIUM_ARGS,
            viewport={"width": 1100, "height": 900})
        try:
            yield context
        finally:
            context.close()


# Elements in outputs that could run code: scripts, images and SVG (their
# onerror and onload), frames, and anything with an inline event handler.
_ACTIVE_IN_OUTPUTS = """() => Array.from(document.querySelectorAll(
        '.jp-OutputArea-output *, .output_subarea *, .output_subarea'))
    .filter(e => ['script', 'img', 'svg', 'iframe', 'object', 'embed'].includes(e.tagName.toLowerCase())
                 || Array.from(e.attributes).some(a => a.name.toLowerCase().startsWith('on')))
    .map(e => e.outerHTML.slice(0, 200))"""


def active_in_outputs(page) -> list[str]:
    return page.evaluate(_ACTIVE_IN_OUTPUTS)


def open_notebook(front_end: str, page, url: str, timeout: float = 60):
    return (ClassicPage if front_end == "classic" else LabPage)(page, url, timeout)


_DIALOGS: dict[int, list[str]] = {}


def dialogs_of(page) -> list[str]:
    """The messages of the dialogs that scripts opened in `page` (alert, confirm,
    prompt), each dismissed. Leaving a page is always allowed: a front end
    asks about unsaved changes, and a dismissed question leaves the page stuck."""
    if id(page) not in _DIALOGS:
        seen = _DIALOGS[id(page)] = []

        def handle(dialog):
            if dialog.type == "beforeunload":
                dialog.accept()
            else:
                seen.append(dialog.message)
                dialog.dismiss()
        page.on("dialog", handle)
        page.on("close", lambda _: _DIALOGS.pop(id(page), None))
    return _DIALOGS[id(page)]


class NotebookPage:
    """One notebook open in a browser page; each front end says how it is driven."""

    def __init__(self, page, url: str, timeout: float = 60):
        self.page = page
        self.dialogs = dialogs_of(page)
        page.set_default_timeout(timeout * 1000)
        page.goto(url)
        self.wait_ready()

    def wait_ready(self) -> None:
        raise NotImplementedError

    def reload(self) -> None:
        self.page.reload()
        self.wait_ready()

    def kernel_value(self, expression: str) -> str:
        """The repr of `expression` evaluated in the notebook's kernel, without running a cell."""
        raise NotImplementedError

    def shown(self, index: int) -> str:
        """The text the page shows in cell `index`'s outputs."""
        return self.page.locator(self.cell_selector).nth(index).locator(self.outputs_selector).inner_text()


# A promise that fails after a minute, so that a kernel that never answers
# fails the test instead of holding it (page.evaluate has no time limit).
_WITHIN_A_MINUTE = """((promise) => Promise.race([promise, new Promise((_, reject) =>
    setTimeout(() => reject(new Error("no answer from the kernel within a minute")), 60000))]))"""


class ClassicPage(NotebookPage):
    """One notebook open in the classic front end, driven through `Jupyter.notebook`."""

    cell_selector = "#notebook-container > .cell"
    outputs_selector = ".output_wrapper"


    def wait_ready(self) -> None:
        self.page.wait_for_function(
            "() => window.Jupyter && Jupyter.notebook && Jupyter.notebook._fully_loaded"
            " && Jupyter.notebook.kernel && Jupyter.notebook.kernel.is_connected()"
            " && Jupyter.notebook.kernel.comm_manager.targets['jupyter.widget'] !== undefined")
        # The widget manager asks the kernel for its widgets when it starts, and
        # re-renders every widget output when the answer comes. If that answer is
        # queued behind a cell that makes widgets, the re-rendering blanks them.
        # Two empty requests, in order, let the kernel answer it first.
        for _ in range(2):
            self.page.evaluate(f"""() => {_WITHIN_A_MINUTE}(new Promise(resolve => Jupyter.notebook.kernel.execute(
                "", {{shell: {{reply: resolve}}}}, {{silent: true, store_history: false}})))""")


    def cells(self) -> list[list[str]]:
        return self.page.evaluate("Jupyter.notebook.get_cells().map(c => [c.cell_type, c.get_text()])")

    def outputs(self, index: int) -> list[dict]:
        return self.page.evaluate("i => Jupyter.notebook.get_cell(i).output_area.toJSON()", index)

    def run(self, index: int, source: str, timeout: float = 30) -> None:
        """Put `source` into cell `index`, select it, run it, wait for its reply
        (the cell may move meanwhile, when a cell is inserted above it)."""
        self.page.evaluate(
            """([i, text]) => { const nb = Jupyter.notebook, cell = nb.get_cell(i);
                 window.__running_cell = cell; cell.set_text(text); nb.select(i); cell.execute(); }""",
            [index, source])
        self.page.wait_for_function(
            """() => typeof window.__running_cell.input_prompt_number === 'number'
                     && !Jupyter.notebook.kernel_busy""", timeout=timeout * 1000)

    def kernel_value(self, expression: str) -> str:
        reply = self.page.evaluate(f"""e => {_WITHIN_A_MINUTE}(new Promise(resolve => Jupyter.notebook.kernel.execute(
            "", {{shell: {{reply: resolve}}}}, {{silent: true, store_history: false, user_expressions: {{value: e}}}})))""",
                                   expression)
        return reply["content"]["user_expressions"]["value"]["data"]["text/plain"]

    def save(self) -> None:
        self.page.evaluate("""() => new Promise((resolve, reject) => {
            const events = Jupyter.notebook.events;
            events.one('notebook_saved.Notebook', () => resolve());
            events.one('notebook_save_failed.Notebook', (e, err) => reject(String(err)));
            Jupyter.notebook.save_checkpoint(); })""")


# The notebook model, cells and kernel of the current JupyterLab document.
_LAB = """const panel = jupyterapp.shell.currentWidget, nb = panel.content, model = nb.model,
                 kernel = panel.sessionContext.session && panel.sessionContext.session.kernel;"""


class LabPage(NotebookPage):
    """One notebook open in Notebook 7 or JupyterLab 4, driven through `window.jupyterapp`."""

    cell_selector = ".jp-Notebook .jp-Cell"
    outputs_selector = ".jp-Cell-outputWrapper"


    def wait_ready(self) -> None:
        self.page.wait_for_function(f"""() => {{
            if (!window.jupyterapp || !jupyterapp.shell.currentWidget
                || !jupyterapp.shell.currentWidget.sessionContext) return false;
            {_LAB}
            return panel.context.isReady && model && nb.widgets.length > 0 && kernel
                && kernel.connectionStatus === 'connected' && kernel.status === 'idle'; }}""")
        # As in the classic notebook: let the widget manager's restore request
        # be answered before any cell makes widgets.
        for _ in range(2):
            self.page.evaluate(f"""async () => {{ {_LAB}
                await {_WITHIN_A_MINUTE}(kernel.requestExecute({{code: '', silent: true, store_history: false}}).done);
                }}""")


    def cells(self) -> list[list[str]]:
        return self.page.evaluate(f"""() => {{ {_LAB}
            return Array.from(model.cells, c => [c.type, c.sharedModel.getSource()]); }}""")

    def outputs(self, index: int) -> list[dict]:
        return self.page.evaluate(f"""i => {{ {_LAB}
            const outputs = model.cells.get(i).outputs; return outputs ? outputs.toJSON() : []; }}""", index)

    def run(self, index: int, source: str, timeout: float = 30) -> None:
        """Put `source` into cell `index`, make it the active cell, run it, wait
        for its reply (the cell may move meanwhile)."""
        self.page.evaluate(f"""async ([i, text]) => {{ {_LAB}
            const cell = model.cells.get(i);
            cell.sharedModel.setSource(text); nb.activeCellIndex = i;
            window.__running_cell = cell; window.__count_before = cell.executionCount;
            await jupyterapp.commands.execute('notebook:run-cell'); }}""", [index, source])
        self.page.wait_for_function(f"""() => {{ {_LAB}
            const cell = window.__running_cell;
            return cell.executionCount !== null && cell.executionCount !== window.__count_before
                && kernel.status === 'idle'; }}""", timeout=timeout * 1000)

    def kernel_value(self, expression: str) -> str:
        reply = self.page.evaluate(f"""async e => {{ {_LAB}
            const reply = await {_WITHIN_A_MINUTE}(kernel.requestExecute({{code: '', silent: true,
                store_history: false, user_expressions: {{value: e}}}}).done);
            return reply.content; }}""", expression)
        return reply["user_expressions"]["value"]["data"]["text/plain"]

    def save(self) -> None:
        self.page.evaluate(f"""async () => {{ {_LAB}
            await {_WITHIN_A_MINUTE}(panel.context.save()); }}""")
