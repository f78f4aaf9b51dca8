"""The engine client: the authenticated request frame and the completion calls."""
import sys
import typing
from unittest import mock

import pytest
import requests

import quillon.validation.credgate as credgate
from _notebook import nb  # noqa: F401  (fixture)
from conftest import docstring, url


@pytest.fixture(scope="module")
def ep(nb):
    """The engine module, imported with the notebook assistant under a faked service."""
    return sys.modules["quillon.velto_gpt_sdk.endpoints"]


@pytest.fixture(autouse=True)
def state(ep, monkeypatch):
    monkeypatch.setattr(ep, "auth_token", "tok")
    monkeypatch.setattr(ep, "tenant", "acme")


@pytest.fixture
def wire(service):
    """The service with a token check that accepts every token."""
    service.get(url("acme"), status=200)
    return service


def expect_type_error(call, name, expected, got):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


# --- URL, send variants, result ----------------------------------------------------
@pytest.mark.parametrize("path", ["", "get-completion", "/a/b?c=d"])
def test_path_is_glued_to_base_url(ep, wire, path):
    target = ep.QUILLON_ENGINE_URL + path
    wire.post(target, json={"ok": 1})
    assert ep._invoke_gpt_engine(path) == {"ok": 1}
    assert [c.request.method for c in wire.calls] == ["GET", "POST"]
    assert wire.calls[1].request.url.startswith(target if path else target + "/")
    assert wire.calls[1].request.headers["Authorization"] == "Bearer tok"


@pytest.mark.parametrize("status", [201, 204, 401, 500])
@pytest.mark.parametrize("streaming", [False, True])
def test_status_other_than_200_prints_body_and_raises(ep, wire, capsys, status, streaming):
    text = "" if status == 204 else "engine says no"  # a 204 answer cannot carry a body
    wire.post(ep.QUILLON_ENGINE_URL + "/p", status=status, body=text)
    with pytest.raises(requests.exceptions.HTTPError) as err:
        ep._invoke_gpt_engine("/p", streaming=streaming, body={"a": 1})
    assert err.value.args == () and err.value.response is None
    assert capsys.readouterr().out == text + "\n"


def test_streaming_returns_response_object(ep, wire):
    wire.post(ep.QUILLON_ENGINE_URL + "/p", body="not json at all")
    response = ep._invoke_gpt_engine("/p", True)
    assert isinstance(response, requests.Response)
    assert response.status_code == 200 and response.text == "not json at all"


@pytest.mark.parametrize("path, error", [("/p", requests.exceptions.JSONDecodeError),
                                         ("/unregistered", requests.exceptions.ConnectionError)])
def test_library_errors_pass_through_silently(ep, wire, capsys, path, error):
    wire.post(ep.QUILLON_ENGINE_URL + "/p", body="<html>")  # a 200 answer that is not JSON
    with pytest.raises(error):
        ep._invoke_gpt_engine(path)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "kwargs, content_type, body",
    [
        ({"body": {"a": "1", "b": "x y"}}, "application/json", b'{"a": "1", "b": "x y"}'),
        ({"body": {"a": "1", "b": "x y"}, "data_as_json": 0}, "application/x-www-form-urlencoded", "a=1&b=x+y"),
        ({"body": None}, None, None),
        ({"body": None, "data_as_json": False}, None, None),
        ({"request_type": "DELETE", "body": {"a": 1}, "files": {"f": b"zz"}, "data_as_json": False},
         "application/json", b'{"a": 1}'),
        ({"request_type": "DELETE"}, None, None),
    ],
)
def test_body_encoding(ep, wire, kwargs, content_type, body):
    method = kwargs.get("request_type", "POST")
    wire.add(method, ep.QUILLON_ENGINE_URL + "/p", json={})
    assert ep._invoke_gpt_engine("/p", **kwargs) == {}
    sent = wire.calls[1].request
    assert sent.method == method and sent.body == body
    assert sent.headers.get("Content-Type") == content_type


