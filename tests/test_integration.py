"""The installed SDK end to end against the dev service over real HTTPS through its proxy, each
run in a fresh interpreter with a private package copy (so a private store) and scripted prompts."""
import base64
import json
import os
import re
import stat
import subprocess
import sys

import pytest

from conftest import reported, run_python
from devservice import DEMO_APP_TOKEN, DEMO_EMAIL, DEMO_PASSWORD, DEMO_TENANT, complete
from devservice.demo import client_env, private_site, store_path

DEMO_ANSWERS = [DEMO_EMAIL, DEMO_PASSWORD, DEMO_TENANT]
NOT_PROVIDED = "USERNAME and PASSWORD are not provided please add it manually\n"
EXPIRED = "Token is expired using the username and password to generate a new token\n"
REFUSED = "Invalid username and password, program will exit now"
ASKED = [["getpass", "Please enter the username:"], ["getpass", "Please enter the password:"],
         ["getpass", "Please enter the tenant:"]]

# Scripted answers for getpass.getpass and input(); the snippet that follows
# leaves what it wants checked in `result`, printed as the last line.
PRELUDE = r"""
import builtins, getpass, json, sys
answers, asked, result = json.loads(sys.argv[1]), [], {}
def _prompt(kind):
    def ask(prompt="", stream=None):
        asked.append([kind, prompt])
        return answers.pop(0)
    return ask
getpass.getpass, builtins.input = _prompt("getpass"), _prompt("input")
try:
    exec(sys.argv[2])
except BaseException as err:
    result["error"] = [type(err).__name__, str(err)]
print("\nRESULT " + json.dumps(dict(result, asked=asked)))
"""


class Run:
    def __init__(self, stdout):
        self.out, self.result = stdout.rpartition("\nRESULT ")[0], reported(stdout)
        self.asked, self.error = self.result["asked"], self.result.get("error")


@pytest.fixture
def sdk(svc, tmp_path):
    """Runs a snippet in a new interpreter that sees the private package copy."""
    site = private_site(str(tmp_path / "site"))
    env = client_env(svc, site)
    svc.state.clear_requests()

    def run(code, answers=()):
        return Run(run_python(PRELUDE, json.dumps(list(answers)), code, env=env, cwd=tmp_path))

    run.store = store_path(site)
    return run


IMPORT_ENDPOINTS = ("from quillon.velto_gpt_sdk import endpoints as e\n"
                    "result.update(token=e.auth_token, tenant=e.tenant, url=e.QUILLON_ENGINE_URL)")


@pytest.fixture
def logged_in(sdk):
    first = sdk(IMPORT_ENDPOINTS, DEMO_ANSWERS)
    assert first.error is None and first.asked == ASKED
    return first


def read_store(sdk):
    with open(sdk.store) as f:
        return json.load(f)


def test_first_login_asks_and_writes_the_store(sdk, svc, logged_in):
    assert logged_in.out == NOT_PROVIDED
    assert (logged_in.result["tenant"], logged_in.result["url"]) == (DEMO_TENANT, "https://demo.quillon.example")
    assert stat.S_IMODE(os.stat(sdk.store).st_mode) == 0o600
    password = base64.b64encode(DEMO_PASSWORD.encode()).decode()
    assert list(read_store(sdk).items()) == [  # in this order
        ("VELTO_USERNAME", DEMO_EMAIL), ("VELTO_PASSWORD", password),
        ("VELTO_TOKEN", logged_in.result["token"]), ("VELTO_TENANT", DEMO_TENANT)]
    (login,) = svc.state.requests
    assert (login.method, login.host, login.path) == ("POST", "demo.quillon.example", "/auth/get_token")
    assert login.headers["content-type"] == "application/json"
    assert login.body == json.dumps({"email": DEMO_EMAIL, "password": DEMO_PASSWORD}).encode()
    # The next session finds the accepted token and asks nothing.
    with open(sdk.store, "rb") as f:
        before = f.read()
    again = sdk("import quillon.velto_gpt_sdk.endpoints")
    assert (again.out, again.asked, again.error) == ("", [], None)
    with open(sdk.store, "rb") as f:
        assert f.read() == before
    assert [(r.method, r.path) for r in svc.state.requests[1:]] == [("GET", "/")]


# Expires the tenant's tokens from inside the snippet, through the admin port.
ADMIN_EXPIRE = ("import urllib.request\n"
                "opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))\n"
                "opener.open(urllib.request.Request(ADMIN + '/expire', data=b'', method='POST')).close()\n")


@pytest.mark.parametrize("when", ["at import", "before a completion"])
def test_expired_token_is_renewed_with_the_stored_login(sdk, svc, logged_in, when):
    old = logged_in.result["token"]
    if when == "at import":
        svc.state.expire_tokens(DEMO_TENANT)
        run = sdk("from quillon.velto_gpt_sdk import nbassist, endpoints as e\nresult['token'] = e.auth_token")
    else:
        run = sdk(IMPORT_ENDPOINTS + f"\nADMIN = {svc.proxy_url + '/_admin'!r}\n" + ADMIN_EXPIRE
                  + "e.get_completion('Write python code for: Apply PCA')\nresult['after'] = e.auth_token")
        assert run.result["token"] == old
    new = run.result.get("after", run.result["token"])
    assert (run.out, run.asked, run.error) == (EXPIRED, [], None)
    assert new != old and svc.state.token_valid(DEMO_TENANT, new)
    assert read_store(sdk)["VELTO_TOKEN"] == new
    completions = [r for r in svc.state.requests if r.path == "/get-completion"]
    assert [r.headers["Authorization"] for r in completions] == ["Bearer " + new] * len(completions)


