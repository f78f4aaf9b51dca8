"""Importing the engine client logs in; each case runs in a fresh interpreter."""
import textwrap

import pytest

from conftest import CHILD_PRELUDE, CHILD_STORE, reported, run_python

PROMPTS = ["Please enter the username:", "Please enter the password:", "Please enter the tenant:"]
STORED = {"VELTO_USERNAME": "ada@example.org", "VELTO_PASSWORD": "cHc=", "VELTO_TOKEN": "tok",
          "VELTO_TENANT": "acme"}

PRELUDE = '''
asked = []

def fake_getpass(prompt="Password: ", stream=None):
    asked.append(prompt)
    return ANSWERS.pop(0)

getpass.getpass = fake_getpass
NAME = "quillon.velto_gpt_sdk.endpoints"

def paths():
    return [c.request.method + " " + c.request.url for c in mock.calls]

def stored():
    with open(store) as f:
        return json.load(f)
'''


def run(body, answers=()):
    """What the child printed, line by line, and what it reported."""
    out = run_python(CHILD_PRELUDE + CHILD_STORE + f"ANSWERS = {list(answers)!r}\n" + PRELUDE
                     + textwrap.dedent(body), timeout=60)
    return [line for line in out.splitlines() if not line.startswith("RESULT ")], reported(out)


def test_accepted_store_logs_in_without_prompts():
    printed, result = run('''
        import quillon.velto_gpt_sdk.endpoints as ep
        report(token=ep.auth_token, tenant=ep.tenant, base=ep.QUILLON_ENGINE_URL, asked=asked,
               sent=paths(), auth=mock.calls[0].request.headers["Authorization"], stored=stored())
    ''')
    assert printed == []
    assert result == {"token": "tok", "tenant": "acme", "base": "https://acme.quillon.example",
                      "asked": [], "sent": ["GET https://acme.quillon.example/"],
                      "auth": "Bearer tok", "stored": STORED}


def test_empty_store_asks_and_a_refused_login_fails_the_import_until_one_is_accepted():
    printed, result = run('''
        os.remove(store)
        refused = mock.post(url("beta", "/auth/get_token"), status=401)
        try:
            import quillon.velto_gpt_sdk.endpoints
        except PermissionError as err:
            first = [type(err).__name__, str(err), NAME in sys.modules]
        mock.remove(refused)
        mock.post(url("beta", "/auth/get_token"), json={"token": "fresh"})
        import quillon.velto_gpt_sdk.endpoints as ep
        report(first=first, token=ep.auth_token, tenant=ep.tenant, base=ep.QUILLON_ENGINE_URL,
               asked=asked, sent=paths(), stored=stored(),
               functions=[hasattr(ep, n) for n in ("_invoke_gpt_engine", "_invoke_completion",
                                                    "get_completion")])
    ''', answers=["bob@example.org", "hunter2", "beta"] * 2)
    assert printed == ["USERNAME and PASSWORD are not provided please add it manually"] * 2
    assert result == {
        "first": ["PermissionError", "Invalid username and password, program will exit now", False],
        "token": "fresh", "tenant": "beta", "base": "https://beta.quillon.example",
        "asked": PROMPTS * 2, "sent": ["POST https://beta.quillon.example/auth/get_token"] * 2,
        "functions": [True] * 3, "stored": {"VELTO_USERNAME": "bob@example.org",
                                            "VELTO_PASSWORD": "aHVudGVyMg==",  # "hunter2"
                                            "VELTO_TOKEN": "fresh", "VELTO_TENANT": "beta"},
    }


# What the login hands the import (Python source), and the base URL, or the start of the
# ValueError that fails the import (the next import, with a sound login, must then work).
LOGINS = [
    ('("a", "b", "c")', ""), ('("a",)', ""), ("()", ""),
    ('("t", None)', "https://None.quillon.example"), ('("t", 42)', "https://42.quillon.example"),
    ('("t", "attacker.example/#")', "invalid tenant 'attacker.example/#'"),
]


@pytest.mark.parametrize("login, outcome", LOGINS)
def test_import_time_login_result(login, outcome):
    _, result = run(f'''
        login = {login}
        credgate.authenticate_credentials = lambda: login
        try:
            import quillon.velto_gpt_sdk.endpoints as ep
            first = [ep.QUILLON_ENGINE_URL, ep.tenant == login[1]]  # the tenant as it came
        except ValueError as err:
            first = ["ValueError: " + str(err), NAME in sys.modules]
        credgate.authenticate_credentials = lambda: ("ok", "acme")
        import quillon.velto_gpt_sdk.endpoints as ep
        report(first=first, token=ep.auth_token)
    ''')
    if outcome.startswith("https://"):
        assert result == {"first": [outcome, True], "token": "t"}
    else:
        error, listed = result["first"]
        assert error.startswith("ValueError: " + outcome) and not listed and result["token"] == "ok"
