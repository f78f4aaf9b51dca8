"""Username/password login, the token check and the whole login decision."""
import json
import types
from unittest import mock

import pytest
import requests

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
from conftest import EXPIRED, INVALID, LOGIN_ERROR, NOT_LOCAL, NOT_PROVIDED, TOKEN_ERROR, lines, url
from conftest import COMPLETE as STORED

PROMPTS = ["Please enter the username:", "Please enter the password:", "Please enter the tenant:"]
TYPED = ("bob@example.org", "hunter2", "beta")
LOGIN_ACME, LOGIN_BETA = url("acme", "/auth/get_token"), url("beta", "/auth/get_token")


def typed_store(token):
    return {"VELTO_USERNAME": TYPED[0], "VELTO_PASSWORD": credgate._encrypt(TYPED[1]),
            "VELTO_TOKEN": token, "VELTO_TENANT": TYPED[2]}


SAME = object()
DECISIONS = {
    "token accepted": (STORED, [("GET", url("acme"), 200, None)], [], False, SAME, ("old-token", "acme")),
    "stored login renews": (
        STORED, [("GET", url("acme"), 401, None), ("POST", LOGIN_ACME, 200, {"token": "new"})],
        [EXPIRED], False, dict(STORED, VELTO_TOKEN="new"), ("new", "acme")),
    "typed login after both refused": (
        STORED, [("GET", url("acme"), 401, None), ("POST", LOGIN_ACME, 401, None),
                 ("POST", LOGIN_BETA, 200, {"token": "typed"})],
        [EXPIRED, INVALID], True, typed_store("typed"), ("typed", "beta")),
    "service unreachable": (
        STORED, [], [TOKEN_ERROR, EXPIRED, LOGIN_ERROR, INVALID, LOGIN_ERROR], True, SAME, PermissionError),
    "no store, typed accepted": (
        None, [("POST", LOGIN_BETA, 200, {"token": "typed"})],
        [NOT_PROVIDED], True, typed_store("typed"), ("typed", "beta")),
    "login answer without token": (
        None, [("POST", LOGIN_BETA, 200, {"other": 1})],
        [NOT_PROVIDED], True, typed_store(None), (None, "beta")),
    "incomplete store, typed refused": (
        {"VELTO_SECRET": "app", "VELTO_TENANT": "acme"}, [("POST", LOGIN_BETA, 403, None)],
        [NOT_LOCAL], True, SAME, PermissionError),
}


@pytest.mark.parametrize("content, answers, printed, asks, after, result",
                         DECISIONS.values(), ids=DECISIONS.keys())
def test_login_decision(store, service, prompts, capsys, content, answers, printed, asks, after, result):
    if content is not None:
        store.write(content)
    before = store.text() if content is not None else None
    for method, address, status, payload in answers:
        service.add(method, address, status=status, json=payload)
    if asks:
        prompts.answer(*TYPED)
    if result is PermissionError:
        with pytest.raises(PermissionError) as info:
            credgate.authenticate_credentials()
        assert info.value.args == (INVALID,)
    else:
        assert credgate.authenticate_credentials() == result
    assert lines(capsys) == printed
    assert prompts.asked == (PROMPTS if asks else [])
    if after is SAME:
        assert (store.text() if store.exists() else None) == before
    else:
        assert store.read() == after
    if answers:
        assert [c.request.url for c in service.calls] == [a[1] for a in answers]


def test_typed_answers_used_verbatim(store, service, prompts):
    service.post(LOGIN_BETA, json={"token": "t"})
    prompts.answer(" bob@example.org ", "", "beta")
    assert credgate.authenticate_credentials() == ("t", "beta")
    assert service.calls[0].request.body == json.dumps({"email": " bob@example.org ", "password": ""})


@pytest.mark.parametrize("interrupt", [EOFError, KeyboardInterrupt])
@pytest.mark.parametrize("at", [0, 2])
def test_prompt_interrupt_passes_through(store, service, prompts, interrupt, at):
    prompts.answer(*TYPED[:at], interrupt)
    with pytest.raises(interrupt):
        credgate.authenticate_credentials()
    assert len(service.calls) == 0 and not store.exists()


