"""The stand-in engine's optimisation: the rewrites a reviewer would ask
for first, done on the syntax tree so that the answer stays valid Python.

  - a loop over indexes, `for i in range(len(xs))`, runs over the items;
  - a loop over the rows of a data frame (`iterrows()`, or indexes read
    with `.loc`/`.at`) that computes a column, a sum or a list from cells
    becomes one column expression;
  - a loop that only fills a list, set, dict, sum or string becomes a
    comprehension or one call.

Each rewrite applies only where it keeps what the code computes, and says so
in the answer; code where none applies comes back unchanged, saying that.
"""

from __future__ import annotations

import ast
import copy
import textwrap
from dataclasses import dataclass
from typing import Callable, Optional


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


# ---------------------------------------------------------------------------
# Index loops: `for i in range(len(xs))` reading xs[i].

_MUTATORS = {"append", "extend", "insert", "pop", "remove", "clear", "sort", "reverse"}


def _simple(expr: ast.expr) -> bool:
    """A name, or attributes and constant subscripts of one: reading it runs
    no code of the user's."""
    while isinstance(expr, (ast.Attribute, ast.Subscript)):
        if isinstance(expr, ast.Subscript) and not isinstance(expr.slice, ast.Constant):
            return False
        expr = expr.value
    return isinstance(expr, ast.Name)


def _root(expr: ast.expr) -> Optional[str]:
    while isinstance(expr, (ast.Attribute, ast.Subscript)):
        expr = expr.value
    return expr.id if isinstance(expr, ast.Name) else None


def _same(a: ast.AST, b: ast.AST) -> bool:
    return ast.dump(a) == ast.dump(b)


def _call(func: str, node: ast.AST, nargs: int = 1) -> Optional[list[ast.expr]]:
    """The arguments of `func(...)` with `nargs` positional arguments."""
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == func \
            and len(node.args) == nargs and not node.keywords:
        return node.args
    return None


def _bound(nodes: list[ast.AST]) -> set[str]:
    return {n.id for node in nodes for n in ast.walk(node)
            if isinstance(n, ast.Name) and isinstance(n.ctx, (ast.Store, ast.Del))}


def _singular(name: str) -> Optional[str]:
    for plural, one in (("ies", "y"), ("sses", "ss"), ("xes", "x"), ("ches", "ch"), ("shes", "sh"), ("s", "")):
        if name.endswith(plural) and not name.endswith("ss") and len(name) > len(plural) + 1:
            return name[: -len(plural)] + one
    return None


def _fresh(preferred: Optional[str], used: set[str]) -> str:
    name = preferred if preferred and preferred not in used else "item"
    n = 2
    while name in used:
        name, n = f"item{n}", n + 1
    used.add(name)
    return name


def _index_loop(loop: ast.For, later: list[ast.stmt], frames: dict[str, list[str]], used: set[str],
                notes: list) -> Optional[ast.For]:
    """`for i in range(len(xs)): ... xs[i] ...` as `for x in xs` (or
    `for i, x in enumerate(xs)` where the index is still needed). Not for a
    data frame, whose [i] is a column and whose iteration gives labels."""
    args = _call("range", loop.iter)
    seq = _call("len", args[0]) if args else None
    if not (seq and isinstance(loop.target, ast.Name) and _simple(seq[0])) or loop.orelse \
            or ast.unparse(seq[0]) in frames:
        return None
    seq, index = seq[0], loop.target.id
    reads = []
    for node in ast.walk(ast.Module(body=loop.body, type_ignores=[])):
        if isinstance(node, ast.Subscript) and _same(node.value, seq):
            if isinstance(node.ctx, ast.Del):
                return None               # the length changes under the loop
            if isinstance(node.ctx, ast.Load) and isinstance(node.slice, ast.Name) and node.slice.id == index:
                reads.append(node)
        elif isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute) \
                and _same(node.func.value, seq) and node.func.attr in _MUTATORS:
            return None
    if not reads or {index, _root(seq)} & _bound(loop.body):
        return None
    taken = {id(r.slice) for r in reads}
    others = [n for n in ast.walk(ast.Module(body=loop.body, type_ignores=[]))
              if isinstance(n, ast.Name) and n.id == index and id(n) not in taken]
    item = _fresh(_singular(seq.id) if isinstance(seq, ast.Name) else None, used)
    replaced = {id(r) for r in reads}

    class Items(ast.NodeTransformer):
        def visit_Subscript(self, node):
            return ast.Name(item, ast.Load()) if id(node) in replaced else self.generic_visit(node)

    body = [Items().visit(stmt) for stmt in loop.body]
    keep_index = bool(others) or _read_later(index, later)
    target = ast.Tuple([ast.Name(index, ast.Store()), ast.Name(item, ast.Store())], ast.Store()) \
        if keep_index else ast.Name(item, ast.Store())
    iterated = ast.Call(ast.Name("enumerate", ast.Load()), [seq], []) if keep_index else seq
    notes.append((loop.lineno, f"the loop runs over the items of `{ast.unparse(seq)}`"
                  + (" with enumerate()" if keep_index else "") + " instead of indexing it"))
    return ast.copy_location(ast.For(target=target, iter=iterated, body=body, orelse=[]), loop)


