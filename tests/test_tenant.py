"""A tenant is one label of the service's host name. Anything else would put another
host into the URL and send the password, the bearer token or the app token there, so
it is refused before a request is built, and a stored one counts as no login at all."""
import re

import pytest

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
from conftest import COMPLETE, NOT_LOCAL

HOSTILE = ["attacker.example/#", "attacker.example?", "acme.attacker.example", "user@attacker.example",
           "attacker.example:443", "", "-acme", "acme-", "a" * 64, "ac me", "acme\n", "ácme", "acme/"]
LABELS = ["acme", "a", "a" * 63, "ACME-42", "x-1-y", "42"]


REQUESTS = {
    "login": lambda tenant: credgate._validate_credentials("ada@example.org", "s3cr3t", tenant),
    "token check": lambda tenant: credgate.validate_token("bearer-token", tenant),
    "app-token check": lambda tenant: authentication._validate_secret("app-token", tenant),
}


@pytest.mark.parametrize("tenant", HOSTILE)
@pytest.mark.parametrize("request_name", REQUESTS)
def test_hostile_tenant_is_refused_before_any_request(service, capsys, request_name, tenant):
    with pytest.raises(ValueError, match="invalid tenant"):
        REQUESTS[request_name](tenant)
    assert len(service.calls) == 0 and capsys.readouterr().out == ""


@pytest.mark.parametrize("tenant", LABELS)
@pytest.mark.parametrize("request_name", REQUESTS)
def test_label_reaches_its_own_host(service, request_name, tenant):
    host = f"https://{tenant.lower()}.quillon.example"  # host names are case-folded
    service.get(host + "/")
    service.post(host + "/auth/get_token", json={"token": "t"})
    service.get(host + "/validate-app-token/app-token?api_key=app-token")
    REQUESTS[request_name](tenant)
    [call] = service.calls
    assert call.request.url.startswith(host + "/")


@pytest.mark.parametrize("tenant", ["attacker.example/#", "", "a b"])
@pytest.mark.parametrize("login", ["credential", "app token"])
def test_typed_hostile_tenant_ends_the_login_unsent(store, prompts, typed, service, login, tenant):
    if login == "credential":
        prompts.answer("ada@example.org", "s3cr3t", tenant)
        run = credgate.authenticate_credentials
    else:
        typed.answer("app-token", tenant)
        run = authentication.authenticate_secret
    with pytest.raises(ValueError, match=re.escape(f"invalid tenant {tenant!r}:")):
        run()
    assert len(service.calls) == 0 and not store.exists()


@pytest.mark.parametrize("tenant", ["attacker.example/#", "acme.attacker.example", ""])
def test_stored_hostile_tenant_counts_as_an_incomplete_store(store, prompts, service, capsys,
                                                              tenant):
    store.write(dict(COMPLETE, VELTO_TENANT=tenant))
    assert credgate._check_credentials() == (False, None, None)
    assert capsys.readouterr().out.splitlines() == [NOT_LOCAL]

    store.write({"VELTO_SECRET": "app-token", "VELTO_TENANT": tenant})
    assert authentication._check_secret() is False
    assert authentication._get_secret() == (None, None)
    assert len(service.calls) == 0 and capsys.readouterr().out == ""
