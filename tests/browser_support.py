"""The notebook servers of the front ends (classic from nbclassic, Notebook 7, JupyterLab 4,
and "lab-bare": JupyterLab without its widget extensions), a headless Chromium page on each,
and the fixtures and waits the browser tests share (``from browser_support import browser,
env, notebook, open_page, server``). Pages read cells from the notebook model, since
JupyterLab draws only part of a long notebook."""
import json
import os
import secrets
import socket
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

import pytest
import requests

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_ARGS = ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run"]
FRONT_ENDS = ["classic", "notebook7", "lab"]
# What each front end's server needs: the distribution and its major version.
_NEEDS = {"classic": {"nbclassic": "1."}, "notebook7": {"notebook": "7."}, "lab": {"jupyterlab": "4."}}

# The first cell of every test notebook: the assistant and a small frame to ask about.
SETUP = ("import pandas as pd\n"
         "from quillon.velto_gpt_sdk.nbassist import *\n"
         "sales = pd.DataFrame({'region': ['north', 'south', 'east'], 'units': [12, 7, 30]})\n")
WIDGET_VIEW = "application/vnd.jupyter.widget-view+json"   # the output that carries the cell courier
NOTE = "quillon could not put this answer into a new cell, so here it is:"
LATER = "# a cell further down"
KERNELSPEC = {"name": "python3", "display_name": "Python 3", "language": "python"}


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


def logged_in_env(svc, home: Path) -> dict[str, str]:
    """The environment of kernels that use a private copy of the package under `home`, logged in."""
    from devservice.demo import client_env, login, private_site
    env = client_env(svc, private_site(str(home / "site")))
    first = login(env, cwd=str(home))
    assert first.returncode == 0, first.stdout + first.stderr
    return env


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def notebook_of(sources) -> dict:
    import nbformat
    return nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(s) for s in sources],
                                    metadata={"kernelspec": KERNELSPEC})


def run_headless(env: dict[str, str], sources, cwd: str):
    """A notebook of `sources` run through nbclient, as on a server with no page open."""
    from nbclient import NotebookClient
    nb = notebook_of(sources)
    client = NotebookClient(nb, timeout=120, kernel_name="python3", resources={"metadata": {"path": cwd}})
    client.execute(env=env, cwd=cwd)
    return nb


class NotebookServer:
    """The front end's server on loopback, serving `root`, with `env` for its kernels."""

    def __init__(self, front_end: str, root: str, env: dict[str, str], home: str):
        self.front_end, self.port, self.token = front_end, free_port(), secrets.token_hex(16)
        self.base = f"http://127.0.0.1:{self.port}"
        self.http = requests.Session()
        self.http.trust_env = False                 # loopback: never a proxy
        self.http.headers["Authorization"] = f"token {self.token}"
        env = dict(env)
        for var, sub in (("JUPYTER_CONFIG_DIR", "config"), ("JUPYTER_RUNTIME_DIR", "runtime"),
                         ("JUPYTER_DATA_DIR", "data"), ("IPYTHONDIR", "ipython"), ("HOME", "")):
            env[var] = os.path.join(home, sub)
            os.makedirs(env[var], exist_ok=True)
        if front_end == "lab-bare":
            labconfig = Path(env["JUPYTER_CONFIG_DIR"]) / "labconfig"
            labconfig.mkdir(exist_ok=True)
            (labconfig / "page_config.json").write_text(json.dumps({"disabledExtensions": {
                "@jupyter-widgets/jupyterlab-manager": True, "anywidget": True}}))
        app = {"classic": "nbclassic", "notebook7": "notebook"}.get(front_end, "jupyterlab")
        command = [sys.executable, "-m", app, f"--IdentityProvider.token={self.token}",
                   f"--ServerApp.root_dir={root}", "--PasswordIdentityProvider.hashed_password=",
                   "--no-browser", "--ip=127.0.0.1", f"--port={self.port}", "--port-retries=0"]
        command += ["--allow-root"] if os.geteuid() == 0 else []
        command += [] if front_end == "classic" else ["--expose-app-in-browser"]
        self.log_path = Path(home, f"{front_end}-server.log")
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(command, env=env, cwd=root, stdout=log, stderr=log)
        self._wait()

    def api(self, method: str, path: str, body=None):
        response = self.http.request(method, self.base + path, json=body, timeout=10)
        response.raise_for_status()
        return response.json() if response.content else None

    def _wait(self, timeout: float = 60) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("the notebook server exited:\n" + self.log())
            try:
                self.api("GET", "/api/status")
                return
            except requests.ConnectionError:
                time.sleep(0.2)
        raise RuntimeError("the notebook server did not come up:\n" + self.log())

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")[-4000:]

    def upload(self, name: str, content: dict) -> str:
        """Puts the notebook `content` on the server as `name`; its URL. The server signs it
        (so it opens trusted) only when every code cell's metadata says "trusted": true."""
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
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.http.close()