# ---------------------------------------------------------------------------
# Row loops over a data frame, as column expressions.

@dataclass
class _Rows:
    frame: ast.expr                                   # the frame whose rows the loop visits
    owned: set[str]                                   # the loop's names: index, row
    cell: Callable[[ast.AST], Optional[object]]       # the column label a node reads, if it reads a cell
    target: Callable[[ast.AST], Optional[object]]     # the column label a node writes, if it writes a cell


def _label(node: ast.AST) -> Optional[object]:
    return node.value if isinstance(node, ast.Constant) and isinstance(node.value, (str, int)) else None


def _indexer(node: ast.AST, frame: ast.expr, index: str) -> Optional[object]:
    """C when node is frame.loc[index, C] or frame.at[index, C]."""
    if isinstance(node, ast.Subscript) and isinstance(node.value, ast.Attribute) \
            and node.value.attr in ("loc", "at") and _same(node.value.value, frame) \
            and isinstance(node.slice, ast.Tuple) and len(node.slice.elts) == 2 \
            and isinstance(node.slice.elts[0], ast.Name) and node.slice.elts[0].id == index:
        return _label(node.slice.elts[1])
    return None


def _row_loop(loop: ast.For, frames: dict[str, list[str]]) -> Optional[_Rows]:
    target, it = loop.target, loop.iter
    if isinstance(it, ast.Call) and isinstance(it.func, ast.Attribute) and it.func.attr == "iterrows" \
            and not it.args and not it.keywords and _simple(it.func.value) \
            and isinstance(target, ast.Tuple) and len(target.elts) == 2 \
            and all(isinstance(e, ast.Name) for e in target.elts):
        frame = it.func.value
        index, row = (e.id for e in target.elts)
        columns = frames.get(ast.unparse(frame), [])

        def cell(node):
            if isinstance(node, ast.Subscript) and isinstance(node.value, ast.Name) and node.value.id == row:
                return _label(node.slice)
            if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id == row \
                    and node.attr in columns:      # row.units, where units is a known column
                return node.attr
            return None
        return _Rows(frame, {index, row}, cell, lambda node: _indexer(node, frame, index))

    # for i in range(len(df)) / for i in df.index, reading df.loc[i, C], df.at[i, C] or df[C][i];
    # over range(len(df)) the labels are taken to be 0..n-1, the default index.
    if not isinstance(target, ast.Name):
        return None
    args = _call("range", it)
    length = _call("len", args[0]) if args else None
    if length:
        frame = length[0]
    elif isinstance(it, ast.Attribute) and it.attr == "index":
        frame = it.value
    else:
        return None
    index = target.id
    known_frame = ast.unparse(frame) in frames
    if not _simple(frame):
        return None

    def cell(node):
        label = _indexer(node, frame, index)
        if label is None and known_frame and isinstance(node, ast.Subscript) \
                and isinstance(node.slice, ast.Name) and node.slice.id == index \
                and isinstance(node.value, ast.Subscript) and _same(node.value.value, frame):
            label = _label(node.value.slice)       # df[C][i]
        return label
    return _Rows(frame, {index}, cell, lambda node: _indexer(node, frame, index))


