"""The completion engine of the dev service.

`complete(query, max_tokens)` answers deterministically: catalogue requests
get a canned pandas / scikit-learn snippet, code to optimise gets the
rewrites of `optimize.py`, code to explain gets a markdown summary, an
error gets advice, and anything else a clearly marked echo.
`OpenAICompleter` forwards to an OpenAI-compatible endpoint instead.
"""

from __future__ import annotations

import ast
import difflib
import re
from typing import Callable, Optional

from . import catalogue
from .context import Context, split_prompt
from .optimize import comment, optimize

Completer = Callable[[str, int], str]

CHARS_PER_TOKEN = 4


def complete(query: str, max_tokens: int = 1000) -> str:
    prompt = split_prompt(query)
    if prompt.mode == "optimize":
        text = optimize(prompt.request, {v.name: [c for c, _ in v.columns] for v in prompt.context.frames()})
    elif prompt.mode == "explain":
        text = explain(prompt.request, prompt.context)
    elif prompt.mode == "debug":
        text = debug(prompt.request, prompt.context)
    else:
        found = catalogue.answer(prompt.request, prompt.context)
        text = found[1] if found else no_answer(prompt.request)
    return truncate(text, max_tokens)


def truncate(text: str, max_tokens: int) -> str:
    """Cut the answer to roughly `max_tokens`, at a line end when possible,
    as a real engine stops at its token limit."""
    limit = max(1, max_tokens) * CHARS_PER_TOKEN
    if len(text) <= limit:
        return text
    cut = text.rfind("\n", 0, limit)
    return text[: cut + 1 if cut > 0 else limit]


def no_answer(request: str) -> str:
    first, *rest = request.strip().splitlines() or [""]
    head = comment("quillon dev service: no canned answer for: " + first)
    body = ("\n" + comment("\n".join(rest))) if rest else ""
    return f"{head}{body}\nprint({request.strip()!r})\n"


# ---------------------------------------------------------------------------
# Explanation as markdown.

# What the operators in the code do, by syntax node.
OPERATORS = {
    ast.Add: ("+", "adds numbers or joins texts"), ast.Sub: ("-", "subtracts"), ast.Mult: ("*", "multiplies"),
    ast.Div: ("/", "divides"), ast.FloorDiv: ("//", "divides and rounds down"),
    ast.Mod: ("%", "gives the remainder of a division"), ast.Pow: ("**", "raises to a power"),
    ast.MatMult: ("@", "multiplies matrices"), ast.USub: ("-", "negates a number"),
    ast.BitAnd: ("&", "combines conditions element by element: both must hold"),
    ast.BitOr: ("|", "combines conditions element by element: either may hold"),
    ast.Invert: ("~", "reverses conditions element by element"),
    ast.Eq: ("==", "tests for equality"), ast.NotEq: ("!=", "tests for inequality"),
    ast.Lt: ("<", "less than"), ast.LtE: ("<=", "less than or equal"), ast.Gt: (">", "greater than"),
    ast.GtE: (">=", "greater than or equal"), ast.In: ("in", "tests membership"),
    ast.NotIn: ("not in", "tests non-membership"), ast.Is: ("is", "tests identity"),
    ast.IsNot: ("is not", "tests non-identity"), ast.And: ("and", "both conditions must hold"),
    ast.Or: ("or", "either condition may hold"), ast.Not: ("not", "reverses a condition"),
}

# What common methods and functions do; {0} is the first argument as
# written, {kind} a plot's kind.
METHODS = {
    "read_csv": "reads the CSV file {0}", "read_excel": "reads the Excel file {0}",
    "groupby": "groups the rows by {0}", "sum": "adds up the values", "mean": "averages the values",
    "median": "takes the median", "max": "takes the largest value", "min": "takes the smallest value",
    "count": "counts the values", "value_counts": "counts how often each value occurs",
    "head": "keeps the first rows", "tail": "keeps the last rows", "sort_values": "sorts the rows",
    "pivot_table": "builds a pivot table", "describe": "summarises each column",
    "dropna": "drops missing values", "fillna": "fills in missing values", "drop": "drops rows or columns",
    "merge": "joins two tables", "tolist": "turns the result into a Python list",
    "round": "rounds the values", "abs": "takes absolute values", "isin": "tests each value against a list",
    "plot": "draws a {kind} chart", "set_ylabel": "labels the y axis", "set_xlabel": "labels the x axis",
    "tight_layout": "fits the labels into the figure", "show": "shows the figure",
    "append": "appends {0} to the list", "iterrows": "goes through the rows one by one",
}
FUNCTIONS = {
    "print": "prints {0}", "len": "counts the items of {0}", "range": "counts up to {0}",
    "sum": "adds up {0}", "list": "makes a list of {0}", "sorted": "sorts {0}", "round": "rounds {0}",
    "abs": "takes the absolute value of {0}", "enumerate": "numbers the items of {0}",
}