# --- fixtures --------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def env(svc, tmp_path_factory):
    return logged_in_env(svc, tmp_path_factory.mktemp("site"))


def start_server(front_end: str, env, tmp_path_factory) -> NotebookServer:
    reason = missing(front_end.removesuffix("-bare"))
    if reason is not None:
        if os.environ.get("CI"):
            pytest.fail(f"{front_end}: {reason}")     # CI installs everything: a gap is a failure
        pytest.skip(f"{front_end}: {reason}")
    home = tmp_path_factory.mktemp(front_end)
    (home / "notebooks").mkdir()
    return NotebookServer(front_end, str(home / "notebooks"), env, str(home))


@pytest.fixture(scope="module", params=FRONT_ENDS)
def server(env, request, tmp_path_factory):
    srv = start_server(request.param, env, tmp_path_factory)
    yield srv
    srv.close()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    """Debian's Chromium, headless, with a fresh profile."""
    from playwright.sync_api import sync_playwright

    with sync_playwright() as p:
        context = p.chromium.launch_persistent_context(
            str(tmp_path_factory.mktemp("chromium-profile")), executable_path=CHROMIUM, headless=True,
            args=CHROMIUM_ARGS, viewport={"width": 1100, "height": 900})
        yield context
        context.close()


@pytest.fixture
def open_page(browser):
    """Opens a notebook URL of a server in a new page; the pages are closed, and the
    servers' kernels shut down, after the test."""
    opened = []

    def open_(server: NotebookServer, url: str):
        page = browser.new_page()
        opened.append((page, server))
        nb = (ClassicPage if server.front_end == "classic" else LabPage)(page, url)
        nb.server = server
        return nb
    yield open_
    for page, server in opened:
        page.close()
        server.shutdown_kernels()


@pytest.fixture
def notebook(server, open_page, svc, request):
    """A new notebook of the test module's CELLS, open in a page, the service's requests cleared."""
    name = request.node.name.translate(str.maketrans("[]- ", "____")) + ".ipynb"
    nb = open_page(server, server.upload(name, notebook_of(request.module.CELLS)))
    nb.name = name
    svc.state.clear_requests()
    return nb


# --- waiting for the answer ------------------------------------------------------------------

def completions(svc):
    return [r for r in svc.state.requests if r.path == "/get-completion"]