@pytest.mark.parametrize("answers", [
    [DEMO_EMAIL, "wrong password", DEMO_TENANT],
    [DEMO_EMAIL, DEMO_PASSWORD, "another-tenant"],
])
def test_refused_login_fails_the_import(sdk, answers):
    run = sdk("import quillon.velto_gpt_sdk.endpoints", answers)
    assert run.error == ["PermissionError", REFUSED]
    assert (run.out, run.asked) == (NOT_PROVIDED, ASKED)
    assert not os.path.exists(sdk.store)


def test_stored_login_refused_asks_again(sdk, svc):
    svc.state.add_user(DEMO_TENANT, "leaver@example.com", "pw")
    assert sdk(IMPORT_ENDPOINTS, ["leaver@example.com", "pw", DEMO_TENANT]).error is None
    svc.state.add_user(DEMO_TENANT, "leaver@example.com", "changed elsewhere")
    svc.state.expire_tokens(DEMO_TENANT)
    run = sdk(IMPORT_ENDPOINTS, DEMO_ANSWERS)
    assert (run.out, run.asked, run.error) == (EXPIRED + REFUSED + "\n", ASKED, None)
    assert read_store(sdk)["VELTO_USERNAME"] == DEMO_EMAIL


@pytest.mark.parametrize("token, accepted", [(DEMO_APP_TOKEN, True), ("not-a-token", False)])
def test_app_token_login(sdk, svc, token, accepted):
    code = ("from quillon.validation.authentication import authenticate_secret\n"
            "result['pair'] = authenticate_secret()\n"
            "result['again'] = authenticate_secret()")
    run = sdk(code, [token, DEMO_TENANT])
    assert run.asked == [["input", "Please enter the token: "], ["input", "Please enter the tenant: "]]
    assert [r.path for r in svc.state.requests] == [f"/validate-app-token/{token}?api_key={token}"] * (1 + accepted)
    if accepted:
        assert (run.out, run.error) == ("VELTO_SECRET is not provided please add it manually\n", None)
        assert run.result["pair"] == run.result["again"] == [token, DEMO_TENANT]
        assert read_store(sdk) == {"VELTO_SECRET": token, "VELTO_TENANT": DEMO_TENANT}
    else:
        assert run.error == ["PermissionError", "Invalid token, program will exit now"]
        assert run.out.endswith("Provided token is invalid. Please provide a valid token\n")
        assert not os.path.exists(sdk.store)


def test_completions_on_the_wire(sdk, svc, logged_in):
    code = ("from quillon.velto_gpt_sdk import endpoints as e, nbassist\n"
            "result['raw'] = e.get_completion('Write python code for: Apply PCA')\n"
            "result['code'] = nbassist.generate_code_completion('Apply PCA', {'n': 1},\n"
            "                                                  jupyter_mode=False)\n"
            "result['token'] = e.auth_token")
    svc.state.clear_requests()
    run = sdk(code)
    assert (run.out, run.error) == ("", None)
    # Two token checks at import, then one before each completion request.
    assert [(r.method, r.path) for r in svc.state.requests] == \
        [("GET", "/")] * 2 + [("GET", "/"), ("POST", "/get-completion")] * 2
    token = run.result["token"]
    assert {r.headers["Authorization"] for r in svc.state.requests} == {"Bearer " + token}
    bodies = [r.json() for r in svc.state.requests if r.path == "/get-completion"]
    assert [list(b) for b in bodies] == [["query", "max_tokens"]] * 2
    assert bodies[0] == {"query": "Write python code for: Apply PCA", "max_tokens": 1000}
    assert bodies[1]["query"].endswith("name: n, type: <class 'int'>\n\n"
                                       "Use them as context and Write python code for: : Apply PCA")
    assert run.result["raw"] == {"completion": complete(bodies[0]["query"])}
    assert run.result["code"] == complete(bodies[1]["query"])


@pytest.mark.slow
def test_demo_notebook_runs_every_generated_cell(tmp_path):
    """`make demo`: each answer becomes a cell of the notebook and runs on its sales frame."""
    saved = tmp_path / "demo.ipynb"
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    run = subprocess.run([sys.executable, "-m", "devservice.demo", "--save", str(saved)], cwd=root,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
    # A generated cell that fails stops the demo, which then says so and exits 1.
    assert "demo OK" in run.stdout and "4 generated code cells ran without error" in run.stdout
    # What makes the demo worth reading, and shows that the stand-in read the SDK's prompt:
    # the request, the frame described in the context sent with it, and answers that use it.
    for shown in ("asked:    total units per region as a bar chart",
                  "revenue = (sales['units'] * sales['price']).tolist()", "Did you mean 'region'?"):
        assert shown in run.stdout
    assert re.search(r"DataFrame \(region (str|object), units int64, price float64\)", run.stdout)
    import nbformat

    cells = nbformat.read(saved, as_version=4).cells
    generated = [c for c in cells if "generated_for" in c.metadata]
    assert [c.cell_type for c in generated] == ["code", "code", "code", "code", "markdown"]