_ARITH = (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.FloorDiv, ast.Mod, ast.Pow)
_COMPARE = (ast.Eq, ast.NotEq, ast.Lt, ast.LtE, ast.Gt, ast.GtE)


def _columnwise(node: ast.AST, rows: _Rows) -> Optional[ast.expr]:
    """The expression computed for every row at once: cells become columns,
    `and`/`or`/`not` become `&`/`|`/`~`; None for anything that has no
    column form (calls, conditional expressions, other uses of the row)."""
    label = rows.cell(node)
    if label is not None:
        return ast.Subscript(copy.deepcopy(rows.frame), ast.Constant(label), ast.Load())
    if isinstance(node, ast.Constant):
        return node
    if isinstance(node, (ast.Name, ast.Attribute, ast.Subscript)):
        # A loop-invariant value; the frame itself or the loop's names have no column form.
        fine = _simple(node) and _root(node) not in rows.owned | {_root(rows.frame)}
        return node if fine else None
    if isinstance(node, ast.BinOp) and isinstance(node.op, _ARITH):
        left, right = _columnwise(node.left, rows), _columnwise(node.right, rows)
        return ast.BinOp(left, node.op, right) if left and right else None
    if isinstance(node, ast.UnaryOp):
        # `not` becomes `~`, which only negates a condition: ~5 is -6
        if isinstance(node.op, ast.Not) and not _condition(node.operand):
            return None
        operand = _columnwise(node.operand, rows)
        op = ast.Invert() if isinstance(node.op, ast.Not) else node.op
        return ast.UnaryOp(op, operand) if operand else None
    if isinstance(node, ast.BoolOp):
        # `and`/`or` give an operand's value, `&`/`|` its bits: only conditions combine alike
        parts = [_columnwise(v, rows) if _condition(v) else None for v in node.values]
        if not all(parts):
            return None
        op = ast.BitAnd() if isinstance(node.op, ast.And) else ast.BitOr()
        out = parts[0]
        for part in parts[1:]:
            out = ast.BinOp(out, op, part)
        return out
    if isinstance(node, ast.Compare) and len(node.ops) == 1:
        left, right = _columnwise(node.left, rows), node.comparators[0]
        if isinstance(node.ops[0], (ast.In, ast.NotIn)) and isinstance(right, (ast.List, ast.Tuple, ast.Set)) \
                and all(isinstance(e, ast.Constant) for e in right.elts) and left:
            test = ast.Call(ast.Attribute(left, "isin", ast.Load()), [ast.List(right.elts, ast.Load())], [])
            return test if isinstance(node.ops[0], ast.In) else ast.UnaryOp(ast.Invert(), test)
        right = _columnwise(right, rows)
        if left and right and isinstance(node.ops[0], _COMPARE):
            return ast.Compare(left, node.ops, [right])
        return None
    for func, method in (("abs", "abs"), ("round", "round")):
        for nargs in (1, 2):
            args = _call(func, node, nargs)
            if args:
                values = [_columnwise(a, rows) for a in args]
                if not all(values):
                    return None
                return ast.Call(ast.Attribute(values[0], method, ast.Load()), values[1:], [])
    return None


def _condition(node: ast.AST) -> bool:
    """Whether the expression is a test (a comparison, or tests combined)."""
    return isinstance(node, (ast.Compare, ast.BoolOp)) or \
        (isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.Not))


def _reads_cells(node: ast.AST, rows: _Rows) -> bool:
    return any(rows.cell(n) is not None for n in ast.walk(node))


