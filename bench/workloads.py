"""Notebook namespaces for prompt assembly."""
import collections
import json
import math
import os
import re
import sys

import numpy as np
import pandas as pd

# What IPython itself leaves in a notebook's globals(); all of it is filtered out.
_IPYTHON_ENTRIES = {
    "__name__": "__main__",
    "__doc__": "Automatically created module for IPython interactive environment",
    "__builtins__": __builtins__,
    "In": ["", "import pandas as pd"],
    "Out": {},
    "get_ipython": lambda: None,
    "exit": None,
    "quit": None,
    "_": "",
    "__": "",
    "_i1": "import pandas as pd",
    "_ih": [],
    "_oh": {},
}


def _namespace(entries):
    ns = dict(_IPYTHON_ENTRIES)
    ns.update(entries)
    return ns


def _function(x):
    return x


def plain(n):
    """n variables of mixed kinds: int, str, float, list, function, dict."""
    kinds = [lambda i: i, lambda i: f"text {i}", lambda i: i * 0.5, lambda i: [i, i + 1], lambda i: _function,
             lambda i: {"k": i}]
    return _namespace({f"var{i}": kinds[i % len(kinds)](i) for i in range(n)})


_MODULES = [os, sys, json, re, math, collections, np, pd]


def modules(n):
    """n distinct names bound to a few real modules."""
    return _namespace({f"mod{i}": _MODULES[i % len(_MODULES)] for i in range(n)})


def frame(columns, rows=3):
    """One DataFrame with `columns` columns of mixed int64/float64/str/bool dtypes."""
    data = {}
    for c in range(columns):
        kind = c % 4
        if kind == 0:
            data[f"count{c}"] = np.arange(rows, dtype=np.int64)
        elif kind == 1:
            data[f"price{c}"] = np.linspace(0.0, 1.0, rows)
        elif kind == 2:
            data[f"label{c}"] = [f"s{r}" for r in range(rows)]
        else:
            data[f"flag{c}"] = np.array([r % 2 == 0 for r in range(rows)])
    return pd.DataFrame(data)


def frames(n, columns=200):
    """n distinct DataFrames of `columns` columns each."""
    template = frame(columns)
    return _namespace({f"frame{i}": template.copy() for i in range(n)})


def wide(columns):
    """One DataFrame of `columns` columns."""
    return _namespace({"wide": frame(columns)})


def data_frames(ns):
    return [v for k, v in ns.items() if type(v) is pd.DataFrame and "_" not in k]


def small():
    """A realistic notebook namespace, for the prompt sent in the completion benchmark."""
    entries = {"np": np, "pd": pd, "sales": frame(8), "count": 3, "names": ["a", "b"], "rate": 0.25}
    return _namespace(entries)
