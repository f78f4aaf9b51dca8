"""Every name table of the native code lists what its code looks up and nothing else.

A name missing from a table does not compile; this catches the other half, a
name that is listed (and interned at every import) but never used.
"""
import re
from pathlib import Path

import pytest

CPP = Path(__file__).resolve().parent.parent / "cpp"
CORE = sorted((CPP / "core").glob("*.[ch]pp"))
SERVICE_USERS = ("QUILLON_SERVICE_NAMES",)


def strip_comments(source):
    return re.sub(r"//[^\n]*", "", source)


def table(source, macro):
    """The names of the first `macro(...)` in the source, in order, or None."""
    start = source.find(macro + "(")
    if start == -1:
        return None
    end = source.index(")", start)  # no name holds a parenthesis
    return re.findall(r'"((?:[^"\\]|\\.)*)"', strip_comments(source[start:end]))


def used(sources):
    return {name for text in sources for name in re.findall(r'"((?:[^"\\]|\\.)+)"_n\b', strip_comments(text))}


def module_sources(path):
    """A module's own sources: its file, and the folder of its subsystems if it has one."""
    return [path, *sorted(path.with_suffix("").glob("*.[ch]pp"))]


def modules():
    return sorted(CPP.glob("modules/*.cpp"))


def module_table(path):
    for source in module_sources(path):
        text = source.read_text()
        for macro in ("QUILLON_SERVICE_NAMES", "QUILLON_NAMES"):
            names = table(text, macro)
            if names is not None:
                return macro, names
    raise AssertionError(f"{path.name} declares no name table")


def service_names():
    names = re.search(r"service_names = \{(.*?)\};", (CPP / "core" / "names.hpp").read_text(), re.S)
    return re.findall(r'"([^"]*)"', names.group(1))


@pytest.mark.parametrize("path", modules(), ids=lambda p: p.stem)
def test_module_table_lists_only_what_its_code_uses(path):
    _, names = module_table(path)
    assert len(names) == len(set(names))
    unused = set(names) - used(p.read_text() for p in module_sources(path))
    assert not unused, f"{path.stem} lists names it never uses: {sorted(unused)}"


def test_shared_table_lists_only_what_the_shared_code_or_its_modules_use():
    users = [path for path in modules() if module_table(path)[0] in SERVICE_USERS]
    assert users, "no module takes the shared names"
    sources = [p.read_text() for p in CORE] + [p.read_text() for m in users for p in module_sources(m)]
    unused = set(service_names()) - used(sources)
    assert not unused, f"the shared table lists names nobody uses: {sorted(unused)}"
    # Modules that do not take the shared table cannot reach its names, so
    # the shared code they call must not look any up.
    names_in_core = used(p.read_text() for p in CORE)
    assert names_in_core <= set(service_names())


def test_the_check_sees_an_unused_name():
    source = 'QUILLON_NAMES("print", "open")\nvoid f() { g("print"_n); }  // "open"_n'
    assert set(table(source, "QUILLON_NAMES")) - used([source]) == {"open"}
