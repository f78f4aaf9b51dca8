"""Shared fixtures: an isolated credential store, a faked service and scripted prompts."""
import builtins
import getpass
import inspect
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest
import responses

import quillon.validation.credgate as credgate
from devservice import DevService

DOMAIN = "quillon.example"


def url(tenant, path="/"):
    return f"https://{tenant}.{DOMAIN}{path}"


class Store:
    def __init__(self, path):
        self.path = path

    def write(self, obj_or_text):
        text = obj_or_text if isinstance(obj_or_text, str) else json.dumps(obj_or_text)
        self.path.write_text(text)

    def text(self):
        return self.path.read_text()

    def read(self):
        return json.loads(self.text())

    def exists(self):
        return self.path.exists()


def run_python(script, *args, env=None, cwd=None, timeout=120):
    """`script` (dedented) with `args` in a fresh interpreter of this Python. Fails the
    test, with the end of the child's stderr, unless the child exits 0; returns its
    standard output."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stderr[-3000:]}"
    return done.stdout


def lines(capsys):
    """What the test printed since the last call, line by line."""
    return capsys.readouterr().out.splitlines()


def docstring(indent, *lines):
    """A docstring as the SDK's functions carry it: each line on its own, indented."""
    return "".join("\n" + " " * indent + line for line in lines) + "\n" + " " * indent


def reported(stdout):
    """The values of the child's last `RESULT <json>` line."""
    return json.loads([line for line in stdout.splitlines() if line.startswith("RESULT ")][-1][7:])


@pytest.fixture
def store(tmp_path, monkeypatch):
    """Redirects every login module to a store file in a private folder."""
    folder = tmp_path / "pkg"
    folder.mkdir()
    helper = Store(folder / "secret.json")
    monkeypatch.setattr(credgate, "secret_file_path", str(helper.path))
    try:
        import quillon.validation.authentication as authentication
    except ImportError:
        authentication = None
    if authentication is not None and hasattr(authentication, "secret_file_path"):
        monkeypatch.setattr(authentication, "secret_file_path", str(helper.path))
    yield helper


@pytest.fixture(scope="module")
def svc():
    """The stand-in service on loopback, with the demo user; a module may add its own users."""
    with DevService(demo=True) as service:
        yield service


@pytest.fixture
def service():
    with responses.RequestsMock(assert_all_requests_are_fired=False) as mock:
        yield mock


class Prompts:
    def __init__(self):
        self.answers = []
        self.asked = []

    def answer(self, *answers):
        self.answers.extend(answers)
        return self

    def __call__(self, prompt="Password: ", stream=None):
        self.asked.append(prompt)
        if not self.answers:
            raise AssertionError(f"unexpected prompt {prompt!r} (asked so far: {self.asked})")
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException) or (
            isinstance(answer, type) and issubclass(answer, BaseException)
        ):
            raise answer
        return answer


@pytest.fixture
def prompts(monkeypatch):
    """Scripted answers for getpass.getpass; an exception in the list is raised instead."""
    fake = Prompts()
    monkeypatch.setattr(getpass, "getpass", fake)
    return fake


@pytest.fixture
def typed(monkeypatch):
    """Scripted answers for input(), as `prompts` gives them for getpass.getpass."""
    fake = Prompts()
    monkeypatch.setattr(builtins, "input", fake)
    return fake


# What the credential login prints, line by line.
NOT_PROVIDED = "USERNAME and PASSWORD are not provided please add it manually"
NOT_LOCAL = "USERNAME and PASSWORD are not available locally please add it manually"
EXPIRED = "Token is expired using the username and password to generate a new token"
INVALID = "Invalid username and password, program will exit now"
TOKEN_ERROR = "Error occurred while validating the token"
LOGIN_ERROR = "Error occurred while validating the credentials"

# A complete store; the password is "s3cr3t".
COMPLETE = {"VELTO_USERNAME": "ada@example.org", "VELTO_PASSWORD": "czNjcjN0",
            "VELTO_TOKEN": "old-token", "VELTO_TENANT": "acme"}

# Every function of the SDK, per module, with the signature of the plain Python function it
# stands for: the introspection tests compare the two, the fuzz tests draw arguments by name.
SIGNATURES = {
    "credgate": {"_check_credentials": "()", "_update_credentials": "(username, password, token, tenant)",
                 "_encrypt": "(plaintext)", "_decrypt": "(ciphertext)", "authenticate_credentials": "()",
                 "_validate_credentials": "(username, password, tenant)", "validate_token": "(token, tenant)"},
    "authentication": {"_check_secret": "()", "_get_secret": "()", "update_secret": "(secret, tenant)",
                       "authenticate_secret": "()", "_validate_secret": "(secret, tenant)"},
    "endpoints": {
        "_invoke_gpt_engine": "(path: 'str', streaming: 'bool' = False, files: 'Dict' = None, body: 'Dict' = None, "
                              "request_type: 'str' = 'POST', data_as_json: 'bool' = True)",
        "_invoke_completion": "(prompt: 'str', max_tokens: 'int')",
        "get_completion": "(prompt: 'str', max_tokens: 'int' = 1000)",
    },
    "nbassist": {
        "get_prompts": "()",
        "optimize_code": "(code: 'str', global_variables: 'dict' = None, jupyter_mode: 'bool' = True)",
        "generate_markdown": "(code: 'str', global_variables: 'dict' = None, jupyter_mode: 'bool' = True)",
        "generate_code_completion": "(query, global_variables: 'dict' = None, debug_mode: 'bool' = False, "
                                    "jupyter_mode: 'bool' = True)",
        "display_previous_cell": "(markdown)",
        "display_next_cell": "(code)",
        "generate_code": "(global_variables=None)",
        "_generate_prompt": "(query, base_prompt: 'str', global_variables=None)",
        "generate_code.<locals>.on_button_clicked": "(b)",
        "generate_code.<locals>.update_text_box": "(change)",
    },
}


