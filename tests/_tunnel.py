"""A CONNECT proxy on 127.0.0.1 that plays a misbehaving service behind its tunnel.

requests reaches it through HTTPS_PROXY, and it picks its misbehaviour from the tenant
label of the host it is asked to tunnel to (so cases can run side by side). Behind the
tunnel it speaks TLS itself, with a certificate from a CA that REQUESTS_CA_BUNDLE trusts,
or from one that nobody trusts.
"""
import re
import socketserver
import ssl
import threading

import pytest
import trustme


class Proxy(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, trusted, untrusted):
        super().__init__(("127.0.0.1", 0), Tunnel)
        self.trusted, self.untrusted = trusted, untrusted
        self.release = threading.Event()  # ends every connection held open
        self.connects = []


def read_request(sock):
    """The head and, when it announces one, the body: answering with unread data in the
    socket would make the close a reset, which the client may see before the answer."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
    while length and len(body) < int(length.group(1)):
        chunk = sock.recv(65536)
        if not chunk:
            break
        body += chunk
    return head


def http(body, content_type="application/json"):
    return (f"HTTP/1.1 200 OK\r\nContent-Type: {content_type}\r\nContent-Length: {len(body)}\r\n\r\n"
            + body).encode()


class Tunnel(socketserver.BaseRequestHandler):
    ANSWERS = {
        "answers": http('{"token": "t", "completion": "x = 1"}'),
        "not-json": http("not json!", "text/html"),
        "cut-body": b'HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{"tok',
        "hang-up": b"",  # the request is read, then the line drops
        "garbage": b"\x00\x01\x02 this is not HTTP\r\n\r\n",
    }

    def handle(self):
        server, sock = self.server, self.request
        sock.settimeout(60)
        head = read_request(sock)
        target = head.split(b"\r\n", 1)[0].decode(errors="replace")
        server.connects.append(target)
        mode = target.split(" ")[1].split(".")[0] if target.startswith("CONNECT ") else "?"
        if mode == "bad-gateway":
            sock.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        if mode == "silent-tunnel":  # the TLS handshake never gets an answer
            server.release.wait(60)
            return
        context = server.untrusted if mode == "untrusted" else server.trusted
        try:
            with context.wrap_socket(sock, server_side=True) as tls:
                read_request(tls)
                if mode == "silent-server":  # handshake done, the answer never comes
                    server.release.wait(60)
                    return
                if mode == "trickle":  # an answer without end, a byte every 20 ms
                    tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n")
                    while not server.release.wait(0.02):
                        tls.sendall(b"x")
                    return
                if mode == "drip":  # a whole answer, one byte every two seconds
                    for byte in self.ANSWERS["answers"]:
                        tls.sendall(bytes([byte]))
                        if server.release.wait(2):
                            return
                    return
                tls.sendall(self.ANSWERS[mode])
        except (OSError, KeyError):
            pass


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tls")
    ca, stranger = trustme.CA(), trustme.CA()
    contexts = []
    for authority in (ca, stranger):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        authority.issue_cert("*.quillon.example").configure_cert(context)
        contexts.append(context)
    bundle = folder / "ca.pem"
    ca.cert_pem.write_to_path(str(bundle))
    return str(bundle), contexts


@pytest.fixture
def proxy(certificates):
    server = Proxy(*certificates[1])
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield server
    server.release.set()
    server.shutdown()
    server.server_close()
    thread.join(10)
