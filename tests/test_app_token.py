"""App-token login: the service check, the store members and the login decision."""
import json
import os
import re
import stat

import pytest
import requests
import responses

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
from conftest import docstring, lines, url

NOT_PROVIDED = "VELTO_SECRET is not provided please add it manually"
INVALID = "Provided token is invalid. Please provide a valid token"
REFUSED = "Invalid token, program will exit now"
PROMPTS = ["Please enter the token: ", "Please enter the tenant: "]
ANY = re.compile(r".*")


def check_url(tenant, token):
    return url(tenant, f"/validate-app-token/{token}?api_key={token}")


# --- authenticate_secret -----------------------------------------------------------


def test_valid_stored_pair(store, service, typed, capsys):
    store.write({"VELTO_SECRET": "abc", "VELTO_TENANT": "acme"})
    before = store.text()
    service.get(check_url("acme", "abc"), status=200)
    asked = typed.asked
    assert authentication.authenticate_secret() == ("abc", "acme")
    [call] = service.calls
    assert call.request.url == "https://acme.quillon.example/validate-app-token/abc?api_key=abc"
    assert call.request.method == "GET" and "Authorization" not in call.request.headers
    assert call.request.req_kwargs["verify"] is not False
    assert call.request.req_kwargs["timeout"] == 20.0
    assert lines(capsys) == [] and asked == [] and store.text() == before


def test_refused_stored_and_typed_token(store, service, typed, capsys):
    store.write({"VELTO_SECRET": "abc", "VELTO_TENANT": "acme", "OTHER": 1})
    before = store.text()
    service.get(check_url("acme", "abc"), status=401)
    service.get(check_url("beta", "xyz"), status=403)
    asked = typed.answer("xyz", "beta").asked
    with pytest.raises(PermissionError) as err:
        authentication.authenticate_secret()
    assert err.value.args == (REFUSED,)
    assert lines(capsys) == [INVALID, INVALID] and asked == PROMPTS
    assert len(service.calls) == 2 and store.text() == before


def test_store_of_credential_login_is_replaced(store, service, typed, capsys):
    store.write({"VELTO_USERNAME": "ada", "VELTO_PASSWORD": "cHc=", "VELTO_TOKEN": "t", "VELTO_TENANT": "acme"})
    service.get(check_url("beta", "xyz"), status=200)
    asked = typed.answer("xyz", "beta").asked
    assert authentication.authenticate_secret() == ("xyz", "beta")
    assert lines(capsys) == [] and asked == PROMPTS and len(service.calls) == 1
    assert store.text() == json.dumps({"VELTO_SECRET": "xyz", "VELTO_TENANT": "beta"})
    assert stat.S_IMODE(os.stat(store.path).st_mode) == 0o600


def test_no_store(store, service, typed, capsys):
    service.get(check_url("beta", "xyz"), status=200)
    assert authentication._get_secret() is None
    assert authentication._check_secret() is False
    assert lines(capsys) == [NOT_PROVIDED] and not store.exists()
    typed.answer("xyz", "beta")
    assert authentication.authenticate_secret() == ("xyz", "beta")
    assert lines(capsys) == [NOT_PROVIDED]
    assert store.read() == {"VELTO_SECRET": "xyz", "VELTO_TENANT": "beta"}


def test_empty_tenant_is_refused_before_any_request(store, service, typed, capsys):
    asked = typed.answer("", "").asked
    with pytest.raises(ValueError, match="invalid tenant ''"):
        authentication.authenticate_secret()
    assert lines(capsys) == [NOT_PROVIDED]
    assert asked == PROMPTS and not store.exists() and len(service.calls) == 0


@pytest.mark.parametrize(
    "content",
    [
        {"VELTO_SECRET": None, "VELTO_TENANT": "acme"},
        {"VELTO_SECRET": "abc", "VELTO_TENANT": None},
        {"VELTO_SECRET": "abc"},
        {"VELTO_TENANT": "acme"},
        {},
    ],
)
def test_incomplete_store(store, service, capsys, content):
    store.write(content)
    assert authentication._check_secret() is False
    assert authentication._get_secret() == (None, None)
    assert lines(capsys) == [] and len(service.calls) == 0


