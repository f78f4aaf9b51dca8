"""The store is read in a `with open(...)` block that behaves as the statement does."""
import io
import json

import pytest

import quillon.validation.credgate as credgate

STORED = {"VELTO_USERNAME": "ada@example.org", "VELTO_PASSWORD": "cw==", "VELTO_TOKEN": "tok",
          "VELTO_TENANT": "acme"}


class File(io.StringIO):
    """A store file that records how the block used it."""

    def __init__(self, log):
        super().__init__(json.dumps(STORED))
        self.log = log

    def __enter__(self):
        self.log.append("enter")
        return self

    def __exit__(self, *exc):
        self.log.append(("exit", exc[0]))
        return False


class InstanceOnly:
    """Context methods on the instance only, which the with statement does not see."""

    def __init__(self):
        self.read = lambda *size: json.dumps(STORED)
        self.__enter__ = lambda: self
        self.__exit__ = lambda *exc: False


class NoExit(io.StringIO):
    __exit__ = None

    def __init__(self):
        super().__init__(json.dumps(STORED))


@pytest.fixture
def opened(store, monkeypatch):
    store.write(STORED)
    files = []

    def use(make):
        monkeypatch.setattr(credgate, "open", lambda path, mode: files.append(make()) or files[-1], raising=False)
        return files
    return use


def test_exit_sees_the_error_of_the_block(opened, monkeypatch, service):
    log = []
    opened(lambda: File(log))
    monkeypatch.setattr(credgate, "json", type("J", (), {"load": staticmethod(lambda f: 1 / 0)}), raising=False)
    with pytest.raises(ZeroDivisionError):
        credgate._check_credentials()
    assert log == ["enter", ("exit", ZeroDivisionError)]


@pytest.mark.parametrize("make, message", [
    (InstanceOnly, "'InstanceOnly' object does not support the context manager protocol"),
    (NoExit, None),
])
def test_context_methods_are_looked_up_on_the_type(opened, make, message):
    opened(make)
    with pytest.raises(TypeError) as caught:
        credgate._check_credentials()
    if message is not None:
        assert str(caught.value) == message
