"""The SDK's functions look, bind and document themselves like ordinary Python functions,
in help(), in IPython's `obj?` and in its tab completion too."""
import functools
import inspect
import pydoc
import sys

import pytest
from IPython.core.completer import provisionalcompleter
from IPython.core.interactiveshell import InteractiveShell

import quillon.validation.authentication  # noqa: F401  (looked up in sys.modules)
import quillon.validation.credgate as credgate
from _notebook import nb, shown  # noqa: F401  (fixtures)
from conftest import SIGNATURES, docstring, form_handlers, twin

DOCS = {
    "_check_credentials": docstring(4, "Check if the credentials are present",
                                    ":return: True if the credentials are present else False"),
    "_update_credentials": docstring(4, "Update the credentials in the secret file",
                                     ":param username: username to be updated",
                                     ":param password: password to be updated",
                                     ":param auth_token: token to be updated", ":return:"),
    "_encrypt": None,
    "_decrypt": None,
    "authenticate_credentials": docstring(4, "Authenticate the credentials"),
    "_validate_credentials": docstring(4, "Validate the credentials",
                                       ":param username: username to be validated",
                                       ":param password: password to be validated",
                                       ":return: True if the credentials are valid else False"),
    "validate_token": None,
}


@pytest.mark.parametrize("name, doc", DOCS.items())
def test_credential_login_docstrings(name, doc):
    assert getattr(credgate, name).__doc__ == doc


SDK = {"credgate": "quillon.validation.credgate",
       "authentication": "quillon.validation.authentication",
       "endpoints": "quillon.velto_gpt_sdk.endpoints",
       "nbassist": "quillon.velto_gpt_sdk.nbassist"}
CASES = [(module, qualname) for module, functions in SIGNATURES.items() for qualname in functions]


@pytest.fixture
def sdk(nb, shown):
    """The function behind each case, the two form handlers taken from a form."""
    functions = {(module, name): getattr(sys.modules[SDK[module]], name)
                 for module, name in CASES if "<locals>" not in name}
    nb.generate_code({})
    for name, handler in form_handlers(shown[-1]).items():
        functions["nbassist", "generate_code.<locals>." + name] = handler
    return functions


# The twin, the plain Python function a case stands for, is the oracle for the signature, the
# defaults, the annotations and the interpreter's wording of every binding error.
@pytest.mark.parametrize("module, qualname", CASES)
def test_looks_like_its_twin(sdk, module, qualname):
    f, expected = sdk[module, qualname], twin(module, qualname)
    assert (f.__name__, f.__qualname__) == (expected.__name__, expected.__qualname__)
    assert f.__module__ == SDK[module]
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


def test_binds_as_a_method_and_through_partial():
    class Holder:
        decode = credgate._decrypt

    holder = Holder()
    assert holder.decode() is holder  # bound: the instance is the argument
    assert Holder.decode(ciphertext="aGk=") == "hi"  # through the class: plain function
    assert Holder.__dict__["decode"].__get__(None, Holder) is credgate._decrypt
    assert functools.partial(credgate._encrypt, "hi")() == "aGk="


@pytest.fixture(scope="module")
def shell(nb):
    shell = InteractiveShell.instance()
    shell.user_ns.update(optimize_code=nb.optimize_code)
    yield shell
    InteractiveShell.clear_instance()


def flat(text):
    """A signature as one line: IPython, and pydoc from 3.13 on, break long ones."""
    text = " ".join(text.split())
    return text.replace("( ", "(").replace(", )", ")").replace(" )", ")")


OPTIMIZE = ("optimize_code(code: 'str', global_variables: 'dict' = None, "
            "jupyter_mode: 'bool' = True)")


def test_question_mark_and_help_show_signature_and_docstring(shell, nb):
    info = shell.object_inspect("optimize_code")
    assert flat(info["definition"]) == OPTIMIZE
    assert info["docstring"].splitlines()[0] == "Optimize the code"
    assert info["type_name"] == "function"
    text = pydoc.render_doc(nb.optimize_code, renderer=pydoc.plaintext)
    assert OPTIMIZE in flat(text)
    assert ":param jupyter_mode: If the user is using a jupyter notebook or not" in text


def test_tab_completion_offers_parameter_names(shell):
    line = "optimize_code('x', jupy"
    with provisionalcompleter():
        matches = [c.text for c in shell.Completer.completions(line, len(line))]
    assert "jupyter_mode=" in matches
