"""The local dev service, exercised the way the SDK reaches it: `requests`
through the CONNECT proxy, real TLS with the throw-away CA, on loopback."""

import concurrent.futures
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests

from devservice import DevService, complete
from devservice.completions import CODE

TENANT, EMAIL, PASSWORD = "acme", "ana@acme.test", "s3cret!"
GOOD = {"email": EMAIL, "password": PASSWORD}
ODD_TOKENS = ["plain-token", "a/b c", "q?x&y=z", "tok?api_key=tok", "ünï%41",
              "semi;colon,comma+plus"]


@pytest.fixture(scope="module")
def svc():
    with DevService(demo=True) as service:
        service.state.add_user(TENANT, EMAIL, PASSWORD)
        service.state.add_user("zürich", EMAIL, PASSWORD)
        for token in ODD_TOKENS:
            service.state.add_app_token(TENANT, token)
        yield service


@pytest.fixture
def http(svc):
    with svc.session() as session:
        yield session


def login(http, svc, tenant=TENANT, email=EMAIL, password=PASSWORD):
    return http.post(svc.url(tenant, "/auth/get_token"), headers={"content-type": "application/json"},
                     data=json.dumps({"email": email, "password": password}))


def bearer(token):
    return {"Authorization": "Bearer " + token}


# -- the four requests over the wire ------------------------------------------

@pytest.mark.parametrize("tenant, body, status", [
    (TENANT, GOOD, 200),
    ("ACME", GOOD, 200),                                    # host names are case-insensitive
    ("Zürich", GOOD, 200),                                  # and IDNA-encoded by the client
    (TENANT, dict(GOOD, password=PASSWORD + "x"), 401),
    (TENANT, dict(GOOD, email="nobody@acme.test"), 401),
    ("demo", GOOD, 401),                                    # a user belongs to one tenant
    ("unknown", GOOD, 401),
    *((TENANT, text, 400)
      for text in ["not json", "[]", '{"email": 1, "password": "x"}', '{"email": "a"}', ""]),
])
def test_login(svc, http, tenant, body, status):
    data = body if isinstance(body, str) else json.dumps(body)
    r = http.post(svc.url(tenant, "/auth/get_token"), data=data)
    assert r.status_code == status
    assert ("token" in r.json()) == (status == 200)


def test_token_check_and_expiry(svc, http):
    admin = svc.proxy_url + "/_admin/expire"
    token = login(http, svc).json()["token"]
    assert http.get(svc.url(TENANT), headers=bearer(token)).status_code == 200
    assert http.get(svc.url("demo"), headers=bearer(token)).status_code == 401
    assert http.get(svc.url(TENANT)).status_code == 401
    with requests.Session() as plain:
        plain.trust_env = False
        plain.post(admin, params={"tenant": "demo"}).raise_for_status()    # another tenant
        assert http.get(svc.url(TENANT), headers=bearer(token)).status_code == 200
        assert plain.post(admin, params={"tenant": TENANT}).json()["expired"] >= 1
        assert http.get(svc.url(TENANT), headers=bearer(token)).status_code == 401
        assert plain.get(admin).status_code == 404
        # A forward-proxy request for plain HTTP is not something this proxy does.
        assert plain.get("http://example.org/", proxies={"http": svc.proxy_url}).status_code == 403
    renewed = login(http, svc).json()["token"]
    assert renewed != token
    assert http.get(svc.url(TENANT), headers=bearer(renewed)).status_code == 200
    assert svc.state.expire_tokens(TENANT) >= 1
    assert http.get(svc.url(TENANT), headers=bearer(renewed)).status_code == 401


# The SDK builds the app-token URL with no escaping at all.
@pytest.mark.parametrize("tenant, path, status", [
    *((TENANT, f"/validate-app-token/{token}?api_key={token}", 200) for token in ODD_TOKENS),
    (TENANT, "/validate-app-token/unknown?api_key=unknown", 401),
    ("demo", "/validate-app-token/plain-token?api_key=plain-token", 401),   # another tenant's token
    (TENANT, "/validate-app-token/plain-token?api_key=other", 401),
    (TENANT, "/validate-app-token/plain-token", 401),
    (TENANT, "/validate-app-token/?api_key=", 401),
])
def test_app_token(svc, http, tenant, path, status):
    assert http.get(f"https://{tenant}.{svc.domain}" + path).status_code == status


