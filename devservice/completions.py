"""What the stand-in answers. `split_prompt` takes the SDK's prompt apart: the notebook's modules
and variables (a frame with its columns), the base prompt and the user's own text. `complete` is
not an engine: it fills a handful of templates with the frame and columns named, quotes code back
as markdown to "explain" it, turns one slow pattern into a column expression, points at the
likely cause of a KeyError, and otherwise echoes the request as a marked `print`.
`openai_completer` forwards to a real model instead."""

import difflib
import re
from typing import Callable, NamedTuple, Optional

HEADER = "Given below are the modules and the variables that I have used:\n"
LEAD_IN = "Use them as context and "
COLUMN = "\t column: "
CODE = "Write python code for: "
OPTIMIZE = "Optimize the following code to be more efficient: "
EXPLAIN = ("Explain the below given code and generate your answer in a proper markdown format that is"
           " easiy understand for coders and non coders alike:\n")
DEBUG = "Debug the below given error and tell me how I can resolve it: \n"
MODES = {CODE: "code", OPTIMIZE: "optimize", EXPLAIN: "explain", DEBUG: "debug"}
NUMERIC = re.compile(r"(u?int|float|Int|UInt|Float)\d*$")
NO_TEMPLATE = "# quillon dev service: no template answer for this request\nprint({!r})\n"
Completer = Callable[[str, int], str]
Variable = NamedTuple("Variable", [("name", str), ("type", str), ("columns", list)])   # columns: (label, dtype)


class Prompt(NamedTuple):
    mode: Optional[str]      # "code", "optimize", "explain", "debug" or None
    request: str             # the user's own text: a request, code or an error
    modules: list
    variables: list

    def frames(self) -> list:
        return [v for v in self.variables if v.type == "DataFrame"]


def split_prompt(query: str) -> Prompt:
    text, modules, variables = query, [], []
    end = query.find("\n\n" + LEAD_IN, len(HEADER) - 1) if query.startswith(HEADER) else -1
    if end >= 0:
        names, _, described = query[len(HEADER):end].partition("Variables: \n")
        modules = [line.strip() for line in names.split("\n")[1:] if line.strip()]
        for line in described.split("\n"):
            if line.startswith("name: "):
                name, _, type_ = line[len("name: "):].partition(", type: ")
                variables.append(Variable(name, type_.strip(), []))
            elif line.startswith(COLUMN) and variables:
                label, _, dtype = line[len(COLUMN):].rpartition(", dtype:")
                variables[-1].columns.append((label, dtype.strip()))
        text = query[end + 2 + len(LEAD_IN):]
    for base, mode in MODES.items():
        for lead in (base, base.rstrip()):      # a trailing blank or line break may have been lost
            if text.startswith(lead):
                request = text[len(lead):]
                request = request[2:] if end >= 0 and request.startswith(": ") else request
                return Prompt(mode, request, modules, variables)
    return Prompt(None, text, modules, variables)


def complete(query: str, max_tokens: int = 1000) -> str:
    """A template's answer; the templates are short, so `max_tokens` never cuts one."""
    prompt = split_prompt(query)
    return {"optimize": optimize, "explain": explain, "debug": debug}.get(prompt.mode, code)(prompt)


def code(prompt: Prompt) -> str:
    frames, low = prompt.frames(), prompt.request.lower()
    frame = next((v for v in frames if v.name in re.findall(r"\w+", prompt.request)), (frames or [None])[0])
    if frame is None:
        return NO_TEMPLATE.format(prompt.request)
    # The columns named in the request come first, in the order they are named.
    where = {c: re.search(rf"\b{re.escape(c.lower())}\b", low) for c, _ in frame.columns}
    named = sorted(frame.columns, key=lambda c: where[c[0]].start() if where[c[0]] else len(low))
    nums, keys = [c for c, t in named if NUMERIC.match(t)], [c for c, t in named if not NUMERIC.match(t)]
    f, agg = frame.name, "mean" if re.search(r"\b(average|mean)\b", low) else "sum"
    head = re.search(r"\b(top|first|head)\b\D*(\d+)?", low)
    if head:
        return f"{f}.head({head.group(2) or 5})\n"
    if nums and keys and "pivot" in low:
        return f"{f}.pivot_table(index={keys[0]!r}, values={nums[0]!r}, aggfunc={agg!r})\n"
    if nums and keys and re.search(r"\b(plot|chart|graph)\b", low):
        return f"{f}.groupby({keys[0]!r})[{nums[0]!r}].{agg}().plot(kind='bar', ylabel={agg + ' of ' + nums[0]!r})\n"
    if nums and keys and re.search(r"\b(per|by|each)\b", low):
        return f"{f}.groupby({keys[0]!r})[{nums[0]!r}].{agg}()\n"
    return NO_TEMPLATE.format(prompt.request)


