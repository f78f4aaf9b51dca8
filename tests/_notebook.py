"""The notebook assistant loaded once per process against a faked service.

Test modules pull in the fixtures with ``from _notebook import nb, wire, shown``.
"""
import base64
import json

import pytest
import responses

import quillon.validation.credgate as credgate

TENANT = "acme"
ROOT = f"https://{TENANT}.quillon.example"
COMPLETION_URL = ROOT + "/get-completion"
STORE = {
    "VELTO_USERNAME": "u@example.com",
    "VELTO_PASSWORD": base64.b64encode(b"pw").decode(),
    "VELTO_TOKEN": "tok",
    "VELTO_TENANT": TENANT,
}


_store = {}


@pytest.fixture(scope="session")
def nb(tmp_path_factory):
    """The nbassist module, imported with a stored token the service accepts."""
    path = tmp_path_factory.mktemp("pkg") / "secret.json"
    path.write_text(json.dumps(STORE))
    _store["path"] = str(path)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(credgate, "secret_file_path", str(path))
        with responses.RequestsMock(assert_all_requests_are_fired=False) as mock:
            mock.get(ROOT + "/", status=200)
            from quillon.velto_gpt_sdk import nbassist
    return nbassist


class Wire:
    """The tenant's service: every token accepted, completions answered from a queue."""

    def __init__(self, mock):
        self.mock = mock
        mock.get(ROOT + "/", status=200)
        self.reply, self.status = {"completion": "print('hi')"}, 200
        mock.add_callback(responses.POST, COMPLETION_URL, callback=self._answer)

    def _answer(self, request):
        return self.status, {}, json.dumps(self.reply)

    def answer(self, completion=None, status=200, **payload):
        self.reply = payload if completion is None else {"completion": completion}
        self.status = status

    @property
    def queries(self):
        return [json.loads(c.request.body)["query"]
                for c in self.mock.calls if c.request.method == "POST"]

    @property
    def count(self):
        return len(self.mock.calls)


@pytest.fixture
def wire(nb, monkeypatch):
    from quillon.velto_gpt_sdk import endpoints

    monkeypatch.setattr(credgate, "secret_file_path", _store["path"])
    monkeypatch.setattr(endpoints, "auth_token", "tok")
    monkeypatch.setattr(endpoints, "tenant", TENANT)
    monkeypatch.setattr(endpoints, "QUILLON_ENGINE_URL", ROOT)
    with responses.RequestsMock(assert_all_requests_are_fired=False) as mock:
        yield Wire(mock)


@pytest.fixture
def shown(nb, monkeypatch):
    """Everything handed to ``display``, in order."""
    seen = []
    monkeypatch.setattr(nb, "display", lambda *objs, **kw: seen.extend(objs))
    return seen


def script_parts(nb, obj):
    """(head, text, tail) of a published cell script; head tells which cell it makes."""
    assert isinstance(obj, nb.Javascript)
    src = obj.data
    for head in (BELOW, ABOVE):
        if src.startswith(head) and src.endswith(TAIL):
            return head, src[len(head):len(src) - len(TAIL)], TAIL
    raise AssertionError(f"not a cell script: {src!r}")


BELOW = ("\n        var code_cell = Jupyter.notebook.insert_cell_below('code');"
         "\n        code_cell.set_text(`")
ABOVE = ("\n        var code_cell = Jupyter.notebook.insert_cell_above('markdown');"
         "\n        code_cell.set_text(`")
TAIL = "`);\n        code_cell.focus_cell();\n    "
