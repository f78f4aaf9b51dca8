"""Prompt assembly: the description of the notebook namespace put in front of a request."""
import os
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from _notebook import nb  # noqa: F401  (fixture)

HEADER = "Given below are the modules and the variables that I have used:\n"
CODE = "Write python code for: "
TEXT_DTYPE = str(pd.DataFrame({"c": ["x"]})["c"].dtype)  # "str" on pandas 3, "object" before


def reference(query, base_prompt, global_variables=None):
    """The assembly written out plainly, as the oracle."""
    if global_variables is None:
        return base_prompt + query
    keys = [k for k in global_variables
            if "_" not in k and k not in ("In", "Out", "quit", "exit")]
    modules, variables = "Modules: \n", "Variables: \n"
    for name in keys:
        value = global_variables[name]
        if type(value) is type(os):
            modules += f"{name}\n"
        elif type(value) is pd.DataFrame:
            cols = "\n".join(f"\t column: {label}, dtype:{dtype}"
                             for label, dtype in value.dtypes.to_dict().items())
            variables += f"name: {name}, type: {type(value).__name__}\n{cols}\n"
        else:
            variables += f"name: {name}, type: {type(value)}\n"
    return (HEADER + modules + "\n" + variables + "\n" + "Use them as context and "
            + base_prompt + ": " + query)


def framed(modules="", variables="", base=CODE, query="q"):
    return (HEADER + "Modules: \n" + modules + "\n" + "Variables: \n" + variables + "\n"
            + "Use them as context and " + base + ": " + query)


Sub = type("Sub", (pd.DataFrame,), {})
Mod = type("Mod", (types.ModuleType,), {})