def _chain(node: ast.AST) -> tuple[ast.AST, list[str]]:
    """The start of a method chain and what each step of it does."""
    steps: list[str] = []
    while True:
        if isinstance(node, ast.Call):
            func = node.func
            name = func.attr if isinstance(func, ast.Attribute) else func.id if isinstance(func, ast.Name) else None
            first = ast.unparse(node.args[0]) if node.args else ""
            kind = next((k.value.value for k in node.keywords
                         if k.arg == "kind" and isinstance(k.value, ast.Constant)), "line")
            known = METHODS if isinstance(func, ast.Attribute) else FUNCTIONS
            steps.append(known[name].format(f"`{first}`" if first else "its argument", kind=kind)
                         if name in known else f"calls `{name or ast.unparse(func)}()`")
            if not isinstance(func, ast.Attribute):
                return None, steps[::-1]
            node = func.value
        elif isinstance(node, ast.Subscript):
            steps.append(f"takes `{ast.unparse(node.slice)}`")
            node = node.value
        elif isinstance(node, ast.Attribute) and node.attr in ("loc", "iloc", "at", "str", "dt"):
            node = node.value
        else:
            return node, steps[::-1]


def _describe(node: ast.AST) -> str:
    start, steps = _chain(node)
    if not steps:
        return f"`{ast.unparse(node)}`"
    return (f"from `{ast.unparse(start)}`, " if start is not None else "") + ", then ".join(steps)


def _step(stmt: ast.stmt) -> str:
    """One line on what a top-level statement does."""
    if isinstance(stmt, (ast.Import, ast.ImportFrom)):
        names = [f"`{a.name}`" + (f" as `{a.asname}`" if a.asname else "") for a in stmt.names]
        where = f" from `{stmt.module}`" if isinstance(stmt, ast.ImportFrom) else ""
        return "imports " + ", ".join(names) + where
    if isinstance(stmt, ast.Assign):
        return f"sets {', '.join(f'`{ast.unparse(t)}`' for t in stmt.targets)}: {_describe(stmt.value)}"
    if isinstance(stmt, ast.AugAssign):
        return f"updates `{ast.unparse(stmt.target)}` with `{OPERATORS[type(stmt.op)][0]}=` {_describe(stmt.value)}"
    if isinstance(stmt, ast.Expr):
        return _describe(stmt.value)
    if isinstance(stmt, (ast.For, ast.AsyncFor)):
        count = len(stmt.body)
        return (f"repeats {count} statement{'s' if count != 1 else ''} for each `{ast.unparse(stmt.target)}`"
                f" in `{ast.unparse(stmt.iter)}`")
    if isinstance(stmt, ast.While):
        return f"repeats its block while `{ast.unparse(stmt.test)}` holds"
    if isinstance(stmt, ast.If):
        return f"runs its block only if `{ast.unparse(stmt.test)}`" + (", otherwise the `else` block"
                                                                        if stmt.orelse else "")
    if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)):
        return f"defines the function `{stmt.name}({ast.unparse(stmt.args)})`"
    if isinstance(stmt, ast.ClassDef):
        return f"defines the class `{stmt.name}`"
    return f"`{ast.unparse(stmt).splitlines()[0]}`"


