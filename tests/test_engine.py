"""The engine client: the authenticated request frame and the completion calls."""
import json
import sys
import typing

import pytest
import requests

import quillon.validation.credgate as credgate
from _notebook import nb  # noqa: F401  (fixture)
from conftest import url


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


def test_200_without_json_raises_decoding_error(ep, wire, capsys):
    wire.post(ep.QUILLON_ENGINE_URL + "/p", body="<html>")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        ep._invoke_gpt_engine("/p")
    assert capsys.readouterr().out == ""


def test_transport_error_passes_through_silently(ep, wire, capsys):
    with pytest.raises(requests.exceptions.ConnectionError):
        ep._invoke_gpt_engine("/unregistered")
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


class Recorder:
    def __init__(self, result=None, exc=None):
        self.result, self.exc, self.calls = result, exc, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.exc is not None:
            raise self.exc
        return self.result


@pytest.mark.parametrize("verdict", [False, None, 0, ""])
def test_failed_token_check_logs_in_again(ep, service, monkeypatch, verdict):
    check, login = Recorder(verdict), Recorder(("new-tok", "beta"))
    monkeypatch.setattr(ep, "validate_token", check)
    monkeypatch.setattr(ep, "authenticate_credentials", login)
    service.post(ep.QUILLON_ENGINE_URL + "/p", json={"r": 1})
    assert ep._invoke_gpt_engine("/p") == {"r": 1}
    assert check.calls == [(("tok", "acme"), {})] and login.calls == [((), {})]
    assert (ep.auth_token, ep.tenant) == ("new-tok", "beta")
    [call] = service.calls
    assert call.request.headers["Authorization"] == "Bearer new-tok"
    assert call.request.url.startswith(ep.QUILLON_ENGINE_URL + "/p")
    assert "beta" not in call.request.url


@pytest.mark.parametrize("verdict", [True, 1, "yes"])
def test_truthy_token_check_keeps_token(ep, service, monkeypatch, verdict):
    login = Recorder(exc=AssertionError("no login expected"))
    monkeypatch.setattr(ep, "validate_token", Recorder(verdict))
    monkeypatch.setattr(ep, "authenticate_credentials", login)
    service.post(ep.QUILLON_ENGINE_URL + "/p", json={})
    ep._invoke_gpt_engine("/p")
    assert service.calls[0].request.headers["Authorization"] == "Bearer tok"
    assert (ep.auth_token, ep.tenant) == ("tok", "acme")


@pytest.mark.parametrize(
    "check, login, expected",
    [
        (Recorder(exc=RuntimeError("check broke")), Recorder(("x", "y")), RuntimeError),
        (Recorder(False), Recorder(exc=PermissionError("refused")), PermissionError),
        (Recorder(False), Recorder(("a", "b", "c")), ValueError),
        (Recorder(False), Recorder(("a",)), ValueError),
    ],
)
def test_token_check_or_login_failure_leaves_state(ep, service, monkeypatch, check, login, expected):
    monkeypatch.setattr(ep, "validate_token", check)
    monkeypatch.setattr(ep, "authenticate_credentials", login)
    with pytest.raises(expected):
        ep._invoke_gpt_engine("/p")
    assert (ep.auth_token, ep.tenant) == ("tok", "acme")
    assert len(service.calls) == 0


@pytest.mark.parametrize("token", [None, 5, b"tok"])
def test_non_text_token_cannot_build_header(ep, service, monkeypatch, token):
    monkeypatch.setattr(ep, "validate_token", Recorder(True))
    monkeypatch.setattr(ep, "auth_token", token)
    with pytest.raises(TypeError):
        ep._invoke_gpt_engine("/p")
    assert len(service.calls) == 0


# --- argument types ----------------------------------------------------------------


class Text(str):
    pass


class Mapping(dict):
    pass


