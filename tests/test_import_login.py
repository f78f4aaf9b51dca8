"""Importing the engine client logs in; each case runs in a fresh interpreter."""
import json
import os
import shutil
import textwrap

import pytest

import quillon
from conftest import CHILD_PRELUDE, reported, run_python

PROMPTS = ["Please enter the username:", "Please enter the password:", "Please enter the tenant:"]

PRELUDE = CHILD_PRELUDE + '''
assert quillon.__file__.startswith(SITE), quillon.__file__
asked = []

def fake_getpass(prompt="Password: ", stream=None):
    asked.append(prompt)
    return ANSWERS.pop(0)

getpass.getpass = fake_getpass
NAME = "quillon.velto_gpt_sdk.endpoints"

def paths():
    return [c.request.method + " " + c.request.url for c in mock.calls]
'''

COMPLETE = {
    "VELTO_USERNAME": "ada@example.org",
    "VELTO_PASSWORD": "cHc=",  # "pw"
    "VELTO_TOKEN": "stored-token",
    "VELTO_TENANT": "acme",
}


@pytest.fixture
def run(tmp_path):
    site = tmp_path / "site"
    shutil.copytree(
        os.path.dirname(quillon.__file__), site / "quillon",
        ignore=shutil.ignore_patterns("__pycache__", "secret.json"),
    )
    store = site / "quillon" / "secret.json"

    def run(body, answers=(), stored=None):
        if stored is not None:
            store.write_text(json.dumps(stored))
        script = f"SITE = {str(site)!r}\nANSWERS = {list(answers)!r}\n" + PRELUDE + textwrap.dedent(body)
        out = run_python(script, env=dict(os.environ, PYTHONPATH=str(site)), timeout=60)
        printed = [line for line in out.splitlines() if not line.startswith("RESULT ")]
        return printed, reported(out), (json.loads(store.read_text()) if store.exists() else None)

    return run


def test_accepted_store_logs_in_without_prompts(run):
    printed, result, stored = run('''
        mock.get(url("acme"), status=200)
        import quillon.velto_gpt_sdk.endpoints as ep
        report(token=ep.auth_token, tenant=ep.tenant, base=ep.QUILLON_ENGINE_URL,
               asked=asked, sent=paths(), auth=mock.calls[0].request.headers["Authorization"])
    ''', stored=COMPLETE)
    assert result == {
        "token": "stored-token", "tenant": "acme", "base": "https://acme.quillon.example",
        "asked": [], "sent": ["GET https://acme.quillon.example/"], "auth": "Bearer stored-token",
    }
    assert printed == [] and stored == COMPLETE


def test_empty_store_asks_three_times(run):
    printed, result, stored = run('''
        mock.post(url("beta", "/auth/get_token"), json={"token": "fresh"})
        import quillon.velto_gpt_sdk.endpoints as ep
        report(token=ep.auth_token, tenant=ep.tenant, base=ep.QUILLON_ENGINE_URL, asked=asked, sent=paths())
    ''', answers=["bob@example.org", "hunter2", "beta"])
    assert result == {
        "token": "fresh", "tenant": "beta", "base": "https://beta.quillon.example",
        "asked": PROMPTS, "sent": ["POST https://beta.quillon.example/auth/get_token"],
    }
    assert printed == ["USERNAME and PASSWORD are not provided please add it manually"]
    assert stored["VELTO_TOKEN"] == "fresh" and stored["VELTO_TENANT"] == "beta"


def test_refused_login_fails_import_and_next_import_logs_in_again(run):
    _, result, stored = run('''
        refused = mock.post(url("beta", "/auth/get_token"), status=401)
        try:
            import quillon.velto_gpt_sdk.endpoints
        except PermissionError as err:
            first = [type(err).__name__, str(err), NAME in sys.modules]
        mock.remove(refused)
        mock.post(url("beta", "/auth/get_token"), json={"token": "second"})
        import quillon.velto_gpt_sdk.endpoints as ep
        report(first=first, token=ep.auth_token, asked=len(asked), logins=len(mock.calls),
               functions=[hasattr(ep, n) for n in ("_invoke_gpt_engine", "_invoke_completion", "get_completion")])
    ''', answers=["bob@example.org", "hunter2", "beta"] * 2)
    assert result == {
        "first": ["PermissionError", "Invalid username and password, program will exit now", False],
        "token": "second", "asked": 6, "logins": 2, "functions": [True, True, True],
    }
    assert stored["VELTO_TOKEN"] == "second"


@pytest.mark.parametrize("pair", [("a", "b", "c"), ("a",), ()])
def test_login_result_not_a_pair(run, pair):
    _, result, _ = run(f'''
        credgate.authenticate_credentials = lambda: {pair!r}
        try:
            import quillon.velto_gpt_sdk.endpoints
        except ValueError:
            failed = NAME not in sys.modules
        credgate.authenticate_credentials = lambda: ("ok", "acme")
        import quillon.velto_gpt_sdk.endpoints as ep
        report(failed=failed, token=ep.auth_token)
    ''')
    assert result == {"failed": True, "token": "ok"}


@pytest.mark.parametrize("tenant, base", [  # tenant as Python source for the login's result
    ("None", "https://None.quillon.example"),
    ("42", "https://42.quillon.example"),
])
def test_base_url_from_import_time_tenant(run, tenant, base):
    _, result, _ = run(f'''
        credgate.authenticate_credentials = lambda: ("t", {tenant})
        import quillon.velto_gpt_sdk.endpoints as ep
        report(base=ep.QUILLON_ENGINE_URL, tenant_is_raw=ep.tenant == {tenant})
    ''')
    assert result == {"base": base, "tenant_is_raw": True}


def test_import_refuses_a_tenant_that_names_another_host(run):
    _, result, _ = run('''
        credgate.authenticate_credentials = lambda: ("t", "attacker.example/#")
        try:
            import quillon.velto_gpt_sdk.endpoints
            report(error=None)
        except ValueError as err:
            report(error=str(err).split(":")[0])
    ''')
    assert result == {"error": "invalid tenant 'attacker.example/#'"}


def test_reimport_after_removal_does_not_log_in_again(run):
    _, result, _ = run('''
        mock.get(url("acme"), status=200)
        import quillon.velto_gpt_sdk.endpoints as first
        del sys.modules[NAME]
        import importlib
        second = importlib.import_module(NAME)
        report(same=first is second is sys.modules[NAME], checks=len(mock.calls))
    ''', stored=COMPLETE)
    assert result == {"same": True, "checks": 1}
