"""Random calls of both logins, the engine client and the notebook assistant, the service faked
in-process: any Exception may come out, nothing else; the interpreter survives and the store is
never left half-written."""
import collections
import contextlib
import dataclasses
import functools
import getpass
import io
import json
import os
import pathlib
import re
import sys

import pandas
import pytest
import requests
import responses
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
from _notebook import nb  # noqa: F401  (fixture)
from conftest import SIGNATURES, form_handlers, parameters, run_child

ANY_HOST = re.compile(r"https://.*quillon\.example.*")
HUGE = "x" * 1_000_000
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
EXAMPLES = 200 if UNDER_ASAN else 1000
CRED_KEYS = ["VELTO_USERNAME", "VELTO_PASSWORD", "VELTO_TOKEN", "VELTO_TENANT"]
APP_KEYS = ["VELTO_SECRET", "VELTO_TENANT"]
CASES = collections.Counter()
Text = type("Text", (str,), {})
Mapping = type("Mapping", (dict,), {})


# --- hostile values -------------------------------------------------------------------
class Hostile:
    """Every protocol method raises."""

    def _fail(self, *args, **kwargs):
        raise RuntimeError("hostile")

    __str__ = __format__ = __eq__ = __ne__ = __lt__ = __hash__ = __bool__ = __len__ = _fail
    __iter__ = __contains__ = __getitem__ = __add__ = __radd__ = __getattr__ = _fail

    def __repr__(self):
        return "Hostile()"


class Liar:
    """Says it is a str."""

    __class__ = property(lambda self: str)

    def __repr__(self):
        return "Liar()"


class OddText(str):
    """A str whose formatting and '_' test raise."""

    def __format__(self, spec):
        raise ValueError("no format")

    def __contains__(self, item):
        raise ValueError("no contains")

    __hash__ = str.__hash__


class Grows(str):
    """A namespace key whose '_' test adds an entry to `ns`, the namespace being read."""

    def __contains__(self, item):
        self.ns[f"k{len(self.ns)}"] = 1
        return False

    __hash__ = str.__hash__


class Shifty:
    """A mapping that grows while iterated and answers differently at each lookup."""

    def __init__(self, keys, answers):
        self.keys, self.answers, self.reads = list(keys), answers, 0

    def __iter__(self):
        for key in list(self.keys):
            self.keys.append(key + "y")
            yield key

    def __getitem__(self, key):
        self.reads += 1
        answer = self.answers[self.reads % len(self.answers)]
        if answer is KeyError:
            raise KeyError(key)
        return answer


@dataclasses.dataclass(eq=False)
class Frame:
    """Stands in for the data-frame class (patched into the module) with made-up dtypes."""
    made_up: object

    @property
    def dtypes(self):
        if self.made_up is RuntimeError:
            raise RuntimeError("dtypes")
        return self.made_up


@dataclasses.dataclass(eq=False)
class ToDict:
    result: object

    def to_dict(self):
        if self.result is RuntimeError:
            raise RuntimeError("to_dict")
        return self.result


@dataclasses.dataclass(eq=False)
class Items:
    pairs: object

    def items(self):
        return self.pairs() if callable(self.pairs) else self.pairs


def breaks_midway():
    yield ("a", "int64")
    raise ValueError("mid-way")


atoms = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.binary(max_size=8),
    st.text(max_size=8), st.text(max_size=5).map(Text), st.text(max_size=5).map(OddText),
    st.sampled_from(["\ud800", "a\udfffb", HUGE, "", "acme", "/get-completion", "POST", "DELETE",
                     "`${x}\\"]),
    st.builds(Hostile), st.builds(Liar), st.lists(st.integers(), max_size=2),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=2).map(Mapping),
)
keys = st.one_of(st.text(max_size=3), st.integers())
texts = st.one_of(st.text(max_size=5), atoms)