# A list built by a loop over a frame's rows that only appends one value per row.
ROW_LOOP = re.compile(r"^(\w+) = \[\]\nfor (\w+), (\w+) in (\w+)\.iterrows\(\):\n[ \t]+\1\.append\((.+)\)\n"
                      r"(?!(?:[ \t]*\n)*[ \t]+\S)", re.M)


def optimize(prompt: Prompt) -> str:
    def vectorise(m: re.Match) -> str:
        name, index, row, frame, expr = m.groups()
        expr = re.sub(rf"\b{row}\[(['\"])(\w+)\1\]", lambda c: f"{frame}[{c.group(2)!r}]", expr)
        # Only + - * / of columns and numbers mean the same on whole columns; and the loop's names
        # must not be read afterwards.
        arithmetic = not re.sub(rf"{frame}\['\w+'\]|[\d.+\-*/() ]", "", expr) and not re.search(r"\*\*|//", expr)
        if frame not in [v.name for v in prompt.frames()] or f"{frame}[" not in expr or not arithmetic \
                or re.search(rf"\b({index}|{row})\b", m.string[m.end():]):
            return m.group(0)
        return f"{name} = ({expr}).tolist()\n"

    text = prompt.request if prompt.request.endswith("\n") else prompt.request + "\n"
    rewritten = ROW_LOOP.sub(vectorise, text)
    note = ("a loop over rows became one column expression" if rewritten != text
            else "no template rewrite applies, so the code is unchanged")
    return f"# quillon dev service: {note}\n{rewritten}"


def explain(prompt: Prompt) -> str:
    quoted, fence = prompt.request.strip("\n"), "```"
    while fence in quoted:
        fence += "`"
    names = set(re.findall(r"\w+", quoted))
    used = [f"`{v.name}`" + (f" (a DataFrame with the columns {', '.join(c for c, _ in v.columns)})"
                             if v.type == "DataFrame" else "") for v in prompt.variables if v.name in names]
    used += [f"`{m}` (a module)" for m in prompt.modules if m in names]
    return "\n".join(["## What this code does", "", "The dev service does not read code: it shows it here with"
                      " the names it takes from your notebook.", "",
                      f"{fence}python", quoted, fence, ""]
                     + ([f"From your notebook: {', '.join(used)}.", ""] if used else []))


def debug(prompt: Prompt) -> str:
    found = re.findall(r"^\s*(?:[\w.]+\.)?(\w*(?:Error|Exception))\b:?\s*(.*)$", prompt.request, re.M)
    kind, message = found[-1] if found else ("", (prompt.request.strip().splitlines() or [""])[-1])
    quoted = re.search(r"['\"]([^'\"]+)['\"]", message)
    tips = ["Read the last line of the traceback first: it names the error; the lines above it show"
            " where it happened."]
    if kind == "KeyError" and quoted:
        columns = list(dict.fromkeys(c for v in prompt.frames() for c, _ in v.columns))
        close = difflib.get_close_matches(quoted.group(1), columns, n=3, cutoff=0.6)
        tips = [f"The key {quoted.group(1)!r} does not exist in what you indexed."]
        tips += ["Did you mean " + " or ".join(map(repr, close)) + "?"] * bool(close)
        tips += [f"Known columns: {', '.join(map(repr, columns))}."] * bool(columns)
    return f"{kind + ': ' if kind else ''}{message}\n\n" + "".join(f"- {t}\n" for t in tips)


SYSTEM_PROMPT = ("You are the code assistant of a Jupyter notebook. When asked for code, answer with plain"
                 " Python code only, without markdown fences. When asked to explain, answer in markdown."
                 " When asked about an error, give short practical advice.")


def openai_completer(base_url: str, model: str, api_key: Optional[str] = None, timeout: float = 120.0):
    """A completer that asks an OpenAI-compatible chat endpoint; its `close()` ends the client."""
    import openai  # only when forwarding is asked for

    client = openai.OpenAI(base_url=base_url, api_key=api_key or "not-needed", max_retries=0, timeout=timeout)

    def forward(query: str, max_tokens: int) -> str:
        reply = client.chat.completions.create(model=model, max_tokens=max_tokens, messages=[
            {"role": "system", "content": SYSTEM_PROMPT}, {"role": "user", "content": query}])
        return reply.choices[0].message.content or ""

    forward.close = client.close
    return forward
