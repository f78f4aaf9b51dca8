"""The credential store: location, file form, and how _check_credentials reads it."""
import json
import os
import shutil

import pytest

import quillon
import quillon.validation.credgate as credgate
from conftest import COMPLETE, EXPIRED, INVALID, NOT_LOCAL, NOT_PROVIDED, run_python, url

KEYS = ["VELTO_USERNAME", "VELTO_PASSWORD", "VELTO_TOKEN", "VELTO_TENANT"]


@pytest.mark.parametrize(
    "content",
    [None, {}]
    + [{k: v for k, v in COMPLETE.items() if k != key} for key in KEYS]
    + [dict(COMPLETE, **{k: None}) for k in KEYS]
    + [{"VELTO_SECRET": "app-token", "VELTO_TENANT": "acme"}],
)
def test_absent_or_incomplete_store(store, service, capsys, content):
    if content is not None:
        store.write(content)
    before = store.text() if content is not None else None
    assert credgate._check_credentials() == (False, None, None)
    assert capsys.readouterr().out == (NOT_PROVIDED if content is None else NOT_LOCAL) + "\n"
    assert (store.text() if store.exists() else None) == before
    assert len(service.calls) == 0


@pytest.mark.parametrize("content, token", [
    (json.dumps(dict(COMPLETE, EXTRA=[1, 2]), indent=2) + "\n", "old-token"),  # kept byte for byte
    (dict(COMPLETE, VELTO_USERNAME="", VELTO_PASSWORD="", VELTO_TOKEN=""), ""),  # empty is present
])
def test_accepted_token_leaves_store_untouched(store, service, capsys, content, token):
    store.write(content)
    before = store.path.read_bytes()
    service.get(url("acme"), status=200)
    assert credgate._check_credentials() == (True, token, "acme")
    assert capsys.readouterr().out == ""
    assert store.path.read_bytes() == before
    (call,) = service.calls
    assert call.request.method == "GET"
    assert call.request.headers["Authorization"] == "Bearer " + token


def test_refused_token_renewed_with_stored_login(store, service, capsys):
    store.write(dict(COMPLETE, VELTO_SECRET="x"))
    service.get(url("acme"), status=401)
    service.post(url("acme", "/auth/get_token"), json={"token": "new-token"})
    assert credgate._check_credentials() == (True, "new-token", "acme")
    assert capsys.readouterr().out == EXPIRED + "\n"
    assert store.read() == dict(COMPLETE, VELTO_TOKEN="new-token")
    assert list(store.read()) == KEYS
    login = json.loads(service.calls[1].request.body)
    assert login == {"email": "ada@example.org", "password": "s3cr3t"}


@pytest.mark.parametrize("stored, sent", [("czNjcjN0", "s3cr3t"), ("not base64!", "not base64!")])
def test_refused_token_and_login(store, service, capsys, stored, sent):
    store.write(dict(COMPLETE, VELTO_PASSWORD=stored))
    before = store.path.read_bytes()
    service.get(url("acme"), status=401)
    service.post(url("acme", "/auth/get_token"), status=401)
    assert credgate._check_credentials() == (False, None, None)
    assert capsys.readouterr().out == EXPIRED + "\n" + INVALID + "\n"
    assert store.path.read_bytes() == before
    assert json.loads(service.calls[1].request.body)["password"] == sent  # undecodable: as stored


@pytest.mark.parametrize(
    "text, error",
    [("", json.JSONDecodeError), ("{'VELTO_TOKEN': 1}", json.JSONDecodeError),
     ("[]", AttributeError), ("null", AttributeError), ('"text"', AttributeError), ("42", AttributeError)],
)
def test_unusable_store_raises(store, capsys, text, error):
    store.write(text)
    with pytest.raises(error):
        credgate._check_credentials()
    assert capsys.readouterr().out == ""
    assert store.text() == text


@pytest.mark.parametrize(
    "plaintext, wrapped",
    [
        ("", ""),
        ("s3cr3t", "czNjcjN0"),
        ("???>", "Pz8/Pg=="),  # standard alphabet, padding
        ("~~~", "fn5+"),
        ("pässwörd", None),
        ("密码🔑", None),
        ("a\x00b\n" * 40, None),  # long: no line breaks
    ],
)
def test_encrypt_decrypt_round_trip(plaintext, wrapped):
    got = credgate._encrypt(plaintext)
    assert type(got) is str and "\n" not in got
    if wrapped is not None:
        assert got == wrapped
    assert credgate._decrypt(got) == plaintext


