"""Reading the notebook context that the SDK puts in front of a request.

The SDK describes the notebook namespace like this:

    Given below are the modules and the variables that I have used:
    Modules: 
    np

    Variables: 
    name: sales, type: DataFrame
    	 column: region, dtype:object
    	 column: units, dtype:int64
    name: count, type: <class 'int'>

    Use them as context and Write python code for: : plot units by region

`split_prompt` takes such a text apart into the context, the base prompt
and the user's own request.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Iterable, Optional

HEADER = "Given below are the modules and the variables that I have used:\n"
LEAD_IN = "Use them as context and "
COLUMN_PREFIX = "\t column: "

CODE = "Write python code for: "
OPTIMIZE = "Optimize the following code to be more efficient: "
EXPLAIN = ("Explain the below given code and generate your answer in a proper markdown format that is"
           " easiy understand for coders and non coders alike:\n")
DEBUG = "Debug the below given error and tell me how I can resolve it: \n"

MODES = {CODE: "code", OPTIMIZE: "optimize", EXPLAIN: "explain", DEBUG: "debug"}

_TARGET_NAMES = ("target", "label", "labels", "y", "class", "outcome", "churn", "survived", "default")


@dataclass
class Variable:
    name: str
    type: str
    columns: list[tuple[str, str]] = field(default_factory=list)


@dataclass
class Context:
    modules: list[str] = field(default_factory=list)
    variables: list[Variable] = field(default_factory=list)

    def frames(self) -> list[Variable]:
        return [v for v in self.variables if v.type == "DataFrame"]

    def columns(self, frame: Optional[str] = None) -> list[tuple[str, str]]:
        """(label, dtype) pairs of the named data frame, or of the first one."""
        frames = self.frames()
        for v in frames:
            if v.name == frame:
                return v.columns
        return frames[0].columns if frames else []

    def pick_column(self, frame: Optional[str], prefer: str = "any", exclude: Iterable[str] = (),
                    strict: bool = False) -> Optional[str]:
        """A column that suits the role: "numeric", "datetime", "text",
        "category" (a text, bool or datetime column: a grouping key or an
        x axis), "target" or "any"; the first other column when none suits,
        unless `strict`."""
        columns = [(c, t) for c, t in self.columns(frame) if c not in exclude]
        if not columns:
            return None
        if prefer == "target":
            for c, _ in columns:
                if c.lower() in _TARGET_NAMES:
                    return c
            # A class label is usually the last text or bool column.
            labels = [c for c, t in columns if role(t) in ("text", "bool")]
            return (labels or [c for c, _ in columns])[-1]
        for c, t in columns:
            if suits(c, t, prefer):
                return c
        return None if strict and prefer != "any" else columns[0][0]


def role(dtype: str) -> str:
    """What a column of this dtype (as the prompt writes it) holds:
    "numeric", "bool", "datetime", "text" or "other"."""
    if re.match(r"(u?int|float|Int|UInt|Float)\d*$", dtype):
        return "numeric"
    if dtype in ("bool", "boolean"):
        return "bool"
    if dtype.startswith(("datetime", "period")):
        return "datetime"
    # pandas 3 writes its default text dtype as "str", older ones "object".
    if dtype in ("object", "str", "category") or dtype.startswith("string"):
        return "text"
    return "other"


def suits(column: str, dtype: str, prefer: str) -> bool:
    kind = role(dtype)
    if prefer == "datetime":
        return kind == "datetime" or (kind == "text" and re.search(r"date|time", column, re.I) is not None)
    if prefer == "category":
        return kind in ("text", "bool", "datetime")
    return prefer == "any" or kind == prefer


def parse_context(block: str) -> Context:
    ctx = Context()
    section = None
    current: Optional[Variable] = None
    for line in block.split("\n"):
        if line.rstrip() == "Modules:":
            section = "modules"
        elif line.rstrip() == "Variables:":
            section = "variables"
        elif section == "modules" and line.strip():
            ctx.modules.append(line.strip())
        elif section == "variables" and line.startswith("name: "):
            name, _, type_ = line[len("name: "):].partition(", type: ")
            current = Variable(name, type_.strip())
            ctx.variables.append(current)
        elif section == "variables" and line.startswith(COLUMN_PREFIX) and current is not None:
            label, _, dtype = line[len(COLUMN_PREFIX):].rpartition(", dtype:")
            current.columns.append((label, dtype.strip()))
    return ctx


@dataclass
class Prompt:
    mode: Optional[str]        # "code", "optimize", "explain", "debug" or None
    request: str               # the user's own text: a request, code or an error
    context: Context


def split_prompt(query: str) -> Prompt:
    text = query
    ctx = Context()
    with_context = False
    if text.startswith(HEADER):
        end = text.find("\n\n" + LEAD_IN, len(HEADER) - 1)
        if end >= 0:
            ctx = parse_context(text[len(HEADER):end + 1])
            text = text[end + 2 + len(LEAD_IN):]
            with_context = True
    for base, mode in MODES.items():
        # Tolerate a base prompt whose trailing blanks or line break were lost.
        stripped = base.rstrip()
        if text.startswith(base) or text.startswith(stripped):
            request = text[len(base):] if text.startswith(base) else text[len(stripped):]
            if with_context and request.startswith(": "):
                request = request[2:]
            return Prompt(mode, request, ctx)
    return Prompt(None, text, ctx)