def test_post_sends_files_as_multipart(ep, wire):
    wire.post(ep.QUILLON_ENGINE_URL + "/p", json={})
    ep._invoke_gpt_engine("/p", files={"f": ("a.txt", b"payload")}, body={"k": "v"}, data_as_json=False)
    sent = wire.calls[1].request
    assert sent.headers["Content-Type"].startswith("multipart/form-data")
    assert b"payload" in sent.body and b'name="k"' in sent.body


@pytest.mark.parametrize("request_type", ["post", "PUT", "", "GET"])
def test_unknown_request_type_sends_nothing_after_token_check(ep, wire, request_type):
    with pytest.raises(ValueError) as err:
        ep._invoke_gpt_engine("/p", request_type=request_type, body={"a": 1})
    assert repr(request_type) in str(err.value)
    assert [c.request.method for c in wire.calls] == ["GET"]


# --- token check and re-login ------------------------------------------------------
def returns(value):
    return mock.Mock(return_value=value)


def raises(error):
    return mock.Mock(side_effect=error)


@pytest.mark.parametrize("verdict", [False, None, 0, "", True, 1, "yes"])
def test_only_a_refused_token_logs_in_again(ep, service, monkeypatch, verdict):
    check, login = returns(verdict), returns(("new-tok", "beta"))
    monkeypatch.setattr(ep, "validate_token", check)
    monkeypatch.setattr(ep, "authenticate_credentials", login)
    service.post(ep.QUILLON_ENGINE_URL + "/p", json={"r": 1})
    assert ep._invoke_gpt_engine("/p") == {"r": 1}
    token, tenant = ("tok", "acme") if verdict else ("new-tok", "beta")
    assert check.call_args_list == [mock.call("tok", "acme")]
    assert login.call_args_list == ([] if verdict else [mock.call()])
    assert (ep.auth_token, ep.tenant) == (token, tenant)
    [call] = service.calls
    assert call.request.headers["Authorization"] == "Bearer " + token
    assert call.request.url.startswith(ep.QUILLON_ENGINE_URL + "/p")  # the first login's tenant


NO_LOGIN = raises(AssertionError("no login expected"))


@pytest.mark.parametrize(
    "token, check, login, expected",
    [
        ("tok", raises(RuntimeError("check broke")), returns(("x", "y")), RuntimeError),
        ("tok", returns(False), raises(PermissionError("refused")), PermissionError),
        ("tok", returns(False), returns(("a", "b", "c")), ValueError),
        ("tok", returns(False), returns(("a",)), ValueError),
        # a token that is not text cannot make the header
        (None, returns(True), NO_LOGIN, TypeError),
        (5, returns(True), NO_LOGIN, TypeError),
        (b"tok", returns(True), NO_LOGIN, TypeError),
    ],
)
def test_failure_before_the_request_sends_nothing(ep, service, monkeypatch, token, check, login,
                                                  expected):
    monkeypatch.setattr(ep, "auth_token", token)
    monkeypatch.setattr(ep, "validate_token", check)
    monkeypatch.setattr(ep, "authenticate_credentials", login)
    with pytest.raises(expected):
        ep._invoke_gpt_engine("/p")
    assert (ep.auth_token, ep.tenant) == (token, "acme")
    assert len(service.calls) == 0


# --- argument types ----------------------------------------------------------------
Text = type("Text", (str,), {})
Mapping = type("Mapping", (dict,), {})


@pytest.mark.parametrize(
    "args, kwargs, name, expected, got",
    [
        ((None,), {}, "path", "str", "NoneType"),
        ((Text("/p"),), {}, "path", "str", "Text"),
        (("/p",), {"files": [("f", b"x")]}, "files", "dict", "list"),
        (("/p",), {"body": [1]}, "body", "dict", "list"),
        (("/p",), {"body": Mapping()}, "body", "dict", "Mapping"),
        (("/p",), {"request_type": None}, "request_type", "str", "NoneType"),
        ((None,), {"files": [], "body": [], "request_type": None}, "path", "str", "NoneType"),
        (("/p", False, [], []), {"request_type": None}, "files", "dict", "list"),
        (("/p", False, None, []), {"request_type": 1}, "body", "dict", "list"),
    ],
)
def test_engine_argument_types(ep, service, args, kwargs, name, expected, got):
    expect_type_error(lambda: ep._invoke_gpt_engine(*args, **kwargs), name, expected, got)
    assert len(service.calls) == 0


