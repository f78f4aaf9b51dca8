"""Shared fixtures: an isolated credential store, a faked service and scripted prompts."""
import getpass
import json

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
