"""The four requests against a misbehaving network, all on loopback: the stand-in service's
CONNECT proxy plays "the service", each tenant misbehaving as the fault it is named after, so
cases can run side by side. Names other than IP literals never reach a resolver."""
import socket
import sys
import threading
import time

import pytest
import requests

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
from _notebook import nb  # noqa: F401  (fixture)
from conftest import LOGIN_ERROR, TOKEN_ERROR
from devservice import FAULTS, DevService
from devservice.state import ROUTES

TIMEOUT = 20.0  # what the login, token check and app-token check wait
PROXY_VARIABLES = ["HTTPS_PROXY", "HTTP_PROXY", "ALL_PROXY", "NO_PROXY", "CURL_CA_BUNDLE", "REQUESTS_CA_BUNDLE"]
TRIED = []

APP_INVALID = "Provided token is invalid. Please provide a valid token"
APP_TIMED_OUT = "Exception Occurred:  no complete answer from the service within 20.0 seconds"


@pytest.fixture
def svc():
    """The stand-in: every tenant knows the user, the app token and a token of its own."""
    with DevService(completer=lambda query, max_tokens: "x = 1") as service:
        for tenant in ("answers", "not-json", *FAULTS):
            service.state.set_fault(tenant, tenant if tenant in FAULTS else None)
            service.state.add_user(tenant, "ada@example.org", "pw")
            service.state.add_app_token(tenant, "s3cr3t")
        yield service


@pytest.fixture
def net(nb, svc, monkeypatch):
    """No proxy, no resolver, the stand-in's CA trusted, and every printed line recorded per thread."""
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
        monkeypatch.delenv(name.lower(), raising=False)
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", svc.ca_path)
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


def calls(endpoints, tenant, token="tok"):
    engine_url = f"https://{tenant}.quillon.example"

    def engine():
        endpoints.QUILLON_ENGINE_URL, endpoints.auth_token = engine_url, token
        return endpoints._invoke_gpt_engine("/get-completion", body={"query": "q", "max_tokens": 5})

    return {
        "token check": lambda: credgate.validate_token(token, tenant),
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
                "login": (("returned", (True, "a token")), []),
                "app-token check": (("returned", True), []),
                "engine": (("returned", {"completion": "x = 1"}), [])},
    "not-json": {"token check": (("returned", True), []),
                 "login": (("returned", (False, None)), [LOGIN_ERROR]),
                 "app-token check": (("returned", True), []),
                 "engine": "json"},
}


@pytest.mark.parametrize("fault", ["answers", "not-json", "cut-body", "hang-up", "garbage", "untrusted",
                                   "bad-gateway", "reset", "refused", "unresolvable"])
def test_fault(net, svc, fault):
    printed, endpoints, monkeypatch = net
    if fault == "refused":
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
        closed.close()
        monkeypatch.setenv("HTTPS_PROXY", f"http://127.0.0.1:{port}")
    elif fault != "unresolvable":  # that one goes straight to a name no resolver is asked for
        monkeypatch.setenv("HTTPS_PROXY", svc.proxy_url)
    if fault == "not-json":
        for path in ROUTES:
            svc.state.force_status(path, 200, "not json!")
    tenant = "acme" if fault in ("refused", "unresolvable") else fault
    for what, call in calls(endpoints, tenant, svc.state.issue_token(tenant)).items():
        TRIED.append((fault, what))
        result = finish(*start(f"{fault}/{what}", call), deadline=30)
        lines = printed.get(f"{fault}/{what}", [])
        expected = ANSWERED.get(fault, {}).get(what)
        if expected == "json":
            assert result[0] == "raised" and isinstance(result[1], requests.exceptions.JSONDecodeError)
            assert lines == []
        elif expected is not None:
            if (fault, what) == ("answers", "login") and svc.state.token_valid(tenant, str(result[1][-1])):
                result = ("returned", (result[1][0], "a token"))  # a fresh one, issued by the service
            assert (result, lines) == expected
        else:
            expect_failure(what, result, lines)
        if (fault, what) == ("refused", "app-token check"):  # urllib3's own words, its class names included
            assert "NewConnectionError(\"HTTPSConnection(host='127.0.0.1', port=" in lines[0], lines
    if fault in ("refused", "unresolvable"):
        assert svc.tunnels == []
    else:
        assert set(svc.tunnels) == {(f"{tenant}.quillon.example:443", True)}


@pytest.mark.slow
def test_silent_and_dripping_services(net, svc):
    """The login-side requests give up at their deadline, side by side, whether no byte comes
    or every read gets one in time; the engine request has none and waits for the line to drop."""
    printed, endpoints, monkeypatch = net
    monkeypatch.setenv("HTTPS_PROXY", svc.proxy_url)
    login_side, engines = {}, {}
    for tenant in ("silent-tunnel", "silent", "drip"):
        for what, call in calls(endpoints, tenant).items():
            if what != "engine":  # started one by one below: they share the engine's base URL
                TRIED.append((tenant, what))
                login_side[f"{tenant}/{what}"] = start(f"{tenant}/{what}", call)
    for tenant in ("silent-tunnel", "silent"):
        TRIED.append((tenant, "engine"))
        name = f"{tenant}/engine"
        endpoints.QUILLON_ENGINE_URL = f"https://{tenant}.quillon.example"
        engines[name] = start(name, lambda: endpoints._invoke_gpt_engine("/get-completion", body={}))
        waited = time.monotonic() + 10
        while len([t for t, _ in svc.tunnels if t.startswith(tenant + ".")]) < 4 and time.monotonic() < waited:
            time.sleep(0.01)  # until its request is on the line
    began = time.monotonic()
    for name, (thread, box) in login_side.items():
        result = finish(thread, box, deadline=TIMEOUT + 15)
        late = 5 if name.startswith("drip/") else 10
        assert TIMEOUT - 1 <= box["took"] <= TIMEOUT + late, (name, box["took"])
        expect_failure(name.split("/")[1], result, printed.get(name, []), timed_out=True)
    assert time.monotonic() - began < TIMEOUT + 15
    for _ in range(100):  # a request given up has ended, and its timer with it, a moment later
        ours = [t.name for t in threading.enumerate() if t.name.startswith("quillon")]
        if not ours:
            break
        time.sleep(0.01)
    assert ours == []
    assert all(thread.is_alive() for thread, _ in engines.values())  # no time-out of its own
    svc.close()  # the service hangs up
    for name, (thread, box) in engines.items():
        expect_failure("engine", finish(thread, box, deadline=15), printed.get(name, []))


def summary():
    faults = sorted({fault for fault, _ in TRIED})
    return TRIED and f"network faults: {len(faults)} faults x requests = {len(TRIED)} tried ({', '.join(faults)})"
