"""Repeated calls keep memory flat, on success and on error paths; dropped forms are collected.

The transport is a tiny stand-in for the `requests` module, so that one call costs
microseconds and thousands of them fit in a few seconds.
"""
import contextlib
import gc
import json
import os
import sys
import tempfile
import tracemalloc
import types
import weakref

import pytest
import requests

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
from _notebook import nb  # noqa: F401  (fixture)
from conftest import COMPLETE

pytestmark = pytest.mark.slow

CALLS, WARMUP = 4000, 1000
FORM_CALLS, FORM_WARMUP = 400, 50
LIMIT = 64 * 1024  # bytes per 10,000 calls
GROWTH = {}
APP = {"VELTO_SECRET": "s3cr3t", "VELTO_TENANT": "acme"}


class Answer:
    def __init__(self, status, payload=None):
        self.status_code, self._payload, self.text = status, payload, "refused"

    def json(self):
        if self._payload is None:
            raise ValueError("not JSON")
        return self._payload


OK = Answer(200, {"token": "tok", "completion": "x = 1"})
REFUSED = Answer(401)
NOT_JSON = Answer(200)


class Transport:
    """Answers every request with the reply set for its method, or raises `down`. The
    login requests go through a session of their own: this object stands in for it too."""

    exceptions = requests.exceptions
    adapters = {}

    def Session(self):  # noqa: N802  (the name requests gives it)
        return self

    def close(self):
        pass

    def __init__(self):
        self.replies, self.down = {}, False

    def _send(self, method):
        def send(*args, **kwargs):
            if self.down:
                raise requests.exceptions.ConnectionError("down")
            return self.replies.get(method, OK)
        return send

    def __getattr__(self, name):
        if name in ("get", "post", "delete", "request"):
            return self._send(name)
        raise AttributeError(name)


@pytest.fixture(scope="module")
def world(nb, tmp_path_factory):
    """Transport, store and output of every module faked for the whole module."""
    endpoints = sys.modules["quillon.velto_gpt_sdk.endpoints"]
    shm = "/dev/shm"  # fsync on tmpfs costs nothing; durability is not what is measured here
    folder = tempfile.mkdtemp(dir=shm) if os.path.isdir(shm) else str(tmp_path_factory.mktemp("pkg"))
    path = os.path.join(folder, "secret.json")
    transport = Transport()
    quiet = lambda *args, **kwargs: None  # noqa: E731
    typed = iter(lambda: "acme", None)
    with pytest.MonkeyPatch.context() as mp:
        for module in (credgate, authentication, endpoints):
            mp.setattr(module, "requests", transport)
        for module in (credgate, authentication, endpoints, nb):
            mp.setattr(module, "print", quiet, raising=False)
        mp.setattr(credgate, "secret_file_path", path)
        mp.setattr(authentication, "secret_file_path", path)
        mp.setattr(credgate.getpass, "getpass", lambda prompt="": next(typed))
        mp.setattr(authentication, "input", lambda prompt="": next(typed), raising=False)
        mp.setattr(nb, "display", quiet)
        mp.setattr(nb, "DataFrame", Frame)
        mp.setattr(endpoints, "auth_token", "tok")
        mp.setattr(endpoints, "tenant", "acme")
        gc.collect()
        gc.freeze()  # what exists now is not ours to measure, and collections stay fast
        try:
            yield types.SimpleNamespace(transport=transport, path=path, endpoints=endpoints, nb=nb)
        finally:
            gc.unfreeze()
    for leftover in os.listdir(folder):
        os.unlink(os.path.join(folder, leftover))
    os.rmdir(folder)


def summary():
    lines = [f"leaks: traced growth per 10,000 calls, {len(GROWTH)} cases (limit {LIMIT} B)"]
    return "\n".join(lines + [f"  {growth:9.0f} B  {case}" for case, growth in sorted(GROWTH.items())])


