"""The stand-in engine's optimisation: the rewrites a reviewer would ask
for first, done on the syntax tree so that the answer stays valid Python."""

from __future__ import annotations

import ast
from typing import Optional


def comment(text: str) -> str:
    lines = text.splitlines() or [""]
    clean = ("".join(ch if ch == "\t" or ch.isprintable() else " " for ch in line) for line in lines)
    return "\n".join(("# " + line).rstrip() for line in clean)


def _init_kind(stmt: ast.stmt) -> Optional[tuple[str, str]]:
    """(name, kind) when stmt is `name = []`, `list()`, `{}`, `dict()`, `0`
    or `""`."""
    if not (isinstance(stmt, ast.Assign) and len(stmt.targets) == 1
            and isinstance(stmt.targets[0], ast.Name)):
        return None
    name, value = stmt.targets[0].id, stmt.value
    if isinstance(value, ast.List) and not value.elts:
        return name, "list"
    if isinstance(value, ast.Dict) and not value.keys:
        return name, "dict"
    if isinstance(value, ast.Call) and isinstance(value.func, ast.Name) and not value.args \
            and not value.keywords and value.func.id in ("list", "dict", "set"):
        return name, value.func.id
    if isinstance(value, ast.Constant) and type(value.value) in (int, float) and value.value == 0:
        return name, "sum"
    if isinstance(value, ast.Constant) and value.value == "":
        return name, "join"
    return None


def _loop_parts(loop: ast.stmt) -> Optional[tuple[ast.stmt, list[ast.expr]]]:
    """The single statement of a plain for loop (looking through one `if`
    without else) and the conditions on the way."""
    if not isinstance(loop, ast.For) or loop.orelse or len(loop.body) != 1:
        return None
    inner, ifs = loop.body[0], []
    if isinstance(inner, ast.If) and not inner.orelse and len(inner.body) == 1:
        ifs, inner = [inner.test], inner.body[0]
    return inner, ifs


def _accumulation(name: str, kind: str, inner: ast.stmt) -> Optional[tuple[str, ast.expr, ast.expr]]:
    """What the loop adds to `name`: (kind, element, key) for the patterns
    the rewrite understands."""
    if isinstance(inner, ast.Expr) and isinstance(inner.value, ast.Call):
        call = inner.value
        f = call.func
        if isinstance(f, ast.Attribute) and isinstance(f.value, ast.Name) and f.value.id == name \
                and len(call.args) == 1 and not call.keywords:
            if kind == "list" and f.attr == "append":
                return "list", call.args[0], None
            if kind == "set" and f.attr == "add":
                return "set", call.args[0], None
    if isinstance(inner, ast.AugAssign) and isinstance(inner.target, ast.Name) \
            and inner.target.id == name and isinstance(inner.op, ast.Add) and kind in ("sum", "join"):
        return kind, inner.value, None
    if kind == "dict" and isinstance(inner, ast.Assign) and len(inner.targets) == 1:
        t = inner.targets[0]
        if isinstance(t, ast.Subscript) and isinstance(t.value, ast.Name) and t.value.id == name:
            return "dict", inner.value, t.slice
    return None


def _names(nodes) -> set[str]:
    return {n.id for node in nodes for n in ast.walk(node) if isinstance(n, ast.Name)}


def _read_later(name: str, stmts: list[ast.stmt]) -> bool:
    """Whether `name` may be read by `stmts` before they bind it again."""
    for stmt in stmts:
        if isinstance(stmt, ast.For) and name in _names([stmt.target]):
            return name in _names([stmt.iter])
        if isinstance(stmt, ast.Assign) and any(isinstance(t, ast.Name) and t.id == name
                                                for t in stmt.targets):
            return name in _names([stmt.value])
        if name in _names([stmt]):
            return True
    return False


