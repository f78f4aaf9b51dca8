"""App-token login: the service check, the store members and the login decision."""
import json
import os
import re
import stat

import pytest
import requests
import responses

import quillon.validation.authentication as authentication
from conftest import COMPLETE, docstring, lines, url

NOT_PROVIDED = "VELTO_SECRET is not provided please add it manually"
INVALID = "Provided token is invalid. Please provide a valid token"
REFUSED = "Invalid token, program will exit now"
PROMPTS = ["Please enter the token: ", "Please enter the tenant: "]
ANY = re.compile(r".*")


def check_url(tenant, token):
    return url(tenant, f"/validate-app-token/{token}?api_key={token}")


# --- authenticate_secret -----------------------------------------------------------
STORED = {"VELTO_SECRET": "abc", "VELTO_TENANT": "acme"}
TYPED = {"VELTO_SECRET": "xyz", "VELTO_TENANT": "beta"}
CHECK_STORED, CHECK_TYPED = check_url("acme", "abc"), check_url("beta", "xyz")
SAME = object()
# store before, (address, status) of each check, printed, typed?, store after, result
DECISIONS = {
    "stored pair accepted": (STORED, [(CHECK_STORED, 200)], [], False, SAME, ("abc", "acme")),
    # only a 200 answer accepts a token
    "stored and typed refused": (dict(STORED, OTHER=1), [(CHECK_STORED, 204), (CHECK_TYPED, 500)],
                                 [INVALID, INVALID], True, SAME, PermissionError),
    "credential store replaced": (COMPLETE, [(CHECK_TYPED, 200)], [], True, TYPED, ("xyz", "beta")),
    "no store": (None, [(CHECK_TYPED, 200)], [NOT_PROVIDED], True, TYPED, ("xyz", "beta")),
    "empty stored secret": (dict(STORED, VELTO_SECRET=""), [(check_url("acme", ""), 200)], [],
                            False, SAME, ("", "acme")),
}


@pytest.mark.parametrize("content, checks, printed, asks, after, result",
                         DECISIONS.values(), ids=DECISIONS.keys())
def test_login_decision(store, service, typed, capsys, content, checks, printed, asks, after,
                        result):
    if content is not None:
        store.write(content)
    before = store.text() if content is not None else None
    for address, status in checks:
        service.get(address, status=status)
    if asks:
        typed.answer("xyz", "beta")
    if result is PermissionError:
        with pytest.raises(PermissionError) as err:
            authentication.authenticate_secret()
        assert err.value.args == (REFUSED,)
    else:
        assert authentication.authenticate_secret() == result
    assert lines(capsys) == printed
    assert typed.asked == (PROMPTS if asks else [])
    assert [c.request.url for c in service.calls] == [address for address, _ in checks]
    if after is SAME:
        assert (store.text() if store.exists() else None) == before
    else:
        assert store.text() == json.dumps(after)
        assert stat.S_IMODE(os.stat(store.path).st_mode) == 0o600


@pytest.mark.parametrize(
    "content, got, printed",
    [
        (None, None, [NOT_PROVIDED]),
        ({"VELTO_SECRET": None, "VELTO_TENANT": "acme"}, (None, None), []),
        ({"VELTO_SECRET": "abc", "VELTO_TENANT": None}, (None, None), []),
        ({"VELTO_SECRET": "abc"}, (None, None), []),
        ({"VELTO_TENANT": "acme"}, (None, None), []),
        ({}, (None, None), []),
    ],
)
def test_absent_or_incomplete_store(store, service, capsys, content, got, printed):
    if content is not None:
        store.write(content)
    assert authentication._check_secret() is False
    assert authentication._get_secret() == got
    assert lines(capsys) == printed and len(service.calls) == 0
    assert store.exists() == (content is not None)


@pytest.mark.parametrize(
    "text, error",
    [("not json", json.JSONDecodeError), ("[1, 2]", AttributeError)],
)
def test_unreadable_store_propagates(store, service, typed, text, error):
    store.write(text)
    for func in (authentication._check_secret, authentication._get_secret, authentication.authenticate_secret):
        with pytest.raises(error):
            func()
    assert typed.asked == [] and len(service.calls) == 0


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
    assert call.request.method == "GET" and "Authorization" not in call.request.headers
    assert call.request.req_kwargs["verify"] is not False
    assert call.request.req_kwargs["timeout"] == 20.0
    assert lines(capsys) == []


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
    """A token that is also part of other words is blotted in the URL only, not in "results"."""
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


# --- metadata ----------------------------------------------------------------------
DOCS = {
    "authenticate_secret": ["Authenticate the secret"],
    "_check_secret": ["Check if the secret is present",
                      ":return: True if the secret is present else False"],
    "_get_secret": ["Get the secret from the secret file", ":return: secret and tenant"],
    "update_secret": ["Update the secret in the secret file", ":param secret: secret to be updated",
                      ":param tenant: tenant to be updated", ":return:"],
    "_validate_secret": ["Validate the secret", ":param secret: secret to be validated",
                         ":param tenant: tenant to be validated",
                         ":return: True if the secret is valid else False"],
}


@pytest.mark.parametrize("name", DOCS)
def test_docstrings(name):
    assert getattr(authentication, name).__doc__ == docstring(4, *DOCS[name])
