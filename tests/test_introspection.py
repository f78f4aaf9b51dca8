"""The login functions look and bind like ordinary Python functions."""
import functools
import gc
import inspect
import pydoc
import weakref

import pytest

import quillon.validation.credgate as credgate
from conftest import CREDGATE_PARAMS

PARAMS = CREDGATE_PARAMS


def _doc(*lines):
    return "".join("\n    " + line for line in lines) + "\n    "


DOCS = {
    "_check_credentials": _doc(
        "Check if the credentials are present",
        ":return: True if the credentials are present else False",
    ),
    "_update_credentials": _doc(
        "Update the credentials in the secret file",
        ":param username: username to be updated",
        ":param password: password to be updated",
        ":param auth_token: token to be updated",
        ":return:",
    ),
    "_encrypt": None,
    "_decrypt": None,
    "authenticate_credentials": _doc("Authenticate the credentials"),
    "_validate_credentials": _doc(
        "Validate the credentials",
        ":param username: username to be validated",
        ":param password: password to be validated",
        ":return: True if the credentials are valid else False",
    ),
    "validate_token": None,
}


@pytest.mark.parametrize("name", PARAMS)
def test_metadata(name):
    f = getattr(credgate, name)
    assert str(inspect.signature(f)) == "(" + ", ".join(PARAMS[name]) + ")"
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "quillon.validation.credgate")
    assert f.__doc__ == DOCS[name]
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__annotations__ == {}
    assert callable(f) and not inspect.isclass(f)


def test_help_text():
    text = pydoc.render_doc(credgate.authenticate_credentials, renderer=pydoc.plaintext)
    assert "authenticate_credentials()" in text
    assert "Authenticate the credentials" in text


def _twin(name):
    """A plain Python function with the same name and parameters, as the oracle."""
    namespace = {}
    exec(f"def {name}({', '.join(PARAMS[name])}): pass", namespace)
    return namespace[name]


def _bad_calls():
    for name, params in PARAMS.items():
        n = len(params)
        yield name, tuple(range(n + 1)), {}  # one too many
        yield name, tuple(range(n + 2)), {"bogus": 1}
        yield name, (), {"bogus": 1}
        yield name, (), {1: 2}  # a keyword that is not text
        if n:
            yield name, tuple(range(n)), {params[0]: 0}  # multiple values
            yield name, tuple(range(n + 1)), {params[-1]: 0}
            for given in range(n):
                yield name, tuple(range(given)), {}  # n - given missing
        if n > 1:
            yield name, (), {params[-1]: 0}  # only the last, by keyword
            yield name, (), dict.fromkeys(params[1:], 0)


@pytest.mark.parametrize("name, args, kwargs", list(_bad_calls()))
def test_binding_errors_match_python(name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        _twin(name)(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(credgate, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize(
    "name, count, wording",
    [
        ("_decrypt", 1, "missing 1 required positional argument: 'ciphertext'"),
        ("validate_token", 2, "missing 2 required positional arguments: 'token' and 'tenant'"),
        ("_validate_credentials", 3,
         "missing 3 required positional arguments: 'username', 'password', and 'tenant'"),
    ],
)
def test_missing_argument_wording(name, count, wording):
    with pytest.raises(TypeError, match=f"^{name}\\(\\) {wording}$"):
        getattr(credgate, name)()


def test_call_through_partial():
    assert functools.partial(credgate._encrypt, "hi")() == "aGk="
    assert functools.partial(credgate._decrypt, ciphertext="aGk=")() == "hi"


def test_descriptor_binding():
    class Holder:
        decode = credgate._decrypt

    holder = Holder()
    assert holder.decode() is holder  # bound: the instance is the argument
    assert Holder.decode("aGk=") == "hi"  # through the class: plain function
    assert Holder.__dict__["decode"].__get__(None, Holder) is credgate._decrypt


@pytest.mark.parametrize("name", PARAMS)
def test_weakref_and_gc(name):
    f = getattr(credgate, name)
    assert weakref.ref(f)() is f
    assert gc.is_tracked(f)