dtypes = st.one_of(
    st.just(RuntimeError), st.builds(Hostile),
    st.just(pandas.DataFrame({"a": [1], 2: ["x"]}).dtypes),
    st.builds(ToDict, st.one_of(st.just(RuntimeError), st.none(),
                                st.lists(st.tuples(atoms, atoms), max_size=2),
                                st.dictionaries(keys, atoms, max_size=3))),
    st.builds(ToDict, st.builds(Items, st.one_of(
        st.just(breaks_midway), st.builds(Hostile), st.integers(),
        st.lists(st.one_of(st.integers(), st.text(max_size=3), st.builds(Hostile),
                           st.lists(atoms, max_size=3).map(tuple)), max_size=3)))),
)
real_frames = st.dictionaries(keys, st.sampled_from([[1], ["x"], [1.5], [None]]),
                              max_size=3).map(pandas.DataFrame)
ns_values = st.one_of(atoms, st.sampled_from([os, json, re]), st.builds(Frame, dtypes), real_frames)
ns_names = st.one_of(
    st.text(alphabet="abXY_", max_size=4),
    st.sampled_from(["In", "Out", "exit", "quit", "np", "df", "my_df", "__name__", "get_ipython"]),
    st.text(alphabet="ab_", max_size=3).map(Text), st.text(alphabet="ab", max_size=3).map(OddText),
    st.integers(), st.none(), st.tuples(st.integers()),
)
ns_dicts = st.dictionaries(ns_names, ns_values, max_size=5)


def growing(items):
    ns = dict(items)
    key = Grows("grows")
    key.ns = ns
    ns[key] = 1
    return ns


namespaces = st.one_of(
    st.none(), ns_dicts, ns_dicts, ns_dicts.map(Mapping), ns_dicts.map(growing),
    st.builds(Shifty, st.lists(st.text(alphabet="ab", min_size=1, max_size=3), max_size=3),
              st.lists(st.one_of(ns_values, st.just(KeyError)), min_size=1, max_size=4)),
    st.builds(Hostile), st.integers(), st.lists(st.text(max_size=2), max_size=2),
)
command_namespaces = st.one_of(st.none(), ns_dicts, ns_dicts, ns_dicts.map(growing))

catalogues = st.one_of(
    st.none(), st.builds(Hostile), st.lists(st.text(max_size=3), max_size=2),
    st.dictionaries(st.one_of(st.text(max_size=5), st.integers()), texts, max_size=3),
)

# Likely values by parameter name, a few troublemakers among them; any other parameter takes text.
GOOD = {
    "path": st.sampled_from(["/get-completion", "", "get-completion", "/a?b=c", "@elsewhere/",
                             "\ud800"]),
    "files": st.sampled_from([None, {"f": ("a.txt", b"x")}, {}]),
    "body": st.one_of(st.none(), st.dictionaries(st.text(max_size=3), texts, max_size=2)),
    "request_type": st.sampled_from(["POST", "DELETE", "post", "PUT", ""]),
    "data_as_json": st.one_of(st.booleans(), st.builds(Hostile)),
    "max_tokens": st.integers(-5, 5000),
    "secret": st.sampled_from(["s3cr3t", "", "a/b?c&d#e f", "\ud800"]),
    "username": st.sampled_from(["ada@example.org", "", "\ud800", HUGE]),
    "password": st.sampled_from(["s3cr3t", "", "pässwörd", "\ud800"]),
    "token": st.sampled_from(["tok", "", "a b", None]),
    "plaintext": st.one_of(st.text(max_size=10), st.sampled_from(["\ud800", HUGE])),
    "ciphertext": st.one_of(st.text(max_size=10), st.binary(max_size=10),
                            st.sampled_from(["aGk=", "//4=", "\ud800"])),
    "tenant": st.sampled_from(["acme", "beta", "", "a.b", "a/b", "a:1", None]),
    "global_variables": command_namespaces,
    "streaming": st.booleans(), "jupyter_mode": st.booleans(), "debug_mode": st.booleans(),
    "b": atoms,
    "change": st.one_of(st.fixed_dictionaries({"new": st.one_of(st.sampled_from(
        ["Select the prompt", "Debug Code", "Read a csv", "Apply PCA", "nope"]), atoms)}), atoms),
}