@pytest.mark.parametrize("value", [None, 5, b"bytes"])
def test_encrypt_needs_text(value):
    with pytest.raises(AttributeError):
        credgate._encrypt(value)


@pytest.mark.parametrize(
    "value",
    ["abc", "a", "//4=", "\ud800", None, 12, 1.5, object(), ["aGk="]],
    ids=["padding", "short", "not-utf8", "surrogate", "none", "int", "float", "object", "list"],
)
def test_decrypt_returns_undecodable_unchanged(value, capsys):
    assert credgate._decrypt(value) is value
    assert capsys.readouterr().out == ""


def test_update_writes_exact_text(store):
    store.write({"VELTO_SECRET": "app", "VELTO_TENANT": "old", "OTHER": 1})
    assert credgate._update_credentials("zoë@example.org", "pässwörd", None, "acme") is None
    expected = {"VELTO_USERNAME": "zoë@example.org", "VELTO_PASSWORD": credgate._encrypt("pässwörd"),
                "VELTO_TOKEN": None, "VELTO_TENANT": "acme"}
    assert store.text() == json.dumps(expected)


@pytest.mark.parametrize(
    "args, error",
    [(("u", "p", object(), "acme"), TypeError), (("u", "p", "t", {1j: 1}), TypeError),
     (("u", None, "t", "acme"), AttributeError)],
)
def test_failed_update_keeps_old_store(store, args, error):
    store.write(COMPLETE)
    before = store.path.read_bytes()
    with pytest.raises(error):
        credgate._update_credentials(*args)
    assert store.path.read_bytes() == before
    assert sorted(os.listdir(store.path.parent)) == ["secret.json"]


def test_store_path_resolves_symlinks(tmp_path):
    site = tmp_path / "site"
    shutil.copytree(os.path.dirname(quillon.__file__), site / "quillon")
    link = tmp_path / "link"
    link.symlink_to(site, target_is_directory=True)
    script = "import quillon.validation.credgate as c\nprint(c.__file__)\nprint(c.secret_file_path)"
    out = run_python(script, env=dict(os.environ, PYTHONPATH=str(link)), cwd=tmp_path).splitlines()
    assert out[0].startswith(str(link))  # really loaded through the link
    assert out[1] == str(site.resolve() / "quillon" / "secret.json")  # the package folder, resolved


@pytest.mark.parametrize(
    "token_ok, login, expected, rewritten",
    [
        (1, None, (True, "old-token", "acme"), False),
        ("yes", None, (True, "old-token", "acme"), False),
        (0, [1, "new"], (True, "new", "acme"), True),
        ("", ("ok", None), (True, None, "acme"), True),
        (None, (0, "ignored"), (False, None, None), False),
        ([], ([], "ignored"), (False, None, None), False),
        (RuntimeError("boom"), None, RuntimeError, False),
        (False, (True,), ValueError, False),
        (False, (True, "a", "b"), ValueError, False),
        (False, None, TypeError, False),
    ],
)
def test_helper_results_by_truth_value(store, monkeypatch, token_ok, login, expected, rewritten):
    store.write(COMPLETE)
    written = []

    def check(token, tenant, /):  # positional only: called positionally
        assert (token, tenant) == ("old-token", "acme")
        if isinstance(token_ok, Exception):
            raise token_ok
        return token_ok

    def relogin(username, password, tenant, /):
        assert (username, password, tenant) == ("ada@example.org", "s3cr3t", "acme")
        return login

    monkeypatch.setattr(credgate, "validate_token", check)
    monkeypatch.setattr(credgate, "_validate_credentials", relogin)
    monkeypatch.setattr(credgate, "_update_credentials", lambda *a: written.append(a))
    if isinstance(expected, type):
        with pytest.raises(expected):
            credgate._check_credentials()
    else:
        result = credgate._check_credentials()
        assert result == expected and type(result) is tuple and result[0] is expected[0]
    assert written == ([("ada@example.org", "s3cr3t", expected[1], "acme")] if rewritten else [])


def test_messages_go_through_print(store, monkeypatch):
    seen = []
    monkeypatch.setattr("builtins.print", lambda *a, **k: seen.append((a, k)))
    credgate._check_credentials()
    assert seen == [((NOT_PROVIDED,), {})]