def test_empty_stored_secret_is_validated(store, service):
    store.write({"VELTO_SECRET": "", "VELTO_TENANT": "acme"})
    service.get(check_url("acme", ""), status=200)
    assert authentication._check_secret() is True
    assert service.calls[0].request.path_url == "/validate-app-token/?api_key="
    assert authentication._get_secret() == ("", "acme")


@pytest.mark.parametrize(
    "text, error",
    [("not json", json.JSONDecodeError), ("[1, 2]", AttributeError)],
)
def test_unreadable_store_propagates(store, service, typed, text, error):
    store.write(text)
    asked = typed.asked
    for func in (authentication._check_secret, authentication._get_secret, authentication.authenticate_secret):
        with pytest.raises(error):
            func()
    assert asked == [] and len(service.calls) == 0


def test_functions_reach_each_other_through_module(store, service, typed, monkeypatch):
    store.write({"VELTO_SECRET": "abc", "VELTO_TENANT": "acme"})
    seen = []
    monkeypatch.setattr(authentication, "_validate_secret", lambda s, t: seen.append((s, t)) or True)
    monkeypatch.setattr(authentication, "_get_secret", lambda: "replaced")
    assert authentication.authenticate_secret() == "replaced"
    assert seen == [("abc", "acme")] and len(service.calls) == 0


# --- _validate_secret --------------------------------------------------------------


@pytest.mark.parametrize(
    "token, tenant, sent",
    [
        ("a/b", "acme", "/validate-app-token/a/b?api_key=a/b"),
        ("a?b", "acme", "/validate-app-token/a?b?api_key=a?b"),
        ("k&x=1", "acme", "/validate-app-token/k&x=1?api_key=k&x=1"),
        ("a%2Fb", "acme", "/validate-app-token/a%2Fb?api_key=a%2Fb"),
        # the HTTP library escapes blanks when it prepares the request
        ("a b", "acme", "/validate-app-token/a%20b?api_key=a%20b"),
        # an unescaped "#" starts the fragment, which is never sent
        ("a#b", "acme", "/validate-app-token/a"),
        (123, None, "/validate-app-token/123?api_key=123"),
    ],
)
def test_token_enters_url_unescaped(service, capsys, token, tenant, sent):
    service.get(ANY, status=200)
    assert authentication._validate_secret(tenant=tenant, secret=token) is True
    [call] = service.calls
    assert call.request.url.startswith(f"https://{tenant}.quillon.example/".lower())  # hosts are case-folded
    assert call.request.path_url == sent
    assert lines(capsys) == []


@pytest.mark.parametrize("status", [201, 204, 401, 500])
def test_only_200_accepts(service, capsys, status):
    service.get(check_url("acme", "abc"), status=status)
    assert authentication._validate_secret("abc", "acme") is False
    assert lines(capsys) == [INVALID]


def test_transport_error_is_reported(service, capsys):
    err = requests.exceptions.ConnectionError("no route to host")
    service.get(check_url("acme", "abc"), body=err)
    assert authentication._validate_secret("abc", "acme") is False
    assert lines(capsys) == ["Exception Occurred:  " + str(err), INVALID]


# "a%2fb" is sent as "a%2Fb"; of "ab#cd" only "ab" is sent, the rest being a fragment
@pytest.mark.parametrize("token", ["s3cr3t-app-token", "tok en/with?odd&chars#", "ünïcode-tøken", "a%2fb", "ab#cd"])
def test_transport_error_never_prints_the_token(service, capsys, token):
    # The error of requests quotes the URL, which holds the token twice.
    sent = []

    def unreachable(request):
        sent.append(request.path_url.removeprefix("/validate-app-token/"))
        raise requests.exceptions.ConnectionError(f"cannot reach {request.url} ({request.path_url})")

    service.add_callback(responses.GET, ANY, callback=unreachable)
    assert authentication._validate_secret(token, "acme") is False
    out = capsys.readouterr().out
    quoted = {requests.utils.requote_uri(token), requests.utils.quote(token, safe="")}
    as_sent = {part for part in sent[0].split("?api_key=") if part}
    assert all(spelling not in out for spelling in {token, *quoted, *as_sent}), out
    first, second = out.splitlines()
    assert first.startswith("Exception Occurred:  cannot reach https://acme.quillon.example/validate-app-token/***")
    assert second == INVALID


