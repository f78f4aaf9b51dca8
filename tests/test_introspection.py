"""The SDK's functions look and bind like ordinary Python functions."""
import functools
import gc
import inspect
import pydoc
import sys
import weakref

import pytest

import quillon.validation.authentication  # noqa: F401  (looked up in sys.modules)
import quillon.validation.credgate as credgate
from _notebook import nb, shown  # noqa: F401  (fixtures)
from conftest import SIGNATURES, docstring, twin

PARAMS = SIGNATURES["credgate"]


DOCS = {
    "_check_credentials": docstring(4, 
        "Check if the credentials are present",
        ":return: True if the credentials are present else False",
    ),
    "_update_credentials": docstring(4, 
        "Update the credentials in the secret file",
        ":param username: username to be updated",
        ":param password: password to be updated",
        ":param auth_token: token to be updated",
        ":return:",
    ),
    "_encrypt": None,
    "_decrypt": None,
    "authenticate_credentials": docstring(4, "Authenticate the credentials"),
    "_validate_credentials": docstring(4, 
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
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "quillon.validation.credgate")
    assert f.__doc__ == DOCS[name]
    assert callable(f) and not inspect.isclass(f)


def test_help_text():
    text = pydoc.render_doc(credgate.authenticate_credentials, renderer=pydoc.plaintext)
    assert "authenticate_credentials()" in text
    assert "Authenticate the credentials" in text


# Every function of the SDK beside the plain Python function it stands for: the
# twin is the oracle for the signature, the defaults, the annotations and the
# interpreter's wording of every binding error.
SDK = "quillon.validation.credgate", "quillon.validation.authentication", "quillon.velto_gpt_sdk.endpoints", \
    "quillon.velto_gpt_sdk.nbassist"
CASES = [(module, qualname) for module, functions in SIGNATURES.items() for qualname in functions]


@pytest.fixture
def sdk(nb, shown):
    """The function behind each case, the two form handlers taken from a form."""
    functions = {}
    for module in SDK:
        for name in SIGNATURES[module.rsplit(".", 1)[1]]:
            if "<locals>" not in name:
                functions[module.rsplit(".", 1)[1], name] = getattr(sys.modules[module], name)
    nb.generate_code({})
    box = shown[-1]
    drop, button = box.children[0], box.children[3]
    functions["nbassist", "generate_code.<locals>.on_button_clicked"] = button._click_handlers.callbacks[0]
    functions["nbassist", "generate_code.<locals>.update_text_box"] = next(
        h for h in drop._trait_notifiers["value"]["change"] if getattr(h, "__name__", "") == "update_text_box")
    return functions


@pytest.mark.parametrize("module, qualname", CASES)
def test_looks_like_its_twin(sdk, module, qualname):
    f, expected = sdk[module, qualname], twin(module, qualname)
    assert (f.__name__, f.__qualname__) == (expected.__name__, expected.__qualname__)
    assert str(inspect.signature(f)) == str(inspect.signature(expected))
    assert (f.__defaults__, f.__kwdefaults__, f.__annotations__) == (
        expected.__defaults__, expected.__kwdefaults__, expected.__annotations__)
    assert f.__code__.co_varnames == expected.__code__.co_varnames
    assert f.__code__.co_argcount == expected.__code__.co_argcount


def _bad_calls(module, qualname):
    params = list(inspect.signature(twin(module, qualname)).parameters.values())
    names = [p.name for p in params]
    required = sum(p.default is inspect.Parameter.empty for p in params)
    n = len(params)
    yield tuple(range(n + 1)), {}  # one too many
    yield tuple(range(n + 2)), {"bogus": 1}
    yield (), {"bogus": 1}
    yield (), {1: 2}  # a keyword that is not text
    if n:
        yield tuple(range(n)), {names[0]: 0}  # multiple values
        yield tuple(range(n + 1)), {names[-1]: 0}
        for given in range(required):
            yield tuple(range(given)), {}  # required ones missing
    if n > 1:
        yield (), {names[-1]: 0}  # only the last, by keyword
        yield (), dict.fromkeys(names[1:], 0)


BAD_CALLS = [(module, qualname, args, kwargs) for module, qualname in CASES
             for args, kwargs in _bad_calls(module, qualname)]


@pytest.mark.parametrize("module, qualname, args, kwargs", BAD_CALLS)
def test_binding_errors_match_python(sdk, module, qualname, args, kwargs):
    try:
        twin(module, qualname)(*args, **kwargs)
    except TypeError as err:
        expected = str(err)
    else:
        return  # a call the twin takes is no binding error (it would reach the SDK's own code)
    with pytest.raises(TypeError) as got:
        sdk[module, qualname](*args, **kwargs)
    assert str(got.value) == expected


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
