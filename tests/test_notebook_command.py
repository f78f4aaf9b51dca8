"""`make notebook` (python -m tools.notebook): the stand-in and JupyterLab on the sample notebook,
whose kernels are logged in against the stand-in; Ctrl+C stops both, and the kernels with them."""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

from browser_support import free_port

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[1]
STARTED = re.compile(r"JupyterLab \(pid (\d+)\) on (http://\S+)")


def alive(pid: int) -> bool:
    """Whether `pid` runs; an exited child that nobody has reaped yet counts as gone."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def environ(pid: int) -> dict[str, str]:
    raw = Path(f"/proc/{pid}/environ").read_bytes()
    return dict(item.split("=", 1) for item in raw.decode().split("\0") if "=" in item)


def pid_with_argument(text: str) -> int | None:
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and text in (entry / "cmdline").read_bytes().decode(errors="replace"):
                return int(entry.name)
        except OSError:
            pass
    return None


class Lab:
    """The running command: its output, JupyterLab's pid and page, its REST API."""

    def __init__(self, tmp_path: Path):
        pytest.importorskip("jupyterlab")
        home = tmp_path / "home"
        env = dict(os.environ, HOME=str(home), JUPYTER_CONFIG_DIR=str(home / "config"),
                   JUPYTER_RUNTIME_DIR=str(home / "runtime"), IPYTHONDIR=str(home / "ipython"))
        self.folder, self.runtime = tmp_path / "notebook", Path(env["JUPYTER_RUNTIME_DIR"])
        self.log_path = tmp_path / "command.log"
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([sys.executable, "-m", "tools.notebook", "--port", str(free_port()),
                                          "--dir", str(self.folder), "--no-browser"],
                                         cwd=ROOT, env=env, stdout=log, stderr=subprocess.STDOUT)
        self.lab_pid, self.url = self._started()
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.url).query)
        self.base, self.token = self.url.split("/lab/")[0], query["token"][0]
        self._wait_for_api()

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")[-6000:]

    def _started(self, timeout: float = 120):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = STARTED.search(self.log())
            if found:
                return int(found[1]), found[2]
            assert self.proc.poll() is None, "the command exited:\n" + self.log()
            time.sleep(0.2)
        raise AssertionError("JupyterLab was not started:\n" + self.log())

    def api(self, method: str, path: str):
        request = urllib.request.Request(self.base + path, method=method, data=b"{}" if method == "POST" else None,
                                         headers={"Authorization": f"token {self.token}"})
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))   # loopback: never a proxy
        with opener.open(request, timeout=10) as response:
            return json.loads(response.read() or b"null")

    def _wait_for_api(self, timeout: float = 120) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            assert self.proc.poll() is None, "the command exited:\n" + self.log()
            try:
                self.api("GET", "/api/status")
                return
            except (urllib.error.URLError, ConnectionError, OSError):
                time.sleep(0.3)
        raise AssertionError("JupyterLab does not answer:\n" + self.log())

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if alive(self.lab_pid):     # the command failed to stop it: stop it here, kernels included
            os.kill(self.lab_pid, signal.SIGTERM)


@pytest.fixture
def lab(tmp_path):
    running = Lab(tmp_path)
    try:
        yield running
    finally:
        running.stop()


def run_sample(nb_path: Path, env: dict[str, str], cwd: Path):
    import nbformat
    from nbclient import NotebookClient

    nb = nbformat.read(nb_path, as_version=4)
    NotebookClient(nb, timeout=60, kernel_name="python3", resources={"metadata": {"path": str(cwd)}}).execute(env=env)
    return nb


def shown(cell) -> str:
    return "".join(out.get("text", "") + out.get("data", {}).get("text/plain", "") + out.get("evalue", "")
                   for out in cell.outputs)


def test_the_sample_notebook_runs_logged_in_and_ctrl_c_stops_everything(lab):
    sample = lab.api("GET", "/api/contents/try-quillon.ipynb")
    assert sample["type"] == "notebook" and len(sample["content"]["cells"]) > 10
    assert lab.api("GET", "/lab/api/workspaces") is not None       # JupyterLab itself answers

    # The kernels inherit JupyterLab's environment: the stand-in's proxy and CA, no proxy
    # exemptions, and the private copy of the package, already logged in.
    env = environ(lab.lab_pid)
    assert env["HTTPS_PROXY"] == env["https_proxy"] and env["HTTPS_PROXY"].startswith("http://127.0.0.1:")
    assert "NO_PROXY" not in env and "no_proxy" not in env
    assert Path(env["REQUESTS_CA_BUNDLE"]).is_file()
    assert (Path(env["PYTHONPATH"]) / "quillon" / "secret.json").is_file()

    # Every cell of the sample runs headless under that environment: a kernel with no way to
    # answer a login prompt, so the store's login is what lets it through.
    nb = run_sample(lab.folder / "try-quillon.ipynb", env, lab.folder)
    code = [c for c in nb.cells if c.cell_type == "code"]
    assert "logged in to tenant demo" in shown(code[0])
    errors = [(c.source, o.ename) for c in code for o in c.outputs if o.output_type == "error"]
    assert errors == [("sales['regoin']", "KeyError")]
    assert "You can try this" in shown(code[-1])                     # %quillon fix: advice from the stand-in
    assert "sales" in shown(next(c for c in code if c.source == "%quillon context"))

    # A kernel that JupyterLab started, to see it stopped with the rest.
    kernel = lab.api("POST", "/api/kernels")["id"]
    deadline = time.monotonic() + 60
    while (kernel_pid := pid_with_argument(f"kernel-{kernel}.json")) is None:
        assert time.monotonic() < deadline, "no process for the kernel JupyterLab started"
        time.sleep(0.3)
    proxy_port = int(env["HTTPS_PROXY"].rsplit(":", 1)[1])

    lab.proc.send_signal(signal.SIGINT)
    assert lab.proc.wait(timeout=60) == 0, lab.log()
    deadline = time.monotonic() + 30
    while alive(lab.lab_pid) or alive(kernel_pid):
        assert time.monotonic() < deadline, f"still running: JupyterLab {alive(lab.lab_pid)}, kernel {alive(kernel_pid)}"
        time.sleep(0.2)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", proxy_port), timeout=5).close()