def _row_rewrite(start: Optional[ast.stmt], loop: ast.For, later: list[ast.stmt], frames: dict[str, list[str]],
                 notes: list) -> Optional[list[ast.stmt]]:
    """What replaces `start` (the statement before the loop, or None) and the
    loop when the loop visits a frame's rows, or None."""
    rows = _row_loop(loop, frames)
    if rows is None or any(_read_later(n, later) for n in rows.owned):
        return None
    parts = _loop_parts(loop)
    if parts is None or _root(rows.frame) in _bound(loop.body):
        return None
    inner, ifs = parts
    mask = _columnwise(ifs[0], rows) if ifs else None
    if ifs and mask is None:
        return None
    frame = ast.unparse(rows.frame)

    def selected(expr: ast.AST) -> Optional[ast.expr]:
        """The column expression of `expr` for the rows the condition keeps."""
        label = rows.cell(expr)
        if mask is not None and label is not None:            # df.loc[mask, C]
            return ast.Subscript(ast.Attribute(copy.deepcopy(rows.frame), "loc", ast.Load()),
                                 ast.Tuple([mask, ast.Constant(label)], ast.Load()), ast.Load())
        column = _columnwise(expr, rows)
        return column if mask is None or column is None else ast.Subscript(column, mask, ast.Load())

    # A cell written back: df.loc[i, C] = <cells>
    if isinstance(inner, ast.Assign) and len(inner.targets) == 1:
        label = rows.target(inner.targets[0])
        value = _columnwise(inner.value, rows)
        if label is None or value is None:
            return None
        target = ast.Subscript(copy.deepcopy(rows.frame), ast.Constant(label), ast.Store()) if mask is None \
            else ast.Subscript(ast.Attribute(copy.deepcopy(rows.frame), "loc", ast.Load()),
                               ast.Tuple([mask, ast.Constant(label)], ast.Load()), ast.Store())
        notes.append((loop.lineno, f"the loop over the rows of `{frame}` is now one column assignment"))
        return ([start] if start else []) + [ast.copy_location(ast.Assign([target], value), loop)]
    init = _init_kind(start) if start is not None else None
    if init is None:
        return None
    name, kind = init
    acc = _accumulation(name, kind, inner)
    if acc is None or acc[0] not in ("list", "sum") or name in _names([acc[1], *ifs]):
        return None
    element = acc[1]
    if _reads_cells(element, rows):
        column = selected(element)
        if column is None:
            return None
        method = "tolist" if acc[0] == "list" else "sum"
        value = ast.Call(ast.Attribute(column, method, ast.Load()), [], [])
    elif acc[0] == "sum" and mask is not None and isinstance(element, ast.Constant) and element.value == 1:
        value = ast.Call(ast.Attribute(mask, "sum", ast.Load()), [], [])     # counting the rows kept
        value = ast.Call(ast.Name("int", ast.Load()), [value], [])
    else:
        return None
    if acc[0] == "sum" and isinstance(start.value.value, float):
        value = ast.Call(ast.Name("float", ast.Load()), [value], [])
    what = "a column's .tolist()" if acc[0] == "list" else "a column sum"
    notes.append((start.lineno, f"`{name}`, filled row by row from `{frame}`, is now {what}"))
    return [ast.copy_location(ast.Assign([ast.Name(name, ast.Store())], value), start)]


# ---------------------------------------------------------------------------
# Loops that only fill a container or a sum.

