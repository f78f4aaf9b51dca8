"""Tenants, users, tokens and the four endpoints, independent of sockets.

`ServiceState.handle` takes one parsed HTTP request and returns the answer;
the server in `servers.py` only moves bytes.
"""

from __future__ import annotations

import json
import secrets
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Mapping, Optional, Union
from urllib.parse import unquote

from requests.structures import CaseInsensitiveDict

from .completions import Completer, complete

APP_TOKEN_PATH = "/validate-app-token/"
API_KEY = "?api_key="
ROUTES = {"/": "GET", "/auth/get_token": "POST", "/get-completion": "POST", APP_TOKEN_PATH: "GET"}
# What the connection to a tenant can be made to do instead of answering (see `set_fault`).
FAULTS = ("bad-gateway", "reset", "silent-tunnel", "untrusted", "hang-up", "silent", "drip", "cut-body",
          "garbage")


@dataclass
class Response:
    status: int
    body: bytes = b""
    content_type: str = "application/json"
    headers: dict[str, str] = field(default_factory=dict)

    @classmethod
    def json(cls, status: int, value: Any) -> "Response":
        return cls(status, json.dumps(value).encode())

    @classmethod
    def text(cls, status: int, text: str) -> "Response":
        return cls(status, text.encode(), "text/plain; charset=utf-8")


@dataclass
class RecordedRequest:
    method: str
    host: str
    path: str                      # the request target exactly as received
    headers: CaseInsensitiveDict
    body: bytes
    tenant: Optional[str]
    status: Optional[int] = None
    time: float = 0.0

    def json(self) -> Any:
        return json.loads(self.body)


def tenant_key(tenant: str) -> str:
    """A tenant label as a Host header carries it: lower case, IDNA-encoded
    when it is not ASCII (as the client encodes it)."""
    try:
        return tenant.encode("idna").decode("ascii").lower()
    except UnicodeError:
        return tenant.lower()


