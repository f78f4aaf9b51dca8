"""The classic notebook server and a headless Chromium page on it, for the
browser tests."""
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

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_ARGS = ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run"]


def missing() -> str | None:
    """Why the browser tests cannot run here, or None."""
    if not os.path.exists(CHROMIUM):
        return f"no Chromium at {CHROMIUM} (apt-get install chromium)"
    try:
        import playwright.sync_api  # noqa: F401
    except ImportError:
        return "playwright for Python is not installed"
    try:
        import notebook
    except ImportError:
        return "the classic notebook (notebook 6.5) is not installed"
    if not notebook.__version__.startswith("6."):
        return f"needs the classic notebook 6.x, found notebook {notebook.__version__}"
    return None


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _opener():
    return urllib.request.build_opener(urllib.request.ProxyHandler({}))   # loopback: never a proxy


class NotebookServer:
    """`python -m notebook` on loopback, serving `root`, with `env` for its kernels."""

    def __init__(self, root: str, env: dict[str, str], home: str):
        self.root, self.port, self.token = root, free_port(), secrets.token_hex(16)
        self.base = f"http://127.0.0.1:{self.port}"
        env = dict(env)
        for var, sub in (("JUPYTER_CONFIG_DIR", "config"), ("JUPYTER_RUNTIME_DIR", "runtime"),
                         ("JUPYTER_DATA_DIR", "data"), ("IPYTHONDIR", "ipython"), ("HOME", "")):
            env[var] = os.path.join(home, sub)
            os.makedirs(env[var], exist_ok=True)
        self.log_path = os.path.join(home, "notebook-server.log")
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "notebook", "--no-browser", "--ip=127.0.0.1", f"--port={self.port}",
             "--port-retries=0", f"--NotebookApp.token={self.token}", f"--notebook-dir={root}",
             "--NotebookApp.password="] + (["--allow-root"] if os.geteuid() == 0 else []),
            env=env, cwd=root, stdout=self._log, stderr=subprocess.STDOUT)
        self._wait()

    def api(self, method: str, path: str, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(f"{self.base}{path}", data=data, method=method,
                                         headers={"Authorization": f"token {self.token}",
                                                  "Content-Type": "application/json"})
        with _opener().open(request, timeout=10) as response:
            text = response.read()
        return json.loads(text) if text else None

    def _wait(self, timeout: float = 30) -> None:
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
        self.api("PUT", f"/api/contents/{name}", {"type": "notebook", "format": "json", "content": content})
        return f"{self.base}/notebooks/{name}?token={self.token}"

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


class NotebookPage:
    """One notebook open in the classic front end, driven through `Jupyter.notebook`."""

    def __init__(self, page, url: str, timeout: float = 30):
        self.page = page
        page.set_default_timeout(timeout * 1000)
        page.goto(url)
        self.wait_ready()

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
            self.page.evaluate("""() => new Promise(resolve => Jupyter.notebook.kernel.execute(
                "", {shell: {reply: resolve}}, {silent: true, store_history: false}))""")

    def reload(self) -> None:
        self.page.reload()
        self.wait_ready()

    def cells(self) -> list[list[str]]:
        return self.page.evaluate("Jupyter.notebook.get_cells().map(c => [c.cell_type, c.get_text()])")

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

    def save(self) -> None:
        self.page.evaluate("""() => new Promise((resolve, reject) => {
            const events = Jupyter.notebook.events;
            events.one('notebook_saved.Notebook', () => resolve());
            events.one('notebook_save_failed.Notebook', (e, err) => reject(String(err)));
            Jupyter.notebook.save_checkpoint(); })""")


