"""Shared fixtures: an isolated credential store, a faked service and scripted prompts."""
import getpass
import json
import subprocess
import sys
import textwrap

import pytest
import responses

import quillon.validation.credgate as credgate

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

# The credential login's functions and their parameters.
CREDGATE_PARAMS = {
    "_check_credentials": (),
    "_update_credentials": ("username", "password", "token", "tenant"),
    "_encrypt": ("plaintext",),
    "_decrypt": ("ciphertext",),
    "authenticate_credentials": (),
    "_validate_credentials": ("username", "password", "tenant"),
    "validate_token": ("token", "tenant"),
}
