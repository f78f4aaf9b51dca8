"""DevService: the local stand-in for the hosted service, in one object. It listens on one
loopback port as an HTTP CONNECT proxy. A CONNECT to <tenant>.<domain>:443 goes nowhere: the
proxy answers 200, then speaks TLS itself, with a certificate for *.<domain> from a throw-away CA,
and serves the requests from `ServiceState`. So a client with HTTPS_PROXY and REQUESTS_CA_BUNDLE
from `env` reaches https://<tenant>.<domain> unchanged. One thread per connection; `close()`
stops accepting, cuts every open connection and joins the threads: nothing is left running."""

import contextlib
import http.server
import json
import logging
import os
import shutil
import socket
import socketserver
import ssl
import struct
import sys
import tempfile
import threading
import time
from collections import deque
from typing import Optional
from urllib.parse import parse_qs, urlsplit

import trustme

from .completions import Completer, openai_completer
from .state import ServiceState

DEFAULT_DOMAIN = "quillon.example"
DEMO_TENANT = "demo"
DEMO_EMAIL = "analyst@example.com"
DEMO_PASSWORD = "quillon-demo"
DEMO_APP_TOKEN = "demo-app-token"
DEFAULT_OPENAI_MODEL = "gpt-4o-mini"
IDLE_TIMEOUT = 60.0        # seconds a keep-alive connection may idle, and a held fault lasts
HANDSHAKE_TIMEOUT = 10.0
MAX_BODY = 8 * 1024 * 1024
log = logging.getLogger("devservice")