@pytest.mark.parametrize(
    "args, kwargs, name, expected, got",
    [
        ((None,), {}, "path", "str", "NoneType"),
        ((b"/p",), {}, "path", "str", "bytes"),
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


def test_get_completion_none_prompt(ep, service):
    expect_type_error(lambda: ep.get_completion(None), "prompt", "str", "NoneType")
    assert len(service.calls) == 0


def test_invoke_completion_requires_both_arguments(ep, service):
    with pytest.raises(TypeError):
        ep._invoke_completion("text")
    assert len(service.calls) == 0


# --- completion calls --------------------------------------------------------------


def test_get_completion_sends_check_then_post(ep, wire):
    wire.post(ep.QUILLON_ENGINE_URL + "/get-completion", json={"completion": "print(1)"})
    assert ep.get_completion("text") == {"completion": "print(1)"}
    check, post = wire.calls
    assert (check.request.method, check.request.url) == ("GET", url("acme"))
    assert check.request.headers["Authorization"] == "Bearer tok"
    assert (post.request.method, post.request.url) == ("POST", ep.QUILLON_ENGINE_URL + "/get-completion")
    assert post.request.body == b'{"query": "text", "max_tokens": 1000}'
    assert post.request.headers["Authorization"] == "Bearer tok"


@pytest.mark.parametrize("prompt, max_tokens", [("text", 0), ("text", -5), ("", 7)])
def test_completion_values_sent_unchanged(ep, wire, prompt, max_tokens):
    wire.post(ep.QUILLON_ENGINE_URL + "/get-completion", json={"other": True})
    assert ep.get_completion(prompt=prompt, max_tokens=max_tokens) == {"other": True}
    assert json.loads(wire.calls[1].request.body) == {"query": prompt, "max_tokens": max_tokens}


def test_callees_looked_up_at_call_time(ep, monkeypatch):
    inner = Recorder("from-inner")
    monkeypatch.setattr(ep, "_invoke_completion", inner)
    assert ep.get_completion("p", 7) == "from-inner"
    assert ep.get_completion("q") == "from-inner"
    assert inner.calls == [((), {"prompt": "p", "max_tokens": 7}), ((), {"prompt": "q", "max_tokens": 1000})]

    monkeypatch.undo()
    engine = Recorder("from-engine")
    monkeypatch.setattr(ep, "_invoke_gpt_engine", engine)
    assert ep._invoke_completion("p", 7) == "from-engine"
    [(args, kwargs)] = engine.calls
    assert args == () and kwargs == {
        "path": "/get-completion",
        "body": {"query": "p", "max_tokens": 7},
        "data_as_json": True,
        "request_type": "POST",
    }
    assert list(kwargs["body"]) == ["query", "max_tokens"]


def test_self_recursion_raises_recursion_error(ep, monkeypatch):
    monkeypatch.setattr(ep, "_invoke_completion", ep.get_completion)
    with pytest.raises(RecursionError):
        ep.get_completion("loop")


# --- metadata ----------------------------------------------------------------------


def test_docstrings(ep):
    engine, inner, outer = ep._invoke_gpt_engine, ep._invoke_completion, ep.get_completion
    assert engine.__doc__ == (
        "\n    Invokes the Quillon Engine with the given path and body"
        "\n    Parameters"
        "\n        path(str): The path to invoke the engine with"
        "\n        streaming(bool): Whether to stream the response or not"
        "\n        files(Dict): The files to upload"
        "\n        body(Dict): The body to send"
        "\n        request_type(str): The type of request to send, defaults to POST"
        "\n    \n    Returns"
        "\n        The response from the engine\n    "
    )
    assert inner.__doc__ is None
    assert outer.__doc__ == (
        "\n    Get the completion for the given prompt"
        "\n    Parameters"
        "\n        prompt(str): The prompt to get the completion for"
        "\n        max_tokens(int): The maximum number of tokens to generate"
        "\n    \n    Returns"
        "\n        The completion for the given prompt\n    "
    )
    assert ep.Dict is typing.Dict and ep.HTTPError is requests.exceptions.HTTPError
    assert ep.validate_token is credgate.validate_token
    assert ep.authenticate_credentials is credgate.authenticate_credentials