def _accumulate(stmt: ast.stmt, init: tuple[str, str], loop: ast.For, later: list[ast.stmt],
                notes: list) -> Optional[ast.stmt]:
    parts = _loop_parts(loop)
    acc = _accumulation(init[0], init[1], parts[0]) if parts else None
    if acc is None:
        return None
    name = init[0]
    kind, element, key = acc
    targets = _names([loop.target])
    if name in _names([element, loop.iter, *parts[1]] + ([key] if key else [])):
        return None
    # The comprehension does not leak its loop variable: only rewrite when
    # nothing after the loop reads it.
    if any(_read_later(t, later) for t in targets):
        return None
    identity = isinstance(element, ast.Name) and isinstance(loop.target, ast.Name) \
        and element.id == loop.target.id and not parts[1]
    gen = [ast.comprehension(target=loop.target, iter=loop.iter, ifs=parts[1], is_async=0)]
    if kind in ("list", "set") and identity:
        value = ast.Call(ast.Name(kind, ast.Load()), [loop.iter], [])
    elif kind == "list":
        value = ast.ListComp(elt=element, generators=gen)
    elif kind == "set":
        value = ast.SetComp(elt=element, generators=gen)
    elif kind == "dict":
        value = ast.DictComp(key=key, value=element, generators=gen)
    else:
        func = ast.Name("sum") if kind == "sum" else ast.Attribute(ast.Constant(""), "join")
        args = [loop.iter if identity else ast.GeneratorExp(elt=element, generators=gen)]
        if kind == "sum" and isinstance(stmt.value.value, float):
            args.append(ast.Constant(0.0))  # keep the float result of an empty loop
        value = ast.Call(func=func, args=args, keywords=[])
    what = {"list": "list comprehension", "set": "set comprehension", "dict": "dict comprehension",
            "sum": "sum() over a generator", "join": "str.join() over a generator"}[kind]
    if identity:
        what = {"list": "list() of", "set": "set() of", "sum": "sum() of", "join": "str.join() of"}[kind] \
            + f" `{ast.unparse(loop.iter)}`"
    notes.append((stmt.lineno, f"the loop filling `{name}` is now a {what}"))
    return ast.copy_location(ast.Assign(targets=[ast.Name(name, ast.Store())], value=value), stmt)


def _rewrite(body: list[ast.stmt], notes: list, frames: dict[str, list[str]],
             used: set[str]) -> list[ast.stmt]:
    body = [(_index_loop(s, body[k + 1:], frames, used, notes) if isinstance(s, ast.For) else None) or s
            for k, s in enumerate(body)]
    out: list[ast.stmt] = []
    i = 0
    while i < len(body):
        stmt = body[i]
        loop = body[i + 1] if i + 1 < len(body) and isinstance(body[i + 1], ast.For) else None
        # A row loop, taking the statement before it along when that starts the list or sum it fills.
        new = _row_rewrite(stmt, loop, body[i + 2:], frames, notes) if loop and _init_kind(stmt) else None
        taken = 2
        if new is None and isinstance(stmt, ast.For):
            new, taken = _row_rewrite(None, stmt, body[i + 1:], frames, notes), 1
        if new is None and loop is not None and (init := _init_kind(stmt)):
            new, taken = _accumulate(stmt, init, loop, body[i + 2:], notes), 2
            new = [new] if new is not None else None
        if new is not None:
            out += new
            i += taken
            continue
        for attr in ("body", "orelse", "finalbody"):
            inner = getattr(stmt, attr, None)
            if isinstance(inner, list) and inner and isinstance(inner[0], ast.stmt):
                setattr(stmt, attr, _rewrite(inner, notes, frames, used))
        for handler in getattr(stmt, "handlers", []):
            handler.body = _rewrite(handler.body, notes, frames, used)
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


def optimize(source: str, frames: Optional[dict[str, list[str]]] = None) -> str:
    """The rewritten code, commented with what changed. `frames` maps the
    notebook's data frames to their column labels."""
    code = source.strip("\n")
    try:
        tree = ast.parse(code)
    except SyntaxError as err:
        return (comment(f"quillon dev service: could not parse this code ({err.msg}, line {err.lineno});"
                        " returning it commented out") + "\n" + comment(code) + "\n")
    notes: list = []
    used = {n.id for n in ast.walk(tree) if isinstance(n, ast.Name)} | \
        {a.arg for n in ast.walk(tree) if isinstance(n, ast.arguments) for a in n.args + n.kwonlyargs}
    tree.body = _rewrite(tree.body, notes, frames or {}, used)
    hints = _hints(tree)
    if not notes:
        header = textwrap.wrap("No rewrite found: none of the slow patterns this engine rewrites (loops"
                               " over indexes, appends or sums in loops, loops over data-frame rows)"
                               " occurs in this code; it is unchanged.", 88)
        body = code
    else:
        header = ["Optimised:"] + [f"  line {line}: {text}" for line, text in sorted(notes)]
        body = ast.unparse(ast.fix_missing_locations(tree))
    header += ["Hint: " + h for h in hints]
    return comment("\n".join(header)) + "\n" + body + "\n"
