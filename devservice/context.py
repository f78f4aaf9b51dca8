"""Reading the prompt the SDK sends: an optional description of the notebook
(its modules, and its variables with each data frame's columns), then a base
prompt that says what to do, then the user's own text:

    Given below are the modules and the variables that I have used:
    Modules: 
    np

    Variables: 
    name: sales, type: DataFrame
    	 column: region, dtype:object
    name: count, type: <class 'int'>

    Use them as context and Write python code for: : plot units by region
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional

HEADER = "Given below are the modules and the variables that I have used:\n"
LEAD_IN = "Use them as context and "
COLUMN_PREFIX = "\t column: "

CODE = "Write python code for: "
OPTIMIZE = "Optimize the following code to be more efficient: "
EXPLAIN = ("Explain the below given code and generate your answer in a proper markdown format that is"
           " easiy understand for coders and non coders alike:\n")
DEBUG = "Debug the below given error and tell me how I can resolve it: \n"
MODES = {CODE: "code", OPTIMIZE: "optimize", EXPLAIN: "explain", DEBUG: "debug"}


@dataclass
class Variable:
    name: str
    type: str
    columns: list[tuple[str, str]] = field(default_factory=list)   # (label, dtype) of a data frame


@dataclass
class Context:
    modules: list[str] = field(default_factory=list)
    variables: list[Variable] = field(default_factory=list)

    def frames(self) -> list[Variable]:
        return [v for v in self.variables if v.type == "DataFrame"]


@dataclass
class Prompt:
    mode: Optional[str]        # "code", "optimize", "explain", "debug" or None
    request: str               # the user's own text: a request, code or an error
    context: Context


def parse_context(block: str) -> Context:
    ctx, section = Context(), None
    for line in block.split("\n"):
        if line.rstrip() in ("Modules:", "Variables:"):
            section = line.rstrip()
        elif section == "Modules:" and line.strip():
            ctx.modules.append(line.strip())
        elif section == "Variables:" and line.startswith("name: "):
            name, _, type_ = line[len("name: "):].partition(", type: ")
            ctx.variables.append(Variable(name, type_.strip()))
        elif section == "Variables:" and line.startswith(COLUMN_PREFIX) and ctx.variables:
            label, _, dtype = line[len(COLUMN_PREFIX):].rpartition(", dtype:")
            ctx.variables[-1].columns.append((label, dtype.strip()))
    return ctx


def split_prompt(query: str) -> Prompt:
    text, ctx, with_context = query, Context(), False
    if text.startswith(HEADER):
        end = text.find("\n\n" + LEAD_IN, len(HEADER) - 1)
        if end >= 0:
            ctx = parse_context(text[len(HEADER):end + 1])
            text, with_context = text[end + 2 + len(LEAD_IN):], True
    for base, mode in MODES.items():
        # A base prompt whose trailing blank or line break was lost still counts.
        for lead in (base, base.rstrip()):
            if text.startswith(lead):
                request = text[len(lead):]
                if with_context and request.startswith(": "):
                    request = request[2:]
                return Prompt(mode, request, ctx)
    return Prompt(None, text, ctx)
