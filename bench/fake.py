"""The hosted service, faked with `responses` at the transport.

The SDK and the reference implementation both call the module-level
``requests.get`` / ``requests.post``, so all of requests runs for both (a
fresh Session per call, request preparation, JSON encoding of the body,
hooks); only ``HTTPAdapter.send`` answers from the routes below instead of a
socket.
"""
import atexit
import json
import os
import tempfile

import responses

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


def service():
    """Starts answering the token check, the login and the completion; returns
    the mock, whose `calls` record what reached the transport."""
    mock = responses.RequestsMock(assert_all_requests_are_fired=False)
    mock.add(responses.GET, host("/"), json={})
    mock.add(responses.POST, host("/get-completion"), json=ENGINE_ANSWER)
    mock.add(responses.POST, host("/auth/get_token"), json={"token": TOKEN})
    mock.start()
    atexit.register(mock.stop)
    return mock


def write_store():
    """A complete credential store in a private temporary file, removed at
    exit; returns its path."""
    fd, path = tempfile.mkstemp(prefix="quillon-bench-", suffix=".json")
    with os.fdopen(fd, "w") as f:
        json.dump(STORE, f)
    atexit.register(os.unlink, path)
    return path


def import_sdk():
    """endpoints and nbassist, their login at import reading a private store
    and answered by the fake service (which must be running)."""
    import quillon.validation.credgate as credgate

    credgate.secret_file_path = write_store()
    import quillon.velto_gpt_sdk.endpoints as endpoints
    import quillon.velto_gpt_sdk.nbassist as nbassist

    return endpoints, nbassist
