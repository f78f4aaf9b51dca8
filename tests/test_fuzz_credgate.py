"""Random calls of every login function: they may raise, but must never crash the process."""
import getpass
import json
import os
import re
import tempfile

import requests
import responses
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quillon.validation.credgate as credgate
from conftest import CREDGATE_PARAMS

PARAMS = CREDGATE_PARAMS
KEYS = ["VELTO_USERNAME", "VELTO_PASSWORD", "VELTO_TOKEN", "VELTO_TENANT"]
ANY_HOST = re.compile(r"https://[^/]*\.quillon\.example(/.*)?$")
HUGE = "x" * 1_000_000


class Hostile:
    def _fail(self, *args):
        raise RuntimeError("hostile")

    __str__ = __repr__ = __format__ = __eq__ = __hash__ = __bool__ = __len__ = _fail


class OddStr(str):
    def __radd__(self, other):
        return 5

    def encode(self, *args, **kwargs):
        raise ValueError("no encoding")


class PlainStr(str):
    pass


class OddDict(dict):
    def get(self, *args):
        raise KeyError("odd")


values = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.binary(max_size=20),
    st.text(max_size=20), st.text(max_size=5).map(PlainStr), st.text(max_size=5).map(OddStr),
    st.sampled_from(["\ud800", "a\udfffb", HUGE, "acme", "", "aGk=", "//4="]),
    st.builds(Hostile), st.dictionaries(st.text(max_size=3), st.integers(), max_size=2).map(OddDict),
    st.lists(st.integers(), max_size=2),
)

sane = st.one_of(st.text(max_size=10), st.sampled_from(["acme", "beta", "ada@example.org", "czNjcjN0"]))
some = st.one_of(sane, sane, values)

stores = st.one_of(
    st.fixed_dictionaries({k: sane for k in KEYS}).map(json.dumps),
    st.none(),
    st.sampled_from(["", "not json", "[]", "null", '{"VELTO_SECRET": "s", "VELTO_TENANT": "acme"}']),
    st.fixed_dictionaries({k: st.one_of(st.text(max_size=10), st.none(), st.integers()) for k in KEYS})
    .map(json.dumps),
)

answers = st.one_of(
    st.tuples(st.sampled_from([200, 200, 204, 401, 500]),
              st.sampled_from(['{"token": "t"}', "{}", '{"token": null}', '{"token": [1]}',
                               "[1]", "garbage", ""])),
    st.just(requests.exceptions.ConnectionError("down")),
)


def arguments(name):
    params = PARAMS[name]
    exact = st.lists(some, min_size=len(params), max_size=len(params)).flatmap(
        lambda vals: st.integers(0, len(params)).map(
            lambda cut: (tuple(vals[:cut]), dict(zip(params[cut:], vals[cut:])))
        )
    )
    loose = st.tuples(
        st.lists(values, max_size=5).map(tuple),
        st.dictionaries(st.sampled_from(params + ("bogus", "timeout")), values, max_size=3),
    )
    return st.one_of(exact, exact, loose)


@settings(max_examples=500, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data(), name=st.sampled_from(sorted(PARAMS)), initial=stores)
def test_random_calls_never_crash(data, name, initial):
    args, kwargs = data.draw(arguments(name))

    def answer(request):
        drawn = data.draw(answers)
        if isinstance(drawn, Exception):
            raise drawn
        return drawn[0], {}, drawn[1]

    def fake_getpass(prompt=""):
        drawn = data.draw(st.one_of(sane, sane, st.just(EOFError)))
        if drawn is EOFError:
            raise EOFError
        return drawn

    saved_path, saved_getpass = credgate.secret_file_path, getpass.getpass
    with tempfile.TemporaryDirectory() as folder, responses.RequestsMock(
        assert_all_requests_are_fired=False
    ) as service:
        path = os.path.join(folder, "secret.json")
        if initial is not None:
            with open(path, "w") as f:
                f.write(initial)
        service.add_callback(responses.GET, ANY_HOST, callback=answer)
        service.add_callback(responses.POST, ANY_HOST, callback=answer)
        credgate.secret_file_path, getpass.getpass = path, fake_getpass
        try:
            getattr(credgate, name)(*args, **kwargs)
            event(f"{name}: returned")
        except Exception as error:
            event(f"{name}: {type(error).__name__}")
        finally:
            credgate.secret_file_path, getpass.getpass = saved_path, saved_getpass

        assert sorted(os.listdir(folder)) in ([], ["secret.json"])
        if os.path.exists(path):
            with open(path) as f:
                text = f.read()
            if text != initial:
                assert list(json.loads(text)) == KEYS
