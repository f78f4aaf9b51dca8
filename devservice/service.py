"""DevService: the local stand-in for the hosted service, in one object.

    with DevService() as svc:
        svc.state.add_user("demo", "analyst@example.com", "quillon-demo")
        os.environ.update(svc.env)   # or monkeypatch.setenv(...) in a test
        ...                          # the SDK now talks to svc

The client reaches https://<tenant>.<domain> unchanged: HTTPS_PROXY points
`requests` at the service's CONNECT proxy, which answers the tunnel with TLS
itself, with a certificate from a throw-away CA named by REQUESTS_CA_BUNDLE.
"""

from __future__ import annotations

import json
import os
import shutil
import ssl
import tempfile
from typing import Any, Optional

import trustme

from .completions import Completer, OpenAICompleter
from .servers import ProxyServer
from .state import ServiceState

DEFAULT_DOMAIN = "quillon.example"
DEMO_TENANT = "demo"
DEMO_EMAIL = "analyst@example.com"
DEMO_PASSWORD = "quillon-demo"
DEMO_APP_TOKEN = "demo-app-token"
DEFAULT_OPENAI_MODEL = "gpt-4o-mini"


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
            self._forwarder = completer = OpenAICompleter(openai_base_url, openai_model, openai_api_key)
        self.state = ServiceState(self.domain, token_ttl=token_ttl, completer=completer,
                                  answer_delay=answer_delay)
        if demo:
            self.state.add_user(DEMO_TENANT, DEMO_EMAIL, DEMO_PASSWORD)
            self.state.add_app_token(DEMO_TENANT, DEMO_APP_TOKEN)
        self._state_dir, self._tmp_dir = state_dir, None
        self._host, self._proxy_port = host, proxy_port
        self._proxy: Optional[ProxyServer] = None
        self.ca_path: Optional[str] = None

    def start(self) -> "DevService":
        if self._proxy is not None:
            return self
        try:
            if self._state_dir is None:
                self._tmp_dir = tempfile.mkdtemp(prefix="quillon-devservice-")
            directory = self._state_dir or self._tmp_dir
            os.makedirs(directory, exist_ok=True)
            trusted, stranger = trustme.CA(organization_name="quillon dev service"), trustme.CA()
            contexts = [ssl.create_default_context(ssl.Purpose.CLIENT_AUTH) for _ in (trusted, stranger)]
            for ca, context in zip((trusted, stranger), contexts):
                ca.issue_cert("*." + self.domain, self.domain).configure_cert(context)
            self.ca_path = os.path.join(directory, "ca.pem")
            trusted.cert_pem.write_to_path(self.ca_path)
            self._proxy = ProxyServer(self.state, *contexts, self._admin, self._host, self._proxy_port)
            self._proxy.start()
        except BaseException:
            self.close()
            raise
        return self

    def close(self) -> None:
        if self._proxy is not None:
            self._proxy.close()
            self._proxy = None
        if self._forwarder is not None:
            self._forwarder.close()
            self._forwarder = None
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
        return f"http://{self._host}:{self._proxy.port}"

    @property
    def env(self) -> dict[str, str]:
        """Environment for a client: both spellings of the proxy variables
        (the lower-case one wins in `requests`), no proxy exemptions."""
        return {"HTTPS_PROXY": self.proxy_url, "https_proxy": self.proxy_url,
                "REQUESTS_CA_BUNDLE": self.ca_path, "NO_PROXY": "", "no_proxy": ""}

    def url(self, tenant: str, path: str = "/") -> str:
        return f"https://{tenant}.{self.domain}{path}"

    def session(self):
        """A requests.Session wired to this service, ignoring the process environment."""
        import requests

        session = requests.Session()
        session.trust_env = False
        session.proxies = {"https": self.proxy_url}
        session.verify = self.ca_path
        return session

    @property
    def tunnels(self) -> list[tuple[str, bool]]:
        """CONNECT targets the proxy saw, with whether it tunnelled them."""
        return list(self._proxy.tunnels) if self._proxy else []

    def _admin(self, method: str, path: str, query: dict, body: bytes) -> tuple[int, Any]:
        """The proxy's /_admin/ paths."""
        data = json.loads(body) if body else {}
        first = lambda key: (query.get(key) or [data.get(key)])[0]  # noqa: E731
        if (method, path) == ("POST", "/_admin/expire"):
            return 200, {"expired": self.state.expire_tokens(first("tenant"))}
        if (method, path) == ("POST", "/_admin/users"):
            self.state.add_user(data["tenant"], data["email"], data["password"])
            return 200, {"ok": True}
        if (method, path) == ("POST", "/_admin/app-tokens"):
            self.state.add_app_token(data["tenant"], data["token"])
            return 200, {"ok": True}
        if (method, path) == ("POST", "/_admin/fault"):
            self.state.set_fault(data["tenant"], data.get("fault"))
            return 200, {"ok": True}
        if (method, path) == ("GET", "/_admin/requests"):
            return 200, [{"method": r.method, "host": r.host, "path": r.path, "status": r.status}
                         for r in self.state.requests[-200:]]
        if (method, path) == ("GET", "/_admin/status"):
            return 200, {"domain": self.domain, "proxy": self.proxy_url, "ca_bundle": self.ca_path}
        return 404, {"error": f"no admin action {method} {path}"}
