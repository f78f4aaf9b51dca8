"""Tenants, users, tokens and the four endpoints, independent of sockets.

`ServiceState.handle` takes one parsed HTTP request and returns the answer;
the TLS server in `servers.py` only moves bytes.
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
ROUTES = {"/": "GET", "/auth/get_token": "POST", "/get-completion": "POST"}


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


@dataclass
class _Token:
    tenant: str
    email: Optional[str]
    issued: float


def tenant_key(tenant: str) -> str:
    """A tenant label as it appears in a Host header: lower case, and
    IDNA-encoded when it is not ASCII (the client encodes it that way)."""
    try:
        return tenant.encode("idna").decode("ascii").lower()
    except UnicodeError:
        return tenant.lower()


class ServiceState:
    """Everything the service knows. Thread-safe; tenants are matched as
    host names are, without regard to case."""

    def __init__(self, domain: str, *, token_ttl: Optional[float] = None,
                 completer: Optional[Completer] = None, clock: Callable[[], float] = time.monotonic,
                 log_size: int = 2000, answer_delay: float = 0.0):
        self.domain = domain.lower().strip(".")
        self.token_ttl = token_ttl
        self.completer: Completer = completer or complete
        # Seconds a completion waits before it answers, as a real engine
        # takes seconds to minutes; may be changed while the service runs.
        self.answer_delay = answer_delay
        self._clock = clock
        self._lock = threading.Lock()
        self._users: dict[str, dict[str, str]] = {}
        self._app_tokens: dict[str, set[str]] = {}
        self._tokens: dict[str, _Token] = {}
        self._forced: list[list] = []
        self._log: deque[RecordedRequest] = deque(maxlen=log_size)

    # -- administration -----------------------------------------------------

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

    def issue_token(self, tenant: str, email: Optional[str] = None) -> str:
        token = "qdv_" + secrets.token_urlsafe(24)
        with self._lock:
            self._tokens[token] = _Token(tenant_key(tenant), email, self._clock())
        return token

    def expire_tokens(self, tenant: Optional[str] = None) -> int:
        """Forget the bearer tokens of one tenant (or of all); returns how many."""
        with self._lock:
            key = None if tenant is None else tenant_key(tenant)
            gone = [t for t, info in self._tokens.items() if key is None or info.tenant == key]
            for t in gone:
                del self._tokens[t]
        return len(gone)

    def revoke_token(self, token: str) -> bool:
        with self._lock:
            return self._tokens.pop(token, None) is not None

    def token_valid(self, tenant: str, token: str) -> bool:
        with self._lock:
            info = self._tokens.get(token)
            if info is None or info.tenant != tenant_key(tenant):
                return False
            if self.token_ttl is not None and self._clock() - info.issued >= self.token_ttl:
                del self._tokens[token]
                return False
            return True

    def app_token_valid(self, tenant: str, token: str) -> bool:
        with self._lock:
            known = self._app_tokens.get(tenant_key(tenant), set())
            return token in known or any(unquote(k) == unquote(token) for k in known)

    def force_status(self, path: str, status: int, body: str = "", times: int = 1) -> None:
        """Answer the next `times` requests for `path` (without query) with
        `status` and `body`, whatever their content."""
        with self._lock:
            self._forced.append([path, status, body, times])

    @property
    def requests(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._log)

    def clear_requests(self) -> None:
        with self._lock:
            self._log.clear()

    # -- request handling ---------------------------------------------------

    def tenant_for_host(self, host: str) -> Optional[str]:
        """The tenant label of a Host header inside the domain, else None."""
        name = host.strip().lower()
        if name.startswith("["):
            return None
        head, sep, port = name.rpartition(":")
        if sep and port.isdigit():
            name = head
        name = name.rstrip(".")
        suffix = "." + self.domain
        if not name.endswith(suffix) or len(name) == len(suffix):
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
        forced = self._take_forced(APP_TOKEN_PATH if path.startswith(APP_TOKEN_PATH) else path)
        if forced is not None:
            return forced
        if path.startswith(APP_TOKEN_PATH):
            allowed = "GET"
        else:
            allowed = ROUTES.get(path)
        if allowed is None:
            return Response.text(404, f"Not found: {path}")
        if method != allowed:
            return Response(405, b"Method not allowed", "text/plain; charset=utf-8", {"Allow": allowed})
        if path == "/auth/get_token":
            return self._login(tenant, body)
        if path == "/":
            if self.token_valid(tenant, _bearer(headers) or ""):
                return Response.json(200, {"status": "ok", "tenant": tenant})
            return Response.json(401, {"detail": "invalid or expired token"})
        if path == "/get-completion":
            return self._completion(tenant, headers, body)
        return self._app_token(tenant, target[len(APP_TOKEN_PATH):])

    def _login(self, tenant: str, body: bytes) -> Response:
        try:
            data = json.loads(body)
        except ValueError:
            return Response.json(400, {"detail": "body must be JSON"})
        if not (isinstance(data, dict) and isinstance(data.get("email"), str)
                and isinstance(data.get("password"), str)):
            return Response.json(400, {"detail": "expected {\"email\": ..., \"password\": ...}"})
        with self._lock:
            known = self._users.get(tenant, {}).get(data["email"])
        if known is None or not secrets.compare_digest(known.encode(), data["password"].encode()):
            return Response.json(401, {"detail": "invalid username or password"})
        return Response.json(200, {"token": self.issue_token(tenant, data["email"]), "token_type": "bearer"})

    def _app_token(self, tenant: str, rest: str) -> Response:
        """`rest` is what follows /validate-app-token/: token + "?api_key=" +
        token, unescaped by the client, so the token may itself hold "?",
        "&", "/" or "api_key=". Every split whose two halves agree is a
        candidate."""
        start = rest.find(API_KEY)
        while start >= 0:
            token, key = rest[:start], rest[start + len(API_KEY):]
            if token == key and self.app_token_valid(tenant, token):
                return Response.json(200, {"valid": True, "tenant": tenant})
            start = rest.find(API_KEY, start + 1)
        return Response.json(401, {"valid": False})

    def _completion(self, tenant: str, headers: Mapping[str, str], body: bytes) -> Response:
        if not self.token_valid(tenant, _bearer(headers) or ""):
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


def _bearer(headers: Mapping[str, str]) -> Optional[str]:
    value = headers.get("Authorization") or ""
    scheme, _, token = value.partition(" ")
    return token if scheme.lower() == "bearer" and token else None