GROUPS = {module: {name: parameters(module, name) for name in functions if "<locals>" not in name}
          for module, functions in SIGNATURES.items()}
GROUPS["form"] = {name.rsplit(".", 1)[1]: parameters("nbassist", name)
                  for name in SIGNATURES["nbassist"] if "<locals>" in name}

stores = st.one_of(
    st.none(),
    st.fixed_dictionaries({k: st.sampled_from(["acme", "cHc=", "tok", ""]) for k in CRED_KEYS}
                          ).map(json.dumps),
    st.fixed_dictionaries({"VELTO_SECRET": st.sampled_from(["s", "", None]),
                           "VELTO_TENANT": st.sampled_from(["acme", None, 5])}).map(json.dumps),
    st.sampled_from(["", "not json", "[]", "null", "{}", '{"VELTO_SECRET": "s"}']),
)

answers = st.one_of(
    st.tuples(st.sampled_from([200, 200, 200, 201, 204, 401, 500]),
              st.sampled_from(['{"completion": "x = 1"}', '{"completion": null}',
                               '{"completion": [1, {}]}', '{"token": "t"}', "{}", "[1]", '"text"',
                               "garbage", ""])),
    st.sampled_from([requests.exceptions.ConnectionError, requests.exceptions.Timeout, ValueError]),
)


@st.composite
def mostly(draw, good, rest, ratio=3):
    """`good` about `ratio` times as often as `rest`."""
    return draw(good) if draw(st.integers(0, ratio)) else draw(rest)


@functools.lru_cache(maxsize=None)
def arguments(params, name):
    def some(param):
        if (name, param) == ("_generate_prompt", "global_variables"):
            return mostly(namespaces, atoms)
        return mostly(GOOD.get(param, st.text(max_size=20)), atoms)

    exact = st.tuples(*[some(p) for p in params]).flatmap(
        lambda vals: st.integers(0, len(params)).map(
            lambda cut: (vals[:cut], dict(zip(params[cut:], vals[cut:])))))
    loose = st.tuples(st.lists(atoms, max_size=len(params) + 2).map(tuple),
                      st.dictionaries(st.sampled_from(params + ("bogus", "timeout")), atoms,
                                      max_size=3))
    return mostly(exact, loose)


# --- the faked world of one example -------------------------------------------------------
tokens = mostly(st.just("tok"), atoms, ratio=5)
tenants = st.sampled_from(["acme"] * 5 + [None, "\ud800"])
typed_answers = st.one_of(st.sampled_from(["acme", "ada@example.org", "pw", ""]), st.just(EOFError))
frame_classes = st.sampled_from([pandas.DataFrame, Frame])


@contextlib.contextmanager
def world(data, module, folder):
    endpoints = sys.modules["quillon.velto_gpt_sdk.endpoints"]
    initial = data.draw(stores, label="store")

    def answer(request):
        drawn = data.draw(answers, label="answer")
        if isinstance(drawn, type):
            raise drawn("faked transport failure")
        return drawn[0], {}, drawn[1]

    def typed(prompt=""):
        drawn = data.draw(typed_answers, label="typed")
        if drawn is EOFError:
            raise EOFError
        return drawn

    shown = []
    for leftover in os.listdir(folder):
        os.unlink(os.path.join(folder, leftover))
    with pytest.MonkeyPatch.context() as mp, \
            responses.RequestsMock(assert_all_requests_are_fired=False) as service, \
            contextlib.redirect_stdout(io.StringIO()):
        path = os.path.join(folder, "secret.json")
        if initial is not None:
            with open(path, "w") as f:
                f.write(initial)
        for method in (responses.GET, responses.POST, responses.DELETE):
            service.add_callback(method, ANY_HOST, callback=answer)
        mp.setattr(credgate, "secret_file_path", path)
        mp.setattr(authentication, "secret_file_path", path)
        mp.setattr(getpass, "getpass", typed)
        mp.setattr(authentication, "input", typed, raising=False)
        mp.setattr(module, "display", lambda *objs, **kw: shown.extend(objs))
        mp.setattr(module, "DataFrame", data.draw(frame_classes, label="DataFrame"))
        if data.draw(st.integers(0, 19), label="odd catalogue") == 7:
            mp.setattr(module, "prompt_sample_list", data.draw(catalogues, label="catalogue"))
        mp.setattr(endpoints, "auth_token", data.draw(tokens, label="auth_token"))
        mp.setattr(endpoints, "tenant", data.draw(tenants, label="tenant"))
        try:
            yield shown
        finally:
            for obj in shown:
                for widget in (*getattr(obj, "children", ()), obj):
                    if hasattr(widget, "close"):
                        widget.close()
        assert sorted(os.listdir(folder)) in ([], ["secret.json"])
        text = pathlib.Path(path).read_text() if os.path.exists(path) else initial
        if text != initial:
            assert list(json.loads(text)) in (CRED_KEYS, APP_KEYS)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return str(tmp_path_factory.mktemp("pkg"))


