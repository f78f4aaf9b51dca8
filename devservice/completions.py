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
        text = explain(prompt.request)
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

def _summary(tree: ast.Module) -> list[str]:
    imports, defs, reads, plots, assigned, loops = [], [], [], [], [], 0
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            imports += [f"`{a.name}`" + (f" as `{a.asname}`" if a.asname else "") for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            imports += [f"`{a.name}` from `{node.module}`" for a in node.names]
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            defs.append(f"function `{node.name}`")
        elif isinstance(node, ast.ClassDef):
            defs.append(f"class `{node.name}`")
        elif isinstance(node, (ast.For, ast.While, ast.AsyncFor)):
            loops += 1
        elif isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute):
            if node.func.attr.startswith("read_"):
                reads.append(f"`{node.func.attr}`")
            elif node.func.attr in ("plot", "show", "scatter", "hist", "bar", "heatmap"):
                plots.append(f"`{node.func.attr}`")
    for node in tree.body:
        targets = node.targets if isinstance(node, ast.Assign) else \
            [node.target] if isinstance(node, (ast.AugAssign, ast.AnnAssign)) else []
        for t in targets:
            for n in ast.walk(t):
                if isinstance(n, ast.Name) and f"`{n.id}`" not in assigned:
                    assigned.append(f"`{n.id}`")
    lines = []
    if imports:
        lines.append("- **Imports:** " + ", ".join(dict.fromkeys(imports)))
    if defs:
        lines.append("- **Defines:** " + ", ".join(defs))
    if reads:
        lines.append("- **Reads data with:** " + ", ".join(dict.fromkeys(reads)))
    if assigned:
        lines.append("- **Creates or updates:** " + ", ".join(assigned))
    if loops:
        lines.append(f"- **Loops:** {loops}, each repeating its indented block")
    if plots:
        lines.append("- **Draws:** a chart through " + ", ".join(dict.fromkeys(plots)))
    return lines


def explain(source: str) -> str:
    code = source.strip("\n")
    fence = "```"
    while fence in code:
        fence += "`"
    try:
        tree = ast.parse(code)
    except SyntaxError as err:
        overview = (f"This text is not valid Python as it stands: `{err.msg}` on line {err.lineno}."
                    " Fix that first; the explanation below follows the text as written.")
        points = []
    else:
        count = len(tree.body)
        overview = (f"The code below has {count} top-level statement{'s' if count != 1 else ''}."
                    " Python runs them from top to bottom; indented lines belong to the line above them.")
        points = _summary(tree)
    parts = ["## What this code does", "", overview, ""]
    if points:
        parts += points + [""]
    parts += [fence + "python", code, fence, "",
              "### In plain words", "",
              "Each name on the left of `=` keeps a value for later cells; calls such as `name(...)`"
              " run a function. Inside strings, a backslash starts an escape such as `\\n` (a new"
              " line), and text like `${value}` is only text to Python, not a substitution.", ""]
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
        columns = [c for f in context.frames() for c, _ in f.columns]
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
