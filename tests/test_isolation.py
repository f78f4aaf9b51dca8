"""One interpreter per process, one initialisation per module; each case in a fresh process."""
import os
import shutil
import sys

import pytest

import quillon
from conftest import run_child, run_python

MODULES = ["quillon.validation.credgate", "quillon.validation.authentication", "quillon.velto_gpt_sdk.promptbook",
           "quillon.velto_gpt_sdk.endpoints", "quillon.velto_gpt_sdk.nbassist",
           "quillon.velto_gpt_sdk.magics"]
CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

PRELUDE = r'''
try:
    import _xxsubinterpreters as interpreters  # 3.11, 3.12
except ImportError:
    import _interpreters as interpreters  # 3.13

MODULES = %r

def new_interpreter(kind):
    # "legacy" takes any extension module, so only the modules' own guard refuses them;
    # "isolated" (3.12 and later) has a GIL of its own, where CPython refuses them itself.
    if sys.version_info < (3, 12):
        return interpreters.create()
    if sys.version_info < (3, 13):
        return interpreters.create(isolated=kind == "isolated")
    return interpreters.create(kind)

def in_subinterpreter(statement, kind):
    """'ok', or the exception's type and text, of one statement run in a new interpreter."""
    path = os.path.join(tempfile.mkdtemp(), "outcome")
    interp = new_interpreter(kind)
    try:
        interpreters.run_string(interp, (
            f"try:\n    {statement}\n    outcome = 'ok'\n"
            f"except BaseException as err:\n    outcome = type(err).__name__ + ': ' + str(err)\n"
            f"open({path!r}, 'w').write(outcome)\n"))
    finally:
        interpreters.destroy(interp)
    with open(path) as f:
        return f.read()

def raised(action):
    try:
        action()
    except Exception as err:
        return err
''' % (MODULES,)


def run(body):
    return run_child(body, prelude=PRELUDE)


KINDS = [pytest.param("legacy", id="legacy"),
         pytest.param("isolated", id="isolated", marks=pytest.mark.skipif(
             sys.version_info < (3, 12), reason="interpreters with a GIL of their own came with 3.12"))]


def refusal(kind, name):
    if kind == "legacy":
        return "ImportError: " + CHANGE
    return f"ImportError: module {name} does not support loading in subinterpreters"


@pytest.mark.parametrize("kind", KINDS)
def test_second_interpreter_is_refused_each_module(kind):
    result = run(f'''
        loaded = [importlib.import_module(name) for name in MODULES]
        refused = {{name: in_subinterpreter(f"import {{name}}", {kind!r}) for name in MODULES}}
        ep = sys.modules["quillon.velto_gpt_sdk.endpoints"]
        report(refused=refused, same=[sys.modules[n] is m for n, m in zip(MODULES, loaded)],
               still_works=credgate._decrypt(credgate._encrypt("pé")), token=ep.auth_token)
    ''')
    assert result == {"refused": {name: refusal(kind, name) for name in MODULES},
                      "same": [True] * len(MODULES), "still_works": "pé", "token": "tok"}


@pytest.mark.parametrize("kind", KINDS)
def test_first_interpreter_keeps_the_module(kind):
    result = run(f'''
        first = in_subinterpreter("import quillon.velto_gpt_sdk.promptbook as p; assert len(p.prompts_list) == 27",
                                  {kind!r})
        try:
            import quillon.velto_gpt_sdk.promptbook
            main = "imported"
        except ImportError as err:
            main = str(err)
        report(first=first, main=main, listed="quillon.velto_gpt_sdk.promptbook" in sys.modules,
               credgate_here=credgate._encrypt("x"))
    ''')
    if kind == "legacy":  # the module stays with the interpreter that imported it first
        assert result == {"first": "ok", "main": CHANGE, "listed": False, "credgate_here": "eA=="}
    else:  # refused before it was made, so the main interpreter is the first
        assert result == {"first": refusal(kind, "quillon.velto_gpt_sdk.promptbook"), "main": "imported",
                          "listed": True, "credgate_here": "eA=="}


def test_reload_and_reimport_do_not_initialise_again():
    result = run('''
        loaded = {name: importlib.import_module(name) for name in MODULES}
        filters = len(warnings.filters)
        requests_before = len(mock.calls)
        credgate.secret_file_path = "kept"
        sys.modules["quillon.validation.authentication"].secret_file_path = "kept"
        sys.modules["quillon.velto_gpt_sdk.endpoints"].auth_token = "kept"
        catalogue = sys.modules["quillon.velto_gpt_sdk.promptbook"].prompts_list
        outcome = {}
        for name, module in loaded.items():
            functions = {k: v for k, v in vars(module).items() if callable(v) and not isinstance(v, type)}
            reloaded = importlib.reload(module)
            del sys.modules[name]
            again = importlib.import_module(name)
            outcome[name] = [reloaded is module, again is module, sys.modules[name] is module,
                             all(getattr(module, k) is v for k, v in functions.items())]
        report(outcome=outcome, requests=len(mock.calls) - requests_before, filters=len(warnings.filters) - filters,
               kept=[credgate.secret_file_path, sys.modules["quillon.validation.authentication"].secret_file_path,
                     sys.modules["quillon.velto_gpt_sdk.endpoints"].auth_token],
               catalogue=sys.modules["quillon.velto_gpt_sdk.promptbook"].prompts_list is catalogue,
               works=[credgate._encrypt("pw"), len(sys.modules["quillon.velto_gpt_sdk.nbassist"].get_prompts()),
                      sys.modules["quillon.velto_gpt_sdk.nbassist"]._generate_prompt("q", "b", {"n": 1})[-3:],
                      sys.modules["quillon.validation.authentication"]._get_secret()])
    ''')
    assert result == {"outcome": {name: [True] * 4 for name in MODULES}, "requests": 0, "filters": 0,
                      "kept": ["kept"] * 3, "catalogue": True, "works": ["cHc=", 27, ": q", None]}