def _facts(tree: ast.Module, context: Context) -> list[str]:
    """What the code holds, from the notebook's point of view."""
    assigned = {n.id for n in ast.walk(tree) if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Store)}
    read = dict.fromkeys(n.id for n in ast.walk(tree) if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Load))
    known = {v.name: v for v in context.variables}
    used = []
    for name in read:
        v = known.get(name)
        if v is not None and v.type == "DataFrame":
            used.append(f"`{name}` (a DataFrame with the columns {', '.join(c for c, _ in v.columns)})")
        elif v is not None:
            used.append(f"`{name}` ({v.type.removeprefix('<class ').removesuffix('>').strip(chr(39))})")
        elif name in context.modules:
            used.append(f"`{name}` (a module)")
    columns = {c for v in context.frames() for c, _ in v.columns}
    in_order = sorted((n for n in ast.walk(tree) if isinstance(n, ast.Constant)),
                      key=lambda n: (n.lineno, n.col_offset))
    strings = dict.fromkeys(n.value for n in in_order if isinstance(n.value, str) and n.value in columns)
    operators = dict.fromkeys(OPERATORS[type(op)] for n in ast.walk(tree)
                              for op in ([n.op] if isinstance(n, (ast.BinOp, ast.UnaryOp, ast.BoolOp, ast.AugAssign))
                                         else n.ops if isinstance(n, ast.Compare) else [])
                              if type(op) in OPERATORS)
    loops = sum(isinstance(n, (ast.For, ast.While, ast.AsyncFor, ast.comprehension)) for n in ast.walk(tree))
    lines = []
    if used:
        lines.append("- **From your notebook:** " + ", ".join(used))
    if strings:
        lines.append("- **Columns:** " + ", ".join(f"`{c}`" for c in strings))
    if assigned:
        lines.append("- **Creates or changes:** " + ", ".join(f"`{n}`" for n in sorted(assigned)))
    if operators:
        lines.append("- **Operators:** " + "; ".join(f"`{sign}`: {what}" for sign, what in operators))
    if loops:
        lines.append(f"- **Loops:** {loops}, each repeating its part once per item")
    return lines


def explain(source: str, context: Context) -> str:
    code = source.strip("\n")
    fence = "```"
    while fence in code:
        fence += "`"
    try:
        tree = ast.parse(code)
    except SyntaxError as err:
        overview = (f"This text is not valid Python as it stands: `{err.msg}` on line {err.lineno}."
                    " Fix that first; Python cannot run any of it until then.")
        facts, steps = [], []
    else:
        count = len(tree.body)
        overview = f"The code below has {count} top-level statement{'s' if count != 1 else ''}, run from top to bottom."
        facts = _facts(tree, context)
        steps = [f"{i}. Line {stmt.lineno}: {_step(stmt)}." for i, stmt in enumerate(tree.body, 1)]
    parts = ["## What this code does", "", overview, ""]
    if facts:
        parts += facts + [""]
    parts += [fence + "python", code, fence, ""]
    if steps:
        parts += ["### Step by step", ""] + steps + [""]
    return "\n".join(parts)


# ---------------------------------------------------------------------------
# Debugging advice.

_ERROR = re.compile(r"^\s*(?:[\w.]+\.)?(\w*(?:Error|Exception|Exit|Interrupt|Warning))\b:?\s*(.*)$", re.M)