def settle():
    """Collects garbage and empties the type cache: a C-level attribute lookup by a name made
    afresh (not interned) parks that name in one of the cache's 4096 slots, which would pass
    for growth."""
    gc.collect()
    sys._clear_type_cache()
    return tracemalloc.get_traced_memory()[0]


def growth_per_10k(call, calls=CALLS, warmup=WARMUP):
    """Traced growth over two runs of calls/2; the smaller one, since a one-off allocation of
    the interpreter (a new arena table, say) may fall into either, while a leak shows in both."""
    for _ in range(warmup):
        call()
    tracemalloc.start()
    try:
        grown = []
        for _ in range(2):
            before = settle()
            for _ in range(calls // 2):
                call()
            grown.append(settle() - before)
    finally:
        tracemalloc.stop()
    return min(grown) * 10_000 / (calls // 2)


def write(path, content):
    with open(path, "w") as f:
        f.write(content if isinstance(content, str) else json.dumps(content))


def remove(path):
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


class Frame:
    """Takes the data-frame branch (patched in as the module's DataFrame) without the
    caches of pandas, whose own growth is not ours to measure."""

    class dtypes:
        @staticmethod
        def to_dict():
            return {"a": "int64", 7: "object"}


NS = {"os": os, "json": json, "frame": Frame(), "n": 3, "my_x": 1, "In": [], "_": None, "f": len}

# case id -> (module, function, args, kwargs, replies, store, expected exception)
#   replies: {method: Answer} or "down"; store: content, None for no store file
CASES = {
    "credgate._encrypt": ("credgate", "_encrypt", ("pässwörd",), {}, {}, COMPLETE, None),
    "credgate._encrypt[None]": ("credgate", "_encrypt", (None,), {}, {}, COMPLETE, AttributeError),
    "credgate._decrypt": ("credgate", "_decrypt", ("cMOkc3M=",), {}, {}, COMPLETE, None),
    "credgate._decrypt[not base64]": ("credgate", "_decrypt", ("%%%",), {}, {}, COMPLETE, None),
    "credgate._update_credentials": ("credgate", "_update_credentials", ("u", "p", "t", "acme"), {}, {},
                                     COMPLETE, None),
    "credgate._update_credentials[unserialisable]": ("credgate", "_update_credentials",
                                                     ("u", "p", {1j}, "acme"), {}, {}, COMPLETE, TypeError),
    "credgate._check_credentials[accepted]": ("credgate", "_check_credentials", (), {}, {}, COMPLETE, None),
    "credgate._check_credentials[renewed]": ("credgate", "_check_credentials", (), {}, {"get": REFUSED},
                                             COMPLETE, None),
    "credgate._check_credentials[refused]": ("credgate", "_check_credentials", (), {},
                                             {"get": REFUSED, "post": REFUSED}, COMPLETE, None),
    "credgate._check_credentials[no store]": ("credgate", "_check_credentials", (), {}, {}, None, None),
    "credgate._check_credentials[incomplete]": ("credgate", "_check_credentials", (), {}, {}, APP, None),
    "credgate._check_credentials[not JSON]": ("credgate", "_check_credentials", (), {}, {}, "{", ValueError),
    "credgate.authenticate_credentials[stored]": ("credgate", "authenticate_credentials", (), {}, {},
                                                  COMPLETE, None),
    "credgate.authenticate_credentials[typed]": ("credgate", "authenticate_credentials", (), {}, {}, None, None),
    "credgate.authenticate_credentials[refused]": ("credgate", "authenticate_credentials", (), {},
                                                   {"post": REFUSED}, None, PermissionError),
    "credgate._validate_credentials": ("credgate", "_validate_credentials", ("u", "p", "acme"), {}, {},
                                       COMPLETE, None),
    "credgate._validate_credentials[refused]": ("credgate", "_validate_credentials", ("u", "p", "acme"), {},
                                                {"post": REFUSED}, COMPLETE, None),
    "credgate._validate_credentials[down]": ("credgate", "_validate_credentials", ("u", "p", "acme"), {},
                                             "down", COMPLETE, None),
    "credgate.validate_token": ("credgate", "validate_token", ("tok", "acme"), {}, {}, COMPLETE, None),
    "credgate.validate_token[down]": ("credgate", "validate_token", ("tok", None), {}, "down", COMPLETE, None),
    "authentication._check_secret": ("authentication", "_check_secret", (), {}, {}, APP, None),
    "authentication._check_secret[no store]": ("authentication", "_check_secret", (), {}, {}, None, None),
    "authentication._get_secret": ("authentication", "_get_secret", (), {}, {}, APP, None),
    "authentication.update_secret": ("authentication", "update_secret", ("s", "acme"), {}, {}, APP, None),
    "authentication.update_secret[unserialisable]": ("authentication", "update_secret", (b"s", "acme"), {}, {},
                                                     APP, TypeError),
    "authentication.authenticate_secret[stored]": ("authentication", "authenticate_secret", (), {}, {}, APP, None),
    "authentication.authenticate_secret[typed]": ("authentication", "authenticate_secret", (), {}, {}, None,
                                                  None),
    "authentication.authenticate_secret[refused]": ("authentication", "authenticate_secret", (), {},
                                                    {"request": REFUSED}, None, PermissionError),
    "authentication._validate_secret": ("authentication", "_validate_secret", ("s", "acme"), {}, {}, APP, None),
    "authentication._validate_secret[down]": ("authentication", "_validate_secret", ("s", "acme"), {}, "down",
                                              APP, None),
    "endpoints._invoke_gpt_engine": ("endpoints", "_invoke_gpt_engine", ("/get-completion",),
                                     {"body": {"query": "q"}}, {}, COMPLETE, None),
    "endpoints._invoke_gpt_engine[streaming, form data]": ("endpoints", "_invoke_gpt_engine", ("/x", True),
                                                           {"body": {}, "data_as_json": False}, {}, COMPLETE, None),
    "endpoints._invoke_gpt_engine[DELETE]": ("endpoints", "_invoke_gpt_engine", ("/x",),
                                             {"request_type": "DELETE"}, {}, COMPLETE, None),
    "endpoints._invoke_gpt_engine[500]": ("endpoints", "_invoke_gpt_engine", ("/x",), {},
                                          {"post": Answer(500)}, COMPLETE, requests.exceptions.HTTPError),
    "endpoints._invoke_gpt_engine[PUT]": ("endpoints", "_invoke_gpt_engine", ("/x",), {"request_type": "PUT"},
                                          {}, COMPLETE, ValueError),
    "endpoints._invoke_gpt_engine[path None]": ("endpoints", "_invoke_gpt_engine", (None,), {}, {}, COMPLETE,
                                                TypeError),
    "endpoints._invoke_gpt_engine[login again]": ("endpoints", "_invoke_gpt_engine", ("/x",), {},
                                                  {"get": REFUSED}, COMPLETE, None),
    "endpoints._invoke_gpt_engine[down]": ("endpoints", "_invoke_gpt_engine", ("/x",), {}, "down", COMPLETE,
                                           PermissionError),
    "endpoints._invoke_completion": ("endpoints", "_invoke_completion", ("p", 5), {}, {}, COMPLETE, None),
    "endpoints.get_completion": ("endpoints", "get_completion", ("p",), {}, {}, COMPLETE, None),
    "endpoints.get_completion[not JSON]": ("endpoints", "get_completion", ("p",), {}, {"post": NOT_JSON},
                                           COMPLETE, ValueError),
    "endpoints.get_completion[bool]": ("endpoints", "get_completion", ("p", True), {}, {}, COMPLETE, TypeError),
    "nbassist._generate_prompt": ("nbassist", "_generate_prompt", ("q",),
                                  {"base_prompt": "b", "global_variables": NS}, {}, COMPLETE, None),
    "nbassist._generate_prompt[no namespace]": ("nbassist", "_generate_prompt", ("q", "b"), {}, {}, COMPLETE,
                                                None),
    "nbassist._generate_prompt[key not str]": ("nbassist", "_generate_prompt", ("q", "b", {1: 2}), {}, {},
                                               COMPLETE, TypeError),
    "nbassist._generate_prompt[base_prompt None]": ("nbassist", "_generate_prompt", ("q", None), {}, {},
                                                    COMPLETE, TypeError),
    "nbassist.get_prompts": ("nbassist", "get_prompts", (), {}, {}, COMPLETE, None),
    "nbassist.optimize_code": ("nbassist", "optimize_code", ("x = 1", NS, False), {}, {}, COMPLETE, None),
    "nbassist.optimize_code[500]": ("nbassist", "optimize_code", ("x = 1",), {}, {"post": Answer(500)},
                                    COMPLETE, requests.exceptions.HTTPError),
    "nbassist.generate_markdown": ("nbassist", "generate_markdown", ("x = 1", {}), {}, {}, COMPLETE, None),
    "nbassist.generate_markdown[no completion]": ("nbassist", "generate_markdown", ("x",), {},
                                                  {"post": Answer(200, {})}, COMPLETE, KeyError),
    "nbassist.generate_code_completion": ("nbassist", "generate_code_completion", ("q", NS), {}, {}, COMPLETE,
                                          None),
    "nbassist.generate_code_completion[debug]": ("nbassist", "generate_code_completion", ("q", None, True), {},
                                                 {}, COMPLETE, None),
    "nbassist.generate_code_completion[list]": ("nbassist", "generate_code_completion", ("q", []), {}, {},
                                                COMPLETE, TypeError),
    "nbassist.display_next_cell": ("nbassist", "display_next_cell", ("a `${b}` \\c",), {}, {}, COMPLETE, None),
    "nbassist.display_previous_cell": ("nbassist", "display_previous_cell", (5,), {}, {}, COMPLETE, None),
}


def configure(transport, path, replies, store):
    transport.down = replies == "down"
    transport.replies = {} if transport.down else replies
    if store is None:
        remove(path)
    else:
        write(path, store)


@pytest.mark.parametrize("case", sorted(CASES))
def test_repeated_calls_keep_memory_flat(world, case):
    transport, path, endpoints = world.transport, world.path, world.endpoints
    module_name, name, args, kwargs, replies, store, expected = CASES[case]
    module = {"credgate": credgate, "authentication": authentication,
              "endpoints": endpoints}.get(module_name, world.nb)
    function = getattr(module, name)
    configure(transport, path, replies, store)
    rewrites_store = (store is None or name in ("_update_credentials", "update_secret")
                      or "renew" in case or "login again" in case)
    content = None if store is None else (store if isinstance(store, str) else json.dumps(store))

    def call():
        if rewrites_store:
            configure(transport, path, replies, store)
        endpoints.auth_token, endpoints.tenant = "tok", "acme"
        try:
            function(*args, **kwargs)
        except Exception as error:
            if expected is None or not isinstance(error, expected):
                raise
        else:
            assert expected is None, f"{case} did not raise"

    GROWTH[case] = growth = growth_per_10k(call)
    assert growth < LIMIT, f"{case}: {growth:.0f} bytes more per 10,000 calls"
    if content is not None and not rewrites_store and os.path.exists(path):
        with open(path) as f:
            assert f.read() == content


def forms(nb, count, shown, refs=()):
    """Makes `count` forms, drives each once and drops it; returns weak references to the
    handlers and the widgets they hold, unless `refs` is None."""
    refs = None if refs is None else []
    for _ in range(count):
        nb.generate_code({"n": 1})
        box = shown.pop()
        shown.clear()
        drop, _, text, button = box.children
        handlers = button._click_handlers.callbacks + [
            h for h in drop._trait_notifiers["value"]["change"] if getattr(h, "__name__", "") == "update_text_box"]
        assert len(handlers) == 2
        drop.value = "Apply PCA"
        button.click()
        if refs is not None:
            refs += [weakref.ref(obj) for obj in (*handlers, drop, text)]
        for widget in (*box.children, box):
            for part in (widget.layout, getattr(widget, "style", None)):  # widgets of their own
                if part is not None:
                    part.close()
            widget.close()
        shown.clear()
        del box, drop, text, button, handlers, widget, part
    return refs


def test_dropped_forms_are_collected(world, monkeypatch):
    configure(world.transport, world.path, {}, COMPLETE)
    shown = []
    monkeypatch.setattr(world.nb, "display", lambda *objs: shown.extend(objs))
    growth = growth_per_10k(lambda: forms(world.nb, 1, shown, refs=None), FORM_CALLS, FORM_WARMUP)
    refs = forms(world.nb, 20, shown)
    gc.collect()
    assert [r for r in refs if r() is not None] == []
    GROWTH["nbassist.generate_code + handlers, closed"] = growth
    assert growth < LIMIT


# --- answers published in a kernel: the couriers ------------------------------------------

ANSWERS, ANSWER_SIZE = 20, 1 << 20

PROBE = """
import gc, json, tracemalloc
from ipywidgets.widgets.widget import _instances
gc.collect()
print("PROBE=" + json.dumps({"alive": sorted(type(w).__name__ for w in _instances.values()
                                             if type(w).__name__ in ("CellCourier", "CourierLibrary")),
                             "held": tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0}))
"""


@pytest.fixture(scope="module")
def kernel_env(tmp_path_factory):
    from browser_support import logged_in_env
    from devservice import DevService

    with DevService(demo=True) as svc:
        yield logged_in_env(svc, tmp_path_factory.mktemp("kernel"))


def test_delivered_answers_leave_nothing_in_the_kernel(kernel_env, tmp_path):
    """Answers of 1 MB each, delivered as a front end reports it (the courier's
    `done` set by a comm message): every courier and their library are closed,
    and the memory of the answers is returned."""
    from jupyter_client.manager import start_new_kernel

    km, kc = start_new_kernel(kernel_name="python3", env=kernel_env, cwd=str(tmp_path))

    def run(code):
        opened, printed = [], []

        def hook(m):
            if m["msg_type"] == "comm_open" and "kind" in m["content"]["data"]["state"]:
                opened.append(m["content"]["comm_id"])
            elif m["msg_type"] == "stream":
                printed.append(m["content"]["text"])
        reply = kc.execute_interactive(code, timeout=120, output_hook=hook)
        assert reply["content"]["status"] == "ok", reply["content"]
        return opened, "".join(printed)

    def answers(count):
        opened, _ = run(f"for i in range({count}):\n"
                        f"    (display_next_cell if i % 2 else display_previous_cell)(chr(65 + i % 26) * {ANSWER_SIZE})")
        assert len(opened) == count
        return opened

    def deliver(ids):
        for comm_id in ids:
            kc.shell_channel.send(kc.session.msg("comm_msg", {
                "comm_id": comm_id, "data": {"method": "update", "state": {"done": True}, "buffer_paths": []}}))

    def probe():
        return json.loads(run(PROBE)[1].rpartition("PROBE=")[2])

    try:
        run("from quillon.velto_gpt_sdk.nbassist import display_next_cell, display_previous_cell")
        deliver(answers(2))                   # the one-off imports and classes
        run("import tracemalloc; tracemalloc.start()")
        base = probe()
        assert base["alive"] == []
        ids = answers(ANSWERS)
        waiting = probe()
        assert waiting["alive"] == ["CellCourier"] * ANSWERS + ["CourierLibrary"]
        assert waiting["held"] - base["held"] > ANSWERS * ANSWER_SIZE      # each courier holds its answer
        deliver(ids[:-1])
        assert probe()["alive"] == ["CellCourier", "CourierLibrary"]       # the library waits for the last
        deliver(ids[-1:] * 2)                                                # a second report changes nothing
        after = probe()
    finally:
        kc.stop_channels()
        km.shutdown_kernel(now=True)
    assert after["alive"] == []
    held = after["held"] - base["held"]
    assert held < ANSWER_SIZE // 4, f"{held} bytes still held"