@pytest.mark.parametrize("headers, body, status", [
    *((headers, b'{"query": "x", "max_tokens": 5}', 401)
      for headers in [{}, bearer("nope"), {"Authorization": "Basic abc"}, bearer("")]),
    *((None, body, 400) for body in [
        b"not json", b"[]", b'{"max_tokens": 10}', b'{"query": 5, "max_tokens": 10}',
        b'{"query": "x", "max_tokens": "10"}', b'{"query": "x", "max_tokens": true}',
        b'{"query": "x", "max_tokens": 0}']),
])
def test_completion_refused(svc, http, headers, body, status):
    if headers is None:     # a valid token
        headers = bearer(login(http, svc).json()["token"])
    r = http.post(svc.url(TENANT, "/get-completion"), headers=headers, data=body)
    assert r.status_code == status
    assert r.headers["Content-Type"].startswith("text/plain") and r.text


def test_forced_status_custom_completer_and_answer_delay(svc, http):
    token = login(http, svc).json()["token"]
    url, body = svc.url(TENANT, "/get-completion"), {"query": "anything", "max_tokens": 10}
    svc.state.force_status("/get-completion", 503, "engine busy")
    r = http.post(url, headers=bearer(token), json=body)
    assert (r.status_code, r.text) == (503, "engine busy")
    svc.state.completer = lambda query, max_tokens: f"`${{x}}` \\ {query} {max_tokens}"
    svc.state.answer_delay = 0.5
    try:
        started = time.monotonic()
        assert http.post(url, headers=bearer(token), json=body).json()["completion"] == \
            "`${x}` \\ anything 10"
        assert time.monotonic() - started >= 0.5
        assert http.get(svc.url(TENANT, "/"), headers=bearer(token)).elapsed.total_seconds() < 0.5
    finally:
        svc.state.completer, svc.state.answer_delay = complete, 0


def test_host_outside_domain(svc, http):
    with pytest.raises(requests.exceptions.ProxyError):
        http.get("https://example.org/")
    assert ("example.org:443", False) in svc.tunnels
    assert http.get(svc.url(TENANT), headers={"Host": "evil.example.org"}).status_code == 404
    assert http.get(svc.url(TENANT, "/nowhere")).status_code == 404
    assert http.delete(svc.url(TENANT, "/get-completion")).status_code == 405


def test_concurrent_clients(svc):
    def client(_):
        with svc.session() as session:
            token = login(session, svc).json()["token"]
            return session.post(svc.url(TENANT, "/get-completion"), headers=bearer(token),
                                json={"query": CODE + "Apply PCA", "max_tokens": 500}).status_code

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert list(pool.map(client, range(8), timeout=10)) == [200] * 8


# -- faults ---------------------------------------------------------------------

@pytest.mark.parametrize("fault, error", [
    ("bad-gateway", requests.exceptions.ProxyError),
    ("reset", requests.exceptions.ConnectionError),
    ("silent-tunnel", requests.exceptions.Timeout),
    ("untrusted", requests.exceptions.SSLError),
    ("hang-up", requests.exceptions.ConnectionError),
    ("silent", requests.exceptions.ReadTimeout),
    ("drip", requests.exceptions.ReadTimeout),
    ("cut-body", requests.exceptions.ChunkedEncodingError),
    ("garbage", requests.exceptions.ConnectionError),
])
def test_faults_hit_one_tenant_until_cleared(fault, error):
    with DevService(demo=True) as svc:
        svc.state.set_fault("demo", fault)
        with svc.session() as http, pytest.raises(error):
            # A slow handshake on a busy machine must not pass for a fault of the answer.
            http.post(svc.url("demo", "/auth/get_token"), timeout=(3, 1),
                      json={"email": "analyst@example.com", "password": "quillon-demo"}).json()
        with svc.session() as http:
            assert login(http, svc).status_code == 401        # another tenant is served as usual
        svc.state.set_fault("demo", None)
        with svc.session() as http:
            assert login(http, svc, "demo", "analyst@example.com", "quillon-demo").status_code == 200
        started = time.monotonic()
    assert time.monotonic() - started < 3                       # a held connection does not hold close()


def test_an_unknown_fault_is_refused(svc):
    with pytest.raises(ValueError, match="unknown fault 'slow'"):   # a misspelt fault would do nothing
        svc.state.set_fault("demo", "slow")