class _ServiceHandler(http.server.BaseHTTPRequestHandler):
    """The requests inside one tunnel, after the TLS handshake."""

    protocol_version = "HTTP/1.1"
    timeout = IDLE_TIMEOUT

    def _serve(self) -> None:
        state, host = self.server.svc.state, self.headers.get("Host", "")
        length = self.headers.get("Content-Length") or "0"
        # The SDK sends every body with a Content-Length; a chunked one is refused, not decoded.
        if "Transfer-Encoding" in self.headers or not length.isdecimal() or int(length) > MAX_BODY:
            self.close_connection = True
            return self._send(400, {"Content-Type": "text/plain; charset=utf-8", "Connection": "close"}, b"Bad body")
        # `requests` leaves Nagle's algorithm on through a proxy, so it holds the body back
        # until the headers are acknowledged: acknowledge now, not after the delayed-ACK wait.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        body = self.rfile.read(int(length))
        response = state.handle(self.command, host, self.path, self.headers.items(), body)
        self._send(response.status, {"Content-Type": response.content_type, **response.headers},
                   response.body, state.faults.get(state.tenant_for_host(host)))

    def _send(self, status: int, headers: dict, body: bytes, fault: Optional[str] = None) -> None:
        self.log_request(status)
        head = f"HTTP/1.1 {status} {self.responses.get(status, ('',))[0]}\r\n" + "".join(
            f"{k}: {v}\r\n" for k, v in dict(headers, **{"Content-Length": len(body)}).items())
        raw = head.encode("latin-1") + b"\r\n" + (body if self.command != "HEAD" else b"")
        if fault is None:
            return self.wfile.write(raw)
        self.close_connection = True
        if fault == "silent":
            self.server.closing.wait(IDLE_TIMEOUT)
        elif fault in ("garbage", "cut-body"):
            self.wfile.write(b"\x00\x01 no HTTP\r\n\r\n" if fault == "garbage" else raw[: -len(body) // 2 - 1])
        elif fault in ("drip", "trickle"):  # a trickle of 1 MB, a byte every 20 ms, is as good as endless
            data = raw if fault == "drip" else b"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + b"x" * 10**6
            for i in range(len(data)):
                self.wfile.write(data[i:i + 1])
                if self.server.closing.wait(2 if fault == "drip" else 0.02):
                    return

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _serve

    def log_message(self, format, *args):
        log.info("%s %s", self.headers.get("Host", "-") if hasattr(self, "headers") else "-", format % args)


class _ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = IDLE_TIMEOUT
    rbufsize = 0  # unbuffered: the TLS handshake after CONNECT must not end up in a read buffer

    def do_CONNECT(self):
        host, _, port = self.path.rpartition(":")
        name, state, server = host.strip("[]").lower().rstrip("."), self.server.svc.state, self.server
        allowed = port == "443" and (name == state.domain or name.endswith("." + state.domain))
        server.tunnels.append((self.path, allowed))
        self.close_connection = True
        fault = state.faults.get(state.tenant_for_host(name))
        if not allowed or fault == "bad-gateway":
            return self._reply(502 if allowed else 403, f"This proxy only tunnels to *.{state.domain}:443\n")
        self.send_response(200, "Connection established")
        self.end_headers()
        if fault == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return self.connection.close()
        if fault == "silent-tunnel":
            return server.closing.wait(IDLE_TIMEOUT)
        self.connection.settimeout(HANDSHAKE_TIMEOUT)
        with server.contexts[fault == "untrusted"].wrap_socket(self.connection, server_side=True) as tls, \
                server.tracked(tls):
            _ServiceHandler(tls, self.client_address, server)

    def _reply(self, status: int, value) -> None:
        """Answer with text or JSON, and close: neither a refused tunnel nor the admin keeps the line."""
        body, text = (value if isinstance(value, str) else json.dumps(value)).encode(), isinstance(value, str)
        self.send_response(status)
        self.send_header("Connection", "close")
        self.send_header("Content-Type", "text/plain; charset=utf-8" if text else "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _admin(self):
        """POST /_admin/expire[?tenant=T] expires tokens, for a service in another process."""
        url, state = urlsplit(self.path), self.server.svc.state
        if url.scheme or not url.path.startswith("/_admin/"):
            return self._reply(403, f"This proxy only tunnels to *.{state.domain}:443\n")
        if (self.command, url.path) != ("POST", "/_admin/expire"):
            return self._reply(404, {"error": f"no admin action {self.command} {url.path}"})
        self._reply(200, {"expired": state.expire_tokens((parse_qs(url.query).get("tenant") or [None])[0])})

    do_GET = do_POST = do_PUT = do_DELETE = _admin

    def log_message(self, format, *args):
        log.debug("proxy: " + format, *args)


class _ProxyServer(socketserver.ThreadingTCPServer):
    daemon_threads = True       # never holding up exit; close() joins them itself
    request_queue_size = 64     # a test may open dozens of connections at once
    allow_reuse_address = True

    def __init__(self, svc: "DevService", contexts: list[ssl.SSLContext], address: tuple[str, int]):
        self.svc, self.contexts = svc, contexts     # the trusted certificate, then the untrusted one
        self.tunnels: deque[tuple[str, bool]] = deque(maxlen=1000)  # CONNECT targets, and if tunnelled
        self.closing = svc.state.closing
        self.closing.clear()
        self._open: set[socket.socket] = set()
        self._workers: set[threading.Thread] = set()
        self._guard = threading.Lock()
        super().__init__(address, _ProxyHandler)
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1}, name="devservice-accept",
                         daemon=True).start()

    @contextlib.contextmanager
    def tracked(self, sock: socket.socket):
        """Keep an open connection where close() can cut it; refuse it once closing."""
        with self._guard:
            if self.closing.is_set():
                raise ConnectionAbortedError("the dev service is closing")
            self._open.add(sock)
        try:
            yield
        finally:
            with self._guard:
                self._open.discard(sock)

    def process_request(self, request, client_address):
        # socketserver joins only threads that are not daemons: keep ours to join in close().
        worker = threading.Thread(target=self.process_request_thread, args=(request, client_address), daemon=True)
        with self._guard:
            self._workers = {w for w in self._workers if w.is_alive()} | {worker}
        worker.start()

    def finish_request(self, request, client_address):
        with self.tracked(request):
            super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        # A client that went away or spoke no HTTP or TLS is no news.
        quiet = self.closing.is_set() or isinstance(sys.exc_info()[1], (OSError, ValueError))
        log.log(logging.DEBUG if quiet else logging.ERROR, "connection ended", exc_info=not quiet)

    def close(self) -> None:
        with self._guard:
            self.closing.set()
            conns = list(self._open)
        self.shutdown()
        for sock in conns:      # the plain socket's shutdown, for TLS sockets too: it only wakes the reader
            with contextlib.suppress(OSError):
                socket.socket.shutdown(sock, socket.SHUT_RDWR)
        self.server_close()
        deadline = time.monotonic() + 1.5
        for worker in self._workers:
            worker.join(max(0.0, deadline - time.monotonic()))


class DevService:
    def __init__(self, domain: str = DEFAULT_DOMAIN, *, state_dir: Optional[str] = None,
                 demo: bool = False, token_ttl: Optional[float] = None,
                 completer: Optional[Completer] = None, openai_base_url: Optional[str] = None,
                 openai_model: str = DEFAULT_OPENAI_MODEL, openai_api_key: Optional[str] = None,
                 proxy_port: int = 0, host: str = "127.0.0.1", answer_delay: float = 0.0):
        self.domain = domain.lower().strip(".")
        if not self.domain or "/" in self.domain or ":" in self.domain:
            raise ValueError(f"not a host-name suffix: {domain!r}")
        self._forwarder = None
        if openai_base_url and completer is None:
            self._forwarder = completer = openai_completer(openai_base_url, openai_model, openai_api_key)
        self.state = ServiceState(self.domain, token_ttl=token_ttl, completer=completer, answer_delay=answer_delay)
        if demo:
            self.state.add_user(DEMO_TENANT, DEMO_EMAIL, DEMO_PASSWORD)
            self.state.add_app_token(DEMO_TENANT, DEMO_APP_TOKEN)
        self._state_dir, self._tmp_dir, self._address = state_dir, None, (host, proxy_port)
        self._proxy: Optional[_ProxyServer] = None
        self.ca_path: Optional[str] = None

    def start(self) -> "DevService":
        if self._proxy is not None:
            return self
        try:
            self._tmp_dir = None if self._state_dir else tempfile.mkdtemp(prefix="quillon-devservice-")
            os.makedirs(self._state_dir or self._tmp_dir, exist_ok=True)
            trusted, stranger = trustme.CA(organization_name="quillon dev service"), trustme.CA()
            contexts = [ssl.create_default_context(ssl.Purpose.CLIENT_AUTH) for _ in (trusted, stranger)]
            for ca, context in zip((trusted, stranger), contexts):
                ca.issue_cert("*." + self.domain, self.domain).configure_cert(context)
            self.ca_path = os.path.join(self._state_dir or self._tmp_dir, "ca.pem")
            trusted.cert_pem.write_to_path(self.ca_path)
            self._proxy = _ProxyServer(self, contexts, self._address)
        except BaseException:
            self.close()
            raise
        return self

    def close(self) -> None:
        for part in (self._proxy, self._forwarder):
            if part is not None:
                part.close()
        self._proxy = self._forwarder = None
        if self._tmp_dir is not None:
            shutil.rmtree(self._tmp_dir, ignore_errors=True)
            self._tmp_dir = None

    def __enter__(self) -> "DevService":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def proxy_url(self) -> str:
        if self._proxy is None:
            raise RuntimeError("the dev service is not running")
        return f"http://{self._address[0]}:{self._proxy.server_address[1]}"

    @property
    def env(self) -> dict[str, str]:
        """A client's environment: both spellings of the proxy variables, no proxy exemptions."""
        return {"HTTPS_PROXY": self.proxy_url, "https_proxy": self.proxy_url,
                "REQUESTS_CA_BUNDLE": self.ca_path, "NO_PROXY": "", "no_proxy": ""}

    def url(self, tenant: str, path: str = "/") -> str:
        return f"https://{tenant}.{self.domain}{path}"

    def session(self):
        """A requests.Session wired to this service, ignoring the process environment."""
        import requests

        session = requests.Session()
        session.trust_env, session.proxies, session.verify = False, {"https": self.proxy_url}, self.ca_path
        return session

    @property
    def tunnels(self) -> list[tuple[str, bool]]:
        """CONNECT targets the proxy saw, with whether it tunnelled them."""
        return list(self._proxy.tunnels) if self._proxy else []