# Advice by exception name; {name} is the quoted name in the message (a
# module, key or variable), {package} the distribution that provides a module.
TIPS: dict[str, tuple[str, ...]] = {
    "ModuleNotFoundError": (
        "The package that provides `{name}` is not installed in this kernel's environment.",
        "Install it from a cell with `%pip install {package}` and restart the kernel.",
        "If it is installed, check that the notebook runs the kernel of that environment."),
    "KeyError": (
        "The key {name!r} does not exist in the object you indexed.",),
    "NameError": (
        "`{name}` is used before it was defined in this kernel.",
        "Run the cell that defines it first, or check its spelling; after a kernel restart every cell"
        " has to be run again."),
    "AttributeError": (
        "The object has no attribute with that name: check its type with `type(obj)`.",
        "A common cause is a variable that holds `None`, or a pandas method renamed in a newer version"
        " (for example `DataFrame.append` was removed; use `pd.concat`)."),
    "FileNotFoundError": (
        "The path does not exist relative to the notebook's working directory.",
        "Check it with `import os; os.getcwd(), os.path.exists(path)` and use an absolute path or a raw"
        " string on Windows (r\"C:\\data\\file.csv\")."),
    "SyntaxError": (
        "Python could not read the code: look at the line shown and the one before it.",
        "Typical causes are a missing closing bracket or quote, a missing colon after `if`/`for`/`def`,"
        " or mixed tabs and spaces."),
    "TypeError": (
        "A value has a different type than the operation expects.",
        "Print the types involved (`type(x)`) and convert explicitly, for example"
        " `pd.to_numeric(df[col], errors=\"coerce\")` for numbers stored as text."),
    "ValueError": (
        "A value has the right type but an unusable content.",
        "For pandas and scikit-learn this is often text in a numeric column, NaN values the model cannot"
        " take (`df.isna().sum()` shows them), or shapes that do not match."),
    "ZeroDivisionError": (
        "A division by zero: guard the divisor (`x / y if y else 0`) or use pandas, which gives inf/NaN"
        " instead of raising.",),
    "MemoryError": (
        "The data does not fit in memory: read it in chunks (`chunksize=`) or select fewer columns"
        " (`usecols=`).",),
    "": (
        "Read the last line of the traceback first: it names the error; the lines above show where it"
        " happened, the lowest frame being your own code.",
        "Re-run the failing cell alone after restarting the kernel to rule out stale state."),
}
TIPS["ImportError"] = TIPS["ModuleNotFoundError"]
TIPS["IndentationError"] = TIPS["TabError"] = TIPS["SyntaxError"]

# Import names whose distribution is called differently.
PACKAGES = {"sklearn": "scikit-learn", "cv2": "opencv-python", "PIL": "pillow", "yaml": "pyyaml",
            "pptx": "python-pptx", "bs4": "beautifulsoup4"}


def debug(error: str, context: Context) -> str:
    found = _ERROR.findall(error)
    kind, message = found[-1] if found else ("", error.strip().splitlines()[-1] if error.strip() else "")
    quoted = re.search(r"['\"]([^'\"]+)['\"]", message)
    name = quoted.group(1) if quoted else None
    if name is None and kind == "KeyError":
        kind_tips = ("A dictionary key or data-frame column you used does not exist.",)
    elif name is None and kind in ("ModuleNotFoundError", "ImportError"):
        kind_tips = TIPS[""]
    else:
        kind_tips = TIPS.get(kind, TIPS[""])
    root = (name or "").split(".")[0]
    tips = [t.format(name=name or "the name", package=PACKAGES.get(root, root)) for t in kind_tips]
    if kind == "KeyError":
        columns = list(dict.fromkeys(c for f in context.frames() for c, _ in f.columns))
        close = difflib.get_close_matches(name, columns, n=3, cutoff=0.6) if name else []
        if close:
            tips.append("Did you mean " + " or ".join(repr(c) for c in close) + "?")
        if columns:
            tips.append("Known columns: " + ", ".join(repr(c) for c in columns) + ".")
        tips.append("Print `df.columns.tolist()` to see the exact labels (spaces and case matter).")
    head = f"{kind}: {message}".strip(": ") if kind else (message or "the error")
    return f"{head}\n\n" + "\n".join(f"- {t}" for t in tips) + "\n"


# ---------------------------------------------------------------------------
# Forwarding to a real model.

SYSTEM_PROMPT = ("You are the code assistant of a Jupyter notebook. When asked for code, answer with plain"
                 " Python code only, without markdown fences. When asked to explain, answer in markdown."
                 " When asked about an error, give short practical advice.")


class OpenAICompleter:
    """Sends each query to an OpenAI-compatible chat-completions endpoint."""

    def __init__(self, base_url: str, model: str, api_key: Optional[str] = None, timeout: float = 120.0):
        import openai  # imported only when forwarding is asked for

        self.model = model
        self._client = openai.OpenAI(base_url=base_url, api_key=api_key or "not-needed",
                                     max_retries=0, timeout=timeout)

    def __call__(self, query: str, max_tokens: int) -> str:
        reply = self._client.chat.completions.create(
            model=self.model,
            messages=[{"role": "system", "content": SYSTEM_PROMPT}, {"role": "user", "content": query}],
            max_tokens=max_tokens,
        )
        return reply.choices[0].message.content or ""

    def close(self) -> None:
        self._client.close()