# -- forwarding, lifecycle ----------------------------------------------------

def test_forwarding_to_an_openai_compatible_endpoint():
    pytest.importorskip("openai")
    seen = []

    class FakeModel(BaseHTTPRequestHandler):
        def do_POST(self):
            seen.append(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
            out = json.dumps({"id": "1", "object": "chat.completion", "created": 0, "model": "tiny",
                              "choices": [{"index": 0, "finish_reason": "stop",
                                           "message": {"role": "assistant", "content": "print(42)"}}]})
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(out)))
            self.end_headers()
            self.wfile.write(out.encode())

        def log_message(self, *args):
            pass

    model = ThreadingHTTPServer(("127.0.0.1", 0), FakeModel)
    threading.Thread(target=model.serve_forever, daemon=True).start()
    try:
        with DevService(openai_base_url=f"http://127.0.0.1:{model.server_port}/v1",
                        openai_model="tiny") as svc, svc.session() as session:
            svc.state.add_user(TENANT, EMAIL, PASSWORD)
            token = login(session, svc).json()["token"]

            def ask():
                return session.post(svc.url(TENANT, "/get-completion"), headers=bearer(token),
                                    json={"query": "say 42", "max_tokens": 7})

            assert ask().json() == {"completion": "print(42)"}
            assert seen[0]["model"] == "tiny" and seen[0]["max_tokens"] == 7
            assert seen[0]["messages"][-1] == {"role": "user", "content": "say 42"}
            model.shutdown()
            model.server_close()        # the model is gone: connections to it are refused
            r = ask()
            assert r.status_code == 502
            assert r.text.startswith("Completion backend failed: APIConnectionError")
            assert session.get(svc.url(TENANT), headers=bearer(token)).status_code == 200
    finally:
        model.shutdown()
        model.server_close()


def test_close_releases_threads_and_ports():
    before = set(threading.enumerate())
    svc = DevService(demo=True, answer_delay=60).start()
    session, asking = svc.session(), concurrent.futures.ThreadPoolExecutor(1)
    token = login(session, svc, "demo", "analyst@example.com", "quillon-demo").json()["token"]  # a tunnel stays
    asked = asking.submit(svc.session().post, svc.url("demo", "/get-completion"), headers=bearer(token),
                          json={"query": "q", "max_tokens": 5})    # an answer still being waited for
    while not any(r.path == "/get-completion" for r in svc.state.requests):
        time.sleep(0.01)
    port, ca_path = int(svc.proxy_url.rsplit(":", 1)[1]), svc.ca_path
    started = time.monotonic()
    svc.close()
    assert time.monotonic() - started < 2
    asked.exception(timeout=5)    # answered or cut off, but over
    asking.shutdown()
    assert [t for t in threading.enumerate() if t not in before] == []
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
    assert not os.path.exists(ca_path)
    session.close()


def test_command_line_serves_until_sigterm(tmp_path):
    """The README's manual steps: the printed exports reach the service, `expire` from
    another shell expires its tokens, SIGTERM stops it and takes its info file away."""
    run = [sys.executable, "-m", "devservice"]
    proc = subprocess.Popen(run + ["--state-dir", str(tmp_path), "--no-demo", "--quiet",
                                   "--user", "t1:u@t1.test:pw:with:colons"], stdout=subprocess.PIPE, text=True)
    try:
        printed = [proc.stdout.readline() for _ in range(6)]
        exports = dict(line[len("export "):].strip().split("=", 1) for line in printed
                       if line.startswith("export "))
        with requests.Session() as session:
            session.trust_env, session.proxies = False, {"https": exports["HTTPS_PROXY"]}
            session.verify = exports["REQUESTS_CA_BUNDLE"]
            token = session.post("https://t1.quillon.example/auth/get_token",
                                 json={"email": "u@t1.test", "password": "pw:with:colons"}).json()["token"]
            expired = subprocess.run(run + ["expire", "--state-dir", str(tmp_path)], capture_output=True,
                                     text=True, timeout=15)
            assert expired.stdout == "1 token(s) expired\n"
            assert session.get("https://t1.quillon.example/", headers=bearer(token)).status_code == 401
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
        assert not (tmp_path / "service.json").exists()
    finally:
        proc.kill()
        proc.stdout.close()