class Names:
    """A mapping that is not a dict: only iteration and subscription."""

    def __init__(self, **items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __getitem__(self, key):
        return self.items[key]


def f():
    pass


@pytest.mark.parametrize("ns, modules, variables", [
    ({"__name__": "__main__", "In": [""], "np": np, "count": 3, "my_list": [1],
      "sales": pd.DataFrame({"region": ["north"], "units": np.array([3], "int64")})}, "np\n",
     "name: count, type: <class 'int'>\nname: sales, type: DataFrame\n"
     f"\t column: region, dtype:{TEXT_DTYPE}\n\t column: units, dtype:int64\n"),
    ({}, "", ""),
    ({"In": [], "Out": {}, "exit": 1, "quit": 1, "get_ipython": f, "_": 1, "__": 2,
      "_i1": "x", "_1": 1, "__name__": "__main__", "__builtins__": __builtins__}, "", ""),
    ({"my_df": pd.DataFrame({"a": [1]}), "x_": 1, "_y": os, "in": 1, "IN": 2, "exit2": 3},
     "", "name: in, type: <class 'int'>\nname: IN, type: <class 'int'>\n"
         "name: exit2, type: <class 'int'>\n"),
    ({"np": np, "numpy": np, "os": os}, "np\nnumpy\nos\n", ""),
    ({"m": Mod("real")}, "", f"name: m, type: {Mod!s}\n"),
    ({"e": pd.DataFrame()}, "", "name: e, type: DataFrame\n\n"),
    ({"s": Sub({"a": [1]})}, "", f"name: s, type: {Sub!s}\n"),
    ({"t": pd.DataFrame({0: [1.5], ("a", "b"): [True]})}, "",
     "name: t, type: DataFrame\n\t column: 0, dtype:float64\n\t column: ('a', 'b'), dtype:bool\n"),
    ({"d": pd.DataFrame([[1, 2.5]], columns=["a", "a"])}, "",
     "name: d, type: DataFrame\n\t column: a, dtype:float64\n"),
    ({"f": f, "n": None, "c": int}, "",
     "name: f, type: <class 'function'>\nname: n, type: <class 'NoneType'>\n"
     "name: c, type: <class 'type'>\n"),
    ({"größe": 1, "变量": "v", "x\U0001F600": os, "bad\udc80": 2.0}, "x\U0001F600\n",
     "name: größe, type: <class 'int'>\nname: 变量, type: <class 'str'>\n"
     "name: bad\udc80, type: <class 'float'>\n"),
    (Names(a=1, os=os, b_c=2), "os\n", "name: a, type: <class 'int'>\n"),
], ids=["worked-example", "empty", "ipython", "underscores", "modules", "module-subclass",
        "no-columns", "frame-subclass", "odd-labels", "duplicate-labels", "others", "unicode",
        "not-a-dict"])
def test_namespace_description(nb, ns, modules, variables):
    expected = framed(modules, variables)
    assert nb._generate_prompt("q", base_prompt=CODE, global_variables=ns) == expected
    assert reference("q", CODE, ns) == expected


@pytest.mark.parametrize("base, got", [(None, "NoneType"), (type("Text", (str,), {})("x"), "Text"),
                                       (b"x", "bytes")])
def test_base_prompt_must_be_exactly_str(nb, base, got):
    with pytest.raises(TypeError) as err:
        nb._generate_prompt(1, base, {1: 2})  # checked before anything else
    assert str(err.value) == f"Argument 'base_prompt' has incorrect type (expected str, got {got})"


@pytest.mark.parametrize("ns", [None, {}])
def test_query_is_concatenated(nb, ns):
    with pytest.raises(TypeError):
        nb._generate_prompt(5, base_prompt=CODE, global_variables=ns)
    q = type("Query", (str,), {})("plot it")
    got = nb._generate_prompt(q, base_prompt=CODE, global_variables=ns)
    assert got == reference("plot it", CODE, ns)


@pytest.mark.parametrize("key", [1, None, b"ab"])
def test_key_that_is_not_a_name(nb, key):
    with pytest.raises(TypeError):
        nb._generate_prompt("q", base_prompt=CODE, global_variables={"a": 1, key: 2})


def test_errors_propagate(nb, monkeypatch):
    class Broken:
        def __iter__(self):
            raise LookupError("iter")

    with pytest.raises(LookupError, match="iter"):
        nb._generate_prompt("q", base_prompt=CODE, global_variables=Broken())

    def dtypes(self):
        raise RuntimeError("no dtypes")

    monkeypatch.setattr(pd.DataFrame, "dtypes", property(dtypes))
    with pytest.raises(RuntimeError, match="no dtypes"):
        nb._generate_prompt("q", base_prompt=CODE, global_variables={"df": pd.DataFrame()})


def test_large_namespace(nb):
    frame = pd.DataFrame({"a": [1], "b": ["x"], "c": [0.5]})
    values = [1, "s", os, frame, None, f, Sub(), 2.5]
    ns = {f"{'v_' if i % 7 == 0 else 'v'}{i}": values[i % len(values)] for i in range(2000)}
    got = nb._generate_prompt("q" * 10_000, base_prompt=CODE, global_variables=ns)
    assert got == reference("q" * 10_000, CODE, ns)


FRAMES = [pd.DataFrame(), pd.DataFrame({"a": [1]}), pd.DataFrame({"x": ["s"], 3: [1.0]})]
VALUES = st.one_of(st.integers(), st.text(max_size=3), st.none(), st.just(f),
                   st.sampled_from([os, np, pd, types]), st.sampled_from(FRAMES),
                   st.builds(Sub))
NAMES = st.one_of(st.text("aIn_tOuxiq", max_size=5),
                  st.sampled_from(["In", "Out", "quit", "exit", "_", "__name__"]))


@settings(max_examples=150, deadline=None)
@given(ns=st.dictionaries(NAMES, VALUES, max_size=12), query=st.text(max_size=20),
       base=st.text(max_size=10))
def test_matches_reference(nb, ns, query, base):
    got = nb._generate_prompt(query, base_prompt=base, global_variables=ns)
    assert got == reference(query, base, ns)


def test_each_variable_gets_its_own_type_text(nb):
    # A metaclass may word its classes differently each time it is asked.
    class Shifting(type):
        asked = 0

        def __repr__(cls):
            Shifting.asked += 1
            return f"<shifting {Shifting.asked}>"

    class Thing(metaclass=Shifting):
        pass

    prompt = nb._generate_prompt("q", base_prompt=CODE, global_variables={"a": Thing(), "b": Thing()})
    assert "name: a, type: <shifting 1>\nname: b, type: <shifting 2>\n" in prompt


def test_each_column_gets_its_own_dtype_text(nb, monkeypatch):
    class Shifting:
        asked = 0

        def __str__(self):
            Shifting.asked += 1
            return f"shift{Shifting.asked}"

    dtype = Shifting()

    class Dtypes:
        def to_dict(self):
            return {"x": dtype, "y": dtype}

    monkeypatch.setattr(pd.DataFrame, "dtypes", property(lambda self: Dtypes()))
    prompt = nb._generate_prompt("q", base_prompt=CODE, global_variables={"df": pd.DataFrame()})
    assert "\t column: x, dtype:shift1\n\t column: y, dtype:shift2\n" in prompt


def test_values_are_looked_up_after_the_names_are_chosen(nb):
    # Choosing a name that is not an exact str runs its own code, which may
    # rebind an entry already passed: the description shows the value as it
    # is once the names are chosen.
    class Name(str):
        def __contains__(self, part):
            ns["early"] = 42
            return str.__contains__(self, part)

    ns = {"early": "text", Name("late"): 1.5}
    prompt = nb._generate_prompt("q", base_prompt=CODE, global_variables=ns)
    assert "name: early, type: <class 'int'>\nname: late, type: <class 'float'>\n" in prompt
    assert prompt == reference("q", CODE, ns)