def last_query(svc, timeout=15):
    """The prompt of the latest completion request, once the service has answered it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done = [r for r in completions(svc) if r.status is not None]
        if done:
            return done[-1].json()["query"]
        time.sleep(0.05)
    raise AssertionError("no completion request reached the service")


def wait_cells(nb, count):
    deadline = time.monotonic() + 15
    while len(nb.cells()) < count and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.5)      # a second insertion of the same answer would come right after
    return nb.cells()


def nothing_left_behind(outputs):
    """Once its cell is made, no output still shows the answer (cell script or fallback)."""
    for out in outputs:
        data = out.get("data", {})
        assert "application/javascript" not in data and WIDGET_VIEW not in data, out
        assert NOTE not in str(data), out


# Elements in outputs that could run code: scripts, images and SVG (their
# onerror and onload), frames, and anything with an inline event handler.
_ACTIVE_IN_OUTPUTS = """() => Array.from(document.querySelectorAll(
        '.jp-OutputArea-output *, .output_subarea *, .output_subarea'))
    .filter(e => ['script', 'img', 'svg', 'iframe', 'object', 'embed'].includes(e.tagName.toLowerCase())
                 || Array.from(e.attributes).some(a => a.name.toLowerCase().startsWith('on')))
    .map(e => e.outerHTML.slice(0, 200))"""


def active_in_outputs(page) -> list[str]:
    return page.evaluate(_ACTIVE_IN_OUTPUTS)


class NotebookPage:
    """One notebook open in a browser page; each front end says how it is driven."""

    def __init__(self, page, url: str, timeout: float = 60):
        self.page, self.dialogs = page, []
        page.on("dialog", self._dialog)
        page.set_default_timeout(timeout * 1000)
        page.goto(url)
        self.wait_ready()

    def _dialog(self, dialog) -> None:
        """Notes and dismisses what scripts open (alert, confirm, prompt). Leaving the page is
        always allowed: a dismissed question about unsaved changes leaves the page stuck."""
        if dialog.type == "beforeunload":
            dialog.accept()
        else:
            self.dialogs.append(dialog.message)
            dialog.dismiss()

    def wait_ready(self) -> None:
        self.page.wait_for_function(self.ready)
        # The widget manager asks the kernel for its widgets when it starts, and
        # re-renders every widget output when the answer comes. If that answer is
        # queued behind a cell that makes widgets, the re-rendering blanks them.
        # Two empty requests, in order, let the kernel answer it first.
        for _ in range(2):
            self.kernel_value("None")

    def reload(self) -> None:
        self.page.reload()
        self.wait_ready()

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

    ready = ("() => window.Jupyter && Jupyter.notebook && Jupyter.notebook._fully_loaded"
             " && Jupyter.notebook.kernel && Jupyter.notebook.kernel.is_connected()"
             " && Jupyter.notebook.kernel.comm_manager.targets['jupyter.widget'] !== undefined")

    def cells(self) -> list[list[str]]:
        return self.page.evaluate("Jupyter.notebook.get_cells().map(c => [c.cell_type, c.get_text()])")

    def outputs(self, index: int) -> list[dict]:
        return self.page.evaluate("i => Jupyter.notebook.get_cell(i).output_area.toJSON()", index)

    def run(self, index: int, source: str, timeout: float = 30) -> None:
        """Runs `source` in cell `index` (which may move meanwhile) till the kernel replies."""
        self.page.evaluate(
            """([i, text]) => { const nb = Jupyter.notebook, cell = nb.get_cell(i);
                 window.__running_cell = cell; cell.set_text(text); nb.select(i); cell.execute(); }""",
            [index, source])
        self.page.wait_for_function(
            """() => typeof window.__running_cell.input_prompt_number === 'number'
                     && !Jupyter.notebook.kernel_busy""", timeout=timeout * 1000)

    def kernel_value(self, expression: str) -> str:
        """The repr of `expression` evaluated in the notebook's kernel, without running a cell."""
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

    ready = f"""() => {{
        if (!window.jupyterapp || !jupyterapp.shell.currentWidget
            || !jupyterapp.shell.currentWidget.sessionContext) return false;
        {_LAB}
        return panel.context.isReady && model && nb.widgets.length > 0 && kernel
            && kernel.connectionStatus === 'connected' && kernel.status === 'idle'; }}"""

    def cells(self) -> list[list[str]]:
        return self.page.evaluate(f"""() => {{ {_LAB}
            return Array.from(model.cells, c => [c.type, c.sharedModel.getSource()]); }}""")

    def outputs(self, index: int) -> list[dict]:
        return self.page.evaluate(f"""i => {{ {_LAB}
            const outputs = model.cells.get(i).outputs; return outputs ? outputs.toJSON() : []; }}""", index)

    def run(self, index: int, source: str, timeout: float = 30) -> None:
        """Runs `source` in cell `index` (which may move meanwhile) till the kernel replies."""
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
