"""Tenants, users, tokens and the four endpoints, apart from sockets:
`ServiceState.handle` takes one parsed HTTP request and returns the answer."""

import contextlib
import json
import re
import secrets
import threading
import time
from collections import deque
from dataclasses import dataclass
from typing import Any, Iterable, Mapping, NamedTuple, Optional, Union
from urllib.parse import unquote

from requests.structures import CaseInsensitiveDict

from .completions import Completer, complete

APP_TOKEN_PATH = "/validate-app-token/"
API_KEY = "?api_key="
ROUTES = {"/": "GET", "/auth/get_token": "POST", "/get-completion": "POST", APP_TOKEN_PATH: "GET"}
# What a tenant's connections can do instead of answering, in order: CONNECT gets a 502; the tunnel is reset;
# the TLS handshake gets no answer; the certificate is from a CA nobody trusts; the line drops after the request;
# no answer comes; the answer drips (a byte every 2 s) or trickles (one every 20 ms), stops halfway or is not HTTP.
FAULTS = ("bad-gateway", "reset", "silent-tunnel", "untrusted", "hang-up", "silent", "drip", "trickle", "cut-body",
          "garbage")
TEXT = "text/plain; charset=utf-8"


class Response(NamedTuple):
    status: int
    body: bytes
    content_type: str = "application/json"
    headers: dict = {}


def _json(status: int, value: Any) -> Response:
    return Response(status, json.dumps(value).encode())


def _text(status: int, text: str) -> Response:
    return Response(status, text.encode(), TEXT)


@dataclass
class RecordedRequest:
    method: str
    host: str
    path: str                      # the request target exactly as received
    headers: CaseInsensitiveDict
    body: bytes
    tenant: Optional[str]
    status: Optional[int] = None

    def json(self) -> Any:
        return json.loads(self.body)


def tenant_key(tenant: str) -> str:
    """A tenant label as a Host header carries it: lower case, IDNA-encoded (as the client does)."""
    with contextlib.suppress(UnicodeError):
        return tenant.encode("idna").decode("ascii").lower()
    return tenant.lower()