def twin(module, qualname):
    """The plain Python function with this qualified name and the signature in SIGNATURES."""
    *outer, name = qualname.split(".<locals>.")
    body = f"def {name}{SIGNATURES[module][qualname]}: pass\n"
    if outer:
        body = f"def {outer[0]}():\n    " + body.replace("\n", "\n    ") + f"return {name}\n"
    namespace = {}
    exec(body, namespace)
    return namespace[outer[0]]() if outer else namespace[name]


def parameters(module, qualname):
    return tuple(inspect.signature(twin(module, qualname)).parameters)


# The start of a fresh interpreter: the service faked by `responses` (`mock`, started),
# `url(tenant, path)` of the service and `report(**values)` for `reported`.
CHILD_PRELUDE = r'''
import base64, gc, getpass, importlib, json, os, sys, tempfile, warnings
import responses
import quillon
import quillon.validation.credgate as credgate

def url(tenant, path="/"):
    return f"https://{tenant}.quillon.example{path}"

def report(**values):
    print("RESULT " + json.dumps(values))

mock = responses.RequestsMock(assert_all_requests_are_fired=False)
mock.start()
'''
# ... and then a complete store of its own (the password is "pw"), where each token check
# answers with the next status in `verdicts` (200 once they run out) and a login is refused.
CHILD_STORE = r'''
store = os.path.join(tempfile.mkdtemp(), "secret.json")
with open(store, "w") as f:
    json.dump({"VELTO_USERNAME": "ada@example.org", "VELTO_PASSWORD": base64.b64encode(b"pw").decode(),
               "VELTO_TOKEN": "tok", "VELTO_TENANT": "acme"}, f)
credgate.secret_file_path = store
verdicts = []

def token_check(request):
    return (verdicts.pop(0) if verdicts else 200), {}, ""

mock.add_callback(responses.GET, url("acme"), callback=token_check)
mock.post(url("acme", "/auth/get_token"), status=401)
'''

# ... or an IPython shell that nbassist takes for a kernel's: its display publisher takes hooks
# and keeps what it is given in `published`, or raises where `refuse(data)` says so.
CHILD_KERNEL = r'''
from IPython.core.displaypub import DisplayPublisher
from IPython.core.interactiveshell import InteractiveShell
from quillon.velto_gpt_sdk import nbassist
published, refuse = [], lambda data: False

class Publisher(DisplayPublisher):
    def register_hook(self, hook):
        pass
    def unregister_hook(self, hook):
        pass
    def publish(self, data, metadata=None, **kwargs):
        if refuse(data):
            raise ValueError("cannot send")
        published.append(data)

InteractiveShell.instance().display_pub = Publisher(shell=InteractiveShell.instance())
'''


def run_child(body, prelude="", env=None):
    """The values `body` reports, run after CHILD_PRELUDE, CHILD_STORE and `prelude` in a fresh
    interpreter."""
    return reported(run_python(CHILD_PRELUDE + CHILD_STORE + textwrap.dedent(prelude) + textwrap.dedent(body),
                               env=env))


@pytest.fixture(scope="module", autouse=True)
def _summary(request):
    """Prints what a module's `summary()` returns, past the output capture, after its last test."""
    yield
    text = getattr(request.module, "summary", lambda: None)()
    if text:
        with request.config.pluginmanager.getplugin("capturemanager").global_and_fixture_disabled():
            print("\n" + text)


def form_handlers(box):
    """The two handlers of a form (the box `generate_code` shows), by name."""
    drop, _, _, button = box.children
    changed = drop._trait_notifiers["value"]["change"]
    return {"on_button_clicked": button._click_handlers.callbacks[0],
            "update_text_box": next(h for h in changed if getattr(h, "__name__", "") == "update_text_box")}


def run_node(script, suffix=".js"):
    """The JSON a Node.js `script` writes to its standard output; skipped where Node.js is
    missing, except on CI, which has it."""
    node = shutil.which("node")
    if node is None:
        if os.environ.get("CI"):
            pytest.fail("Node.js is not installed")
        pytest.skip("Node.js is not installed")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "script" + suffix)
        with open(path, "w", encoding="utf-8") as f:
            f.write(script)
        done = subprocess.run([node, path], capture_output=True, encoding="utf-8", timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)