@pytest.mark.parametrize("token", ["s", "re", "t", "e", "api_key", "validate-app-token"])
def test_short_token_is_blotted_only_where_it_is_sent(service, capsys, token):
    """A token that also occurs inside the words of the error (or of the URL around it)
    is blotted in the URL only, not in "results" or "https"."""
    def unreachable(request):
        raise requests.exceptions.ConnectionError(
            f"the request for {request.url} got no results (sent: {request.path_url})")

    service.add_callback(responses.GET, ANY, callback=unreachable)
    assert authentication._validate_secret(token, "acme") is False
    assert lines(capsys) == [
        "Exception Occurred:  the request for https://acme.quillon.example/validate-app-token/***?api_key=*** "
        "got no results (sent: /validate-app-token/***?api_key=***)",
        INVALID,
    ]


def test_keyboard_interrupt_propagates(service, capsys):
    def interrupt(request):
        raise KeyboardInterrupt

    service.add_callback(responses.GET, check_url("acme", "abc"), callback=interrupt)
    with pytest.raises(KeyboardInterrupt):
        authentication._validate_secret("abc", "acme")
    assert lines(capsys) == []


# --- update_secret -----------------------------------------------------------------


def test_update_secret_writes_exact_text(store):
    store.write({"VELTO_USERNAME": "ada", "VELTO_TENANT": "old"})
    assert authentication.update_secret("s\u00e9cret", "t") is None
    assert store.text() == json.dumps({"VELTO_SECRET": "s\u00e9cret", "VELTO_TENANT": "t"})
    assert stat.S_IMODE(os.stat(store.path).st_mode) == 0o600


def test_failed_update_keeps_previous_store(store):
    store.write({"VELTO_SECRET": "abc", "VELTO_TENANT": "acme"})
    before = store.text()
    with pytest.raises(TypeError):
        authentication.update_secret(object(), "t")
    assert store.text() == before
    assert os.listdir(store.path.parent) == ["secret.json"]


# --- interplay with the credential login -------------------------------------------


def test_app_token_store_is_incomplete_for_credential_login(store, service, typed, capsys):
    service.get(check_url("acme", "abc"), status=200)
    typed.answer("abc", "acme")
    authentication.authenticate_secret()
    capsys.readouterr()
    assert credgate._check_credentials() == (False, None, None)
    assert lines(capsys) == ["USERNAME and PASSWORD are not available locally please add it manually"]
    assert len(service.calls) == 1


def test_credential_store_has_no_secret(store, service, capsys):
    credgate._update_credentials("ada@example.org", "pw", "tok", "acme")
    assert authentication._check_secret() is False
    assert authentication._get_secret() == (None, None)
    assert lines(capsys) == [] and len(service.calls) == 0


# --- metadata ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, doc",
    [
        ("authenticate_secret", docstring(4, "Authenticate the secret")),
        ("_check_secret", docstring(4, 
            "Check if the secret is present", ":return: True if the secret is present else False")),
        ("_get_secret", docstring(4, "Get the secret from the secret file", ":return: secret and tenant")),
        ("update_secret", docstring(4, 
            "Update the secret in the secret file", ":param secret: secret to be updated",
            ":param tenant: tenant to be updated", ":return:")),
        ("_validate_secret", docstring(4, 
            "Validate the secret", ":param secret: secret to be validated",
            ":param tenant: tenant to be validated", ":return: True if the secret is valid else False")),
    ],
)
def test_docstrings(name, doc):
    assert getattr(authentication, name).__doc__ == doc
