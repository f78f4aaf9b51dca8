"""The two listening sockets: the TLS server answering for *.domain, and the
HTTP CONNECT proxy that lets an unchanged client reach it by name.

Both are threaded, with one daemon thread per connection; `close()` stops
accepting, cuts every open connection and joins the threads, so nothing is
left running or open.
"""

from __future__ import annotations

import http.server
import json
import logging
import selectors
import socket
import socketserver
import ssl
import threading
import time
from collections import deque
from typing import Callable, Optional
from urllib.parse import parse_qs, urlsplit

from .state import ServiceState

log = logging.getLogger("devservice")

IDLE_TIMEOUT = 60.0        # seconds a keep-alive connection or a quiet tunnel may idle
HANDSHAKE_TIMEOUT = 10.0
MAX_BODY = 8 * 1024 * 1024
_QUIET = (ConnectionError, ssl.SSLError, socket.timeout, TimeoutError, ValueError, OSError)


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """A threading HTTP server that knows its connections and threads."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, handler, *, name: str, ssl_context: Optional[ssl.SSLContext] = None,
                 **attrs):
        self._ssl_context = ssl_context
        self._name = name
        self._open: set[socket.socket] = set()
        self._workers: set[threading.Thread] = set()
        self._guard = threading.Lock()
        self._closing = False
        for key, value in attrs.items():
            setattr(self, key, value)
        super().__init__(address, handler)
        self._serve_thread = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1},
                                              name=f"{name}-accept", daemon=True)

    def server_bind(self):
        # HTTPServer.server_bind would look up the host's FQDN, which can
        # stall for seconds on a machine without working reverse DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def port(self) -> int:
        return self.server_address[1]

    def start(self) -> None:
        self._serve_thread.start()

    def track(self, sock: socket.socket) -> bool:
        with self._guard:
            if self._closing:
                return False
            self._open.add(sock)
            return True

    def untrack(self, sock: socket.socket) -> None:
        with self._guard:
            self._open.discard(sock)

    def process_request(self, request, client_address):
        thread = threading.Thread(target=self._work, args=(request, client_address),
                                  name=f"{self._name}-conn", daemon=True)
        with self._guard:
            if self._closing:
                self.shutdown_request(request)
                return
            self._workers.add(thread)
        thread.start()

    def _work(self, request, client_address):
        conn = request
        try:
            if not self.track(request):
                return
            # Headers and body leave in separate writes; without this, Nagle's
            # algorithm and delayed ACKs stall every answer by some 40 ms.
            request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self._ssl_context is not None:
                request.settimeout(HANDSHAKE_TIMEOUT)
                conn = self._ssl_context.wrap_socket(request, server_side=True)
                self.untrack(request)
                if not self.track(conn):
                    return
            self.finish_request(conn, client_address)
        except Exception as err:
            self._report(err)
        finally:
            self.untrack(request)
            self.untrack(conn)
            self.shutdown_request(conn)
            with self._guard:
                self._workers.discard(threading.current_thread())

    def handle_error(self, request, client_address):  # called by the base class only
        pass

    def _report(self, err: BaseException) -> None:
        if self._closing or isinstance(err, _QUIET):
            log.debug("%s: connection ended: %r", self._name, err)
        else:
            log.exception("%s: connection failed", self._name)

    def close(self, timeout: float = 5.0) -> None:
        with self._guard:
            if self._closing:
                return
            self._closing = True
            conns = list(self._open)
        if self._serve_thread.is_alive():
            self.shutdown()
            self._serve_thread.join(timeout)
        self.server_close()
        for sock in conns:
            try:
                # The plain socket's shutdown, also for TLS sockets: it only
                # wakes the reader, whichever thread that is.
                socket.socket.shutdown(sock, socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + timeout
        with self._guard:
            workers = list(self._workers)
        for thread in workers:
            thread.join(max(0.0, deadline - time.monotonic()))


class _ServiceHandler(http.server.BaseHTTPRequestHandler):
    """Moves one request between the socket and ServiceState.handle."""

    protocol_version = "HTTP/1.1"
    server_version = "quillon-devservice"
    sys_version = ""
    timeout = IDLE_TIMEOUT
    server: _Server

    def _read_body(self) -> Optional[bytes]:
        # The SDK sends every body with a Content-Length; a chunked one is
        # refused rather than decoded.
        if "Transfer-Encoding" in self.headers:
            return None
        length = int(self.headers.get("Content-Length") or 0)
        if length > MAX_BODY:
            return None
        return self.rfile.read(length) if length > 0 else b""

    def _serve(self) -> None:
        try:
            body = self._read_body()
        except ValueError:
            body = None
        if body is None:
            self.close_connection = True
            self._send(400, b"Bad request body", "text/plain; charset=utf-8", {})
            return
        state: ServiceState = self.server.state
        response = state.handle(self.command, self.headers.get("Host", ""), self.path,
                                self.headers.items(), body)
        self._send(response.status, response.body, response.content_type, response.headers)

    def _send(self, status: int, body: bytes, content_type: str, headers: dict) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for key, value in headers.items():
            self.send_header(key, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _serve

    def log_message(self, format, *args):
        log.info("%s %s", self.headers.get("Host", "-") if hasattr(self, "headers") else "-",
                 format % args)


class TLSServer(_Server):
    def __init__(self, state: ServiceState, ssl_context: ssl.SSLContext, host: str = "127.0.0.1"):
        super().__init__((host, 0), _ServiceHandler, name="devservice-tls", ssl_context=ssl_context,
                         state=state)


class _ProxyHandler(http.server.BaseHTTPRequestHandler):
    """CONNECT to host:443 inside the domain is tunnelled to the TLS server;
    everything else is refused. /_admin/... on this port administers the
    service."""

    protocol_version = "HTTP/1.1"
    server_version = "quillon-devservice-proxy"
    sys_version = ""
    timeout = IDLE_TIMEOUT
    rbufsize = 0  # unbuffered: no tunnel bytes may get stuck in a read buffer
    server: _Server

    def do_CONNECT(self):
        host, _, port = self.path.rpartition(":")
        host = host.strip("[]").lower().rstrip(".")
        domain = self.server.domain
        allowed = port == "443" and (host == domain or host.endswith("." + domain))
        self.server.tunnels.append((self.path, allowed))
        if not allowed:
            self._reply(403, f"This proxy only tunnels to *.{domain}:443\n")
            self.close_connection = True
            return
        try:
            upstream = socket.create_connection(("127.0.0.1", self.server.upstream_port()), timeout=5)
        except OSError:
            self._reply(502, "The dev service is not running\n")
            self.close_connection = True
            return
        try:
            if not self.server.track(upstream):
                return
            upstream.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.send_response(200, "Connection established")
            self.end_headers()
            self._relay(self.connection, upstream)
        finally:
            self.server.untrack(upstream)
            upstream.close()
            self.close_connection = True

    def _relay(self, client: socket.socket, upstream: socket.socket) -> None:
        # `requests` leaves Nagle's algorithm on for connections through a
        # proxy, so it holds back a request body until its headers are ACKed;
        # ACKing at once (Linux) saves the delayed-ACK wait on every POST.
        quick_ack = getattr(socket, "TCP_QUICKACK", None)
        with selectors.DefaultSelector() as sel:
            sel.register(client, selectors.EVENT_READ, upstream)
            sel.register(upstream, selectors.EVENT_READ, client)
            while True:
                ready = sel.select(IDLE_TIMEOUT)
                if not ready:
                    return
                for key, _ in ready:
                    try:
                        if quick_ack is not None and key.fileobj is client:
                            client.setsockopt(socket.IPPROTO_TCP, quick_ack, 1)
                        data = key.fileobj.recv(65536)
                        if not data:
                            return
                        key.data.sendall(data)
                        if quick_ack is not None and key.fileobj is client:
                            client.setsockopt(socket.IPPROTO_TCP, quick_ack, 1)
                    except OSError:
                        return

    def _reply(self, status: int, text: str, content_type: str = "text/plain; charset=utf-8") -> None:
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _admin(self):
        url = urlsplit(self.path)
        if url.scheme or not url.path.startswith("/_admin/"):
            self._reply(403, f"This proxy only tunnels to *.{self.server.domain}:443\n")
            return
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if 0 < length <= MAX_BODY else b""
        try:
            status, value = self.server.admin(self.command, url.path, parse_qs(url.query), raw)
        except (ValueError, KeyError, TypeError) as err:
            status, value = 400, {"error": str(err)}
        self._reply(status, json.dumps(value) + "\n", "application/json")

    do_GET = do_POST = do_PUT = do_DELETE = _admin

    def log_message(self, format, *args):
        log.debug("proxy: " + format, *args)


class ProxyServer(_Server):
    def __init__(self, domain: str, upstream_port: Callable[[], int],
                 admin: Callable[[str, str, dict, bytes], tuple[int, object]],
                 host: str = "127.0.0.1", port: int = 0):
        super().__init__((host, port), _ProxyHandler, name="devservice-proxy",
                         domain=domain.lower().strip("."), upstream_port=upstream_port, admin=admin,
                         tunnels=deque(maxlen=1000))