def _rewrite(body: list[ast.stmt], notes: list[str]) -> list[ast.stmt]:
    out: list[ast.stmt] = []
    i = 0
    while i < len(body):
        stmt = body[i]
        init = _init_kind(stmt)
        loop = body[i + 1] if i + 1 < len(body) else None
        parts = _loop_parts(loop) if init and loop is not None else None
        acc = _accumulation(init[0], init[1], parts[0]) if parts else None
        if acc is not None:
            name = init[0]
            kind, element, key = acc
            targets = _names([loop.target])
            uses_self = name in _names([element, loop.iter, *parts[1]] + ([key] if key else []))
            # The comprehension does not leak its loop variable: only rewrite
            # when nothing after the loop reads it.
            leaked = any(_read_later(t, body[i + 2:]) for t in targets)
            if not uses_self and not leaked:
                gen = [ast.comprehension(target=loop.target, iter=loop.iter, ifs=parts[1], is_async=0)]
                if kind == "list":
                    value = ast.ListComp(elt=element, generators=gen)
                elif kind == "set":
                    value = ast.SetComp(elt=element, generators=gen)
                elif kind == "dict":
                    value = ast.DictComp(key=key, value=element, generators=gen)
                else:
                    func = ast.Name("sum") if kind == "sum" else ast.Attribute(ast.Constant(""), "join")
                    args = [ast.GeneratorExp(elt=element, generators=gen)]
                    if kind == "sum" and isinstance(stmt.value.value, float):
                        args.append(ast.Constant(0.0))  # keep the float result of an empty loop
                    value = ast.Call(func=func, args=args, keywords=[])
                what = {"list": "list comprehension", "set": "set comprehension",
                        "dict": "dict comprehension", "sum": "sum() over a generator",
                        "join": "str.join() over a generator"}[kind]
                notes.append(f"line {stmt.lineno}: the loop filling `{name}` is now a {what}")
                out.append(ast.copy_location(ast.Assign(targets=[ast.Name(name, ast.Store())],
                                                        value=value), stmt))
                i += 2
                continue
        for attr in ("body", "orelse", "finalbody"):
            inner = getattr(stmt, attr, None)
            if isinstance(inner, list) and inner and isinstance(inner[0], ast.stmt):
                setattr(stmt, attr, _rewrite(inner, notes))
        for handler in getattr(stmt, "handlers", []):
            handler.body = _rewrite(handler.body, notes)
        out.append(stmt)
        i += 1
    return out


def _hints(tree: ast.AST) -> list[str]:
    hints = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute):
            name = node.func.attr
            if name == "iterrows":
                hints.append(f"line {node.lineno}: iterrows() is slow; prefer vectorised column"
                             " arithmetic or itertuples()")
            elif name == "apply" and any(k.arg == "axis" and isinstance(k.value, ast.Constant)
                                         and k.value.value in (1, "columns") for k in node.keywords):
                hints.append(f"line {node.lineno}: apply(axis=1) runs Python per row; column"
                             " expressions are usually much faster")
            elif name == "append" and isinstance(node.func.value, ast.Name) and \
                    node.func.value.id.startswith("df"):
                hints.append(f"line {node.lineno}: DataFrame.append in a loop copies the frame each"
                             " time; collect rows in a list and call pd.concat once")
    return hints


def optimize(source: str) -> str:
    code = source.strip("\n")
    try:
        tree = ast.parse(code)
    except SyntaxError as err:
        return (comment(f"quillon dev service: could not parse this code ({err.msg}, line {err.lineno});"
                         " returning it commented out") + "\n" + comment(code) + "\n")
    notes: list[str] = []
    tree.body = _rewrite(tree.body, notes)
    hints = _hints(tree)
    if not notes:
        header = ["Optimised: no loop rewrites apply; the code is kept as it was."]
        body = code
    else:
        header = ["Optimised:"] + ["  " + n for n in notes]
        body = ast.unparse(ast.fix_missing_locations(tree))
    header += ["Hint: " + h for h in hints]
    return comment("\n".join(header)) + "\n" + body + "\n"