@pytest.mark.parametrize(
    "checked, outcome",
    [((True, "t", "x"), ("t", "x")), ((1, None, None), (None, None)), ([0, "t", "x"], "prompts"),
     ((True, "t"), ValueError), ((False, None, None, None), ValueError)],
)
def test_authenticate_uses_check_result(monkeypatch, prompts, checked, outcome):
    updates = []
    monkeypatch.setattr(credgate, "_check_credentials", lambda: checked)
    monkeypatch.setattr(credgate, "_validate_credentials", lambda u, p, t, /: (1, "new"))
    monkeypatch.setattr(credgate, "_update_credentials", lambda *a: updates.append(a))
    if outcome == "prompts":
        prompts.answer(*TYPED)
        assert credgate.authenticate_credentials() == ("new", "beta")
        assert updates == [(*TYPED[:2], "new", "beta")]
    elif isinstance(outcome, type):
        with pytest.raises(outcome):
            credgate.authenticate_credentials()
    else:
        assert credgate.authenticate_credentials() == outcome
        assert prompts.asked == [] and updates == []


@pytest.mark.parametrize(
    "answer, result, printed",
    [
        (dict(json={"token": "tok"}), (True, "tok"), []),
        (dict(json={"token": 7, "x": 1}), (True, 7), []),
        (dict(json={}), (True, None), []),
        (dict(json={"token": "tok"}, status=201), (False, None), []),
        (dict(status=500, body="oops"), (False, None), []),
        (dict(body="<html>not json</html>"), (False, None), [LOGIN_ERROR]),
        (dict(json=["token"]), (False, None), [LOGIN_ERROR]),
        (dict(body=requests.exceptions.ConnectionError("down")), (False, None), [LOGIN_ERROR]),
    ],
)
def test_validate_credentials(service, capsys, answer, result, printed):
    service.post(LOGIN_ACME, **answer)
    assert credgate._validate_credentials("ada@example.org", "pw", "acme") == result
    assert lines(capsys) == printed


@pytest.mark.parametrize(
    "answer, result, printed",
    [
        (dict(status=200), True, []),
        (dict(status=200, body="not json at all"), True, []),
        (dict(status=204), False, []),
        (dict(status=401), False, []),
        (dict(body=requests.exceptions.ConnectionError("down")), False, [TOKEN_ERROR]),
        (dict(body=requests.exceptions.Timeout("slow")), False, [TOKEN_ERROR]),
    ],
)
def test_validate_token(service, capsys, answer, result, printed):
    service.get(url("acme"), **answer)
    assert credgate.validate_token("tok", "acme") is result
    assert lines(capsys) == printed


def test_exact_request_calls(monkeypatch):
    """Each request is made on a session of its own (the deadline needs it), closed after it."""
    answer = types.SimpleNamespace(status_code=200, json=lambda: {"token": "t"})
    sessions = []

    def session():
        made = mock.Mock(adapters={}, **{"post.return_value": answer, "get.return_value": answer})
        sessions.append(made)
        return made

    monkeypatch.setattr(credgate, "requests", types.SimpleNamespace(Session=session))
    assert credgate._validate_credentials("zoë", 'p"w', "acme") == (True, "t")
    assert credgate.validate_token("tok", "acme") is True
    login, check = sessions
    assert login.method_calls == [
        mock.call.post(LOGIN_ACME, headers={"content-type": "application/json"}, timeout=20.0,
                       data=r'{"email": "zo\u00eb", "password": "p\"w"}'),
        mock.call.close()]
    assert check.method_calls == [
        mock.call.get(url("acme"), headers={"Authorization": "Bearer tok"}, timeout=20.0),
        mock.call.close()]


@pytest.mark.parametrize(
    "token, tenant, host, auth",
    [("tok", None, "None", "Bearer tok"), (123, "acme", "acme", "Bearer 123"),
     (None, "acme", "acme", "Bearer None"), ("tok", 42, "42", "Bearer tok")],
)
def test_non_text_values_are_formatted(service, token, tenant, host, auth):
    service.get(url(host), status=200)
    service.post(url(host, "/auth/get_token"), json={"token": "t"})
    assert credgate.validate_token(token=token, tenant=tenant) is True
    assert service.calls[0].request.headers["Authorization"] == auth
    assert credgate._validate_credentials("u", "p", tenant) == (True, "t")


@pytest.mark.parametrize("method, path, call", [
    ("GET", "/", lambda: credgate.validate_token("tok", "acme")),
    ("POST", "/auth/get_token", lambda: credgate._validate_credentials("u", "p", "acme")),
    ("GET", "/validate-app-token/a?api_key=a",
     lambda: authentication._validate_secret("a", "acme")),
], ids=["token check", "login", "app-token check"])
def test_non_exception_interrupts_propagate(service, capsys, method, path, call):
    interrupt = mock.Mock(side_effect=KeyboardInterrupt)
    service.add_callback(method, url("acme", path), callback=interrupt)
    with pytest.raises(KeyboardInterrupt):
        call()
    assert lines(capsys) == []