@pytest.mark.parametrize("other", ["credgate", "copy.of.credgate"])
def test_loading_the_shared_object_under_another_name_leaves_the_live_module_alone(other):
    result = run(f'''
        import importlib.util
        spec = importlib.util.spec_from_file_location({other!r}, credgate.__file__)
        err = raised(lambda: importlib.util.module_from_spec(spec))
        report(error=[type(err).__name__, str(err), err.name], spec=credgate.__spec__.name,
               reloaded=importlib.reload(credgate) is credgate, listed={other!r} in sys.modules,
               works=credgate._encrypt("x"))
    ''')
    assert result == {"error": ["ImportError", f"quillon.validation.credgate is already loaded in this process and "
                                               f"cannot be loaded again as {other!r}", other],
                      "spec": "quillon.validation.credgate", "reloaded": True, "listed": False, "works": "eA=="}


@pytest.mark.parametrize("failure, first, engine_loaded, checks", [
    ("missing dependency", "ModuleNotFoundError", False, ["GET", "GET"]),
    # one check for the engine client, a refused check, renewal and prompt, then one more check
    ("own login refused", "EOFError", True, ["GET", "GET", "POST", "GET"]),
])
def test_failed_assistant_import_runs_again_cleanly(failure, first, engine_loaded, checks):
    result = run(f'''
        failure = {failure!r}
        def no_input(prompt=""):
            raise EOFError
        getpass.getpass = no_input
        if failure == "missing dependency":
            sys.modules["openai"] = None  # its import fails before the engine client's
        else:
            verdicts.extend([200, 401])  # the engine client logs in, the assistant's own login is refused
        try:
            import quillon.velto_gpt_sdk.nbassist
            first = "imported"
        except Exception as err:
            first = type(err).__name__
        left = "quillon.velto_gpt_sdk.nbassist" in sys.modules
        engine_loaded = "quillon.velto_gpt_sdk.endpoints" in sys.modules
        engine = sys.modules.get("quillon.velto_gpt_sdk.endpoints")
        sys.modules.pop("openai", None)
        import quillon.velto_gpt_sdk.nbassist as nb
        report(first=first, left=left,
               engine_loaded=engine_loaded,
               same_engine=engine is None or sys.modules["quillon.velto_gpt_sdk.endpoints"] is engine,
               checks=[c.request.method for c in mock.calls], ready=callable(nb.generate_code))
    ''')
    assert result == {"first": first, "left": False, "engine_loaded": engine_loaded,
                      "same_engine": True, "checks": checks, "ready": True}


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="CPython 3.12 and later load no extension module "
                    "from a folder whose name is not UTF-8 (UnicodeEncodeError), their own included")
def test_package_in_a_folder_whose_name_is_not_utf8(tmp_path):
    site = tmp_path / os.fsdecode(b"caf\xe9")  # a Latin-1 name, as an older system might have made it
    shutil.copytree(os.path.dirname(quillon.__file__), site / "quillon",
                    ignore=shutil.ignore_patterns("__pycache__", "secret.json"))
    assert run_python('''
        import inspect
        import quillon.validation.credgate as credgate
        assert "\\udce9" in credgate.__file__
        print(inspect.signature(credgate.validate_token))
    ''', env=dict(os.environ, PYTHONPATH=str(site)), timeout=60) == "(token, tenant)\n"


def test_openai_is_bound_on_first_use():
    result = run('''
        import quillon.velto_gpt_sdk.nbassist as nb
        before = "openai" in sys.modules
        bound = nb.openai
        import openai
        missing = [str(raised(lambda: nb.no_such_name))]
        for name in ("renamed", 42, None):      # any code may rebind the module's name, or delete it
            nb.__name__ = name
            missing.append(str(raised(lambda: nb.no_such_name)))
        del nb.__name__
        missing.append(str(raised(lambda: nb.no_such_name)))
        report(before=before, same=bound is openai, kept="openai" in vars(nb), missing=missing)
    ''')
    unnamed = "module has no attribute 'no_such_name'"
    assert result == {"before": False, "same": True, "kept": True, "missing": [
        "module 'quillon.velto_gpt_sdk.nbassist' has no attribute 'no_such_name'",
        "module 'renamed' has no attribute 'no_such_name'", unnamed, unnamed, unnamed]}
