"""The four requests against a misbehaving network, all on loopback.

A small CONNECT proxy on 127.0.0.1 (tests/_tunnel.py) stands between the SDK and "the
service": requests reaches it through HTTPS_PROXY, and the proxy picks its misbehaviour from
the tenant label of the host it is asked to tunnel to (so cases can run side by side).
Behind the tunnel it speaks TLS itself, with a certificate from a CA that REQUESTS_CA_BUNDLE
trusts, or from one that nobody trusts. Names other than IP literals never reach a resolver.
"""
import socket
import sys
import threading
import time

import pytest
import requests

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
from _notebook import nb  # noqa: F401  (fixture)
from _tunnel import certificates, proxy  # noqa: F401  (fixtures)
from conftest import LOGIN_ERROR, TOKEN_ERROR

TIMEOUT = 20.0  # what the login, token check and app-token check wait
PROXY_VARIABLES = ["HTTPS_PROXY", "HTTP_PROXY", "ALL_PROXY", "NO_PROXY", "CURL_CA_BUNDLE", "REQUESTS_CA_BUNDLE"]
TRIED = []

APP_INVALID = "Provided token is invalid. Please provide a valid token"
APP_TIMED_OUT = "Exception Occurred:  no complete answer from the service within 20.0 seconds"


@pytest.fixture
def net(nb, certificates, monkeypatch):
    """No proxy, no resolver, the CA bundle trusted, and every printed line recorded per thread."""
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
        monkeypatch.delenv(name.lower(), raising=False)
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", certificates[0])
    real_getaddrinfo = socket.getaddrinfo

    def loopback_only(host, *args, **kwargs):
        try:
            socket.inet_pton(socket.AF_INET, host)
        except (OSError, TypeError):
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known") from None
        return real_getaddrinfo(host, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", loopback_only)
    printed = {}
    lock = threading.Lock()

    def record(*args, sep=" ", end="\n", file=None, flush=False):
        with lock:
            printed.setdefault(threading.current_thread().name, []).append(sep.join(map(str, args)))

    endpoints = sys.modules["quillon.velto_gpt_sdk.endpoints"]
    for module in (credgate, authentication, endpoints):
        monkeypatch.setattr(module, "print", record, raising=False)
    monkeypatch.setattr(endpoints, "validate_token", lambda token, tenant: True)
    monkeypatch.setattr(endpoints, "auth_token", "tok")
    monkeypatch.setattr(endpoints, "QUILLON_ENGINE_URL", endpoints.QUILLON_ENGINE_URL)  # rebound by cases
    return printed, endpoints, monkeypatch


def calls(endpoints, tenant):
    engine_url = f"https://{tenant}.quillon.example"

    def engine():
        endpoints.QUILLON_ENGINE_URL = engine_url
        return endpoints._invoke_gpt_engine("/get-completion", body={"query": "q", "max_tokens": 5})

    return {
        "token check": lambda: credgate.validate_token("tok", tenant),
        "login": lambda: credgate._validate_credentials("ada@example.org", "pw", tenant),
        "app-token check": lambda: authentication._validate_secret("s3cr3t", tenant),
        "engine": engine,
    }


def start(name, call):
    """Runs `call` on a thread of its own; every case must end by itself."""
    box = {}

    def run():
        started = time.monotonic()
        try:
            box["result"] = ("returned", call())
        except Exception as err:
            box["result"] = ("raised", err)
        box["took"] = time.monotonic() - started

    thread = threading.Thread(target=run, name=name, daemon=True)
    thread.start()
    return thread, box


def finish(thread, box, deadline):
    thread.join(deadline)
    assert not thread.is_alive(), f"{thread.name} still running after {deadline} s"
    return box["result"]


def expect_failure(what, result, lines, timed_out=False):
    kind, value = result
    if what == "token check":
        assert (result, lines) == (("returned", False), [TOKEN_ERROR])
    elif what == "login":
        assert (result, lines) == (("returned", (False, None)), [LOGIN_ERROR])
    elif what == "app-token check" and timed_out:
        assert (result, lines) == (("returned", False), [APP_TIMED_OUT, APP_INVALID])
    elif what == "app-token check":
        assert result == ("returned", False) and len(lines) == 2, (result, lines)
        assert lines[0].startswith("Exception Occurred:  ") and len(lines[0]) > 21 and lines[1] == APP_INVALID
    else:  # the engine request lets the library's exception through, printing nothing
        assert kind == "raised" and isinstance(value, requests.exceptions.RequestException), result
        assert lines == []


ANSWERED = {  # tenant label -> what each call gives when the service does answer
    "answers": {"token check": (("returned", True), []),
                "login": (("returned", (True, "t")), []),
                "app-token check": (("returned", True), []),
                "engine": (("returned", {"token": "t", "completion": "x = 1"}), [])},
    "not-json": {"token check": (("returned", True), []),
                 "login": (("returned", (False, None)), [LOGIN_ERROR]),
                 "app-token check": (("returned", True), []),
                 "engine": "json"},
}


@pytest.mark.parametrize("fault", ["answers", "not-json", "cut-body", "hang-up", "garbage", "untrusted",
                                   "bad-gateway", "refused", "unresolvable"])
def test_fault(net, proxy, fault):
    printed, endpoints, monkeypatch = net
    if fault == "refused":
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
        closed.close()
        monkeypatch.setenv("HTTPS_PROXY", f"http://127.0.0.1:{port}")
    elif fault != "unresolvable":  # that one goes straight to a name no resolver is asked for
        monkeypatch.setenv("HTTPS_PROXY", f"http://127.0.0.1:{proxy.server_address[1]}")
    tenant = "acme" if fault in ("refused", "unresolvable") else fault
    for what, call in calls(endpoints, tenant).items():
        TRIED.append((fault, what))
        result = finish(*start(f"{fault}/{what}", call), deadline=30)
        lines = printed.get(f"{fault}/{what}", [])
        expected = ANSWERED.get(fault, {}).get(what)
        if expected == "json":
            assert result[0] == "raised" and isinstance(result[1], requests.exceptions.JSONDecodeError)
            assert lines == []
        elif expected is not None:
            assert (result, lines) == expected
        else:
            expect_failure(what, result, lines)
        if (fault, what) == ("refused", "app-token check"):  # urllib3's own words, its class names included
            assert "NewConnectionError(\"HTTPSConnection(host='127.0.0.1', port=" in lines[0], lines
    if fault in ("refused", "unresolvable"):
        assert proxy.connects == []
    else:
        assert {c.rsplit(" ", 1)[0] for c in proxy.connects} == {f"CONNECT {tenant}.quillon.example:443"}


def nothing_of_ours_left():
    """A request given up at its deadline has ended, and so has its timer: the SDK runs
    no thread of its own beyond that, at most a moment later."""
    waited = time.monotonic() + 1
    while [t for t in threading.enumerate() if t.name.startswith("quillon")] and time.monotonic() < waited:
        time.sleep(0.01)
    assert [t.name for t in threading.enumerate() if t.name.startswith("quillon")] == []


@pytest.mark.slow
def test_silent_service(net, proxy):
    """The three login-side requests give up after their time-out, side by side, so the case
    takes one time-out, not six; the engine request has none and waits until the line drops."""
    printed, endpoints, monkeypatch = net
    monkeypatch.setenv("HTTPS_PROXY", f"http://127.0.0.1:{proxy.server_address[1]}")
    engines, others = {}, {}
    for tenant in ("silent-tunnel", "silent-server"):
        for what, call in calls(endpoints, tenant).items():
            if what == "engine":  # started one by one below: they share the engine's base URL
                continue
            TRIED.append((tenant, what))
            others[f"{tenant}/{what}"] = start(f"{tenant}/{what}", call)
    for tenant in ("silent-tunnel", "silent-server"):
        TRIED.append((tenant, "engine"))
        name = f"{tenant}/engine"
        endpoints.QUILLON_ENGINE_URL = f"https://{tenant}.quillon.example"
        engines[name] = start(name, lambda: endpoints._invoke_gpt_engine("/get-completion", body={}))
        waited = time.monotonic() + 10
        while len([c for c in proxy.connects if tenant in c]) < 4 and time.monotonic() < waited:
            time.sleep(0.01)  # until its request is on the line
    began = time.monotonic()
    for name, (thread, box) in others.items():
        result = finish(thread, box, deadline=TIMEOUT + 15)
        assert TIMEOUT - 1 <= box["took"] <= TIMEOUT + 10, (name, box["took"])
        expect_failure(name.split("/")[1], result, printed.get(name, []), timed_out=True)
    assert time.monotonic() - began < TIMEOUT + 15
    nothing_of_ours_left()
    assert all(thread.is_alive() for thread, _ in engines.values())  # no time-out of its own
    proxy.release.set()  # the proxy hangs up
    for name, (thread, box) in engines.items():
        expect_failure("engine", finish(thread, box, deadline=15), printed.get(name, []))


@pytest.mark.slow
def test_dripping_service_is_given_up_at_the_deadline(net, proxy):
    """Every read gets a byte well within the per-read time-out, so only a deadline for
    the whole request ends the three login-side requests, side by side."""
    printed, endpoints, monkeypatch = net
    monkeypatch.setenv("HTTPS_PROXY", f"http://127.0.0.1:{proxy.server_address[1]}")
    running = {}
    for what, call in calls(endpoints, "drip").items():
        if what != "engine":  # no time limit there, by design
            TRIED.append(("drip", what))
            running[what] = start(f"drip/{what}", call)
    for what, (thread, box) in running.items():
        result = finish(thread, box, deadline=TIMEOUT + 15)
        assert TIMEOUT - 1 <= box["took"] <= TIMEOUT + 5, (what, box["took"])
        expect_failure(what, result, printed.get(f"drip/{what}", []), timed_out=True)
    nothing_of_ours_left()


def summary():
    faults = sorted({fault for fault, _ in TRIED})
    return TRIED and f"network faults: {len(faults)} faults x requests = {len(TRIED)} tried ({', '.join(faults)})"