def summary():
    counts = ", ".join(f"{group} {count}" for group, count in sorted(CASES.items()))
    return f"fuzz: {sum(CASES.values())} random calls ({counts})"


@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
@pytest.mark.parametrize("group", sorted(GROUPS))
def test_random_calls_never_crash(nb, folder, group, data):
    functions = GROUPS[group]
    name = data.draw(st.sampled_from(sorted(functions)), label="function")
    args, kwargs = data.draw(arguments(functions[name], name), label="arguments")
    module = {"endpoints": sys.modules["quillon.velto_gpt_sdk.endpoints"], "credgate": credgate,
              "authentication": authentication}.get(group, nb)
    with world(data, nb, folder) as shown:
        CASES[group] += 1
        try:
            if group == "form":
                namespace = data.draw(namespaces, label="form namespace")
                nb.generate_code(namespace)
                box = shown[-1]
                handlers = form_handlers(box)
                drop = box.children[0]
                options = st.lists(st.sampled_from(list(drop.options) or [None]), max_size=2)
                for option in data.draw(options, label="selections"):
                    with contextlib.suppress(Exception):
                        drop.value = option
                target = handlers[name]
            else:
                target = getattr(module, name)
            target(*args, **kwargs)
            event(f"{name}: returned")
        except Exception as error:
            event(f"{name}: {type(error).__name__}")


# --- crashes found by hand-made hostile callbacks (each runs in its own interpreter) -----
NBASSIST = "from quillon.velto_gpt_sdk import nbassist as nb\n"


def test_value_changing_class_while_its_name_is_formatted():
    line = run_child("""
        class Other:
            pass

        def orphan():
            return type("Orphan", (), {})()

        class Name(str):
            def __format__(self, spec):
                ns[self].__class__ = Other   # the old class is now garbage
                gc.collect()
                return str.__format__(self, spec)

        for _ in range(20):
            ns = {Name("v"): orphan()}
            text = nb._generate_prompt("q", base_prompt="b", global_variables=ns)
        report(line=text.splitlines()[-3])
    """, prelude=NBASSIST)["line"]
    assert line in ("name: v, type: <class '__main__.Other'>",
                    "name: v, type: <class '__main__.Orphan'>")


def test_text_area_dropped_while_the_selection_is_compared():
    error = run_child("""
        shown = []
        nb.display = lambda *objs: shown.extend(objs)
        nb.generate_code(None)
        box = shown.pop()
        handler = box.children[0]._trait_notifiers["value"]["change"][-1]
        for widget in (box, *box.children):
            widget.close()
        del box, widget
        cells = handler.__closure__

        class Selection:
            __hash__ = object.__hash__

            def __eq__(self, other):
                cells[2].cell_contents = None   # the text area's last reference
                gc.collect()
                return False

        error = None
        try:
            handler({"new": Selection()})
        except Exception as err:
            error = f"{type(err).__name__} {err}"
        del handler, cells
        gc.collect()
        report(error=error)
    """, prelude=NBASSIST)["error"]
    assert "Textarea" not in str(error)
