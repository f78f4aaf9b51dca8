"""The one listening socket: an HTTP CONNECT proxy on loopback. A CONNECT to
<tenant>.<domain>:443 is not passed on anywhere: the proxy answers 200 and
then speaks TLS itself on that connection, with a certificate for
*.<domain>, and serves the service's requests from `ServiceState`. So an
unchanged client reaches https://<tenant>.<domain> by name, through the
proxy its environment names. Paths under /_admin/ on the proxy's own port
administer the service.

One daemon thread per connection; `close()` stops accepting, cuts every open
connection and joins the threads, so nothing is left running or open.
"""

from __future__ import annotations

import http.server
import json
import logging
import socket
import socketserver
import ssl
import struct
import sys
import threading
from collections import deque
from typing import Callable, Optional
from urllib.parse import parse_qs, urlsplit

from .state import ServiceState

log = logging.getLogger("devservice")

IDLE_TIMEOUT = 60.0        # seconds a keep-alive connection may idle, and a held fault lasts
HANDSHAKE_TIMEOUT = 10.0
MAX_BODY = 8 * 1024 * 1024
GARBAGE = b"\x00\x01\x02 this is not HTTP\r\n\r\n"
_QUIET = (ConnectionError, ssl.SSLError, socket.timeout, TimeoutError, ValueError, OSError)
_QUICK_ACK = getattr(socket, "TCP_QUICKACK", None)


class _ServiceHandler(http.server.BaseHTTPRequestHandler):
    """The requests inside one tunnel, after the TLS handshake."""

    protocol_version = "HTTP/1.1"
    timeout = IDLE_TIMEOUT
    server: "ProxyServer"

    def _read_body(self) -> Optional[bytes]:
        # The SDK sends every body with a Content-Length; a chunked one is
        # refused rather than decoded.
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            return None
        if "Transfer-Encoding" in self.headers or not 0 <= length <= MAX_BODY:
            return None
        if _QUICK_ACK is not None:
            # `requests` leaves Nagle's algorithm on through a proxy and so holds
            # the body back until the headers are acknowledged: acknowledge now
            # rather than after the kernel's delayed-ACK wait (Linux).
            self.connection.setsockopt(socket.IPPROTO_TCP, _QUICK_ACK, 1)
        return self.rfile.read(length) if length else b""

    def _serve(self) -> None:
        body = self._read_body()
        if body is None:
            self.close_connection = True
            return self._send(400, {"Content-Type": "text/plain; charset=utf-8"}, b"Bad request body")
        state, host = self.server.state, self.headers.get("Host", "")
        response = state.handle(self.command, host, self.path, self.headers.items(), body)
        headers = {"Content-Type": response.content_type, **response.headers}
        self._send(response.status, headers, response.body, state.fault(state.tenant_for_host(host)))

    def _send(self, status: int, headers: dict, body: bytes, fault: Optional[str] = None) -> None:
        self.log_request(status)
        head = f"HTTP/1.1 {status} {self.responses.get(status, ('',))[0]}\r\n"
        head += "".join(f"{k}: {v}\r\n" for k, v in dict(headers, **{"Content-Length": len(body)}).items())
        raw = head.encode("latin-1") + b"\r\n" + (body if self.command != "HEAD" else b"")
        if fault is None:
            return self.wfile.write(raw)
        self.close_connection = True
        if fault == "silent":
            self.server.closing.wait(IDLE_TIMEOUT)
        elif fault == "garbage":
            self.wfile.write(GARBAGE)
        elif fault == "cut-body":
            self.wfile.write(raw[: len(raw) - len(body) // 2 - 1])
        elif fault == "drip":
            for i in range(len(raw)):
                self.wfile.write(raw[i:i + 1])
                if self.server.closing.wait(2):
                    return

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _serve

    def log_message(self, format, *args):
        log.info("%s %s", self.headers.get("Host", "-") if hasattr(self, "headers") else "-", format % args)


class _ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = IDLE_TIMEOUT
    rbufsize = 0  # unbuffered: the TLS handshake after CONNECT must not end up in a read buffer
    server: "ProxyServer"

    def do_CONNECT(self):
        host, _, port = self.path.rpartition(":")
        name, state = host.strip("[]").lower().rstrip("."), self.server.state
        allowed = port == "443" and (name == state.domain or name.endswith("." + state.domain))
        self.server.tunnels.append((self.path, allowed))
        self.close_connection = True
        fault = state.fault(state.tenant_for_host(name))
        if not allowed or fault == "bad-gateway":
            return self._reply(502 if allowed else 403, f"This proxy only tunnels to *.{state.domain}:443\n")
        self.send_response(200, "Connection established")
        self.end_headers()
        if fault == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return self.connection.close()
        if fault == "silent-tunnel":
            return self.server.closing.wait(IDLE_TIMEOUT)
        self.connection.settimeout(HANDSHAKE_TIMEOUT)
        context = self.server.untrusted if fault == "untrusted" else self.server.context
        tls = context.wrap_socket(self.connection, server_side=True)
        try:
            if self.server.track(tls):
                _ServiceHandler(tls, self.client_address, self.server)
        finally:
            self.server.untrack(tls)
            tls.close()

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
            return self._reply(403, f"This proxy only tunnels to *.{self.server.state.domain}:443\n")
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


class ProxyServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True       # and yet server_close() joins every connection's thread
    allow_reuse_address = True

    def __init__(self, state: ServiceState, context: ssl.SSLContext, untrusted: ssl.SSLContext,
                 admin: Callable[[str, str, dict, bytes], tuple[int, object]],
                 host: str = "127.0.0.1", port: int = 0):
        self.state, self.context, self.untrusted, self.admin = state, context, untrusted, admin
        self.tunnels: deque[tuple[str, bool]] = deque(maxlen=1000)  # CONNECT targets, and if tunnelled
        self.closing = threading.Event()
        self._open: set[socket.socket] = set()
        self._guard = threading.Lock()
        super().__init__((host, port), _ProxyHandler)
        self._serve_thread = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1},
                                              name="devservice-accept", daemon=True)

    def server_bind(self):
        # HTTPServer.server_bind would look up the host's FQDN, which can stall
        # for seconds on a machine without working reverse DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def port(self) -> int:
        return self.server_address[1]

    def start(self) -> None:
        self._serve_thread.start()

    def track(self, sock: socket.socket) -> bool:
        """Note an open connection, for close() to cut; False once closing."""
        with self._guard:
            if not self.closing.is_set():
                self._open.add(sock)
            return not self.closing.is_set()

    def untrack(self, sock: socket.socket) -> None:
        with self._guard:
            self._open.discard(sock)

    def finish_request(self, request, client_address):
        if not self.track(request):
            return
        try:
            # Headers and body leave in separate writes; without this, Nagle's
            # algorithm and delayed ACKs stall every answer by some 40 ms.
            request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            super().finish_request(request, client_address)
        finally:
            self.untrack(request)

    def handle_error(self, request, client_address):
        err = sys.exc_info()[1]
        if self.closing.is_set() or isinstance(err, _QUIET):
            log.debug("connection ended: %r", err)
        else:
            log.exception("connection failed")

    def close(self) -> None:
        with self._guard:
            if self.closing.is_set():
                return
            self.closing.set()
            conns = list(self._open)
        if self._serve_thread.is_alive():
            self.shutdown()
        for sock in conns:
            try:
                # The plain socket's shutdown, for TLS sockets too: it only wakes
                # the reader, whichever thread that is.
                socket.socket.shutdown(sock, socket.SHUT_RDWR)
            except OSError:
                pass
        self.server_close()
