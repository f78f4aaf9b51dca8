"""What the stand-in answers to a completion request.

`complete(query, max_tokens)` is not an engine: it fills a handful of
templates with the frame and columns the prompt names (the first rows, a
chart, a pivot table, a grouped total, a summary), quotes code back in a
markdown frame to "explain" it, turns one slow pattern into a column
expression, points at the likely cause of a KeyError or a missing module,
and otherwise echoes the request as a marked `print`. For real answers the
service forwards to an OpenAI-compatible server instead (`OpenAICompleter`).
"""

from __future__ import annotations

import difflib
import re
from typing import Callable, Optional

from .context import Context, split_prompt

Completer = Callable[[str, int], str]
CHARS_PER_TOKEN = 4
NUMERIC = re.compile(r"(u?int|float|Int|UInt|Float)\d*$")


def complete(query: str, max_tokens: int = 1000) -> str:
    prompt = split_prompt(query)
    answer = {"optimize": optimize, "explain": explain, "debug": debug}.get(prompt.mode, code)
    return truncate(answer(prompt.request, prompt.context), max_tokens)


def truncate(text: str, max_tokens: int) -> str:
    """Cut the answer to about `max_tokens`, at a line end when there is one,
    as an engine stops at its token limit."""
    limit = max(1, max_tokens) * CHARS_PER_TOKEN
    cut = text.rfind("\n", 0, limit)
    return text if len(text) <= limit else text[: cut + 1 if cut > 0 else limit]


def code(request: str, context: Context) -> str:
    frames = context.frames()
    words = re.findall(r"\w+", request)
    frame = next((f for f in frames if f.name in words), frames[0] if frames else None)
    if frame is None:
        return no_template(request)
    f, low = frame.name, request.lower()
    # The columns named in the request come first, in the order they are named.
    where = {c: re.search(rf"\b{re.escape(c.lower())}\b", low) for c, _ in frame.columns}
    named = sorted(frame.columns, key=lambda c: where[c[0]].start() if where[c[0]] else len(low))
    numbers = [c for c, t in named if NUMERIC.match(t)]
    keys = [c for c, t in named if not NUMERIC.match(t)]
    agg = "mean" if re.search(r"\b(average|mean)\b", low) else "sum"
    head = re.search(r"\b(top|first|head)\b\D*(\d+)?", low)
    if head:
        return f"{f}.head({head.group(2) or 5})\n"
    if numbers and keys and "pivot" in low:
        return f"{f}.pivot_table(index={keys[0]!r}, values={numbers[0]!r}, aggfunc={agg!r})\n"
    if numbers and re.search(r"\b(plot|chart|graph|histogram)\b", low):
        if keys and "histogram" not in low:
            return (f"{f}.groupby({keys[0]!r})[{numbers[0]!r}].{agg}().plot(kind='bar',"
                    f" ylabel={agg + ' of ' + numbers[0]!r})\n")
        return f"{f}[{numbers[0]!r}].plot(kind='hist')\n"
    if numbers and keys and re.search(r"\b(per|by|each)\b", low):
        return f"{f}.groupby({keys[0]!r})[{numbers[0]!r}].{agg}()\n"
    if re.search(r"\b(describe|summary|summari[sz]e|statistics)\b", low):
        return f"{f}.describe()\n"
    return no_template(request)


def no_template(request: str) -> str:
    return f"# quillon dev service: no template answer for this request\nprint({request!r})\n"


# A list built by appending, row by row, arithmetic on the row's columns.
ROW_LOOP = re.compile(r"^(\w+) = \[\]\nfor \w+, (\w+) in (\w+)\.iterrows\(\):\n[ \t]+\1\.append\((.+)\)\n",
                      re.M)


