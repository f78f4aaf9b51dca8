"""In-process stand-in for the hosted service.

The SDK and the reference implementation both call the module-level
``requests.get`` / ``requests.post``, so the whole of requests runs for both
(a fresh Session per call, request preparation, JSON encoding of the body,
hooks, redirect resolution); only the socket work of ``HTTPAdapter.send`` is
replaced by building a ``Response`` from a canned answer.
"""
import json
import os
import tempfile

import requests
from requests.adapters import HTTPAdapter
from requests.models import Response
from requests.structures import CaseInsensitiveDict

DOMAIN = "quillon.example"
TENANT = "acme"
TOKEN = "tok"
ENGINE_ANSWER = {"completion": "print('hello')\n"}

STORE = {
    "VELTO_USERNAME": "u@example.com",
    "VELTO_PASSWORD": "cHc=",
    "VELTO_TOKEN": TOKEN,
    "VELTO_TENANT": TENANT,
}


def host(path="/"):
    return f"https://{TENANT}.{DOMAIN}{path}"


_JSON_HEADERS = {"Content-Type": "application/json"}
_ROUTES = {
    ("GET", host("/")): (200, b"{}"),
    ("POST", host("/get-completion")): (200, json.dumps(ENGINE_ANSWER).encode()),
    ("POST", host("/auth/get_token")): (200, json.dumps({"token": TOKEN}).encode()),
}


class Recorder:
    """Collects what reaches the transport while `active` is set."""

    def __init__(self):
        self.active = False
        self.sent = []

    def start(self):
        self.sent = []
        self.active = True

    def stop(self):
        self.active = False
        return self.sent


recorder = Recorder()
_original_send = HTTPAdapter.send


def _send(self, request, stream=False, timeout=None, verify=True, cert=None, proxies=None):
    if recorder.active:
        recorder.sent.append(
            {
                "method": request.method,
                "url": request.url,
                "headers": dict(request.headers),
                "body": request.body,
                "timeout": timeout,
                "verify": verify,
                "stream": stream,
            }
        )
    status, content = _ROUTES.get((request.method, request.url), (404, b"not found"))
    response = Response()
    response.status_code = status
    response.headers = CaseInsensitiveDict(_JSON_HEADERS)
    response.encoding = "utf-8"
    response.reason = "OK" if status == 200 else "Not Found"
    response.url = request.url
    response._content = content
    response.request = request
    response.connection = self
    return response


def install():
    HTTPAdapter.send = _send


def uninstall():
    HTTPAdapter.send = _original_send


def write_store():
    """A complete credential store in a private temporary file; returns its path."""
    fd, path = tempfile.mkstemp(prefix="quillon-bench-", suffix=".json")
    with os.fdopen(fd, "w") as f:
        json.dump(STORE, f)
    return path


def point_login_at(path):
    """Makes the login modules read the store at `path`."""
    import quillon.validation.credgate as credgate

    credgate.secret_file_path = path
    try:
        import quillon.validation.authentication as authentication
    except ImportError:
        return
    if hasattr(authentication, "secret_file_path"):
        authentication.secret_file_path = path


__all__ = ["install", "uninstall", "write_store", "point_login_at", "recorder", "host", "requests"]