@pytest.mark.parametrize("func", ["get_completion", "_invoke_completion"])
@pytest.mark.parametrize(
    "args, name, expected, got",
    [
        ((None, 10), "prompt", "str", "NoneType"),
        ((Text("x"), 10), "prompt", "str", "Text"),
        ((None, None), "prompt", "str", "NoneType"),
        (("x", True), "max_tokens", "int", "bool"),
        (("x", 10.0), "max_tokens", "int", "float"),
        (("x", None), "max_tokens", "int", "NoneType"),
    ],
)
def test_completion_argument_types(ep, service, func, args, name, expected, got):
    expect_type_error(lambda: getattr(ep, func)(*args), name, expected, got)
    assert len(service.calls) == 0


# --- completion calls --------------------------------------------------------------
@pytest.mark.parametrize("args, sent", [
    (("text",), b'{"query": "text", "max_tokens": 1000}'),
    (("text", 0), b'{"query": "text", "max_tokens": 0}'),
    (("text", -5), b'{"query": "text", "max_tokens": -5}'),
    (("", 7), b'{"query": "", "max_tokens": 7}'),
])
def test_get_completion_sends_check_then_post(ep, wire, args, sent):
    wire.post(ep.QUILLON_ENGINE_URL + "/get-completion", json={"other": True})
    assert ep.get_completion(*args) == {"other": True}
    check, post = wire.calls
    assert (check.request.method, check.request.url) == ("GET", url("acme"))
    assert check.request.headers["Authorization"] == "Bearer tok"
    assert (post.request.method, post.request.url) == ("POST", ep.QUILLON_ENGINE_URL + "/get-completion")
    assert post.request.body == sent
    assert post.request.headers["Authorization"] == "Bearer tok"


def test_callees_looked_up_at_call_time(ep, monkeypatch):
    inner = returns("from-inner")
    monkeypatch.setattr(ep, "_invoke_completion", inner)
    assert ep.get_completion("p", 7) == "from-inner"
    assert ep.get_completion("q") == "from-inner"
    assert inner.call_args_list == [mock.call(prompt="p", max_tokens=7),
                                    mock.call(prompt="q", max_tokens=1000)]

    monkeypatch.undo()
    engine = returns("from-engine")
    monkeypatch.setattr(ep, "_invoke_gpt_engine", engine)
    assert ep._invoke_completion("p", 7) == "from-engine"
    engine.assert_called_once_with(path="/get-completion", body={"query": "p", "max_tokens": 7},
                                   data_as_json=True, request_type="POST")
    assert list(engine.call_args.kwargs["body"]) == ["query", "max_tokens"]


def test_self_recursion_raises_recursion_error(ep, monkeypatch):
    monkeypatch.setattr(ep, "_invoke_completion", ep.get_completion)
    with pytest.raises(RecursionError):
        ep.get_completion("loop")


# --- metadata ----------------------------------------------------------------------
ENGINE_DOC = ["Invokes the Quillon Engine with the given path and body", "Parameters",
              "    path(str): The path to invoke the engine with",
              "    streaming(bool): Whether to stream the response or not",
              "    files(Dict): The files to upload", "    body(Dict): The body to send",
              "    request_type(str): The type of request to send, defaults to POST",
              "", "Returns", "    The response from the engine"]
COMPLETION_DOC = ["Get the completion for the given prompt", "Parameters",
                  "    prompt(str): The prompt to get the completion for",
                  "    max_tokens(int): The maximum number of tokens to generate",
                  "", "Returns", "    The completion for the given prompt"]


def test_docstrings_and_names(ep):
    assert ep._invoke_gpt_engine.__doc__ == docstring(4, *ENGINE_DOC)
    assert ep._invoke_completion.__doc__ is None
    assert ep.get_completion.__doc__ == docstring(4, *COMPLETION_DOC)
    assert ep.Dict is typing.Dict and ep.HTTPError is requests.exceptions.HTTPError
    assert ep.validate_token is credgate.validate_token
    assert ep.authenticate_credentials is credgate.authenticate_credentials