def optimize(source: str, context: Context) -> str:
    frames = {f.name for f in context.frames()}

    def vectorise(m: re.Match) -> str:
        name, row, frame, expr = m.groups()
        column = re.compile(rf"\b{row}\[(['\"])(\w+)\1\]")
        rewritten = column.sub(lambda c: f"{frame}[{c.group(2)!r}]", expr)
        # Only + - * / of columns and numbers mean the same on whole columns.
        if frame not in frames or re.sub(rf"{frame}\['\w+'\]|[\d.+\-*/() ]", "", rewritten) \
                or re.search(r"\*\*|//", rewritten):
            return m.group(0)
        return f"{name} = ({rewritten}).tolist()\n"

    text = source if source.endswith("\n") else source + "\n"
    rewritten = ROW_LOOP.sub(vectorise, text)
    note = ("a loop over rows became one column expression" if rewritten != text
            else "no template rewrite applies, so the code is unchanged")
    return f"# quillon dev service: {note}\n{rewritten}"


def explain(source: str, context: Context) -> str:
    quoted = source.strip("\n")
    fence = "```"
    while fence in quoted:
        fence += "`"
    names = set(re.findall(r"\w+", quoted))
    used = [f"`{v.name}` (a DataFrame with the columns {', '.join(c for c, _ in v.columns)})"
            if v.columns else f"`{v.name}`" for v in context.variables if v.name in names]
    used += [f"`{m}` (a module)" for m in context.modules if m in names]
    lines = ["## What this code does", "",
             "The quillon dev service does not read code; it only shows it here, with the names it"
             " takes from your notebook.", "", f"{fence}python", quoted, fence, ""]
    return "\n".join(lines + ([f"From your notebook: {', '.join(used)}.", ""] if used else []))


def debug(error: str, context: Context) -> str:
    found = re.findall(r"^\s*(?:[\w.]+\.)?(\w*(?:Error|Exception))\b:?\s*(.*)$", error, re.M)
    kind, message = found[-1] if found else ("", error.strip().splitlines()[-1] if error.strip() else "")
    quoted = re.search(r"['\"]([^'\"]+)['\"]", message)
    tips = ["Read the last line of the traceback first: it names the error; the lines above it show"
            " where it happened."]
    if kind == "KeyError" and quoted:
        columns = list(dict.fromkeys(c for f in context.frames() for c, _ in f.columns))
        close = difflib.get_close_matches(quoted.group(1), columns, n=3, cutoff=0.6)
        tips = [f"The key {quoted.group(1)!r} does not exist in what you indexed."]
        tips += ["Did you mean " + " or ".join(map(repr, close)) + "?"] if close else []
        tips += [f"Known columns: {', '.join(map(repr, columns))}."] if columns else []
    elif kind in ("ModuleNotFoundError", "ImportError") and quoted:
        tips = [f"The module `{quoted.group(1).split('.')[0]}` is not installed in this kernel's environment:"
                " install the package that provides it with `%pip install`, then restart the kernel."]
    return f"{kind + ': ' if kind else ''}{message}\n\n" + "\n".join(f"- {t}" for t in tips) + "\n"


SYSTEM_PROMPT = ("You are the code assistant of a Jupyter notebook. When asked for code, answer with plain"
                 " Python code only, without markdown fences. When asked to explain, answer in markdown."
                 " When asked about an error, give short practical advice.")


class OpenAICompleter:
    """Sends each query to an OpenAI-compatible chat-completions endpoint."""

    def __init__(self, base_url: str, model: str, api_key: Optional[str] = None, timeout: float = 120.0):
        import openai  # only when forwarding is asked for

        self.model = model
        self._client = openai.OpenAI(base_url=base_url, api_key=api_key or "not-needed",
                                     max_retries=0, timeout=timeout)

    def __call__(self, query: str, max_tokens: int) -> str:
        reply = self._client.chat.completions.create(
            model=self.model, max_tokens=max_tokens,
            messages=[{"role": "system", "content": SYSTEM_PROMPT}, {"role": "user", "content": query}])
        return reply.choices[0].message.content or ""

    def close(self) -> None:
        self._client.close()