class ServiceState:
    """Everything the service knows. Thread-safe; tenants match as host names do, whatever the case."""

    def __init__(self, domain: str, *, token_ttl: Optional[float] = None, completer: Optional[Completer] = None,
                 answer_delay: float = 0.0):
        self.domain = domain.lower().strip(".")
        self.token_ttl = token_ttl
        self.completer: Completer = completer or complete
        self.answer_delay = answer_delay    # seconds each completion waits, as an engine would; settable
        self.closing = threading.Event()    # set while the service closes: no answer waits any longer
        self._lock = threading.Lock()
        self._users: dict[tuple[str, str], str] = {}         # (tenant, email): password
        self._app_tokens: set[tuple[str, str]] = set()       # (tenant, token)
        self._tokens: dict[str, tuple[str, float]] = {}      # token: (tenant, issued)
        self._forced: dict[str, list[tuple[int, str]]] = {}  # path: answers to give instead
        self.faults: dict[Optional[str], Optional[str]] = {}     # tenant: fault (read by the server)
        self._log: deque[RecordedRequest] = deque(maxlen=2000)

    def add_user(self, tenant: str, email: str, password: str) -> None:
        with self._lock:
            self._users[tenant_key(tenant), email] = password

    def add_app_token(self, tenant: str, token: str) -> None:
        with self._lock:
            self._app_tokens.add((tenant_key(tenant), token))

    def issue_token(self, tenant: str) -> str:
        token = "qdv_" + secrets.token_urlsafe(24)
        with self._lock:
            self._tokens[token] = (tenant_key(tenant), time.monotonic())
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
            if owner == tenant_key(tenant) and self.token_ttl is not None \
                    and time.monotonic() - issued >= self.token_ttl:
                del self._tokens[token]
                return False
            return owner == tenant_key(tenant)

    def force_status(self, path: str, status: int, body: str = "", times: int = 1) -> None:
        """Answer the next `times` requests for `path` (APP_TOKEN_PATH for app tokens) with this."""
        with self._lock:
            self._forced.setdefault(path, []).extend([(status, body)] * times)

    def set_fault(self, tenant: str, fault: Optional[str]) -> None:
        """Make `tenant`'s connections misbehave from now on, as one of FAULTS (None: behave)."""
        if fault is not None and fault not in FAULTS:
            raise ValueError(f"unknown fault {fault!r}; known: {', '.join(FAULTS)}")
        self.faults[tenant_key(tenant)] = fault

    @property
    def requests(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._log)

    def clear_requests(self) -> None:
        with self._lock:
            self._log.clear()

    def tenant_for_host(self, host: str) -> Optional[str]:
        """The tenant label of a Host header (or CONNECT target) inside the domain, else None."""
        found = re.fullmatch(rf"([^\[].*)\.{re.escape(self.domain)}\.?(:\d+)?", host.strip().lower())
        return found and found.group(1)

    def handle(self, method: str, host: str, target: str,
               headers: Union[Mapping[str, str], Iterable[tuple[str, str]]], body: bytes) -> Response:
        headers, tenant = CaseInsensitiveDict(headers), self.tenant_for_host(host)
        record = RecordedRequest(method, host, target, headers, body, tenant)
        with self._lock:
            self._log.append(record)
        response = self._route(method, target, headers, body, tenant)
        record.status = response.status
        return response

    def _route(self, method: str, target: str, headers: Mapping[str, str], body: bytes,
               tenant: Optional[str]) -> Response:
        if tenant is None:
            return _text(404, f"Unknown host: this service answers for *.{self.domain} only")
        path = target.split("?", 1)[0]
        route = APP_TOKEN_PATH if path.startswith(APP_TOKEN_PATH) else path
        with self._lock:
            forced = self._forced[route].pop(0) if self._forced.get(route) else None
        if forced is not None:
            return _text(*forced)
        if route not in ROUTES:
            return _text(404, f"Not found: {path}")
        if method != ROUTES[route]:
            return Response(405, b"Method not allowed", TEXT, {"Allow": ROUTES[route]})
        if route == "/auth/get_token":
            return self._login(tenant, _load(body))
        if route == "/get-completion":
            return self._completion(tenant, headers, _load(body))
        if route == APP_TOKEN_PATH:
            return self._app_token(tenant, target[len(APP_TOKEN_PATH):])
        if self.token_valid(tenant, _bearer(headers)):
            return _json(200, {"status": "ok", "tenant": tenant})
        return _json(401, {"detail": "invalid or expired token"})

    def _login(self, tenant: str, data: Any) -> Response:
        if not (isinstance(data, dict) and isinstance(data.get("email"), str)
                and isinstance(data.get("password"), str)):
            return _json(400, {"detail": "expected {\"email\": ..., \"password\": ...}"})
        with self._lock:
            known = self._users.get((tenant, data["email"]))
        if known is None or not secrets.compare_digest(known.encode(), data["password"].encode()):
            return _json(401, {"detail": "invalid username or password"})
        return _json(200, {"token": self.issue_token(tenant), "token_type": "bearer"})

    def _app_token(self, tenant: str, rest: str) -> Response:
        """`rest` is token + API_KEY + token, unescaped, and a token may itself hold "?", "&", "/"
        or "api_key=": every split into two equal halves is a candidate."""
        with self._lock:
            known = {unquote(k) for t, k in self._app_tokens if t == tenant}
        if any(rest.startswith(API_KEY, i) and rest[:i] == rest[i + len(API_KEY):] and unquote(rest[:i]) in known
               for i in range(len(rest))):
            return _json(200, {"valid": True, "tenant": tenant})
        return _json(401, {"valid": False})

    def _completion(self, tenant: str, headers: Mapping[str, str], data: Any) -> Response:
        if not self.token_valid(tenant, _bearer(headers)):
            return _text(401, "Unauthorized: missing, invalid or expired bearer token")
        max_tokens = data.get("max_tokens", 1000) if isinstance(data, dict) else None
        if not (isinstance(data, dict) and isinstance(data.get("query"), str)
                and type(max_tokens) is int and max_tokens > 0):
            return _text(400, "Bad request: expected a JSON object with a string \"query\" and a positive"
                              " integer \"max_tokens\"")
        self.closing.wait(max(0.0, self.answer_delay))
        try:
            return _json(200, {"completion": self.completer(data["query"], max_tokens)})
        except Exception as err:  # a forwarding failure must not kill the connection
            return _text(502, f"Completion backend failed: {type(err).__name__}: {err}")


def _load(body: bytes) -> Any:
    with contextlib.suppress(ValueError):
        return json.loads(body)


def _bearer(headers: Mapping[str, str]) -> str:
    scheme, _, token = (headers.get("Authorization") or "").partition(" ")
    return token if scheme.lower() == "bearer" else ""