class ServiceState:
    """Everything the service knows. Thread-safe; tenants are matched as host
    names are, without regard to case."""

    def __init__(self, domain: str, *, token_ttl: Optional[float] = None,
                 completer: Optional[Completer] = None, clock: Callable[[], float] = time.monotonic,
                 log_size: int = 2000, answer_delay: float = 0.0):
        self.domain = domain.lower().strip(".")
        self.token_ttl = token_ttl
        self.completer: Completer = completer or complete
        # Seconds a completion waits before it answers, as a real engine takes
        # seconds to minutes; may be changed while the service runs.
        self.answer_delay = answer_delay
        self._clock = clock
        self._lock = threading.Lock()
        self._users: dict[str, dict[str, str]] = {}
        self._app_tokens: dict[str, set[str]] = {}
        self._tokens: dict[str, tuple[str, float]] = {}     # token: (tenant, issued)
        self._forced: list[list] = []
        self._faults: dict[str, str] = {}
        self._log: deque[RecordedRequest] = deque(maxlen=log_size)

    # -- administration -------------------------------------------------------

    def add_user(self, tenant: str, email: str, password: str) -> None:
        with self._lock:
            self._users.setdefault(tenant_key(tenant), {})[email] = password

    def remove_user(self, tenant: str, email: str) -> None:
        with self._lock:
            self._users.get(tenant_key(tenant), {}).pop(email, None)

    def add_app_token(self, tenant: str, token: str) -> None:
        with self._lock:
            self._app_tokens.setdefault(tenant_key(tenant), set()).add(token)

    def revoke_app_token(self, tenant: str, token: str) -> None:
        with self._lock:
            self._app_tokens.get(tenant_key(tenant), set()).discard(token)

    def issue_token(self, tenant: str) -> str:
        token = "qdv_" + secrets.token_urlsafe(24)
        with self._lock:
            self._tokens[token] = (tenant_key(tenant), self._clock())
        return token

    def expire_tokens(self, tenant: Optional[str] = None) -> int:
        """Forget the bearer tokens of one tenant (or of all); returns how many."""
        key = None if tenant is None else tenant_key(tenant)
        with self._lock:
            gone = [t for t, (owner, _) in self._tokens.items() if key in (None, owner)]
            for t in gone:
                del self._tokens[t]
        return len(gone)

    def token_valid(self, tenant: str, token: str) -> bool:
        with self._lock:
            owner, issued = self._tokens.get(token, (None, 0.0))
            if owner != tenant_key(tenant):
                return False
            if self.token_ttl is not None and self._clock() - issued >= self.token_ttl:
                del self._tokens[token]
                return False
            return True

    def app_token_valid(self, tenant: str, token: str) -> bool:
        with self._lock:
            known = self._app_tokens.get(tenant_key(tenant), set())
            return token in known or any(unquote(k) == unquote(token) for k in known)

    def force_status(self, path: str, status: int, body: str = "", times: int = 1) -> None:
        """Answer the next `times` requests for `path` (without query; the
        app-token check is APP_TOKEN_PATH) with `status` and `body`."""
        with self._lock:
            self._forced.append([path, status, body, times])

    def set_fault(self, tenant: str, fault: Optional[str]) -> None:
        """Make every new connection to `tenant` misbehave (None: behave):
        "bad-gateway" (the proxy answers CONNECT with 502), "reset" (the
        tunnel opens, then the connection is reset), "silent-tunnel" (no
        answer to the TLS handshake), "untrusted" (a certificate nobody
        trusts), "hang-up" (the request is read, then the line drops),
        "silent" (the request is read, no answer comes), "drip" (the answer
        comes one byte every 2 s), "cut-body" (the answer stops halfway, then
        the line drops), "garbage" (bytes that are not HTTP). Held
        connections end when the service closes."""
        if fault is not None and fault not in FAULTS:
            raise ValueError(f"unknown fault {fault!r}; known: {', '.join(FAULTS)}")
        with self._lock:
            if fault is None:
                self._faults.pop(tenant_key(tenant), None)
            else:
                self._faults[tenant_key(tenant)] = fault

    def fault(self, tenant: Optional[str]) -> Optional[str]:
        with self._lock:
            return None if tenant is None else self._faults.get(tenant)

    @property
    def requests(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._log)

    def clear_requests(self) -> None:
        with self._lock:
            self._log.clear()

    # -- request handling -----------------------------------------------------

    def tenant_for_host(self, host: str) -> Optional[str]:
        """The tenant label of a Host header (or CONNECT target) inside the
        domain, else None."""
        name = host.strip().lower()
        head, sep, port = name.rpartition(":")
        if sep and port.isdigit():
            name = head
        name, suffix = name.rstrip("."), "." + self.domain
        if name.startswith("[") or not name.endswith(suffix) or len(name) == len(suffix):
            return None
        return name[: -len(suffix)]

    def handle(self, method: str, host: str, target: str,
               headers: Union[Mapping[str, str], Iterable[tuple[str, str]]], body: bytes) -> Response:
        headers = CaseInsensitiveDict(headers)
        tenant = self.tenant_for_host(host)
        record = RecordedRequest(method, host, target, headers, body, tenant, time=time.time())
        with self._lock:
            self._log.append(record)
        response = self._route(method, target, headers, body, tenant)
        record.status = response.status
        return response

    def _take_forced(self, path: str) -> Optional[Response]:
        with self._lock:
            for entry in self._forced:
                if entry[0] == path:
                    entry[3] -= 1
                    if entry[3] <= 0:
                        self._forced.remove(entry)
                    return Response.text(entry[1], entry[2])
        return None

    def _route(self, method: str, target: str, headers: Mapping[str, str], body: bytes,
               tenant: Optional[str]) -> Response:
        if tenant is None:
            return Response.text(404, f"Unknown host: this service answers for *.{self.domain} only")
        path = target.split("?", 1)[0]
        route = APP_TOKEN_PATH if path.startswith(APP_TOKEN_PATH) else path
        forced = self._take_forced(route)
        if forced is not None:
            return forced
        if route not in ROUTES:
            return Response.text(404, f"Not found: {path}")
        if method != ROUTES[route]:
            return Response(405, b"Method not allowed", "text/plain; charset=utf-8", {"Allow": ROUTES[route]})
        if route == "/auth/get_token":
            return self._login(tenant, body)
        if route == "/get-completion":
            return self._completion(tenant, headers, body)
        if route == APP_TOKEN_PATH:
            return self._app_token(tenant, target[len(APP_TOKEN_PATH):])
        if self.token_valid(tenant, _bearer(headers)):
            return Response.json(200, {"status": "ok", "tenant": tenant})
        return Response.json(401, {"detail": "invalid or expired token"})

    def _login(self, tenant: str, body: bytes) -> Response:
        try:
            data = json.loads(body)
        except ValueError:
            data = None
        if not (isinstance(data, dict) and isinstance(data.get("email"), str)
                and isinstance(data.get("password"), str)):
            return Response.json(400, {"detail": "expected {\"email\": ..., \"password\": ...}"})
        with self._lock:
            known = self._users.get(tenant, {}).get(data["email"])
        if known is None or not secrets.compare_digest(known.encode(), data["password"].encode()):
            return Response.json(401, {"detail": "invalid username or password"})
        return Response.json(200, {"token": self.issue_token(tenant), "token_type": "bearer"})

    def _app_token(self, tenant: str, rest: str) -> Response:
        """`rest` is token + "?api_key=" + token, unescaped by the client, so
        the token may itself hold "?", "&", "/" or "api_key=": every split
        whose two halves agree is a candidate."""
        start = rest.find(API_KEY)
        while start >= 0:
            token, key = rest[:start], rest[start + len(API_KEY):]
            if token == key and self.app_token_valid(tenant, token):
                return Response.json(200, {"valid": True, "tenant": tenant})
            start = rest.find(API_KEY, start + 1)
        return Response.json(401, {"valid": False})

    def _completion(self, tenant: str, headers: Mapping[str, str], body: bytes) -> Response:
        if not self.token_valid(tenant, _bearer(headers)):
            return Response.text(401, "Unauthorized: missing, invalid or expired bearer token")
        try:
            data = json.loads(body)
        except ValueError:
            data = None
        max_tokens = data.get("max_tokens", 1000) if isinstance(data, dict) else None
        if not (isinstance(data, dict) and isinstance(data.get("query"), str)
                and type(max_tokens) is int and max_tokens > 0):
            return Response.text(400, "Bad request: expected a JSON object with a string \"query\""
                                      " and a positive integer \"max_tokens\"")
        if self.answer_delay > 0:
            time.sleep(self.answer_delay)
        try:
            text = self.completer(data["query"], max_tokens)
        except Exception as err:  # a forwarding failure must not kill the connection
            return Response.text(502, f"Completion backend failed: {type(err).__name__}: {err}")
        return Response.json(200, {"completion": text})


def _bearer(headers: Mapping[str, str]) -> str:
    scheme, _, token = (headers.get("Authorization") or "").partition(" ")
    return token if scheme.lower() == "bearer" else ""
